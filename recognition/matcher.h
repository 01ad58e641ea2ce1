// Pixel-exact test of one glyph at one place of the frame, and the search of a
// small window of places. For every template column a background probe twelve rows
// below the candidate's top row decides how that column is compared: dark means
// not at all, grey means against the alternate rendering, anything else against
// the primary one.
#ifndef RECOGNITION_MATCHER_H
#define RECOGNITION_MATCHER_H

#include <cstdint>

#include "recognition/glyph_set.h"

inline constexpr std::int32_t probe_offset = 12;     // rows from a candidate's top row to its probe
inline constexpr std::int32_t candidate_row_offset = 2;  // first candidate top row below the reference row
inline constexpr std::int32_t candidate_rows = 2;    // reference + 2, then reference + 3
inline constexpr std::int32_t search_span = 60;      // a glyph of width w has 60 - w candidate columns

// True if the glyph is drawn with its top-left pixel at (x0, y0). Every compared
// pixel and every probe must lie inside the frame; a glyph hanging over any edge,
// the right one included, is no match.
bool match_glyph_at(const capture_frame& frame, std::int32_t x0, std::int32_t y0, const glyph& g);

// match_glyph_at without its checks, for callers that have made them: the glyph's
// width and height are positive and every pixel and probe of the place lies
// inside the frame.
bool glyph_drawn_at(const capture_frame& frame, std::int32_t x0, std::int32_t y0, const glyph& g);

struct glyph_hit {
    bool found = false;
    std::int32_t x = 0;  // left edge of the match; meaningless when not found
};

// Searches row y + 2 left to right over columns x .. x + 59 - w, then row y + 3 the
// same way; the first match wins, so row y + 2 is preferred even further right.
glyph_hit find_glyph(const capture_frame& frame, std::int32_t x, std::int32_t y, const glyph& g);

#endif  // RECOGNITION_MATCHER_H
