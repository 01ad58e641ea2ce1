// Linked against the recognition library alone: builds a glyph set and a frame in
// memory, reads the six fields and checks the values. Proves that reading needs no
// platform, no stored bitmaps and no test support.
#include <cstdio>
#include <cstring>

#include "recognition/field_reader.h"

namespace {

constexpr std::int32_t glyph_width = 4, glyph_height = 8;

// Glyph i: white margins all round; in the two middle columns a dark mark on row 1
// and dark pixels on rows 2 to 5 spelling i in binary. No glyph then matches
// another, nor a place shifted from one or straddling two.
glyph_template make_template(int i) {
    glyph_template t{glyph_width, glyph_height, std::vector<pixel>(glyph_width * glyph_height, colour_white)};
    for (int row = 1; row <= 5; ++row)
        if (row == 1 || (i >> (row - 2) & 1))
            for (int column = 1; column <= 2; ++column) t.pixels[std::size_t(row * glyph_width + column)] = colour_dark;
    return t;
}

void draw(capture_frame& f, const glyph_template& t, std::int32_t x, std::int32_t y) {
    for (std::int32_t r = 0; r < t.height; ++r)
        for (std::int32_t c = 0; c < t.width; ++c)
            f.pixels[std::size_t((y + r) * f.width + x + c)] = t.pixels[std::size_t(r * t.width + c)];
}

}  // namespace

int main() {
    glyph_set set = glyph_set_of([](int i, glyph& g) { g.primary = g.alternate = make_template(i); });
    prepare_glyph_set(set);

    capture_frame frame{300, 400, std::vector<pixel>(300 * 400, colour_white)};
    const char* shown[axis_field_count] = {"125", "-37", "0", "-5", "99990", "-1"};
    const double expected[axis_field_count] = {12.5, -3.7, 0.0, -0.5, 9999.0, -0.1};
    for (int k = 0; k < axis_field_count; ++k) {
        std::int32_t x = first_search_column + 3 * k;
        for (const char* c = shown[k]; *c != '\0'; ++c, x += glyph_width + 1)
            draw(frame, set.glyphs[std::size_t(std::strchr(glyph_characters, *c) - glyph_characters)].primary, x,
                 first_field_row + field_pitch * k + 2);
    }

    double values[axis_field_count];
    read_axes(frame, set, values);
    int wrong = 0;
    for (int k = 0; k < axis_field_count; ++k)
        if (values[k] != expected[k]) {
            std::printf("field %d: read %g, shown %s (expected %g)\n", k, values[k], shown[k], expected[k]);
            ++wrong;
        }
    return wrong == 0 ? 0 : 1;
}
