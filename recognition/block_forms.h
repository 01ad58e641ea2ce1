// The pixel work of the reader's block matching (block_matcher.cpp) in each of
// its forms, plain, SSE2 and AVX2: a block's column classes and a glyph's full
// comparison at a place. In a header so that each form is inlined into the
// block's matching compiled for it; the tests reach them through reader_paths.h.
// Internal to recognition/.
#ifndef RECOGNITION_BLOCK_FORMS_H
#define RECOGNITION_BLOCK_FORMS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "recognition/field_reader.h"
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

namespace reader_internal {

using word = std::uint64_t;

// A block classifies 64 columns and decides the places whose tested columns all
// lie among them, so no block needs its neighbour's classes.
constexpr int word_places = 64 - filter_column_count;
constexpr word place_bits = (word(1) << word_places) - 1;

// The block's columns whose probe is dark, selects the primary or the alternate
// rendering, and those showing their rendering's background on each filter row.
struct column_kinds {
    word dark = 0, primary = 0, alternate = 0;
    word background[filter_row_count]{};
};

// Each translation unit has its own copy, inlined as in a single file.
namespace {

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
    auto bits = [](const __m128i(&m)[4]) {
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
            masks[2][i] =
                _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + at)), background);
            masks[3][i] =
                _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + at)), background);
        }
        for (int m = 0; m < 4; ++m) {
            const __m256i bytes = _mm256_packs_epi16(_mm256_packs_epi32(masks[m][0], masks[m][1]),
                                                     _mm256_packs_epi32(masks[m][2], masks[m][3]));
            *out[m] |= word(unsigned(_mm256_movemask_epi8(_mm256_permutevar8x32_epi32(bytes, in_order)))) << b;
        }
    }
}

#endif

// The classification's pixel work for any block, a column at a time: the first
// count columns from column first (none beyond the frame); a filter row outside
// the frame shows no background.
void classify_columns(const capture_frame& frame, const glyph_filter& filter, std::int64_t top, std::int64_t first,
                      int count, word& dark, word& primary, word& alternate, word (&background)[filter_row_count]) {
    const std::size_t stride = std::size_t(frame.width);
    auto row_at = [&](std::int64_t row) {
        return frame.pixels.data() + std::size_t(row) * stride + std::size_t(first);
    };
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
    auto row_at = [&](std::int64_t row) {
        return frame.pixels.data() + std::size_t(row) * stride + std::size_t(first);
    };
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
        const __m256i expected = _mm256_xor_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wide + std::size_t(i) * 8)),
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
bool drawn_at(const capture_frame& frame, std::int64_t x0, std::int64_t y0, const glyph& g,
              const std::vector<pixel>& wide) {
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
        const __m128i care0 =
            _mm_andnot_si128(_mm_cmpeq_epi32(p0, dark), _mm_cmplt_epi32(_mm_setr_epi32(0, 1, 2, 3), width));
        const __m128i care1 =
            _mm_andnot_si128(_mm_cmpeq_epi32(p1, dark), _mm_cmplt_epi32(_mm_setr_epi32(4, 5, 6, 7), width));
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

}  // namespace

}  // namespace reader_internal

#endif  // RECOGNITION_BLOCK_FORMS_H
