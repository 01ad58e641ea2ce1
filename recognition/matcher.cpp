#include "recognition/matcher.h"

#include <cstddef>

bool glyph_drawn_at(const capture_frame& frame, std::int32_t x0, std::int32_t y0, const glyph& g) {
    const std::size_t stride = std::size_t(frame.width);
    const pixel* origin = frame.pixels.data() + std::size_t(y0) * stride + std::size_t(x0);
    const pixel* probes = origin + probe_offset * stride;
    for (std::int32_t j = 0; j < g.primary.width; ++j) {
        const probe_class c = class_of_probe(probes[j]);
        if (c == probe_class::skipped) continue;
        const glyph_template& t = rendering_for(g, c);
        for (std::int32_t i = 0; i < t.height; ++i)
            if (origin[std::size_t(i) * stride + std::size_t(j)] !=
                t.pixels[std::size_t(i) * std::size_t(t.width) + std::size_t(j)])
                return false;
    }
    return true;
}
