// The reading gives exactly the results of searching every glyph with find_glyph in
// every pass, but much faster. A place's match does not depend on the pass, so for
// each of a field's two candidate rows the matches of all eleven glyphs are worked
// out once, 64 columns at a time, as bit masks. Within such a block a glyph is
// ruled out at once wherever a column it must draw in (on the two filter rows
// chosen by prepare_glyph_set) shows plain background; the few places left are
// compared in full, as match_glyph_at does. A pass then only looks for the first
// set bit of each glyph's mask within its window.
#include "recognition/field_reader.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>

#include "recognition/matcher.h"

#if !defined(GATEWAY_NO_SIMD) && (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64))
#define GATEWAY_SSE2 1
#include <emmintrin.h>
#else
#define GATEWAY_SSE2 0
#endif

namespace {

using word = std::uint64_t;

// Each pass moves the search at most search_span - 1 columns on and a field holds
// at most max_field_chars characters, so no window reaches further than this from
// the field's first search column.
constexpr std::int64_t max_reach = std::int64_t(max_field_chars + 1) * search_span;
// One extra word: masks of block n also look at the columns of block n + 1.
constexpr int max_words = int(max_reach / 64) + 2;
// Columns are counted from the first search column, which lies inside every frame
// wide enough to hold a field.
static_assert(first_search_column >= 0);
// A field's candidate rows and their probes stay above the next field's reference row.
static_assert(candidate_row_offset + candidate_rows - 1 + probe_offset < field_pitch);

// One candidate top row of one field, filled lazily from left to right.
struct row_scan {
    std::int64_t row = 0;  // bit b of word n stands for frame column first_search_column + 64 * n + b
    int classified = 0;    // words of background bits ready
    int matched = 0;       // words of match bits ready
    // [k] bit set: the column's probe selects the primary (resp. alternate) rendering
    // and its pixel on filter row k is that rendering's background.
    word primary_background[filter_row_count][max_words];
    word alternate_background[filter_row_count][max_words];
    // Bit set: the column's probe selects the primary (resp. alternate) rendering.
    word primary_probe[max_words];
    word alternate_probe[max_words];
    word match[glyph_count][max_words];
    // Bit g set: glyph g matches somewhere in the word; passes look only at those.
    std::uint32_t present[max_words];
};
static_assert(glyph_count <= 32);

// Bit b set where row[b] == value, for b < count (at most 64). This runs over every
// column of every field row the reader looks at, so on x86-64 it compares four
// pixels at a time; the plain loop gives the same bits.
word equal_bits(const pixel* row, int count, pixel value) {
    word bits = 0;
    int b = 0;
#if GATEWAY_SSE2
    const __m128i wanted = _mm_set1_epi32(static_cast<int>(value));
    for (; b + 4 <= count; b += 4) {
        const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + b));
        const int mask = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(four, wanted)));
        bits |= word(unsigned(mask)) << b;
    }
#endif
    for (; b < count; ++b) bits |= word(row[b] == value) << b;
    return bits;
}

void classify_word(const capture_frame& frame, const glyph_filter& filter, row_scan& scan) {
    const int n = scan.classified++;
    const std::int64_t first = first_search_column + 64 * std::int64_t(n);
    const std::int64_t probe_row = scan.row + probe_offset;
    int count = 0;  // columns of this word inside the frame
    if (probe_row >= 0 && probe_row < frame.height && first < frame.width)
        count = int(frame.width - first < 64 ? frame.width - first : 64);
    const std::size_t stride = std::size_t(frame.width);
    auto row_at = [&](std::int64_t row) { return frame.pixels.data() + std::size_t(row) * stride + std::size_t(first); };
    word primary = 0, alternate = 0;
    if (count > 0) {
        const pixel* probes = row_at(probe_row);
        alternate = equal_bits(probes, count, colour_grey);
        primary = ~(alternate | equal_bits(probes, count, colour_dark)) & (count == 64 ? ~word(0) : (word(1) << count) - 1);
    }
    scan.primary_probe[n] = primary;
    scan.alternate_probe[n] = alternate;
    for (std::size_t k = 0; k < filter_row_count; ++k) {
        const std::int64_t row = scan.row + filter.rows[k];
        word on_primary = 0, on_alternate = 0;
        if (count > 0 && filter.rows[k] >= 0 && row >= 0 && row < frame.height) {
            const pixel* filters = row_at(row);
            on_primary = primary & equal_bits(filters, count, colour_white);
            on_alternate = alternate & equal_bits(filters, count, colour_grey);
        }
        scan.primary_background[k][n] = on_primary;
        scan.alternate_background[k][n] = on_alternate;
    }
}

// Bits n*64 + j .. n*64 + j + 63 of a bit array, for 0 <= j < 64.
word bits_from(const word* bits, int n, int j) {
    return j == 0 ? bits[n] : (bits[n] >> j) | (bits[n + 1] << (64 - j));
}

// Columns whose background rules the glyph out, given its filter columns.
word ruled_out(const word* background, int n, word columns) {
    word out = 0;
    for (; columns != 0; columns &= columns - 1) out |= bits_from(background, n, std::countr_zero(columns));
    return out;
}

