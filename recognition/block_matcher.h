// The fast matcher behind the field reader: a field's passes, for which it works
// out which glyphs match at which places of the field's two candidate rows, a
// block of 56 places at a time, kept for the passes after (block_matcher.cpp).
// Internal to recognition/.
#ifndef RECOGNITION_BLOCK_MATCHER_H
#define RECOGNITION_BLOCK_MATCHER_H

#include <cstdint>

#include "recognition/field_reader.h"

namespace reader_internal {

// A field's text, one character per pass (field_reader.h), into text: its
// length. With a trace, also where each glyph was found.
int read_text(const capture_frame& frame, const glyph_set& set, std::int32_t y, field_trace* trace,
              char (&text)[max_field_chars]);

}  // namespace reader_internal

#endif  // RECOGNITION_BLOCK_MATCHER_H
