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
//   4. here: classify_columns, classify_64, classify_64_avx2 (a column's class),
//      drawn_at, drawn_at_avx2 (the full comparison) and the all-dark shortcut in
//      match_word_with;
//   5. run FastFormsFollowTheRule (test_matcher) and the differential test, which
//      hold each form against the rule and the reference.
#include "recognition/field_reader.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>

#include "recognition/matcher.h"
#include "recognition/reader_paths.h"

#if !defined(GATEWAY_NO_SIMD) && (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64))
#define GATEWAY_SSE2 1
#include <emmintrin.h>
#else
#define GATEWAY_SSE2 0
#endif
// The classification and the full comparison also have 32-byte forms, chosen at
// run time where the processor has AVX2 (GCC and clang compile them for that
// without making the rest of the program require it).
#if GATEWAY_SSE2 && defined(__GNUC__)
#define GATEWAY_AVX2 1
#include <immintrin.h>
#else
#define GATEWAY_AVX2 0
#endif

namespace {

using word = std::uint64_t;

// A block classifies 64 columns and decides the places whose tested columns all
// lie among them, so no block needs its neighbour's classes.
constexpr int word_places = 64 - filter_column_count;
constexpr word place_bits = (word(1) << word_places) - 1;

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
    std::int64_t row = 0;  // bit b of word n stands for frame column first_search_column + word_places * n + b
    std::uint32_t fits = 0;  // glyphs whose pixels and probes fit between the frame's top and bottom here
    word match[max_words][glyph_count];
    word any[max_words];  // places where some glyph matches
    // Bit g set: glyph g matches somewhere in the word; passes look only at those.
    std::uint32_t present[max_words];
};

#if GATEWAY_SSE2
// The usual block, 64 columns inside the frame with both filter rows: the probe
// row's dark and grey columns, and on each filter row the columns showing the
// background their probe asks for (white unless the probe is grey), sixteen
// columns at a time and each filter pixel compared once.
void classify_64(const pixel* probes, const pixel* row0, const pixel* row1, word& dark, word& grey, word& on0,
                 word& on1) {
    static_assert(filter_row_count == 2);
    const __m128i d = _mm_set1_epi32(int(colour_dark)), g = _mm_set1_epi32(int(colour_grey));
    const __m128i w = _mm_set1_epi32(int(colour_white)), w_to_g = _mm_set1_epi32(int(colour_white ^ colour_grey));
    auto load = [](const pixel* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    // Four masks of 0 or -1 per pixel to sixteen bits; saturating packs keep the values.
    auto bits = [](const __m128i (&m)[4]) {
        const __m128i bytes = _mm_packs_epi16(_mm_packs_epi32(m[0], m[1]), _mm_packs_epi32(m[2], m[3]));
        return word(unsigned(_mm_movemask_epi8(bytes)));
    };
    dark = grey = on0 = on1 = 0;
    for (int b = 0; b < 64; b += 16) {
        __m128i is_dark[4], is_grey[4], bg0[4], bg1[4];
        for (int i = 0; i < 4; ++i) {
            const __m128i probe = load(probes + b + 4 * i);
            is_dark[i] = _mm_cmpeq_epi32(probe, d);
            is_grey[i] = _mm_cmpeq_epi32(probe, g);
            const __m128i background = _mm_xor_si128(w, _mm_and_si128(is_grey[i], w_to_g));
            bg0[i] = _mm_cmpeq_epi32(load(row0 + b + 4 * i), background);
            bg1[i] = _mm_cmpeq_epi32(load(row1 + b + 4 * i), background);
        }
        dark |= bits(is_dark) << b;
        grey |= bits(is_grey) << b;
        on0 |= bits(bg0) << b;
        on1 |= bits(bg1) << b;
    }
}
#endif

#if GATEWAY_AVX2
// classify_64 thirty-two columns at a time.
[[gnu::target("avx2")]] void classify_64_avx2(const pixel* probes, const pixel* row0, const pixel* row1, word& dark,
                                              word& grey, word& on0, word& on1) {
    const __m256i d = _mm256_set1_epi32(int(colour_dark)), g = _mm256_set1_epi32(int(colour_grey));
    const __m256i w = _mm256_set1_epi32(int(colour_white));
    const __m256i w_to_g = _mm256_set1_epi32(int(colour_white ^ colour_grey));
    // The packs work within each half of the register; the permutation puts the
    // thirty-two bytes back in column order.
    const __m256i in_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    word* const out[4] = {&dark, &grey, &on0, &on1};
    for (word* o : out) *o = 0;
    for (int b = 0; b < 64; b += 32) {
        __m256i masks[4][4];  // dark, grey, background on filter row 0 and 1; eight columns each
        for (int i = 0; i < 4; ++i) {
            const int at = b + 8 * i;
            const __m256i probe = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(probes + at));
            masks[0][i] = _mm256_cmpeq_epi32(probe, d);
            masks[1][i] = _mm256_cmpeq_epi32(probe, g);
            const __m256i background = _mm256_xor_si256(w, _mm256_and_si256(masks[1][i], w_to_g));
            masks[2][i] = _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + at)), background);
            masks[3][i] = _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + at)), background);
        }
        for (int m = 0; m < 4; ++m) {
            const __m256i bytes = _mm256_packs_epi16(_mm256_packs_epi32(masks[m][0], masks[m][1]),
                                                     _mm256_packs_epi32(masks[m][2], masks[m][3]));
            *out[m] |= word(unsigned(_mm256_movemask_epi8(_mm256_permutevar8x32_epi32(bytes, in_order)))) << b;
        }
    }
}

