// The matching rule, held three ways: the plain rule (matcher.h) and the literal
// oracle against the behaviours that define it, and each fast form of the reader
// against the plain rule on generated frames.
#include <gtest/gtest.h>

#include <random>

#include "recognition/matcher.h"
#include "recognition/reader_paths.h"
#include "support/frame_painter.h"
#include "support/oracle.h"

namespace {

struct implementation {
    const char* name;
    bool (*match)(const capture_frame&, std::int32_t, std::int32_t, const glyph&);
};

bool rule_match(const capture_frame& f, std::int32_t x, std::int32_t y, const glyph& g) {
    return place_inside(f, x, y, g) && glyph_drawn_at(f, x, y, g);
}

void PrintTo(const implementation& i, std::ostream* os) { *os << i.name; }

const implementation implementations[] = {
    {"rule", rule_match},
    {"oracle", oracle::match_glyph_at},
};

class Matcher : public ::testing::TestWithParam<implementation> {
protected:
    const glyph_set& set = real_glyphs();
    const glyph& g(char c) { return glyph_for(set, c); }
    bool match(const capture_frame& f, std::int32_t x, std::int32_t y, const glyph& gl) {
        return GetParam().match(f, x, y, gl);
    }
};

TEST_P(Matcher, FindsEachGlyphOnlyWhereItIsDrawnInEitherRendering) {
    for (rendering r : {rendering::primary, rendering::alternate}) {
        for (const glyph& drawn : set.glyphs) {
            capture_frame f = blank_frame(40, 40, r == rendering::primary ? colour_white : colour_grey);
            draw_glyph(f, drawn, 10, 5, r);
            for (const glyph& tried : set.glyphs) {
                EXPECT_EQ(match(f, 10, 5, tried), &tried == &drawn)
                    << drawn.character << " tried as " << tried.character;
            }
            EXPECT_FALSE(match(f, 11, 5, drawn));
            EXPECT_FALSE(match(f, 10, 6, drawn));
        }
    }
}

TEST_P(Matcher, ProbeChoosesHowEachColumnIsCompared) {
    const glyph& eight = g('8');
    capture_frame f = blank_frame(30, 30);
    // Columns 0-2 drawn dark on white, columns 3-5 light on grey.
    draw_glyph(f, eight, 5, 5, rendering::primary);
    for (int i = 0; i < 8; ++i)
        for (int j = 3; j < 6; ++j) put_pixel(f, 5 + j, 5 + i, eight.alternate.pixels[std::size_t(i * 6 + j)]);

    fill_rect(f, 5, 17, 3, 1, colour_white);
    fill_rect(f, 8, 17, 3, 1, colour_grey);
    EXPECT_TRUE(match(f, 5, 5, eight)) << "per-column choice";

    fill_rect(f, 5, 17, 6, 1, colour_grey);
    EXPECT_FALSE(match(f, 5, 5, eight)) << "grey everywhere compares the dark columns with the alternate";

    fill_rect(f, 5, 17, 3, 1, 0x123456);
    EXPECT_TRUE(match(f, 5, 5, eight)) << "a probe of another colour selects the primary";

    fill_rect(f, 5, 17, 3, 1, colour_white);
    put_pixel(f, 6, 9, 0x000001);  // spoil one pixel of column 1
    EXPECT_FALSE(match(f, 5, 5, eight));
    put_pixel(f, 6, 17, colour_dark);  // ... and stop comparing that column
    EXPECT_TRUE(match(f, 5, 5, eight));
}

TEST_P(Matcher, DarkProbeRowMakesEveryGlyphMatchAnywhere) {
    capture_frame f = blank_frame(40, 40, 0x5A5A5A);
    fill_rect(f, 0, 22, 40, 1, colour_dark);
    for (const glyph& gl : set.glyphs) {
        EXPECT_TRUE(match(f, 3, 10, gl)) << gl.character;
        EXPECT_FALSE(match(f, 3, 9, gl)) << gl.character << ": probe row not dark";
    }
}

TEST_P(Matcher, PlacesThatReachOutsideTheFrameNeverMatch) {
    const glyph& zero = g('0');
    capture_frame f = blank_frame(30, 30, colour_dark);  // dark everywhere: all columns skipped
    EXPECT_TRUE(match(f, 0, 0, zero));
    EXPECT_TRUE(match(f, 24, 17, zero)) << "right and bottom limits still inside";
    EXPECT_FALSE(match(f, -1, 0, zero));
    EXPECT_FALSE(match(f, 0, -1, zero));
    EXPECT_FALSE(match(f, 25, 0, zero)) << "over the right edge";
    EXPECT_FALSE(match(f, 0, 18, zero)) << "top row among the last 12: probe outside";
    EXPECT_FALSE(match(f, INT32_MAX, 0, zero));
    EXPECT_FALSE(match(f, 0, INT32_MIN, zero));

    EXPECT_FALSE(match(blank_frame(0, 0), 0, 0, zero));
}

TEST_P(Matcher, GlyphOverTheRightEdgeIsNotMatchedAgainstTheNextRow) {
    // Lay out pixels so that reading a glyph at column width - 3 with plain
    // row * width + column addressing would find it, wrapping into the next row.
    const glyph& zero = g('0');
    const std::int32_t width = 20;
    capture_frame f = blank_frame(width, 30);
    const std::int32_t x0 = width - 3, y0 = 2;
    for (std::int32_t i = 0; i < 8; ++i)
        for (std::int32_t j = 0; j < 6; ++j) {
            const std::int64_t index = std::int64_t(y0 + i) * width + x0 + j;
            f.pixels[std::size_t(index)] = zero.primary.pixels[std::size_t(i * 6 + j)];
        }
    EXPECT_FALSE(match(f, x0, y0, zero));
}

// The search of a window, which the reader does its own way: pinned on the oracle,
// which the differential test holds the reader to.
struct found {
    bool hit = false;
    std::int32_t x = 0;
};
found oracle_find(const capture_frame& f, std::int32_t x, std::int32_t y, const glyph& g) {
    found r;
    r.hit = oracle::find_glyph(f, x, y, g, &r.x);
    return r;
}

TEST(OracleSearch, ReachesAsFarAsTheWindowAndNoFurther) {
    const glyph_set& set = real_glyphs();
    struct reach_case {
        char c;
        std::int32_t offset;  // left edge relative to the search column
        std::int32_t drop;    // glyph top relative to reference + 2
        bool found;
    };
    const reach_case cases[] = {
        {'7', 0, 0, true},  {'7', 53, 0, true},  {'7', 54, 0, false}, {'1', 55, 0, true},  {'1', 56, 0, false},
        {'-', 55, 1, true}, {'-', 56, 1, false}, {'3', 20, 1, true},  {'3', 20, 2, false}, {'3', -1, 0, false},
    };
    const std::int32_t x = 100, y = 50;
    for (const reach_case& c : cases) {
        capture_frame f = blank_frame(200, 100);
        draw_glyph(f, glyph_for(set, c.c), x + c.offset, y + 2 + c.drop, rendering::primary);
        const found hit = oracle_find(f, x, y, glyph_for(set, c.c));
        EXPECT_EQ(hit.hit, c.found) << c.c << " at +" << c.offset << " drop " << c.drop;
        if (c.found && hit.hit) {
            EXPECT_EQ(hit.x, x + c.offset);
        }
    }
}

TEST(OracleSearch, UpperCandidateRowWinsEvenFurtherRight) {
    const glyph& five = glyph_for(real_glyphs(), '5');
    capture_frame f = blank_frame(200, 100);
    draw_glyph(f, five, 110, 53, rendering::primary);  // reference + 3
    draw_glyph(f, five, 140, 52, rendering::primary);  // reference + 2
    const found hit = oracle_find(f, 100, 50, five);
    ASSERT_TRUE(hit.hit);
    EXPECT_EQ(hit.x, 140);
}

INSTANTIATE_TEST_SUITE_P(BothImplementations, Matcher, ::testing::ValuesIn(implementations),
                         [](const auto& info) { return std::string(info.param.name); });

// Frames of the colours the rule tells apart (white, grey, the dark line), glyph
// strokes in either rendering, probes under them of every kind, and noise.
capture_frame rule_frame(std::mt19937_64& rng, const glyph_set& set) {
    auto uniform = [&](int lo, int hi) { return int(std::uniform_int_distribution<int>(lo, hi)(rng)); };
    const pixel colours[] = {colour_white, colour_grey, colour_dark, 0x6EB9FF, pixel(rng() & 0xFFFFFF)};
    capture_frame f = blank_frame(uniform(first_search_column, first_search_column + 3 * 56 + 70), uniform(1, 40),
                                  colours[uniform(0, 1)]);
    for (int n = uniform(0, 6); n > 0; --n)
        fill_rect(f, uniform(0, f.width), uniform(0, f.height), uniform(1, 80), uniform(1, 20), colours[uniform(0, 4)]);
    for (int n = uniform(0, 30); n > 0; --n) {
        const std::int32_t x = uniform(first_search_column - 8, f.width), y = uniform(-4, f.height);
        const rendering r = uniform(0, 1) ? rendering::primary : rendering::alternate;
        draw_glyph(f, set.glyphs[std::size_t(uniform(0, glyph_count - 1))], x, y, r);
        if (uniform(0, 3) != 0)
            fill_rect(f, x, y + probe_offset, 8, 1, r == rendering::primary ? colour_white : colour_grey);
        for (int p = uniform(0, 2); p > 0; --p)
            put_pixel(f, x + uniform(0, 7), y + probe_offset, colours[uniform(0, 4)]);
    }
    return f;
}

// The class the plain rule gives column x under candidate top row `top`.
int rule_class(const capture_frame& f, const glyph_filter& filter, std::int64_t top, std::int32_t x) {
    const std::int64_t probe_row = top + probe_offset;
    if (x >= f.width || probe_row < 0 || probe_row >= f.height) return -1;
    const probe_class c = class_of_probe(get_pixel(f, x, std::int32_t(probe_row)));
    if (c == probe_class::skipped) return filter_class(c, 0);
    unsigned background = 0;
    for (std::size_t k = 0; k < filter_row_count; ++k) {
        const std::int64_t row = top + filter.rows[k];
        if (filter.rows[k] >= 0 && row >= 0 && row < f.height && get_pixel(f, x, std::int32_t(row)) == background_of(c))
            background |= 1u << k;
    }
    return filter_class(c, background);
}

TEST(FastForms, FollowTheRule) {
    const glyph_set& set = real_glyphs();
    for (reader_path path : {reader_path::plain, reader_path::sse2, reader_path::avx2}) {
        if (!reader_path_available(path)) continue;
        SCOPED_TRACE(testing::Message() << "reader path " << int(path));
        std::mt19937_64 rng(7);
        long matches = 0, classified = 0, failures = 0;
        for (int n = 0; n < 400 && failures < 5; ++n) {
            const capture_frame f = rule_frame(rng, set);
            for (std::int64_t top = -2; top < f.height; ++top)
                for (int block = 0; block < 4; ++block) {
                    const std::array<int, 64> classes = classify_block(path, f, set.filter, top, block);
                    for (int b = 0; b < 64; ++b) {
                        const std::int32_t x = first_search_column + 56 * block + b;
                        const int want = rule_class(f, set.filter, top, x);
                        classified += want >= 0;
                        if (classes[std::size_t(b)] != want && ++failures <= 5)
                            ADD_FAILURE() << "frame " << n << ", top " << top << ", column " << x << ": class "
                                          << classes[std::size_t(b)] << ", the rule says " << want;
                    }
                }
            for (std::int32_t y = 0; y < f.height; ++y)
                for (std::int32_t x = first_search_column - 8; x < f.width; ++x)
                    for (int g = 0; g < glyph_count; ++g) {
                        if (!place_inside(f, x, y, set.glyphs[std::size_t(g)])) continue;
                        const bool want = glyph_drawn_at(f, x, y, set.glyphs[std::size_t(g)]);
                        matches += want;
                        if (glyph_drawn_by(path, f, x, y, set, g) != want && ++failures <= 5)
                            ADD_FAILURE() << "frame " << n << ", glyph " << g << " at (" << x << ", " << y
                                          << "): the rule says " << want;
                    }
        }
        // The frames must exercise both outcomes, not only mismatches.
        EXPECT_GT(matches, 1000);
        EXPECT_GT(classified, 100000);
    }
}

}  // namespace
