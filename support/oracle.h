// A literal, deliberately plain implementation of the glyph matcher and the field
// reader: the reference the fast production code is checked against, bit for bit.
// It follows the algorithms step by step and element by element, with the two
// decisions the production code also makes: a place whose columns (template or
// probe) fall outside [0, width) is no match, and a field ends at 127 characters.
#ifndef SUPPORT_ORACLE_H
#define SUPPORT_ORACLE_H

#include <cstdint>

#include "recognition/glyph_set.h"

namespace oracle {

bool match_glyph_at(const capture_frame& frame, std::int32_t x0, std::int32_t y0, const glyph& g);
bool find_glyph(const capture_frame& frame, std::int32_t x, std::int32_t y, const glyph& g, std::int32_t* x_found);
double read_field(const capture_frame& frame, const glyph_set& set, std::int32_t y);
// The six values; returns the fields in which no glyph was found (bit k for field k).
std::uint32_t read_axes(const capture_frame& frame, const glyph_set& set, double values[6]);

}  // namespace oracle

#endif  // SUPPORT_ORACLE_H
