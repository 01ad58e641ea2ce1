// The reading gives exactly the results of searching every glyph at every place
// with the plain rule (matcher.h) in every pass, but much faster. A place's match
// does not depend on the pass, so for each of a field's two candidate rows the
// matches of all eleven glyphs are worked out once, word_places places at a time
// and both rows side by side, as bit masks. For such a block each of 64 columns is
// classified once (by its probe and by which of the two filter rows show the
// background, see glyph_filter), and a glyph is ruled out at once wherever one of
// its columns meets a class it cannot match; the few places left are compared in
// full. A pass then looks for the first match in the upper row and in the lower
// row only up to that.
//
// Limits, all fixed at compile time:
//   filter_column_count   8     template columns the quick test looks at
//   word_places          56     places one block decides (64 - 8)
//   search_span          60     a pass's window; a glyph of width w has 60 - w places
//   max_field_chars     127     characters in a field, so passes per field
//   max_reach          7680     (127 + 1) * 60: columns from the first search column
//                               a field can ever reach
//   max_words           138     blocks per candidate row (7680 / 56 + 1)
//   candidate_rows        2     one in each 64-bit half of a 128-bit register
//   glyph_count          11     a bit each in 32-bit glyph masks
//
// One block n of one candidate row (bit b stands for the place whose left edge is
// at column first_search_column + 56 n + b):
//
//   columns classified   |0 1 2 ...                       ... 55|56 ... 63|
//   places decided       |0 1 2 ...                       ... 55|
//   place 55 tests       .                                   |55 ... 62|
//
// A place's quick test needs its first 8 columns, so the 56 places need 64
// classified columns and no block needs its neighbour's classes; block n + 1
// classifies columns 56 (n + 1) onwards again.
//
// If the matching rule changes, change in this order:
//   1. support/oracle.cpp, the literal reference, and tests/test_matcher.cpp;
//   2. matcher.h, the plain rule (class_of_probe, background_of, rendering_for,
//      place_inside, glyph_drawn_at);
//   3. filter_class (matcher.h) and accepted_classes (glyph_set.cpp), if the
//      classes change;
//   4. block_forms.h: classify_columns, classify_64, classify_64_avx2 (a column's
//      class), drawn_at, drawn_at_avx2 (the full comparison); here, the all-dark
//      shortcut in compare_left;
//   5. run FastFormsFollowTheRule (test_matcher) and the differential test, which
//      hold each form against the rule and the reference.
#include "recognition/block_matcher.h"

#include <algorithm>
#include <bit>

#include "recognition/block_forms.h"

