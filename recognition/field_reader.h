// Reads the six numeric fields of the jog window from a captured frame. Each field
// is read left to right, one character per pass: the glyph found furthest left
// (ties to the lower index) is appended and the next pass starts one column to the
// right of it. The text is converted like atof and divided by 10.0, because the
// host's decimal separator has no glyph and is passed over.
#ifndef RECOGNITION_FIELD_READER_H
#define RECOGNITION_FIELD_READER_H

#include <cstdint>
#include <string>
#include <vector>

#include "recognition/glyph_set.h"
#include "recognition/matcher.h"

inline constexpr std::int32_t first_search_column = 101;
inline constexpr std::int32_t first_field_row = 208;  // reference row of the top field
inline constexpr std::int32_t field_pitch = 26;
inline constexpr std::int32_t fields_end_row = 364;  // no reference row at or below this
inline constexpr int axis_field_count = 6;
inline constexpr int max_field_chars = 127;  // a field's text holds at most this many
inline constexpr double field_divisor = 10.0;
static_assert(fields_end_row == first_field_row + axis_field_count * field_pitch, "six fields, one pitch apart");

// The rows the reader ever looks at: from the top field's first candidate glyph
// top to the bottom field's last probe row (exclusive end).
inline constexpr std::int32_t first_row_read = first_field_row + candidate_row_offset;
inline constexpr std::int32_t rows_read_end =
    fields_end_row - field_pitch + candidate_row_offset + candidate_rows - 1 + probe_offset + 1;

// The part of a frame the reader can look at with this glyph set (prepared, see
// prepare_glyph_set): the columns from the first search column to the frame's
// right edge, and the rows [top, bottom) from the top field's first candidate row
// to the bottom field's last probe row, or its last glyph row if the glyphs reach
// lower.
struct frame_area {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t bottom = 0;
};
frame_area area_read(const glyph_set& set);

// The part of a frame that fields first to first + count - 1 occupy: from the
// first search column to the right edge, and from the first's first candidate row
// to the last's last probe row (exclusive). All six: first_row_read to
// rows_read_end.
constexpr frame_area fields_rows(int first, int count) {
    const std::int32_t top = first_field_row + field_pitch * first + candidate_row_offset;
    return {first_search_column, top, top + field_pitch * (count - 1) + candidate_rows + probe_offset};
}
static_assert(fields_rows(0, axis_field_count).top == first_row_read &&
              fields_rows(0, axis_field_count).bottom == rows_read_end);

// How a field was read, for diagnosis: the text and where each glyph was found.
struct field_trace {
    struct hit {
        char character = 0;
        std::int32_t x = 0;    // left edge
        std::int32_t top = 0;  // the candidate row it matched on
        std::int32_t width = 0, height = 0;
    };
    std::string text;
    std::vector<hit> hits;
};

// The value of the field whose reference row is y. The set must be prepared
// (see prepare_glyph_set).
double read_field(const capture_frame& frame, const glyph_set& set, std::int32_t y);

// read_field that also tells the text read and where each glyph was found.
double trace_field(const capture_frame& frame, const glyph_set& set, std::int32_t y, field_trace& trace);

// The six field values, top to bottom. Returns the fields in which no glyph was
// found (bit k for field k): such a field reads 0.0 like a field showing "0,0",
// but shows no digit at all, which the host draws only for a field left empty.
std::uint32_t read_axes(const capture_frame& frame, const glyph_set& set, double values[axis_field_count]);

#endif  // RECOGNITION_FIELD_READER_H
