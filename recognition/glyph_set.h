// The two kinds of image the gateway compares: the copy of the jog window
// (capture_frame) and the eleven recognisable characters, each in the host's two
// renderings (glyph_set). Plain data; matching lives in matcher.h, reading in
// field_reader.h, filling the frame in host/.
#ifndef RECOGNITION_GLYPH_SET_H
#define RECOGNITION_GLYPH_SET_H

#include <array>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

// 0x00RRGGBB, as a 32-bit display delivers device-dependent bitmap pixels.
// Pixels are only ever compared for exact equality of all 32 bits.
using pixel = std::uint32_t;

inline constexpr pixel colour_dark = 0x141414;   // stroke core; as a probe: column not compared
inline constexpr pixel colour_grey = 0x808080;   // light-on-grey background; as a probe: use alternate
inline constexpr pixel colour_white = 0xFFFFFF;  // dark-on-white background

// Top-down, row-major, stride == width. Pixel (x, y) is pixels[y * width + x];
// (0, 0) is the top-left corner of the jog window's client area.
struct capture_frame {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<pixel> pixels;
};

struct glyph_template {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<pixel> pixels;  // top row first, stride == width
};

struct glyph {
    char character = 0;
    glyph_template primary;    // dark on white
    glyph_template alternate;  // light on grey; same size as primary
};

inline constexpr int glyph_count = 11;

// Order matters: the reader tries glyphs in this order and a lower index wins a tie.
inline constexpr char glyph_characters[glyph_count + 1] = "0123456789-";
inline constexpr int primary_resource_ids[glyph_count] = {103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113};
inline constexpr int alternate_resource_ids[glyph_count] = {118, 119, 120, 121, 122, 123, 124, 125, 126, 127, 128};

// Precomputed per glyph set so that the reader can rule out most candidate places
// with a few word operations; derived from the templates only (see field_reader.cpp).
inline constexpr int filter_row_count = 2;

struct glyph_filter {
    // Template rows whose pixels the quick test looks at; -1 where unused.
    std::array<std::int32_t, filter_row_count> rows{-1, -1};
    // [k][glyph] bit j set: template column j on row rows[k] is not background in the
    // dark-on-white (resp. light-on-grey) rendering, so a frame pixel there equal to
    // that rendering's background rules the place out.
    std::array<std::array<std::uint64_t, glyph_count>, filter_row_count> primary_columns{};
    std::array<std::array<std::uint64_t, glyph_count>, filter_row_count> alternate_columns{};
};

struct glyph_set {
    std::array<glyph, glyph_count> glyphs;
    glyph_filter filter;
};

// Reads all of a bitmap's pixels into the pixel form, its top byte cleared (a
// display may leave an alpha byte there, and then no pixel would ever compare
// equal). False when fewer bytes than pixels.size() * 4 could be read.
bool read_bitmap_pixels(bitmap_handle bitmap, std::vector<pixel>& pixels);

// Fills the derived filter of a set whose templates are in place. load_glyph_set
// calls it; a set built in memory must call it before reading fields.
void prepare_glyph_set(glyph_set& set);

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

#endif  // RECOGNITION_GLYPH_SET_H
