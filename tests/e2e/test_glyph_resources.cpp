// The glyph set that gateway.exe loads from its BITMAP resources (LoadBitmapW,
// GetObjectW, GetBitmapBits on this display) must be the set the native build
// decodes from the same files, pixel for pixel.
#include <gtest/gtest.h>

#include "host/glyph_resources.h"
#include "platform/sim/bmp_reader.h"
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

}  // namespace
