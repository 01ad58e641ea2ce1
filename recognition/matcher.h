// The matching rule, in its plain form: whether a glyph is drawn at one place of
// the frame. Every fast form in field_reader.cpp is tested against this one; the
// literal reference in support/oracle.h is kept apart from both.
//
// For every template column a background probe twelve rows below the place's top
// row decides how that column is compared: dark means not at all, grey means
// against the alternate rendering, anything else against the primary one. A place
// matches when every compared column equals the template, pixel for pixel, and
// every pixel and probe of the place lies inside the frame.
#ifndef RECOGNITION_MATCHER_H
#define RECOGNITION_MATCHER_H

#include <cstdint>

#include "recognition/glyph_set.h"

inline constexpr std::int32_t probe_offset = 12;         // rows from a candidate's top row to its probe
inline constexpr std::int32_t candidate_row_offset = 2;  // first candidate top row below the reference row
inline constexpr std::int32_t candidate_rows = 2;        // reference + 2, then reference + 3
inline constexpr std::int32_t search_span = 60;          // a glyph of width w has 60 - w candidate columns

// What a probe asks of the template column above it.
enum class probe_class : std::uint8_t { skipped, primary, alternate };

constexpr probe_class class_of_probe(pixel probe) {
    return probe == colour_dark   ? probe_class::skipped
           : probe == colour_grey ? probe_class::alternate
                                  : probe_class::primary;
}

// The rendering's background: what a frame pixel shows where the template is blank.
constexpr pixel background_of(probe_class c) { return c == probe_class::alternate ? colour_grey : colour_white; }

// The template a compared column is held against.
inline const glyph_template& rendering_for(const glyph& g, probe_class c) {
    return c == probe_class::alternate ? g.alternate : g.primary;
}

// The quick test's class of a frame column (see glyph_filter): 0 where the probe
// skips the column, else 1 + b for the primary rendering and 5 + b for the
// alternate one, bit k of b set where filter row k shows that rendering's background.
constexpr int filter_class(probe_class c, unsigned background_rows) {
    return c == probe_class::skipped
               ? 0
               : (c == probe_class::primary ? 1 : 1 + (1 << filter_row_count)) + int(background_rows);
}
static_assert(filter_class(probe_class::alternate, (1u << filter_row_count) - 1) == filter_class_count - 1);

// Whether every pixel and probe of glyph g placed with its top-left pixel at
// (x0, y0) lies inside the frame. A glyph hanging over any edge, the right one
// included, is no match.
constexpr bool place_inside(const capture_frame& frame, std::int64_t x0, std::int64_t y0, const glyph& g) {
    return x0 >= 0 && x0 + g.primary.width <= frame.width && y0 >= 0 && y0 + g.primary.height <= frame.height &&
           y0 + probe_offset < frame.height;
}

// The rule at a place for which place_inside holds.
bool glyph_drawn_at(const capture_frame& frame, std::int32_t x0, std::int32_t y0, const glyph& g);

#endif  // RECOGNITION_MATCHER_H
