#include "support/glyph_tables.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Channel levels of the primary rendering and their alternate counterparts.
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

[[noreturn]] void malformed(int index, const char* why) {
    std::fprintf(stderr, "glyph table %d: %s\n", index, why);
    std::abort();
}

glyph_template parse_primary(int index) {
    glyph_template t;
    t.height = 8;
    for (int row = 0; row < t.height; ++row) {
        std::int32_t count = 0;
        for (const char* p = primary_glyph_rows[index][row]; *p != '\0';) {
            char* end = nullptr;
            const unsigned long value = std::strtoul(p, &end, 16);
            if (end - p != 6) malformed(index, "a pixel is not six hex digits");
            t.pixels.push_back(pixel(value));
            ++count;
            p = end;
            while (*p == ' ') ++p;
        }
        if (row == 0) t.width = count;
        if (count != t.width || count == 0) malformed(index, "rows differ in width");
    }
    return t;
}

}  // namespace

bool alternate_of(pixel primary, pixel* alternate) {
    std::uint8_t r, g, b;
    if (!map_channel(std::uint8_t(primary >> 16), r) || !map_channel(std::uint8_t(primary >> 8), g) ||
        !map_channel(std::uint8_t(primary), b))
        return false;
    *alternate = pixel(r) << 16 | pixel(g) << 8 | b;
    return true;
}

const glyph_set& real_glyphs() {
    static const glyph_set set = [] {
        glyph_set s = glyph_set_of([](int i, glyph& g) {
            g.primary = parse_primary(i);
            g.alternate = g.primary;
            for (pixel& p : g.alternate.pixels)
                if (!alternate_of(p, &p)) malformed(i, "a channel is not one of the seven levels");
        });
        prepare_glyph_set(s);
        return s;
    }();
    return set;
}
