// Writes the 22 glyph bitmaps (103.bmp to 113.bmp dark on white, 118.bmp to
// 128.bmp light on grey) into the directory given on the command line.
// The light-on-grey renderings are derived from the dark-on-white ones channel by
// channel, which is exactly how the host's two renderings relate.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/glyph_bitmaps/glyph_rows.h"

namespace {

constexpr int glyph_count = 11;
constexpr int glyph_height = 8;
constexpr int first_primary_id = 103;
constexpr int first_alternate_id = 118;

// Channel levels of the dark-on-white rendering and their light-on-grey counterparts.
constexpr std::uint8_t primary_levels[7] = {0x14, 0x44, 0x6E, 0x94, 0xB9, 0xDC, 0xFF};
constexpr std::uint8_t alternate_levels[7] = {0xFF, 0xEB, 0xD6, 0xC1, 0xAC, 0x97, 0x80};

bool map_channel(std::uint8_t in, std::uint8_t& out) {
    for (int k = 0; k < 7; ++k)
        if (primary_levels[k] == in) {
            out = alternate_levels[k];
            return true;
        }
    return false;
}

struct image {
    int width = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, top row first
};

bool parse_glyph(int index, image& out) {
    out = image{};
    for (int row = 0; row < glyph_height; ++row) {
        const char* text = primary_glyph_rows[index][row];
        int count = 0;
        for (const char* p = text; *p != '\0';) {
            char* end = nullptr;
            const unsigned long value = std::strtoul(p, &end, 16);
            if (end - p != 6) return false;
            out.pixels.push_back(static_cast<std::uint32_t>(value));
            ++count;
            p = end;
            while (*p == ' ') ++p;
        }
        if (row == 0) out.width = count;
        if (count != out.width) return false;
    }
    return true;
}

bool derive_alternate(const image& primary, image& out) {
    out.width = primary.width;
    out.pixels.clear();
    for (std::uint32_t px : primary.pixels) {
        std::uint8_t r, g, b;
        if (!map_channel(std::uint8_t(px >> 16), r) || !map_channel(std::uint8_t(px >> 8), g) ||
            !map_channel(std::uint8_t(px), b))
            return false;
        out.pixels.push_back(std::uint32_t(r) << 16 | std::uint32_t(g) << 8 | b);
    }
    return true;
}

void put_u16(std::vector<std::uint8_t>& v, std::uint32_t x) {
    v.push_back(std::uint8_t(x));
    v.push_back(std::uint8_t(x >> 8));
}

void put_u32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    put_u16(v, x & 0xFFFF);
    put_u16(v, x >> 16);
}

std::vector<std::uint8_t> encode_bmp(const image& img) {
    const std::uint32_t height = std::uint32_t(img.pixels.size() / std::size_t(img.width));
    const std::uint32_t stride = (std::uint32_t(img.width) * 3 + 3) & ~3u;
    const std::uint32_t image_size = stride * height;
    std::vector<std::uint8_t> v;
    v.push_back('B');
    v.push_back('M');
    put_u32(v, 54 + image_size);
    put_u32(v, 0);
    put_u32(v, 54);
    put_u32(v, 40);
    put_u32(v, std::uint32_t(img.width));
    put_u32(v, height);  // positive: rows stored bottom-up
    put_u16(v, 1);
    put_u16(v, 24);
    put_u32(v, 0);  // no compression
    put_u32(v, image_size);
    put_u32(v, 2835);  // 72 dpi, as common tools write
    put_u32(v, 2835);
    put_u32(v, 0);
    put_u32(v, 0);
    for (std::uint32_t row = height; row-- > 0;) {
        std::uint32_t written = 0;
        for (int col = 0; col < img.width; ++col, written += 3) {
            const std::uint32_t px = img.pixels[row * std::uint32_t(img.width) + std::uint32_t(col)];
            v.push_back(std::uint8_t(px));
            v.push_back(std::uint8_t(px >> 8));
            v.push_back(std::uint8_t(px >> 16));
        }
        for (; written < stride; ++written) v.push_back(0);
    }
    return v;
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_glyph_bitmaps <output directory>\n");
        return 2;
    }
    const std::string dir = argv[1];
    for (int index = 0; index < glyph_count; ++index) {
        image primary, alternate;
        if (!parse_glyph(index, primary)) {
            std::fprintf(stderr, "glyph %d: malformed row table\n", index);
            return 1;
        }
        if (!derive_alternate(primary, alternate)) {
            std::fprintf(stderr, "glyph %d: a channel is not one of the seven levels\n", index);
            return 1;
        }
        const std::string p = dir + "/" + std::to_string(first_primary_id + index) + ".bmp";
        const std::string a = dir + "/" + std::to_string(first_alternate_id + index) + ".bmp";
        if (!write_file(p, encode_bmp(primary)) || !write_file(a, encode_bmp(alternate))) {
            std::fprintf(stderr, "cannot write glyph %d into %s\n", index, dir.c_str());
            return 1;
        }
    }
    return 0;
}
