// Loading the glyph bitmaps stored with the program into a glyph set, and the
// pixel-reading rule that the loader and the capture share.
#ifndef HOST_GLYPH_RESOURCES_H
#define HOST_GLYPH_RESOURCES_H

#include <cstdint>
#include <iterator>
#include <vector>

#include "glyph_resource_ids.h"
#include "platform/platform.h"
#include "recognition/glyph_set.h"

static_assert(std::size(primary_resource_ids) == glyph_count && std::size(alternate_resource_ids) == glyph_count,
              "one primary and one alternate bitmap per glyph");

// A bitmap's 32-bit pixel in the pixel form: its top byte cleared (a display may
// leave an alpha byte there, and then no pixel would ever compare equal).
constexpr pixel pixel_from_bitmap(std::uint32_t raw) { return raw & 0x00FFFFFF; }

// Reads the first count pixels of a bitmap into the pixel form. False when fewer
// bytes than count * 4 could be read.
bool read_bitmap_pixels(bitmap_handle bitmap, pixel* pixels, std::size_t count);

enum class glyph_load_status {
    ok = 0,
    not_loadable = -1,   // the bitmap resource is absent or cannot be decoded
    bad_size = -2,       // its size cannot be queried, or is not positive
    unreadable = -3,     // its pixels cannot be read
    size_mismatch = -4,  // primary and alternate differ in size
};

// Loads the 22 bitmaps stored with the program into a ready-to-use set.
// On failure, *failed_id (if given) names the resource that failed.
glyph_load_status load_glyph_set(glyph_set& set, int* failed_id);

#endif  // HOST_GLYPH_RESOURCES_H
