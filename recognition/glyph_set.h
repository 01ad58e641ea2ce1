// The two kinds of image the gateway compares: the copy of the jog window
// (capture_frame) and the eleven recognisable characters, each in the host's two
// renderings (glyph_set). Plain data; the matching rule lives in matcher.h,
// reading in field_reader.h; filling the frame and loading the stored glyph bitmaps in host/.
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
// with a few word operations; derived from the templates only (see glyph_set.cpp).
//
// The quick test looks at two template rows (filter rows). Each frame column under
// a candidate place falls into one of filter_class_count classes (filter_class in
// matcher.h): whether its probe skips it, else the rendering its probe selects
// and, for each filter row, whether the frame shows that rendering's background
// there. A template column accepts the classes it could match: where it is
// background on a filter row the frame must be too, where it is not the frame
// must not be. A place survives the test only if each of the glyph's first
// filter_column_count columns finds an accepted class; the survivors are compared
// in full.
inline constexpr int filter_row_count = 2;
inline constexpr int filter_class_count = 1 + 2 * (1 << filter_row_count);
inline constexpr int filter_column_count = 8;
inline constexpr int max_filter_sets = 16;  // distinct accepted-class sets kept

struct glyph_filter {
    // Template rows the quick test looks at; -1 where unused.
    std::array<std::int32_t, filter_row_count> rows{-1, -1};
    // The distinct sets of classes some template column accepts (bit c: class c).
    // Set 0 accepts every class; it also stands in for a column whose set did not
    // fit, which only makes the test let more places through.
    int set_count = 1;
    std::array<std::uint16_t, max_filter_sets> sets{(1u << filter_class_count) - 1};
    // The set each glyph's first filter_column_count columns accept, and for each
    // such column the set of every class some glyph accepts there: a place whose
    // columns fail one of those fits no glyph.
    std::array<std::array<std::uint8_t, filter_column_count>, glyph_count> glyph_sets{};
    std::array<std::uint8_t, filter_column_count> any_sets{};
    std::int32_t widest = 0, tallest = 0, narrowest = 0;  // of the templates
    // For comparing a place a row at a time: a glyph's primary rows, then its rows
    // of primary XOR alternate, each padded with zeros to filter_column_count
    // pixels. Empty for glyphs wider than that.
    std::array<std::vector<pixel>, glyph_count> wide_rows;
};

struct glyph_set {
    std::array<glyph, glyph_count> glyphs;
    glyph_filter filter;
};

// Fills the derived filter of a set whose templates are in place: each glyph's two
// renderings of one size, at least one pixel wide and high (the loader in host/
// refuses any other, so the reader has no case for empty templates). Every set
// must pass through it before fields are read (the loader does it).
void prepare_glyph_set(glyph_set& set);

// A glyph set whose glyph i stands for glyph_characters[i], its templates drawn
// by draw(i, glyph); prepare it before reading with it.
template <class Draw>
glyph_set glyph_set_of(Draw draw) {
    glyph_set s;
    for (int i = 0; i < glyph_count; ++i) {
        glyph& g = s.glyphs[std::size_t(i)];
        g.character = glyph_characters[i];
        draw(i, g);
    }
    return s;
}

#endif  // RECOGNITION_GLYPH_SET_H
