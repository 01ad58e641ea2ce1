#include "support/frame_painter.h"

#include <cstdio>
#include <cstdlib>

#include "recognition/field_reader.h"

capture_frame blank_frame(std::int32_t width, std::int32_t height, pixel fill) {
    capture_frame f;
    f.width = width;
    f.height = height;
    f.pixels.assign(std::size_t(width > 0 && height > 0 ? std::int64_t(width) * height : 0), fill);
    return f;
}

void put_pixel(capture_frame& frame, std::int32_t x, std::int32_t y, pixel colour) {
    if (x >= 0 && x < frame.width && y >= 0 && y < frame.height)
        frame.pixels[std::size_t(y) * std::size_t(frame.width) + std::size_t(x)] = colour;
}

pixel get_pixel(const capture_frame& frame, std::int32_t x, std::int32_t y) {
    return frame.pixels[std::size_t(y) * std::size_t(frame.width) + std::size_t(x)];
}

void fill_rect(capture_frame& frame, std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h, pixel colour) {
    for (std::int32_t r = y; r < y + h; ++r)
        for (std::int32_t c = x; c < x + w; ++c) put_pixel(frame, c, r, colour);
}

void draw_glyph(capture_frame& frame, const glyph& g, std::int32_t x, std::int32_t y, rendering r) {
    const glyph_template& t = r == rendering::primary ? g.primary : g.alternate;
    for (std::int32_t i = 0; i < t.height; ++i)
        for (std::int32_t j = 0; j < t.width; ++j)
            put_pixel(frame, x + j, y + i, t.pixels[std::size_t(i * t.width + j)]);
}

const glyph& glyph_for(const glyph_set& set, char c) {
    for (const glyph& g : set.glyphs)
        if (g.character == c) return g;
    std::fprintf(stderr, "no glyph for '%c'\n", c);
    std::abort();
}

namespace {

pixel background_of(rendering r) { return r == rendering::primary ? colour_white : colour_grey; }

std::int32_t draw_text(capture_frame& frame, const glyph_set& set, std::int32_t top, std::int32_t x,
                       const std::string& text, rendering r) {
    const pixel ink = r == rendering::primary ? colour_dark : colour_white;
    for (char c : text) {
        if (c == ',') {
            // A small comma at the glyphs' baseline: two pixels of ink, then a tail.
            put_pixel(frame, x, top + 6, ink);
            put_pixel(frame, x, top + 7, ink);
            put_pixel(frame, x, top + 8, ink);
            x += 3;
            continue;
        }
        const glyph& g = glyph_for(set, c);
        draw_glyph(frame, g, x, top, r);
        x += g.primary.width + 1;
    }
    return x;
}

}  // namespace

std::int32_t draw_field(capture_frame& frame, const glyph_set& set, std::int32_t y, std::int32_t x,
                        const std::string& text, rendering r, std::int32_t drop) {
    fill_rect(frame, x, y, frame.width - x, 2 + drop + 16, background_of(r));
    return draw_text(frame, set, y + 2 + drop, x, text, r);
}

std::int32_t draw_boxed_field(capture_frame& frame, const glyph_set& set, std::int32_t y, std::int32_t box_left,
                              std::int32_t box_right, std::int32_t x, const std::string& text, rendering r,
                              std::int32_t drop) {
    fill_rect(frame, box_left, y, box_right - box_left, 2 + drop + 16, background_of(r));
    return draw_text(frame, set, y + 2 + drop, x, text, r);
}

capture_frame dialog_frame(const std::string (&texts)[6], const std::int32_t (&first_columns)[6]) {
    capture_frame f = blank_frame(306, 422, colour_dialog);
    for (int k = 0; k < 6; ++k) {
        const std::int32_t x = first_columns[k];
        const rendering r = k % 2 ? rendering::alternate : rendering::primary;
        // Right-aligned in a box that ends a few columns after the text.
        capture_frame measure = blank_frame(0, 0);
        const std::int32_t end = draw_text(measure, real_glyphs(), 0, x, texts[k], r);
        draw_boxed_field(f, real_glyphs(), first_field_row + field_pitch * k, 96, end + 3, x, texts[k], r);
    }
    return f;
}
