#ifndef RECOGNITION_PROBE_ROWS_H
#define RECOGNITION_PROBE_ROWS_H

#include <cstdint>
#include <vector>

#include "recognition/field_reader.h"

// The fields' probe rows (both candidate rows of each field, from the first search
// column to the frame's right edge), one after another. They show a field's
// background, never its digits, so they stay as they are while values change and
// differ when something else lies there (a window's remnants, unpainted pixels).
// refresh_probe_rows puts the frame's into rows, telling whether they differ from
// what rows held and whether they equal trusted: in one pass without library
// calls, since it runs every cycle (and under Wine the C library compares memory
// a byte at a time).
struct probe_rows_news {
    bool changed = false;     // from what rows held before
    bool as_trusted = false;  // equal to trusted (never when the frame has no probe rows)
    bool foreign = false;     // a pixel that differs from trusted's is no field's background
                              // (not white, grey or the dark line); false when there is no trusted
};
probe_rows_news refresh_probe_rows(const capture_frame& frame, std::vector<pixel>& rows,
                                   const std::vector<pixel>& trusted);

// Candidate row r's probe row of field k.
constexpr std::int32_t probe_row(int field, int r) {
    return first_field_row + field_pitch * field + candidate_row_offset + r + probe_offset;
}

// The colours on field k's two probe rows across its first search window.
struct probe_counts {
    int white = 0;
    int grey = 0;
    int dark = 0;
    int other = 0;
};
probe_counts count_probe_rows(const capture_frame& frame, int field);

// Whether most of them are plain white or grey: a field's background, on which a
// field without digits is one that the host left empty. (The digits sit in a box
// that need not start at the first search column, so a part may be something else.)
constexpr bool probe_rows_plain(const probe_counts& n) {
    return 2 * (n.white + n.grey) > n.white + n.grey + n.dark + n.other;
}

#endif  // RECOGNITION_PROBE_ROWS_H