bool processor_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

#endif

bool path_available(reader_path p) {
    switch (p) {
    case reader_path::plain: return true;
    case reader_path::sse2: return GATEWAY_SSE2 != 0;
#if GATEWAY_AVX2
    case reader_path::avx2: return processor_has_avx2();
#else
    case reader_path::avx2: return false;
#endif
    }
    return false;
}

// The fastest the processor has.
reader_path path_in_use = path_available(reader_path::avx2)   ? reader_path::avx2
                        : path_available(reader_path::sse2) ? reader_path::sse2
                                                            : reader_path::plain;

// The classification's pixel work for any block, a column at a time: the first
// count columns from column first (none beyond the frame); a filter row outside
// the frame shows no background.
void classify_columns(const capture_frame& frame, const glyph_filter& filter, std::int64_t top, std::int64_t first,
                      int count, word& dark, word& primary, word& alternate, word (&background)[filter_row_count]) {
    const std::size_t stride = std::size_t(frame.width);
    auto row_at = [&](std::int64_t row) { return frame.pixels.data() + std::size_t(row) * stride + std::size_t(first); };
    dark = primary = alternate = 0;
    for (word& b : background) b = 0;
    if (count <= 0) return;
    const pixel* probes = row_at(top + probe_offset);
    const pixel* rows[filter_row_count];
    for (std::size_t k = 0; k < filter_row_count; ++k) {
        const std::int64_t row = top + filter.rows[k];
        rows[k] = filter.rows[k] >= 0 && row >= 0 && row < frame.height ? row_at(row) : nullptr;
    }
    for (int b = 0; b < count; ++b) {
        const word bit = word(1) << b;
        const probe_class c = class_of_probe(probes[b]);
        if (c == probe_class::skipped) {
            dark |= bit;
            continue;
        }
        (c == probe_class::alternate ? alternate : primary) |= bit;
        for (std::size_t k = 0; k < filter_row_count; ++k)
            if (rows[k] != nullptr && rows[k][b] == background_of(c)) background[k] |= bit;
    }
}

// The block's columns whose probe is dark, selects the primary or the alternate
// rendering, and those showing their rendering's background on each filter row.
struct column_kinds {
    word dark = 0, primary = 0, alternate = 0;
    word background[filter_row_count]{};
};

