#include "recognition/glyph_set.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <tuple>

#include "recognition/matcher.h"

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

// The classes of frame column (see filter_class) that template column j of the
// glyph could match on the filter rows.
std::uint16_t accepted_classes(const glyph& g, const std::array<std::int32_t, filter_row_count>& rows, std::int32_t j) {
    std::uint16_t accepted = 1u << filter_class(probe_class::skipped, 0);  // the column is not compared
    for (probe_class c : {probe_class::primary, probe_class::alternate}) {
        const glyph_template& t = rendering_for(g, c);
        for (unsigned b = 0; b < 1u << filter_row_count; ++b) {
            bool fits = true;
            for (std::size_t k = 0; k < filter_row_count; ++k) {
                const std::int32_t row = rows[k];
                if (row < 0 || row >= t.height || j >= t.width) continue;  // the template does not reach here
                const bool blank =
                    t.pixels[std::size_t(row) * std::size_t(t.width) + std::size_t(j)] == background_of(c);
                fits = fits && blank == bool(b >> k & 1);
            }
            if (fits) accepted |= std::uint16_t(1u << filter_class(c, b));
        }
    }
    return accepted;
}

// On the filter rows, a frame pixel equal to the background in a column where
// the glyph has ink rules the glyph out (this clears plain field backgrounds),
// and so does a pixel other than the background where the glyph is blank (this
// clears surroundings of any other colour). A glyph with no column of one kind
// on the filter rows would have to be checked in full wherever the other kind
// cannot help. So pick the pair of rows on which the weakest glyph has the most
// of both kinds (two of each is plenty), then the most ink for the weakest, then
// the most ink in all.
// (A single row, the other -1, when the templates have only one.)
std::array<std::int32_t, filter_row_count> choose_filter_rows(const glyph_set& set) {
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
    return {best[0], best[1]};
}

// Each glyph's accepted classes in its first filter_column_count columns, as
// indices into the filter's table of sets (f's rows and widest already set).
void fill_filter_sets(const glyph_set& set, glyph_filter& f) {
    // The index of a set of accepted classes; set 0 (no requirement) when the
    // table is full.
    auto set_for = [&f](std::uint16_t accepted) -> std::uint8_t {
        int s = 0;
        while (s < f.set_count && f.sets[std::size_t(s)] != accepted) ++s;
        if (s == f.set_count) {
            if (s == max_filter_sets) return 0;
            f.sets[std::size_t(f.set_count++)] = accepted;
        }
        return std::uint8_t(s);
    };
    for (std::int32_t j = 0; j < std::min<std::int32_t>(f.widest, filter_column_count); ++j) {
        std::uint16_t any = 0;
        for (std::size_t i = 0; i < glyph_count; ++i) {
            const glyph& g = set.glyphs[i];
            // Past the glyph's right edge there is nothing to require.
            const std::uint16_t accepted =
                j < g.primary.width ? accepted_classes(g, f.rows, j) : std::uint16_t((1u << filter_class_count) - 1);
            f.glyph_sets[i][std::size_t(j)] = set_for(accepted);
            any |= accepted;
        }
        f.any_sets[std::size_t(j)] = set_for(any);
    }
}

// Each narrow glyph's rows widened to filter_column_count pixels, then its
// primary-to-alternate differences, for the full comparison in registers.
void fill_wide_rows(const glyph_set& set, glyph_filter& f) {
    for (std::size_t i = 0; i < glyph_count; ++i) {
        const glyph& g = set.glyphs[i];
        const std::int32_t w = g.primary.width, h = g.primary.height;
        if (w > filter_column_count) continue;
        std::vector<pixel>& wide = f.wide_rows[i];
        wide.assign(std::size_t(2) * std::size_t(h) * filter_column_count, 0);
        for (std::int32_t row = 0; row < h; ++row)
            for (std::int32_t j = 0; j < w; ++j) {
                const std::size_t at = std::size_t(row) * std::size_t(w) + std::size_t(j),
                                  to = std::size_t(row) * filter_column_count + std::size_t(j);
                wide[to] = g.primary.pixels[at];
                wide[to + std::size_t(h) * filter_column_count] = g.primary.pixels[at] ^ g.alternate.pixels[at];
            }
    }
}

}  // namespace

void prepare_glyph_set(glyph_set& set) {
    glyph_filter& f = set.filter;
    f = glyph_filter{};
    f.rows = choose_filter_rows(set);
    f.narrowest = INT32_MAX;
    for (const glyph& g : set.glyphs) {
        f.widest = std::max(f.widest, g.primary.width);
        f.tallest = std::max(f.tallest, g.primary.height);
        f.narrowest = std::min(f.narrowest, g.primary.width);
    }
    fill_filter_sets(set, f);
    fill_wide_rows(set, f);
}
