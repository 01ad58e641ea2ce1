// The forms the reader can take, which one it takes, and each form's pixel work
// alone, open to the tests that hold each against the plain rule in matcher.h.
// Nothing but the reader and the tests use them.
#ifndef RECOGNITION_READER_PATHS_H
#define RECOGNITION_READER_PATHS_H

#include <array>
#include <cstdint>

#include "recognition/field_reader.h"

// The forms the reader can take: the plain rule alone, or with its pixel work in
// SSE2 or AVX2 registers. It takes the fastest the processor has.
enum class reader_path { plain, sse2, avx2 };

// For tests that check each form: makes the reader take path p from now on, if
// this build and processor have it; returns whether it does.
bool reader_use(reader_path p);

// The form the reader takes now.
reader_path reader_path_in_use();

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
