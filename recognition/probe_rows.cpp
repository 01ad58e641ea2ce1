#include "recognition/probe_rows.h"

#include <algorithm>
#include <cstddef>

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
            if (p == colour_white)
                ++n.white;
            else if (p == colour_grey)
                ++n.grey;
            else if (p == colour_dark)
                ++n.dark;
            else
                ++n.other;
        }
    }
    return n;
}
