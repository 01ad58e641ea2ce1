#include "recognition/glyph_set.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <tuple>

namespace {

// Bit j set where template column j on the row is (is_background) or is not
// (!is_background) the background; none when the row lies outside the template.
std::uint64_t columns_where(const glyph_template& t, std::int32_t row, pixel background, bool is_background) {
    std::uint64_t bits = 0;
    if (row < 0 || row >= t.height) return 0;
    const std::int32_t columns = std::min<std::int32_t>(t.width, 64);
    for (std::int32_t j = 0; j < columns; ++j)
        if ((t.pixels[std::size_t(row) * std::size_t(t.width) + std::size_t(j)] == background) == is_background)
            bits |= std::uint64_t(1) << j;
    return bits;
}

std::uint64_t non_background_columns(const glyph_template& t, std::int32_t row, pixel background) {
    return columns_where(t, row, background, false);
}

}  // namespace

void prepare_glyph_set(glyph_set& set) {
    // On the filter rows, a frame pixel equal to the background in a column where
    // the glyph has ink rules the glyph out (this clears plain field backgrounds),
    // and so does a pixel other than the background where the glyph is blank (this
    // clears surroundings of any other colour). A glyph with no column of one kind
    // on the filter rows would have to be checked in full wherever the other kind
    // cannot help. So pick the pair of rows on which the weakest glyph has the most
    // of both kinds (two of each is plenty), then the most ink for the weakest, then
    // the most ink in all.
    std::int32_t max_height = 0;
    for (const glyph& g : set.glyphs) max_height = std::max(max_height, g.primary.height);
    auto columns = [&](std::int32_t row, std::size_t i, bool primary) {
        const glyph& g = set.glyphs[i];
        return primary ? non_background_columns(g.primary, row, colour_white)
                       : non_background_columns(g.alternate, row, colour_grey);
    };
    auto ink = [&](std::int32_t row, std::size_t i) {
        return row < 0 ? 0 : std::popcount(columns(row, i, true) & columns(row, i, false));
    };
    auto blank = [&](std::int32_t row, std::size_t i) {
        const glyph& g = set.glyphs[i];
        return row < 0 ? 0
                       : std::popcount(columns_where(g.primary, row, colour_white, true) &
                                       columns_where(g.alternate, row, colour_grey, true));
    };
    std::int32_t best[filter_row_count] = {-1, -1};
    int best_both = -1, best_least = -1, best_total = -1;
    for (std::int32_t first = 0; first < max_height; ++first) {
        // A single row when the templates have only one.
        for (std::int32_t second = max_height > 1 ? first + 1 : -1; second < max_height; ++second) {
            int both = 128, least = 128, total = 0;
            for (std::size_t i = 0; i < glyph_count; ++i) {
                const int n = ink(first, i) + ink(second, i);
                both = std::min(both, std::min(n, 2) + std::min(blank(first, i) + blank(second, i), 2));
                least = std::min(least, n);
                total += n;
            }
            if (std::tie(both, least, total) > std::tie(best_both, best_least, best_total)) {
                best_both = both;
                best_least = least;
                best_total = total;
                best[0] = first;
                best[1] = second;
            }
            if (second < 0) break;
        }
    }
    glyph_filter& f = set.filter;
    f = glyph_filter{};
    for (std::size_t k = 0; k < filter_row_count; ++k) {
        f.rows[k] = best[k];
        for (std::size_t i = 0; i < glyph_count; ++i) {
            f.primary_columns[k][i] = best[k] < 0 ? 0 : columns(best[k], i, true);
            f.alternate_columns[k][i] = best[k] < 0 ? 0 : columns(best[k], i, false);
            const glyph& g = set.glyphs[i];
            f.primary_blank_columns[k][i] = columns_where(g.primary, best[k], colour_white, true);
            f.alternate_blank_columns[k][i] = columns_where(g.alternate, best[k], colour_grey, true);
            for (std::uint64_t used : {f.primary_columns[k][i], f.alternate_columns[k][i], f.primary_blank_columns[k][i],
                                       f.alternate_blank_columns[k][i]})
                f.column_span = std::max(f.column_span, 64 - std::countl_zero(used));
            if (f.primary_blank_columns[k][i] != 0 && f.primary_blank_columns[k][i] == f.alternate_blank_columns[k][i])
                f.blank_glyphs[k] |= std::uint32_t(1) << i;
            if (f.primary_columns[k][i] != 0 && f.primary_columns[k][i] == f.alternate_columns[k][i])
                f.ink_glyphs[k] |= std::uint32_t(1) << i;
        }
    }
}
