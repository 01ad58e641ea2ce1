// The field reader's interface: a field's text comes from the fast matcher
// (block_matcher.h), which runs its passes; here it becomes the field's value.
#include "recognition/field_reader.h"

#include <algorithm>
#include <charconv>

#include "recognition/block_matcher.h"

namespace {

double text_value(const char* text, int length) {
    // Like atof in the C locale on a text of digits and minus signs: the longest
    // leading number, or 0.0 when there is none (a lone minus gives +0.0).
    const bool negative = length > 0 && text[0] == '-';
    std::uint64_t whole = 0;
    int i = negative ? 1 : 0;
    // Below 2^49 one more digit keeps the integer under 2^53 (10 * 2^49 + 9 <
    // 2^53), where every integer is a double exactly; a longer text goes to
    // from_chars, which rounds correctly.
    for (; i < length && text[i] >= '0' && text[i] <= '9' && whole < (std::uint64_t(1) << 49); ++i)
        whole = whole * 10 + std::uint64_t(text[i] - '0');
    double number = 0.0;
    if (i < length && text[i] >= '0' && text[i] <= '9')
        std::from_chars(text, text + length, number);
    else if (i > (negative ? 1 : 0))
        number = negative ? -double(whole) : double(whole);
    return number / field_divisor;  // a quotient, so equal texts give identical bits
}

double read_field_traced(const capture_frame& frame, const glyph_set& set, std::int32_t y, field_trace* trace,
                         int* characters = nullptr) {
    char text[max_field_chars];
    const int length = reader_internal::read_text(frame, set, y, trace, text);
    if (characters != nullptr) *characters = length;
    return text_value(text, length);
}

}  // namespace

frame_area area_read(const glyph_set& set) {
    const frame_area fields = fields_rows(0, axis_field_count);
    const std::int32_t last_top = fields.top + field_pitch * (axis_field_count - 1) + candidate_rows - 1;
    return {fields.left, fields.top, std::max(fields.bottom, last_top + set.filter.tallest)};
}

double read_field(const capture_frame& frame, const glyph_set& set, std::int32_t y) {
    return read_field_traced(frame, set, y, nullptr);
}

double trace_field(const capture_frame& frame, const glyph_set& set, std::int32_t y, field_trace& trace) {
    return read_field_traced(frame, set, y, &trace);
}

std::uint32_t read_axes(const capture_frame& frame, const glyph_set& set, double values[axis_field_count]) {
    std::uint32_t blank = 0;
    for (int k = 0; k < axis_field_count; ++k) {
        int characters = 0;
        values[k] = read_field_traced(frame, set, first_field_row + field_pitch * k, nullptr, &characters);
        blank |= std::uint32_t(characters == 0) << k;
    }
    return blank;
}