// Columns where every one of the given template columns finds an acceptable pixel.
word all_of(const word* acceptable, word columns) {
    word out = ~word(0);
    for (; columns != 0; columns &= columns - 1) out &= bits_from(acceptable, 0, std::countr_zero(columns));
    return out;
}

// The same two, over bit arrays already shifted by each template column.
word any_shifted(const word* shifted, word columns) {
    word out = 0;
    for (; columns != 0; columns &= columns - 1) out |= shifted[std::countr_zero(columns)];
    return out;
}

word all_shifted(const word* shifted, word columns) {
    word out = ~word(0);
    for (; columns != 0; columns &= columns - 1) out &= shifted[std::countr_zero(columns)];
    return out;
}

void match_word(const capture_frame& frame, const glyph_set& set, row_scan& scan) {
    while (scan.classified < scan.matched + 2) classify_word(frame, set.filter, scan);
    const int n = scan.matched++;
    const std::int64_t first = first_search_column + 64 * std::int64_t(n);
    // Where a glyph's filter columns are the same in both renderings (the host's
    // glyphs), one pass over the union of both backgrounds does.
    word either_background[filter_row_count][2];
    // Where the probe selects a rendering, a blank template column needs exactly that
    // rendering's background in the frame; elsewhere anything is acceptable.
    word blank_ok_primary[filter_row_count][2], blank_ok_alternate[filter_row_count][2], blank_ok[filter_row_count][2];
    for (std::size_t k = 0; k < filter_row_count; ++k)
        for (int m = 0; m < 2; ++m) {
            either_background[k][m] = scan.primary_background[k][n + m] | scan.alternate_background[k][n + m];
            blank_ok_primary[k][m] = ~scan.primary_probe[n + m] | scan.primary_background[k][n + m];
            blank_ok_alternate[k][m] = ~scan.alternate_probe[n + m] | scan.alternate_background[k][n + m];
            blank_ok[k][m] = blank_ok_primary[k][m] & blank_ok_alternate[k][m];
        }
    // Shifted once for every template column a filter uses, not once per glyph.
    word background_at[filter_row_count][64], blank_ok_at[filter_row_count][64];
    for (std::size_t k = 0; k < filter_row_count; ++k)
        for (int j = 0; j < set.filter.column_span; ++j) {
            background_at[k][j] = bits_from(either_background[k], 0, j);
            blank_ok_at[k][j] = bits_from(blank_ok[k], 0, j);
        }
    // A word of uniform surroundings rules whole glyphs out at once: where no
    // column of a filter row is acceptable under a blank template column, no glyph
    // with such a column can start; where every column is plain background, no
    // glyph with ink on that row can.
    std::uint32_t excluded = 0;
    for (std::size_t k = 0; k < filter_row_count; ++k) {
        if ((blank_ok[k][0] | blank_ok[k][1]) == 0) excluded |= set.filter.blank_glyphs[k];
        if ((either_background[k][0] & either_background[k][1]) == ~word(0)) excluded |= set.filter.ink_glyphs[k];
    }
    std::uint32_t present = 0;
    for (std::size_t g = 0; g < glyph_count; ++g) {
        const glyph& gl = set.glyphs[g];
        if (excluded >> g & 1) {
            scan.match[g][n] = 0;
            continue;
        }
        const std::int64_t w = gl.primary.width, h = gl.primary.height;
        word bits = 0;
        // Only places whose pixels and probes all lie inside the frame can match.
        if (w > 0 && h > 0 && scan.row >= 0 && scan.row + h <= frame.height && scan.row + probe_offset < frame.height) {
            const std::int64_t hi = std::int64_t(frame.width) - w - first;  // last bit with column + w <= width
            if (hi >= 0) {
                word left = hi < 63 ? ~word(0) >> (63 - hi) : ~word(0);
                for (std::size_t k = 0; k < filter_row_count; ++k) {
                    const word on_primary = set.filter.primary_columns[k][g], on_alternate = set.filter.alternate_columns[k][g];
                    if (on_primary == on_alternate) {
                        left &= ~any_shifted(background_at[k], on_primary);
                    } else {
                        left &= ~ruled_out(scan.primary_background[k], n, on_primary) &
                                ~ruled_out(scan.alternate_background[k], n, on_alternate);
                    }
                    const word blank_primary = set.filter.primary_blank_columns[k][g];
                    const word blank_alternate = set.filter.alternate_blank_columns[k][g];
                    if (left == 0) break;
                    if (blank_primary == blank_alternate)
                        left &= all_shifted(blank_ok_at[k], blank_primary);
                    else
                        left &= all_of(blank_ok_primary[k], blank_primary) & all_of(blank_ok_alternate[k], blank_alternate);
                }
                for (; left != 0; left &= left - 1) {
                    const int b = std::countr_zero(left);
                    if (glyph_drawn_at(frame, std::int32_t(first + b), std::int32_t(scan.row), gl)) bits |= word(1) << b;
                }
            }
        }
        scan.match[g][n] = bits;
        present |= std::uint32_t(bits != 0) << g;
    }
    scan.present[n] = present;
}

