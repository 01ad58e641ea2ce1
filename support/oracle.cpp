#include "support/oracle.h"

#include <cstdlib>
#include <cstring>

namespace oracle {
namespace {

// Element of the frame at (column, row), or false when it lies outside.
bool frame_element(const capture_frame& frame, std::int64_t column, std::int64_t row, pixel* out) {
    if (column < 0 || column >= frame.width) return false;
    const std::int64_t index = row * frame.width + column;
    if (index < 0 || index >= std::int64_t(frame.width) * frame.height) return false;
    *out = frame.pixels[std::size_t(index)];
    return true;
}

}  // namespace

bool match_glyph_at(const capture_frame& frame, std::int32_t x0, std::int32_t y0, const glyph& g) {
    const std::int32_t w = g.primary.width;
    const std::int32_t h = g.primary.height;
    if (h == 0) return true;
    for (std::int32_t i = 0; i < h; ++i) {
        for (std::int32_t j = 0; j < w; ++j) {
            pixel probe;
            if (!frame_element(frame, std::int64_t(x0) + j, std::int64_t(y0) + 12, &probe)) return false;
            int mode;  // 0 not compared, 1 alternate, 2 primary
            if (probe == 0x141414)
                mode = 0;
            else if (probe == 0x808080)
                mode = 1;
            else
                mode = 2;
            pixel actual;
            if (!frame_element(frame, std::int64_t(x0) + j, std::int64_t(y0) + i, &actual)) return false;
            if (mode == 1 && actual != g.alternate.pixels[std::size_t(i * g.alternate.width + j)]) return false;
            if (mode == 2 && actual != g.primary.pixels[std::size_t(i * w + j)]) return false;
        }
    }
    return true;
}

bool find_glyph(const capture_frame& frame, std::int32_t x, std::int32_t y, const glyph& g, std::int32_t* x_found) {
    const std::int32_t w = g.primary.width;
    for (std::int32_t row = y + 2; row <= y + 3; ++row) {
        for (std::int32_t j = 0; j < 60 - w; ++j) {
            if (match_glyph_at(frame, x + j, row, g)) {
                *x_found = x + j;
                return true;
            }
        }
    }
    return false;
}

namespace {

double read_field_text(const capture_frame& frame, const glyph_set& set, std::int32_t y, std::size_t* characters) {
    char text[128];
    std::memset(text, 0, sizeof text);
    std::size_t length = 0;
    std::int32_t x = 101;
    for (;;) {
        bool found[11];
        std::int32_t column[11];
        int best = -1;
        for (int i = 0; i < 11; ++i) {
            found[i] = find_glyph(frame, x, y, set.glyphs[std::size_t(i)], &column[i]);
            if (found[i] && (best < 0 || column[i] < column[best])) best = i;
        }
        if (best < 0) break;
        text[length++] = set.glyphs[std::size_t(best)].character;
        x = column[best] + 1;
        if (length == 127) break;  // the buffer is full: the field ends here
    }
    *characters = length;
    return std::atof(text) / 10.0;
}

}  // namespace

double read_field(const capture_frame& frame, const glyph_set& set, std::int32_t y) {
    std::size_t characters = 0;
    return read_field_text(frame, set, y, &characters);
}

std::uint32_t read_axes(const capture_frame& frame, const glyph_set& set, double values[6]) {
    std::uint32_t blank = 0;
    for (int k = 0; k < 6; ++k) {
        std::size_t characters = 0;
        values[k] = read_field_text(frame, set, 208 + 26 * k, &characters);
        blank |= std::uint32_t(characters == 0) << k;
    }
    return blank;
}

}  // namespace oracle
