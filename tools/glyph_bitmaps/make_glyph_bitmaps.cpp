// Writes the 22 glyph bitmaps stored with the program, <id>.bmp for each resource
// identifier, into the directory given on the command line, from the glyph tables
// (the alternate renderings derived there from the primary ones).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "glyph_resource_ids.h"
#include "support/glyph_tables.h"

namespace {

void put_u16(std::vector<std::uint8_t>& v, std::uint32_t x) {
    v.push_back(std::uint8_t(x));
    v.push_back(std::uint8_t(x >> 8));
}

void put_u32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    put_u16(v, x & 0xFFFF);
    put_u16(v, x >> 16);
}

std::vector<std::uint8_t> encode_bmp(const glyph_template& img) {
    const std::uint32_t height = std::uint32_t(img.height);
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
        const glyph& g = real_glyphs().glyphs[std::size_t(index)];
        const std::string p = dir + "/" + std::to_string(primary_resource_ids[index]) + ".bmp";
        const std::string a = dir + "/" + std::to_string(alternate_resource_ids[index]) + ".bmp";
        if (!write_file(p, encode_bmp(g.primary)) || !write_file(a, encode_bmp(g.alternate))) {
            std::fprintf(stderr, "cannot write glyph %d into %s\n", index, dir.c_str());
            return 1;
        }
    }
    return 0;
}
