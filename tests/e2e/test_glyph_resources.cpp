// The glyph set that gateway.exe loads from its BITMAP resources (LoadBitmapW,
// GetObjectW, GetBitmapBits on this display) must be the set the native build
// decodes from the same files, pixel for pixel.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/glyph_resources.h"
#include "resources/bmp_reader.h"
#include "platform/sim/embedded_resources.h"

namespace {

const embedded_resource* file_for(int id) {
    for (int i = 0; i < embedded_resource_count; ++i)
        if (embedded_resources[i].id == id) return &embedded_resources[i];
    return nullptr;
}

void expect_same(const glyph_template& loaded, int id) {
    const embedded_resource* file = file_for(id);
    ASSERT_NE(file, nullptr) << id;
    decoded_bmp decoded;
    ASSERT_EQ(decode_bmp(file->data, file->size, decoded), bmp_status::ok) << id;
    EXPECT_EQ(loaded.width, decoded.width) << id;
    EXPECT_EQ(loaded.height, decoded.height) << id;
    EXPECT_EQ(loaded.pixels, decoded.pixels) << id;
}

TEST(GlyphResources, LoadedSetEqualsTheBitmapFiles) {
    glyph_set set;
    int failed = 0;
    ASSERT_EQ(load_glyph_set(set, &failed), glyph_load_status::ok) << "resource " << failed;
    for (int i = 0; i < glyph_count; ++i) {
        expect_same(set.glyphs[std::size_t(i)].primary, primary_resource_ids[i]);
        expect_same(set.glyphs[std::size_t(i)].alternate, alternate_resource_ids[i]);
    }
    // The minus glyph's stroke row, light on grey, as a spot check of the channels.
    const glyph_template& minus = set.glyphs[10].alternate;
    EXPECT_EQ(minus.pixels[5 * 4 + 0], 0xACD6FFu);
    EXPECT_EQ(minus.pixels[5 * 4 + 3], 0xFFD6ACu);
}

// Every shipped program carries the project's version, as Windows shows it in a
// file's properties.
TEST(VersionResource, EveryProgramCarriesTheProjectVersion) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder = self;
    folder.resize(folder.find_last_of(L"\\/") + 1);
    for (const wchar_t* program :
         {L"gateway.exe", L"gateway_probe.exe", L"axis_monitor.exe", L"axis_replay.exe", L"host_simulator.exe"}) {
        const std::wstring path = folder + program;
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_GT(size, 0u) << "no version resource in " << std::string(path.begin(), path.end());
        std::vector<unsigned char> info(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
        wchar_t* text = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\ProductVersion",
                                   reinterpret_cast<void**>(&text), &length));
        const std::string version = GATEWAY_VERSION;
        EXPECT_EQ(std::wstring(text), std::wstring(version.begin(), version.end()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        char numbers[32];
        std::snprintf(numbers, sizeof numbers, "%u.%u.%u", unsigned(HIWORD(fixed->dwFileVersionMS)),
                      unsigned(LOWORD(fixed->dwFileVersionMS)), unsigned(HIWORD(fixed->dwFileVersionLS)));
        EXPECT_EQ(std::string(numbers), version);
    }
}

}  // namespace