// Offset (from the first search column) of the first match of glyph g at offsets lo..hi, or -1.
std::int64_t first_match(const capture_frame& frame, const glyph_set& set, row_scan& scan, int g, std::int64_t lo,
                         std::int64_t hi) {
    const int last = int(hi >> 6);
    while (scan.matched <= last) match_word(frame, set, scan);
    for (int n = int(lo >> 6); n <= last; ++n) {
        word bits = scan.match[g][n];
        if (n == int(lo >> 6)) bits &= ~word(0) << (lo & 63);
        if (n == last && (hi & 63) < 63) bits &= ~word(0) >> (63 - (hi & 63));
        if (bits != 0) return 64 * std::int64_t(n) + std::countr_zero(bits);
    }
    return -1;
}

double text_value(const char* text, int length) {
    // Like atof in the C locale on a text of digits and minus signs: the longest
    // leading number, or 0.0 when there is none (a lone minus gives +0.0).
    double number = 0.0;
    std::from_chars(text, text + length, number);
    return number / field_divisor;  // a quotient, so equal texts give identical bits
}

}  // namespace

namespace {

double read_field_traced(const capture_frame& frame, const glyph_set& set, std::int32_t y, field_trace* trace) {
    // Some 30 KiB, so kept out of the stack frame and reused from call to call.
    static thread_local row_scan rows[candidate_rows];
    for (int r = 0; r < candidate_rows; ++r) {
        rows[r].row = std::int64_t(y) + candidate_row_offset + r;
        rows[r].classified = 0;
        rows[r].matched = 0;
    }

    // Glyphs with nothing to compare match at every first candidate column.
    std::uint32_t always = 0;
    for (int g = 0; g < glyph_count; ++g) {
        const glyph_template& t = set.glyphs[std::size_t(g)].primary;
        always |= std::uint32_t(t.width <= 0 || t.height <= 0) << g;
    }

    if (trace != nullptr) trace->hits.clear();
    char text[max_field_chars];
    int length = 0;
    std::int64_t x = first_search_column;
    while (length < max_field_chars) {
        // Only glyphs that match somewhere in the words this pass can reach are
        // worth a look.
        const std::int64_t lo = x - first_search_column;
        const int first_word = int(lo >> 6), last_word = int((lo + search_span - 1) >> 6);
        std::uint32_t candidates = always;
        for (row_scan& scan : rows) {
            while (scan.matched <= last_word) match_word(frame, set, scan);
            for (int n = first_word; n <= last_word; ++n) candidates |= scan.present[n];
        }
        int best = -1;
        std::int64_t best_x = 0, best_row = 0;
        for (; candidates != 0 && !(best >= 0 && best_x == x); candidates &= candidates - 1) {
            const int g = std::countr_zero(candidates);
            const glyph& gl = set.glyphs[std::size_t(g)];
            const std::int64_t w = gl.primary.width;
            if (search_span - w <= 0) continue;  // no candidate columns
            std::int64_t found = -1, found_row = rows[0].row;
            if (w <= 0 || gl.primary.height <= 0) {
                found = x;  // nothing to compare: matches at the first candidate
            } else {
                const std::int64_t hi = lo + search_span - 1 - w;
                for (int r = 0; r < candidate_rows && found < 0; ++r) {
                    const std::int64_t offset = first_match(frame, set, rows[r], g, lo, hi);
                    if (offset >= 0) {
                        found = first_search_column + offset;
                        found_row = rows[r].row;
                    }
                }
            }
            if (found >= 0 && (best < 0 || found < best_x)) {
                best = g;
                best_x = found;
                best_row = found_row;
            }
        }
        if (best < 0) break;
        text[length++] = set.glyphs[std::size_t(best)].character;
        if (trace != nullptr) {
            const glyph_template& t = set.glyphs[std::size_t(best)].primary;
            trace->hits.push_back({text[length - 1], std::int32_t(best_x), std::int32_t(best_row), t.width, t.height});
        }
        x = best_x + 1;
    }
    if (trace != nullptr) trace->text.assign(text, std::size_t(length));
    return text_value(text, length);
}

}  // namespace

frame_area area_read(const glyph_set& set) {
    std::int32_t tallest = 0;
    for (const glyph& g : set.glyphs) tallest = std::max(tallest, g.primary.height);
    const std::int32_t last_top = fields_end_row - field_pitch + candidate_row_offset + candidate_rows - 1;
    return {first_search_column, first_row_read, std::max(rows_read_end, last_top + tallest)};
}

double read_field(const capture_frame& frame, const glyph_set& set, std::int32_t y) {
    return read_field_traced(frame, set, y, nullptr);
}

double trace_field(const capture_frame& frame, const glyph_set& set, std::int32_t y, field_trace& trace) {
    return read_field_traced(frame, set, y, &trace);
}

void read_axes(const capture_frame& frame, const glyph_set& set, double values[axis_field_count]) {
    int k = 0;
    for (std::int32_t y = first_field_row; y < fields_end_row; y += field_pitch) values[k++] = read_field(frame, set, y);
}
