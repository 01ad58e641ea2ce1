// Which form the reader takes (the fastest this build and processor have, or
// the one a test asks for), and the forms' pixel work alone for the tests.
#include "recognition/reader_paths.h"

#include "recognition/block_forms.h"

using namespace reader_internal;

namespace {

#if GATEWAY_AVX2
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

#if GATEWAY_AVX2
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

}  // namespace

reader_path reader_path_in_use() { return path_in_use; }

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
        classes[std::size_t(b)] = dark                   ? filter_class(probe_class::skipped, 0)
                                  : alternate            ? filter_class(probe_class::alternate, background)
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
