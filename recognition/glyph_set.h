// The two kinds of image the gateway compares: the copy of the jog window
// (capture_frame) and the eleven recognisable characters, each in the host's two
// renderings (glyph_set). Plain data; matching lives in matcher.h, reading in
// field_reader.h; filling the frame and loading the stored glyph bitmaps in host/.
//
// The two renderings are called primary (the host draws dark on white) and
// alternate (light on grey) throughout.
#ifndef RECOGNITION_GLYPH_SET_H
#define RECOGNITION_GLYPH_SET_H

#include <array>
#include <cstdint>
#include <vector>

// 0x00RRGGBB, as a 32-bit display delivers device-dependent bitmap pixels.
// Pixels are only ever compared for exact equality of all 32 bits.
using pixel = std::uint32_t;

inline constexpr pixel colour_dark = 0x141414;   // stroke core; as a probe: column not compared
inline constexpr pixel colour_grey = 0x808080;   // alternate background; as a probe: use alternate
inline constexpr pixel colour_white = 0xFFFFFF;  // primary background

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
    glyph_template primary;
    glyph_template alternate;  // same size as primary
};

inline constexpr int glyph_count = 11;

// Order matters: the reader tries glyphs in this order and a lower index wins a tie.
inline constexpr char glyph_characters[] = "0123456789-";
static_assert(sizeof glyph_characters == glyph_count + 1);

// Precomputed per glyph set so that the reader can rule out most candidate places
// with a few word operations; derived from the templates only (see field_reader.cpp).
inline constexpr int filter_row_count = 2;

struct glyph_filter {
    // Template rows whose pixels the quick test looks at; -1 where unused.
    std::array<std::int32_t, filter_row_count> rows{-1, -1};
    // [k][glyph] bit j set: template column j on row rows[k] is not background in the
    // primary (resp. alternate) rendering, so a frame pixel there equal to that
    // rendering's background rules the place out.
    std::array<std::array<std::uint64_t, glyph_count>, filter_row_count> primary_columns{};
    std::array<std::array<std::uint64_t, glyph_count>, filter_row_count> alternate_columns{};
    // [k][glyph] bit j set: template column j on row rows[k] is exactly background in
    // the primary (resp. alternate) rendering, so a frame pixel there that is not
    // that background (where the probe selects that rendering) rules the place out.
    // This is what rules places out over surroundings of any other colour.
    std::array<std::array<std::uint64_t, glyph_count>, filter_row_count> primary_blank_columns{};
    std::array<std::array<std::uint64_t, glyph_count>, filter_row_count> alternate_blank_columns{};
    // One more than the highest template column any of the masks above uses.
    std::int32_t column_span = 0;
    // [k] bit g set: glyph g has a column on row rows[k] that is blank (resp. ink)
    // in both renderings alike.
    std::array<std::uint32_t, filter_row_count> blank_glyphs{};
    std::array<std::uint32_t, filter_row_count> ink_glyphs{};
};

struct glyph_set {
    std::array<glyph, glyph_count> glyphs;
    glyph_filter filter;
};

// Fills the derived filter of a set whose templates are in place. Every set must
// pass through it before fields are read (the loader in host/ does it).
void prepare_glyph_set(glyph_set& set);

#endif  // RECOGNITION_GLYPH_SET_H
