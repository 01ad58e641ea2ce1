// The reader's fast forms of the matching rule, one per reader_path, open to the
// tests that hold each against the plain rule in matcher.h. Nothing else uses them.
#ifndef RECOGNITION_READER_PATHS_H
#define RECOGNITION_READER_PATHS_H

#include <array>
#include <cstdint>

#include "recognition/field_reader.h"

// Whether this build and processor have path p.
bool reader_path_available(reader_path p);

// The filter class (filter_class) that path p gives each of the 64 columns of
// block n of candidate top row `top` (column first_search_column + 56 n + b for
// element b); -1 for a column beyond the frame or under a probe row outside it. A
// filter row outside the frame shows no background.
std::array<int, 64> classify_block(reader_path p, const capture_frame& frame, const glyph_filter& filter,
                                   std::int64_t top, int n);

// glyph_drawn_at for glyph g of the prepared set as path p compares it; the
// place must satisfy place_inside.
bool glyph_drawn_by(reader_path p, const capture_frame& frame, std::int32_t x0, std::int32_t y0, const glyph_set& set,
                    int g);

#endif  // RECOGNITION_READER_PATHS_H
