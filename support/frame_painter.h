// Paints capture frames in memory the way the host paints its jog window, for
// tests, benchmarks and the host simulator: glyphs in either rendering, field backgrounds and the
// decimal separator, which is a mark that no glyph matches.
#ifndef SUPPORT_FRAME_PAINTER_H
#define SUPPORT_FRAME_PAINTER_H

#include <cstdint>
#include <string>

#include "recognition/glyph_set.h"
#include "support/glyph_tables.h"

enum class rendering { primary, alternate };

capture_frame blank_frame(std::int32_t width, std::int32_t height, pixel fill = colour_white);

// Sets the pixels of the rectangle that lie inside the frame.
void fill_rect(capture_frame& frame, std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h, pixel colour);
void put_pixel(capture_frame& frame, std::int32_t x, std::int32_t y, pixel colour);
pixel get_pixel(const capture_frame& frame, std::int32_t x, std::int32_t y);

// Draws the glyph's template with its top-left pixel at (x, y), clipped to the frame.
void draw_glyph(capture_frame& frame, const glyph& g, std::int32_t x, std::int32_t y, rendering r);

const glyph& glyph_for(const glyph_set& set, char c);

inline constexpr std::int32_t glyph_advance = 7;  // template width plus one column of background

// Paints a field as the host shows it: a background band from column x to the
// right edge covering the glyph rows and the probe rows below them, then the text
// with its glyph tops at reference row y + 2 + drop. Digits and '-' are glyphs;
// ',' is the decimal separator mark. Returns the column after the last character.
std::int32_t draw_field(capture_frame& frame, const glyph_set& set, std::int32_t y, std::int32_t x,
                        const std::string& text, rendering r, std::int32_t drop = 0);

// A field as a dialog shows it: the rendering's background only in a box from
// column box_left to box_right (exclusive), the frame's own colour around it, and
// the text from column x.
std::int32_t draw_boxed_field(capture_frame& frame, const glyph_set& set, std::int32_t y, std::int32_t box_left,
                              std::int32_t box_right, std::int32_t x, const std::string& text, rendering r,
                              std::int32_t drop = 0);

// Six fields in white and grey boxes on a dialog face (0xF0F0F0), the first
// characters at the given columns: the surroundings the quick filter must also
// rule out fast.
inline constexpr pixel colour_dialog = 0xF0F0F0;
capture_frame dialog_frame(const std::string (&texts)[6], const std::int32_t (&first_columns)[6]);

#endif  // SUPPORT_FRAME_PAINTER_H