template <reader_path path>
[[gnu::always_inline]] inline column_kinds classify_word(const capture_frame& frame, const glyph_filter& filter,
                                                         std::int64_t top, int n) {
    const std::int64_t first = first_search_column + word_places * std::int64_t(n);
    const std::int64_t probe_row = top + probe_offset;
    int count = 0;  // columns of this block inside the frame
    if (probe_row >= 0 && probe_row < frame.height && first < frame.width)
        count = int(frame.width - first < 64 ? frame.width - first : 64);
    // Columns whose probe is dark, selects the primary or the alternate rendering.
    word dark = 0, primary = 0, alternate = 0;
    // [k]: columns showing their rendering's background on filter row k.
    word background[filter_row_count];
#if GATEWAY_SSE2
    const std::size_t stride = std::size_t(frame.width);
    auto row_at = [&](std::int64_t row) { return frame.pixels.data() + std::size_t(row) * stride + std::size_t(first); };
    auto row_inside = [&](std::size_t k) {
        const std::int64_t row = top + filter.rows[k];
        return filter.rows[k] >= 0 && row >= 0 && row < frame.height;
    };
    if (path != reader_path::plain && count == 64 && row_inside(0) && row_inside(1)) {
        const pixel* probes = row_at(probe_row);
        const pixel* row0 = row_at(top + filter.rows[0]);
        const pixel* row1 = row_at(top + filter.rows[1]);
#if GATEWAY_AVX2
        if constexpr (path == reader_path::avx2)
            classify_64_avx2(probes, row0, row1, dark, alternate, background[0], background[1]);
        else
#endif
            classify_64(probes, row0, row1, dark, alternate, background[0], background[1]);
        primary = ~(dark | alternate);
        background[0] &= primary | alternate;
        background[1] &= primary | alternate;
    } else
#endif
    {
        classify_columns(frame, filter, top, first, count, dark, primary, alternate, background);
    }
    return {dark, primary, alternate, {background[0], background[1]}};
}

#if GATEWAY_AVX2
// drawn_at for a glyph no wider than eight columns whose reads stay inside the
// frame, a row in one register.
[[gnu::target("avx2")]] bool drawn_at_avx2(const capture_frame& frame, std::int64_t x0, std::int64_t y0,
                                           std::int32_t width, std::int32_t height, const pixel* wide) {
    const std::size_t stride = std::size_t(frame.width);
    const pixel* origin = frame.pixels.data() + std::size_t(y0) * stride + std::size_t(x0);
    const __m256i probe = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(origin + probe_offset * stride));
    // Compared columns: inside the glyph, under a probe that is not dark.
    const __m256i inside = _mm256_cmpgt_epi32(_mm256_set1_epi32(width), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i care = _mm256_andnot_si256(_mm256_cmpeq_epi32(probe, _mm256_set1_epi32(int(colour_dark))), inside);
    if (_mm256_testz_si256(care, care)) return true;  // every probe dark: nothing to compare
    const __m256i alternate = _mm256_cmpeq_epi32(probe, _mm256_set1_epi32(int(colour_grey)));
    const pixel* differ = wide + std::size_t(height) * 8;
    for (std::int32_t i = 0; i < height; ++i, origin += stride) {
        const __m256i expected =
            _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(wide + std::size_t(i) * 8)),
                             _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(differ + std::size_t(i) * 8)),
                                              alternate));
        const __m256i wrong = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(origin)), expected);
        if (!_mm256_testz_si256(wrong, care)) return false;
    }
    return true;
}
#endif