namespace reader_internal {

namespace {

// Each pass moves the search at most search_span - 1 columns on and a field holds
// at most max_field_chars characters, so no window reaches further than this from
// the field's first search column.
constexpr std::int64_t max_reach = std::int64_t(max_field_chars + 1) * search_span;
constexpr int max_words = int(max_reach / word_places) + 1;
// Columns are counted from the first search column, which lies inside every frame
// wide enough to hold a field.
static_assert(first_search_column >= 0);
// A field's candidate rows and their probes stay above the next field's reference row.
static_assert(candidate_row_offset + candidate_rows - 1 + probe_offset < field_pitch);
static_assert(glyph_count <= 32);

// One candidate top row of one field.
struct row_scan {
    std::int64_t row = 0;    // bit b of word n stands for frame column first_search_column + word_places * n + b
    std::uint32_t fits = 0;  // glyphs whose pixels and probes fit between the frame's top and bottom here
    word match[max_words][glyph_count];
    word any[max_words];  // places where some glyph matches
    // Bit g set: glyph g matches somewhere in the word; passes look only at those.
    std::uint32_t present[max_words];
};

// A field's candidate rows, filled lazily from left to right and a block of every
// row at a time: the last pass of a field needs every row as far as the furthest,
// and the rows' quick tests run side by side, one row in each half of a register.
struct field_scan {
    reader_path path = reader_path::plain;  // the form that matches them
    int matched = 0;                        // words of match bits ready in every row
    row_scan rows[candidate_rows];
};
static_assert(candidate_rows == 2);

struct place {
    std::int64_t offset = -1;  // from the first search column; -1: none
    int glyph = 0;
    int row = 0;  // candidate row
};

// The bits of word n that stand for offsets lo..hi (n lies between their words).
inline word within(word bits, int n, std::int64_t lo, std::int64_t hi) {
    const std::int64_t base = word_places * std::int64_t(n);
    if (lo > base) bits &= ~word(0) << (lo - base);
    if (hi < base + word_places - 1) bits &= (word(2) << (hi - base)) - 1;
    return bits;
}

// A word for each candidate row.
struct row_pair {
#if GATEWAY_SSE2
    __m128i v;
    static row_pair of(word a, word b) { return {_mm_set_epi64x(std::int64_t(b), std::int64_t(a))}; }
    row_pair operator&(const row_pair& o) const { return {_mm_and_si128(v, o.v)}; }
    row_pair operator|(const row_pair& o) const { return {_mm_or_si128(v, o.v)}; }
    row_pair operator>>(int j) const { return {_mm_srli_epi64(v, j)}; }
    row_pair operator~() const { return {_mm_xor_si128(v, _mm_set1_epi32(-1))}; }
    word lane(int r) const { return word(_mm_cvtsi128_si64(r == 0 ? v : _mm_unpackhi_epi64(v, v))); }
#else
    word v[2];
    static row_pair of(word a, word b) { return {{a, b}}; }
    row_pair operator&(const row_pair& o) const { return {{v[0] & o.v[0], v[1] & o.v[1]}}; }
    row_pair operator|(const row_pair& o) const { return {{v[0] | o.v[0], v[1] | o.v[1]}}; }
    row_pair operator>>(int j) const { return {{v[0] >> j, v[1] >> j}}; }
    row_pair operator~() const { return {{~v[0], ~v[1]}}; }
    word lane(int r) const { return v[r]; }
#endif
};

// The columns of one block as the filter sees them, both rows side by side:
// [s][c], the places whose column c places to the right is in the filter's set s;
// possible, the places where some glyph could start.
struct block_sets {
    row_pair shifted[max_filter_sets][filter_column_count];
    row_pair possible;
};

[[gnu::always_inline]] inline block_sets sets_of(const glyph_filter& filter,
                                                 const column_kinds (&kinds)[candidate_rows]) {
    auto both = [&](word column_kinds::*kind) { return row_pair::of(kinds[0].*kind, kinds[1].*kind); };
    const row_pair dark = both(&column_kinds::dark), primary = both(&column_kinds::primary),
                   alternate = both(&column_kinds::alternate);
    row_pair background[filter_row_count];
    for (std::size_t k = 0; k < filter_row_count; ++k)
        background[k] = row_pair::of(kinds[0].background[k], kinds[1].background[k]);
    // [b]: columns showing the background on exactly the filter rows of b.
    constexpr int patterns = 1 << filter_row_count;
    row_pair same[patterns];
    for (int b = 0; b < patterns; ++b) {
        same[b] = row_pair::of(~word(0), ~word(0));
        for (std::size_t k = 0; k < filter_row_count; ++k)
            same[b] = same[b] & (b >> k & 1 ? background[k] : ~background[k]);
    }
    // [m]: columns in any of the patterns of m.
    row_pair either[1 << patterns];
    either[0] = row_pair::of(0, 0);
    for (unsigned m = 1; m < 1u << patterns; ++m) either[m] = either[m & (m - 1)] | same[std::countr_zero(m)];
    // [s]: columns whose class is in the filter's set s; a set's classes of one
    // rendering are the patterns from that rendering's class for pattern 0 on.
    constexpr unsigned pattern_bits = (1u << patterns) - 1;
    constexpr int primary_0 = filter_class(probe_class::primary, 0),
                  alternate_0 = filter_class(probe_class::alternate, 0);
    constexpr int skipped = filter_class(probe_class::skipped, 0);
    row_pair sets[max_filter_sets];
    sets[0] = row_pair::of(~word(0), ~word(0));  // every class, and beyond the frame too: no requirement
    for (int s = 1; s < filter.set_count; ++s) {
        const unsigned m = filter.sets[std::size_t(s)];
        sets[s] =
            (primary & either[m >> primary_0 & pattern_bits]) | (alternate & either[m >> alternate_0 & pattern_bits]);
        if (m >> skipped & 1) sets[s] = sets[s] | dark;
    }
    block_sets out;
    for (int s = 0; s < filter.set_count; ++s)
        for (int c = 0; c < filter_column_count; ++c) out.shifted[s][c] = sets[s] >> c;
    // None in most blocks away from the text.
    out.possible = row_pair::of(place_bits, place_bits);
    for (int c = 0; c < filter_column_count; ++c)
        out.possible = out.possible & out.shifted[filter.any_sets[std::size_t(c)]][c];
    return out;
}

// The places of block n where each glyph passes the quick test, per candidate
// row ([r][g]), and the glyphs with any such place (bit g of survivors[r]).
struct quick_result {
    word left[candidate_rows][glyph_count];
    std::uint32_t survivors[candidate_rows] = {0, 0};
};

[[gnu::always_inline]] inline quick_result quick_test(const capture_frame& frame, const glyph_set& set,
                                                      const field_scan& field, const block_sets& b,
                                                      std::int64_t first) {
    const glyph_filter& filter = set.filter;
    const bool near_edge = first + word_places - 1 + filter.widest > frame.width;
    quick_result q;
    for (std::size_t g = 0; g < glyph_count; ++g) {
        word edge = ~word(0);
        if (near_edge) {
            const std::int64_t room = std::int64_t(frame.width) - set.glyphs[g].primary.width - first;
            edge = room < 0 ? 0 : room < word_places - 1 ? (word(2) << room) - 1 : edge;
        }
        row_pair bits =
            b.possible & row_pair::of(field.rows[0].fits >> g & 1 ? edge : 0, field.rows[1].fits >> g & 1 ? edge : 0);
        const auto& column_sets = filter.glyph_sets[g];
        for (int c = 0; c < filter_column_count; ++c) bits = bits & b.shifted[column_sets[std::size_t(c)]][c];
        for (int r = 0; r < candidate_rows; ++r) {
            q.left[r][g] = bits.lane(r);
            q.survivors[r] |= std::uint32_t(q.left[r][g] != 0) << g;
        }
    }
    return q;
}

// The full comparison at every place left in candidate row r, into its block n.
template <reader_path path>
[[gnu::always_inline]] inline void compare_left(const capture_frame& frame, const glyph_set& set, row_scan& scan, int n,
                                                std::int64_t first, bool all_dark, const word (&left)[glyph_count],
                                                std::uint32_t survivors) {
    std::uint32_t present = 0;
    word any = 0;
    for (std::uint32_t todo = survivors; todo != 0; todo &= todo - 1) {
        const int g = std::countr_zero(todo);
        const glyph& gl = set.glyphs[std::size_t(g)];
        word bits = 0;
        // Under a block whose probes are all dark every place that fits is a match
        // (no column is compared), as under a dark line below a field.
        if (all_dark && gl.primary.width <= filter_column_count) {
            bits = left[g];
        } else {
            for (word places = left[g]; places != 0; places &= places - 1) {
                const int b = std::countr_zero(places);
                if (drawn_at<path>(frame, first + b, scan.row, gl, set.filter.wide_rows[std::size_t(g)]))
                    bits |= word(1) << b;
            }
        }
        scan.match[n][g] = bits;
        any |= bits;
        present |= std::uint32_t(bits != 0) << g;
    }
    scan.any[n] = any;
    scan.present[n] = present;
}

// A block of every candidate row: classify its columns, keep the places that
// pass the quick test for some glyph, compare those in full.
template <reader_path path>
[[gnu::always_inline]] inline void match_word_with(const capture_frame& frame, const glyph_set& set,
                                                   field_scan& field) {
    const int n = field.matched++;
    column_kinds kinds[candidate_rows];
    for (int r = 0; r < candidate_rows; ++r) {
        row_scan& scan = field.rows[r];
        kinds[r] = classify_word<path>(frame, set.filter, scan.row, n);
        for (std::size_t g = 0; g < glyph_count; ++g) scan.match[n][g] = 0;
        scan.any[n] = 0;
        scan.present[n] = 0;
    }
    const block_sets sets = sets_of(set.filter, kinds);
    if ((sets.possible.lane(0) | sets.possible.lane(1)) == 0) return;
    const std::int64_t first = first_search_column + word_places * std::int64_t(n);
    const quick_result q = quick_test(frame, set, field, sets, first);
    for (int r = 0; r < candidate_rows; ++r)
        compare_left<path>(frame, set, field.rows[r], n, first, kinds[r].dark == ~word(0), q.left[r], q.survivors[r]);
}

#if GATEWAY_AVX2
// The whole block's work in one function compiled for AVX2, so that the 32-byte
// classification is inlined.
[[gnu::target("avx2")]] void match_word_avx2(const capture_frame& frame, const glyph_set& set, field_scan& field) {
    match_word_with<reader_path::avx2>(frame, set, field);
}
#endif

// Works out the next block of every candidate row (field.matched counts them).
void match_word(const capture_frame& frame, const glyph_set& set, field_scan& field) {
    [[maybe_unused]] const reader_path path = field.path;
#if GATEWAY_AVX2
    if (path == reader_path::avx2) return match_word_avx2(frame, set, field);
#endif
#if GATEWAY_SSE2
    if (path == reader_path::sse2) return match_word_with<reader_path::sse2>(frame, set, field);
#endif
    match_word_with<reader_path::plain>(frame, set, field);
}

// Offset (from the first search column) of the first match of glyph g at offsets lo..hi, or -1.
std::int64_t first_match(const capture_frame& frame, const glyph_set& set, field_scan& field, int r, int g,
                         std::int64_t lo, std::int64_t hi) {
    const int first = int(lo / word_places), last = int(hi / word_places);
    while (field.matched <= last) match_word(frame, set, field);
    const row_scan& scan = field.rows[r];
    for (int n = first; n <= last; ++n) {
        const word bits = within(scan.match[n][g], n, lo, hi);
        if (bits != 0) return word_places * std::int64_t(n) + std::countr_zero(bits);
    }
    return -1;
}

place first_in_row(const capture_frame& frame, const glyph_set& set, field_scan& field, int r, std::int64_t lo,
                   std::int64_t limit) {
    if (limit < lo) return {};
    const row_scan& scan = field.rows[r];
    const int first = int(lo / word_places), last = int(limit / word_places);
    for (int n = first; n <= last; ++n) {
        while (field.matched <= n) match_word(frame, set, field);
        for (word bits = within(scan.any[n], n, lo, limit); bits != 0; bits &= bits - 1) {
            const int b = std::countr_zero(bits);
            const std::int64_t offset = word_places * std::int64_t(n) + b;
            for (std::uint32_t glyphs = scan.present[n]; glyphs != 0; glyphs &= glyphs - 1) {
                const int g = std::countr_zero(glyphs);
                if ((scan.match[n][g] >> b & 1) == 0) continue;
                const std::int64_t hi = lo + search_span - 1 - set.glyphs[std::size_t(g)].primary.width;
                if (offset > hi) continue;
                bool earlier = false;
                for (int e = 0; e < r && !earlier; ++e) earlier = first_match(frame, set, field, e, g, lo, hi) >= 0;
                if (!earlier) return {offset, g, r};
            }
        }
    }
    return {};
}

}  // namespace

int read_text(const capture_frame& frame, const glyph_set& set, std::int32_t y, field_trace* trace,
              char (&text)[max_field_chars]) {
    // Some 30 KiB, so kept out of the stack frame and reused from call to call.
    static thread_local field_scan field;
    field.matched = 0;
    field.path = reader_path_in_use();
    row_scan* rows = field.rows;
    const std::uint32_t all_glyphs = (std::uint32_t(1) << glyph_count) - 1;
    const std::int32_t narrowest = std::min(set.filter.narrowest, search_span);
    // Which glyphs' pixels and probes fit between the frame's top and bottom.
    const std::int64_t lowest = std::max<std::int64_t>(set.filter.tallest, probe_offset + 1);
    for (int r = 0; r < candidate_rows; ++r) {
        row_scan& scan = rows[r];
        scan.row = std::int64_t(y) + candidate_row_offset + r;
        if (scan.row >= 0 && scan.row + lowest <= frame.height) {
            scan.fits = all_glyphs;
            continue;
        }
        scan.fits = 0;
        for (int g = 0; g < glyph_count; ++g) {
            const glyph_template& t = set.glyphs[std::size_t(g)].primary;
            const bool fits =
                scan.row >= 0 && scan.row + t.height <= frame.height && scan.row + probe_offset < frame.height;
            scan.fits |= std::uint32_t(fits) << g;
        }
    }

    if (trace != nullptr) trace->hits.clear();
    int length = 0;
    std::int64_t lo = 0;  // the pass's first candidate column, from the first search column
    while (length < max_field_chars) {
        // Each glyph's result is its first match in the first candidate row that
        // has one; the glyph whose result lies furthest left wins, the lower index
        // on a tie. So a later row only needs looking at up to the best so far.
        const std::int64_t hi = lo + search_span - 1 - narrowest;
        place best = first_in_row(frame, set, field, 0, lo, hi);
        for (int r = 1; r < candidate_rows; ++r) {
            const std::int64_t limit = best.offset < 0 ? hi : best.offset;
            // Most often the range lies in one word already matched and shows nothing.
            const int n = int(lo / word_places);
            if (limit / word_places == n && n < field.matched && within(rows[r].any[n], n, lo, limit) == 0) continue;
            const place later = first_in_row(frame, set, field, r, lo, limit);
            // A later row is searched only up to the best so far (limit), so a
            // place it finds is never to the right of best: left of it, or on it
            // with the lower glyph winning the tie.
            if (later.offset >= 0 && (best.offset < 0 || later.offset < best.offset ||
                                      (later.offset == best.offset && later.glyph < best.glyph)))
                best = later;
        }
        if (best.offset < 0) break;
        text[length++] = set.glyphs[std::size_t(best.glyph)].character;
        if (trace != nullptr) {
            const glyph_template& t = set.glyphs[std::size_t(best.glyph)].primary;
            trace->hits.push_back({text[length - 1], std::int32_t(first_search_column + best.offset),
                                   std::int32_t(rows[best.row].row), t.width, t.height});
        }
        lo = best.offset + 1;
    }
    if (trace != nullptr) trace->text.assign(text, std::size_t(length));
    return length;
}

}  // namespace reader_internal
