#include "recognition/matcher.h"

#include <cstddef>

bool match_glyph_at(const capture_frame& frame, std::int32_t x0, std::int32_t y0, const glyph& g) {
    const std::int64_t w = g.primary.width;
    const std::int64_t h = g.primary.height;
    if (w <= 0 || h <= 0) return true;  // nothing to compare

    // All compared pixels and probes inside the frame, checked once up front: the
    // result is the same as checking each one as it is visited.
    const std::int64_t left = x0, top = y0;
    if (left < 0 || left + w > frame.width) return false;
    if (top < 0 || top + h > frame.height || top + probe_offset >= frame.height) return false;
    return glyph_drawn_at(frame, x0, y0, g);
}

bool glyph_drawn_at(const capture_frame& frame, std::int32_t x0, std::int32_t y0, const glyph& g) {
    const std::size_t stride = std::size_t(frame.width);
    const pixel* origin = frame.pixels.data() + std::size_t(y0) * stride + std::size_t(x0);
    const pixel* probes = origin + probe_offset * stride;
    for (std::int32_t j = 0; j < g.primary.width; ++j) {
        const pixel probe = probes[j];
        if (probe == colour_dark) continue;  // column not compared
        const glyph_template& t = probe == colour_grey ? g.alternate : g.primary;
        const pixel* expected = t.pixels.data() + j;
        const pixel* actual = origin + j;
        for (std::int32_t i = 0; i < g.primary.height; ++i)
            if (actual[std::size_t(i) * stride] != expected[std::size_t(i) * std::size_t(t.width)]) return false;
    }
    return true;
}

glyph_hit find_glyph(const capture_frame& frame, std::int32_t x, std::int32_t y, const glyph& g) {
    const std::int64_t count = search_span - std::int64_t(g.primary.width);
    for (std::int64_t r = 0; r < candidate_rows; ++r) {
        const std::int64_t row = std::int64_t(y) + candidate_row_offset + r;
        for (std::int64_t j = 0; j < count; ++j) {
            const std::int64_t column = std::int64_t(x) + j;
            // Beyond the 32-bit range no place can lie inside a frame.
            if (row > INT32_MAX || column > INT32_MAX) return {};
            if (match_glyph_at(frame, std::int32_t(column), std::int32_t(row), g)) return {true, std::int32_t(column)};
        }
    }
    return {};
}