// glyph_drawn_at, with the same preconditions.
template <reader_path path>
bool drawn_at(const capture_frame& frame, std::int64_t x0, std::int64_t y0, const glyph& g, const std::vector<pixel>& wide) {
#if GATEWAY_SSE2
    // A glyph no wider than a pair of registers is compared a row at a time, when
    // the eight-pixel reads stay inside the frame (past the right edge they read
    // the next row's pixels, which no column compares).
    const std::int32_t h = g.primary.height;
    const std::size_t stride = std::size_t(frame.width);
    const std::size_t last_read = std::size_t(y0 + std::max(h - 1, probe_offset)) * stride + std::size_t(x0) + 8;
    if (path != reader_path::plain && !wide.empty() && last_read <= frame.pixels.size()) {
        static_assert(filter_column_count == 8);
#if GATEWAY_AVX2
        if constexpr (path == reader_path::avx2) return drawn_at_avx2(frame, x0, y0, g.primary.width, h, wide.data());
#endif
        const pixel* origin = frame.pixels.data() + std::size_t(y0) * stride + std::size_t(x0);
        const pixel* probes = origin + probe_offset * stride;
        auto load = [](const pixel* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
        const __m128i dark = _mm_set1_epi32(int(colour_dark)), grey = _mm_set1_epi32(int(colour_grey));
        const __m128i width = _mm_set1_epi32(g.primary.width);
        const __m128i p0 = load(probes), p1 = load(probes + 4);
        // Compared columns: inside the glyph, under a probe that is not dark.
        const __m128i care0 = _mm_andnot_si128(_mm_cmpeq_epi32(p0, dark), _mm_cmplt_epi32(_mm_setr_epi32(0, 1, 2, 3), width));
        const __m128i care1 = _mm_andnot_si128(_mm_cmpeq_epi32(p1, dark), _mm_cmplt_epi32(_mm_setr_epi32(4, 5, 6, 7), width));
        if (_mm_movemask_epi8(_mm_or_si128(care0, care1)) == 0) return true;  // every probe dark: nothing to compare
        const __m128i alternate0 = _mm_cmpeq_epi32(p0, grey), alternate1 = _mm_cmpeq_epi32(p1, grey);
        const pixel* primary = wide.data();
        const pixel* differ = primary + std::size_t(h) * 8;
        for (std::int32_t i = 0; i < h; ++i, origin += stride, primary += 8, differ += 8) {
            const __m128i expected0 = _mm_xor_si128(load(primary), _mm_and_si128(load(differ), alternate0));
            const __m128i expected1 = _mm_xor_si128(load(primary + 4), _mm_and_si128(load(differ + 4), alternate1));
            const __m128i wrong = _mm_or_si128(_mm_and_si128(_mm_xor_si128(load(origin), expected0), care0),
                                               _mm_and_si128(_mm_xor_si128(load(origin + 4), expected1), care1));
            if (_mm_movemask_epi8(_mm_cmpeq_epi32(wrong, _mm_setzero_si128())) != 0xFFFF) return false;
        }
        return true;
    }
#else
    (void)wide;
#endif
    return glyph_drawn_at(frame, std::int32_t(x0), std::int32_t(y0), g);
}

// A field's candidate rows, filled lazily from left to right and a block of every
// row at a time: the last pass of a field needs every row as far as the furthest,
// and the rows' quick tests run side by side, one row in each half of a register.
struct field_scan {
    int matched = 0;  // words of match bits ready in every row
    row_scan rows[candidate_rows];
};
static_assert(candidate_rows == 2);

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

template <reader_path path>
[[gnu::always_inline]] inline void match_word_with(const capture_frame& frame, const glyph_set& set, field_scan& field) {
    const int n = field.matched++;
    const glyph_filter& filter = set.filter;
    column_kinds kinds[candidate_rows];
    for (int r = 0; r < candidate_rows; ++r) {
        row_scan& scan = field.rows[r];
        kinds[r] = classify_word<path>(frame, filter, scan.row, n);
        for (std::size_t g = 0; g < glyph_count; ++g) scan.match[n][g] = 0;
        scan.any[n] = 0;
        scan.present[n] = 0;
    }
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
        for (std::size_t k = 0; k < filter_row_count; ++k) same[b] = same[b] & (b >> k & 1 ? background[k] : ~background[k]);
    }
    // [m]: columns in any of the patterns of m.
    row_pair either[1 << patterns];
    either[0] = row_pair::of(0, 0);
    for (unsigned m = 1; m < 1u << patterns; ++m) either[m] = either[m & (m - 1)] | same[std::countr_zero(m)];
    // [s]: columns whose class is in the filter's set s; a set's classes of one
    // rendering are the patterns from that rendering's class for pattern 0 on.
    constexpr unsigned pattern_bits = (1u << patterns) - 1;
    constexpr int primary_0 = filter_class(probe_class::primary, 0), alternate_0 = filter_class(probe_class::alternate, 0);
    constexpr int skipped = filter_class(probe_class::skipped, 0);
    row_pair sets[max_filter_sets];
    sets[0] = row_pair::of(~word(0), ~word(0));  // every class, and beyond the frame too: no requirement
    for (int s = 1; s < filter.set_count; ++s) {
        const unsigned m = filter.sets[std::size_t(s)];
        sets[s] = (primary & either[m >> primary_0 & pattern_bits]) | (alternate & either[m >> alternate_0 & pattern_bits]);
        if (m >> skipped & 1) sets[s] = sets[s] | dark;
    }
    // [s][c]: the columns c places right of each place are in set s.
    row_pair shifted[max_filter_sets][filter_column_count];
    for (int s = 0; s < filter.set_count; ++s)
        for (int c = 0; c < filter_column_count; ++c) shifted[s][c] = sets[s] >> c;
    // Places where some glyph could start; none in most blocks away from the text.
    row_pair possible = row_pair::of(place_bits, place_bits);
    for (int c = 0; c < filter_column_count; ++c) possible = possible & shifted[filter.any_sets[std::size_t(c)]][c];
    if ((possible.lane(0) | possible.lane(1)) == 0) return;
    const std::int64_t first = first_search_column + word_places * std::int64_t(n);
    const bool near_edge = first + word_places - 1 + filter.widest > frame.width;
    word left[candidate_rows][glyph_count];
    std::uint32_t survivors[candidate_rows] = {0, 0};
    for (std::size_t g = 0; g < glyph_count; ++g) {
        word edge = ~word(0);
        if (near_edge) {
            const std::int64_t room = std::int64_t(frame.width) - set.glyphs[g].primary.width - first;
            edge = room < 0 ? 0 : room < word_places - 1 ? (word(2) << room) - 1 : edge;
        }
        row_pair bits = possible & row_pair::of(field.rows[0].fits >> g & 1 ? edge : 0, field.rows[1].fits >> g & 1 ? edge : 0);
        const auto& column_sets = filter.glyph_sets[g];
        for (int c = 0; c < filter_column_count; ++c) bits = bits & shifted[column_sets[std::size_t(c)]][c];
        for (int r = 0; r < candidate_rows; ++r) {
            left[r][g] = bits.lane(r);
            survivors[r] |= std::uint32_t(left[r][g] != 0) << g;
        }
    }
    for (int r = 0; r < candidate_rows; ++r) {
        row_scan& scan = field.rows[r];
        std::uint32_t present = 0;
        word any = 0;
        // Under a block whose probes are all dark every place that fits is a match
        // (no column is compared), as under a dark line below a field.
        const bool all_dark = kinds[r].dark == ~word(0);
        for (std::uint32_t todo = survivors[r]; todo != 0; todo &= todo - 1) {
            const int g = std::countr_zero(todo);
            const glyph& gl = set.glyphs[std::size_t(g)];
            word bits = 0;
            if (all_dark && gl.primary.width <= filter_column_count) {
                bits = left[r][g];
            } else {
                for (word places = left[r][g]; places != 0; places &= places - 1) {
                    const int b = std::countr_zero(places);
                    if (drawn_at<path>(frame, first + b, scan.row, gl, filter.wide_rows[std::size_t(g)]))
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
}

#if GATEWAY_AVX2
// The whole block's work in one function compiled for AVX2, so that the 32-byte
// classification is inlined.
[[gnu::target("avx2")]] void match_word_avx2(const capture_frame& frame, const glyph_set& set, field_scan& field) {
    match_word_with<reader_path::avx2>(frame, set, field);
}

// The AVX2 forms alone, for the tests that hold them against the rule.
[[gnu::target("avx2")]] column_kinds classify_word_avx2(const capture_frame& frame, const glyph_filter& filter,
                                                        std::int64_t top, int n) {
    return classify_word<reader_path::avx2>(frame, filter, top, n);
}
[[gnu::target("avx2")]] bool drawn_at_avx2_form(const capture_frame& frame, std::int64_t x0, std::int64_t y0,
                                                const glyph& g, const std::vector<pixel>& wide) {
    return drawn_at<reader_path::avx2>(frame, x0, y0, g, wide);
}
#endif

void match_word(const capture_frame& frame, const glyph_set& set, field_scan& field) {
#if GATEWAY_AVX2
    if (path_in_use == reader_path::avx2) return match_word_avx2(frame, set, field);
#endif
#if GATEWAY_SSE2
    if (path_in_use == reader_path::sse2) return match_word_with<reader_path::sse2>(frame, set, field);
#endif
    match_word_with<reader_path::plain>(frame, set, field);
}

// The bits of word n that stand for offsets lo..hi (n lies between their words).
word within(word bits, int n, std::int64_t lo, std::int64_t hi) {
    const std::int64_t base = word_places * std::int64_t(n);
    if (lo > base) bits &= ~word(0) << (lo - base);
    if (hi < base + word_places - 1) bits &= (word(2) << (hi - base)) - 1;
    return bits;
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

struct place {
    std::int64_t offset = -1;  // from the first search column; -1: none
    int glyph = 0;
    int row = 0;  // candidate row
};

// The pass starting at offset lo, looking at candidate row r up to offset limit:
// the first place where a glyph g matches within its window (offsets lo to
// lo + search_span - 1 - width) and has no match in an earlier candidate row's
// window (that match would be its result), with the lowest such glyph there.
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

double text_value(const char* text, int length) {
    // Like atof in the C locale on a text of digits and minus signs: the longest
    // leading number, or 0.0 when there is none (a lone minus gives +0.0).
    const bool negative = length > 0 && text[0] == '-';
    std::uint64_t whole = 0;
    int i = negative ? 1 : 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9' && whole < (std::uint64_t(1) << 49); ++i)
        whole = whole * 10 + std::uint64_t(text[i] - '0');
    double number = 0.0;
    if (i < length && text[i] >= '0' && text[i] <= '9')
        std::from_chars(text, text + length, number);
    else if (i > (negative ? 1 : 0))
        number = negative ? -double(whole) : double(whole);
    return number / field_divisor;  // a quotient, so equal texts give identical bits
}

}  // namespace

namespace {

double read_field_traced(const capture_frame& frame, const glyph_set& set, std::int32_t y, field_trace* trace,
                         int* characters = nullptr) {
    // Some 30 KiB, so kept out of the stack frame and reused from call to call.
    static thread_local field_scan field;
    field.matched = 0;
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
            const bool fits = scan.row >= 0 && scan.row + t.height <= frame.height && scan.row + probe_offset < frame.height;
            scan.fits |= std::uint32_t(fits) << g;
        }
    }

    if (trace != nullptr) trace->hits.clear();
    char text[max_field_chars];
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
            if (later.offset >= 0 &&
                (best.offset < 0 || later.offset < best.offset || (later.offset == best.offset && later.glyph < best.glyph)))
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
    if (characters != nullptr) *characters = length;
    return text_value(text, length);
}

}  // namespace

frame_area area_read(const glyph_set& set) {
    const std::int32_t last_top = fields_end_row - field_pitch + candidate_row_offset + candidate_rows - 1;
    return {first_search_column, first_row_read, std::max(rows_read_end, last_top + set.filter.tallest)};
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

probe_rows_news refresh_probe_rows(const capture_frame& frame, std::vector<pixel>& rows,
                                   const std::vector<pixel>& trusted) {
    const std::int32_t left = std::min(first_search_column, frame.width);
    std::int32_t ys[axis_field_count * candidate_rows];
    int row_count = 0;
    for (int k = 0; k < axis_field_count; ++k)
        for (int r = 0; r < candidate_rows; ++r)
            if (probe_row(k, r) < frame.height) ys[row_count++] = probe_row(k, r);
    const std::size_t width = std::size_t(frame.width - left), total = width * std::size_t(row_count);
    probe_rows_news news;
    news.changed = rows.size() != total;
    if (news.changed) rows.resize(total);
    const bool against_trusted = trusted.size() == total;
    // Differences are gathered with OR, not tested pixel by pixel, so the loops
    // stay branch-free.
    pixel since = 0, apart = 0;
    bool foreign = false;
    pixel* out = rows.data();
    for (int n = 0; n < row_count; ++n) {
        const pixel* row = frame.pixels.data() + std::size_t(ys[n]) * std::size_t(frame.width) + std::size_t(left);
        pixel* kept = out + std::size_t(n) * width;
        if (against_trusted) {
            const pixel* t = trusted.data() + std::size_t(n) * width;
            for (std::size_t x = 0; x < width; ++x) {
                const pixel p = row[x];
                since |= p ^ kept[x];
                apart |= p ^ t[x];
                foreign |= (p != t[x]) & (p != colour_white) & (p != colour_grey) & (p != colour_dark);
                kept[x] = p;
            }
        } else {
            for (std::size_t x = 0; x < width; ++x) {
                since |= row[x] ^ kept[x];
                kept[x] = row[x];
            }
        }
    }
    news.changed = news.changed || since != 0;
    news.as_trusted = total > 0 && against_trusted && apart == 0;
    news.foreign = foreign;
    return news;
}

probe_counts count_probe_rows(const capture_frame& frame, int field) {
    probe_counts n;
    const std::int32_t end = std::min(frame.width, first_search_column + search_span);
    for (int r = 0; r < candidate_rows; ++r) {
        const std::int32_t y = probe_row(field, r);
        if (y < 0 || y >= frame.height) continue;
        for (std::int32_t x = first_search_column; x < end; ++x) {
            const pixel p = frame.pixels[std::size_t(y) * std::size_t(frame.width) + std::size_t(x)];
            if (p == colour_white) ++n.white;
            else if (p == colour_grey) ++n.grey;
            else if (p == colour_dark) ++n.dark;
            else ++n.other;
        }
    }
    return n;
}

bool reader_use(reader_path p) {
    if (!path_available(p)) return false;
    path_in_use = p;
    return true;
}

bool reader_path_available(reader_path p) { return path_available(p); }

std::array<int, 64> classify_block(reader_path p, const capture_frame& frame, const glyph_filter& filter,
                                   std::int64_t top, int n) {
    column_kinds k;
    switch (p) {
#if GATEWAY_AVX2
    case reader_path::avx2: k = classify_word_avx2(frame, filter, top, n); break;
#endif
#if GATEWAY_SSE2
    case reader_path::sse2: k = classify_word<reader_path::sse2>(frame, filter, top, n); break;
#endif
    default: k = classify_word<reader_path::plain>(frame, filter, top, n); break;
    }
    std::array<int, 64> classes;
    for (int b = 0; b < 64; ++b) {
        const bool dark = k.dark >> b & 1, alternate = k.alternate >> b & 1;
        unsigned background = 0;
        for (std::size_t r = 0; r < filter_row_count; ++r) background |= unsigned(k.background[r] >> b & 1) << r;
        classes[std::size_t(b)] = dark ? filter_class(probe_class::skipped, 0)
                                : alternate ? filter_class(probe_class::alternate, background)
                                : (k.primary >> b & 1) ? filter_class(probe_class::primary, background)
                                                       : -1;
    }
    return classes;
}

bool glyph_drawn_by(reader_path p, const capture_frame& frame, std::int32_t x0, std::int32_t y0, const glyph_set& set,
                    int g) {
    const glyph& gl = set.glyphs[std::size_t(g)];
    const std::vector<pixel>& wide = set.filter.wide_rows[std::size_t(g)];
    switch (p) {
#if GATEWAY_AVX2
    case reader_path::avx2: return drawn_at_avx2_form(frame, x0, y0, gl, wide);
#endif
#if GATEWAY_SSE2
    case reader_path::sse2: return drawn_at<reader_path::sse2>(frame, x0, y0, gl, wide);
#endif
    default: return drawn_at<reader_path::plain>(frame, x0, y0, gl, wide);
    }
}
