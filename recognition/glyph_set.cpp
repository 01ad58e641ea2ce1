#include "recognition/glyph_set.h"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace {

std::uint64_t non_background_columns(const glyph_template& t, std::int32_t row, pixel background) {
    std::uint64_t bits = 0;
    if (row < 0 || row >= t.height) return 0;
    const std::int32_t columns = std::min<std::int32_t>(t.width, 64);
    for (std::int32_t j = 0; j < columns; ++j)
        if (t.pixels[std::size_t(row) * std::size_t(t.width) + std::size_t(j)] != background)
            bits |= std::uint64_t(1) << j;
    return bits;
}

}  // namespace

void prepare_glyph_set(glyph_set& set) {
    // A frame pixel equal to the background in a column where the glyph is not
    // background rules the glyph out at once; a glyph with no such column on the
    // filter rows would have to be checked in full everywhere. So pick the pair of
    // template rows on which the glyph with the fewest such columns has the most,
    // then the pair with the most in all.
    std::int32_t max_height = 0;
    for (const glyph& g : set.glyphs) max_height = std::max(max_height, g.primary.height);
    auto columns = [&](std::int32_t row, std::size_t i, bool primary) {
        const glyph& g = set.glyphs[i];
        return primary ? non_background_columns(g.primary, row, colour_white)
                       : non_background_columns(g.alternate, row, colour_grey);
    };
    auto count = [&](std::int32_t row, std::size_t i) {
        return row < 0 ? 0 : std::popcount(columns(row, i, true) & columns(row, i, false));
    };
    std::int32_t best[filter_row_count] = {-1, -1};
    int best_least = -1, best_total = -1;
    for (std::int32_t first = 0; first < max_height; ++first) {
        // A single row when the templates have only one.
        for (std::int32_t second = max_height > 1 ? first + 1 : -1; second < max_height; ++second) {
            int least = 128, total = 0;
            for (std::size_t i = 0; i < glyph_count; ++i) {
                const int n = count(first, i) + count(second, i);
                least = std::min(least, n);
                total += n;
            }
            if (least > best_least || (least == best_least && total > best_total)) {
                best_least = least;
                best_total = total;
                best[0] = first;
                best[1] = second;
            }
            if (second < 0) break;
        }
    }
    glyph_filter& f = set.filter;
    for (std::size_t k = 0; k < filter_row_count; ++k) {
        f.rows[k] = best[k];
        for (std::size_t i = 0; i < glyph_count; ++i) {
            f.primary_columns[k][i] = best[k] < 0 ? 0 : columns(best[k], i, true);
            f.alternate_columns[k][i] = best[k] < 0 ? 0 : columns(best[k], i, false);
        }
    }
}
