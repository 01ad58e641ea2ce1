#include "host/glyph_resources.h"

#include <cstddef>

namespace {

glyph_load_status load_template(int id, glyph_template& out) {
    const bitmap_handle bitmap = load_bitmap_resource(id);
    if (bitmap == nullptr) return glyph_load_status::not_loadable;
    std::int32_t width = 0, height = 0;
    if (!get_bitmap_size(bitmap, &width, &height) || width <= 0 || height <= 0) return glyph_load_status::bad_size;
    out.width = width;
    out.height = height;
    out.pixels.assign(std::size_t(width) * std::size_t(height), 0);
    return read_bitmap_pixels(bitmap, out.pixels.data(), out.pixels.size()) ? glyph_load_status::ok
                                                                            : glyph_load_status::unreadable;
}

}  // namespace

bool read_bitmap_pixels(bitmap_handle bitmap, pixel* pixels, std::size_t count) {
    const std::int64_t bytes = std::int64_t(count) * std::int64_t(sizeof(pixel));
    const bool complete = get_bitmap_bits(bitmap, bytes, pixels) == bytes;
    for (std::size_t i = 0; i < count; ++i) pixels[i] = pixel_from_bitmap(pixels[i]);
    return complete;
}

glyph_load_status load_glyph_set(glyph_set& set, int* failed_id) {
    for (int i = 0; i < glyph_count; ++i) {
        glyph& g = set.glyphs[std::size_t(i)];
        g.character = glyph_characters[i];
        int id = primary_resource_ids[i];
        glyph_load_status status = load_template(id, g.primary);
        if (status == glyph_load_status::ok) {
            id = alternate_resource_ids[i];
            status = load_template(id, g.alternate);
        }
        // The matcher walks both renderings with the primary's size.
        if (status == glyph_load_status::ok &&
            (g.primary.width != g.alternate.width || g.primary.height != g.alternate.height))
            status = glyph_load_status::size_mismatch;
        if (status != glyph_load_status::ok) {
            if (failed_id != nullptr) *failed_id = id;
            return status;
        }
    }
    prepare_glyph_set(set);
    return glyph_load_status::ok;
}
