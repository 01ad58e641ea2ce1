// The matcher's rules, checked on both the production matcher and the literal
// oracle, so that the oracle the differential test trusts is itself pinned down.
#include <gtest/gtest.h>

#include "recognition/matcher.h"
#include "support/frame_painter.h"
#include "support/oracle.h"

namespace {

struct implementation {
    const char* name;
    bool (*match)(const capture_frame&, std::int32_t, std::int32_t, const glyph&);
    glyph_hit (*find)(const capture_frame&, std::int32_t, std::int32_t, const glyph&);
};

glyph_hit oracle_find(const capture_frame& f, std::int32_t x, std::int32_t y, const glyph& g) {
    glyph_hit hit;
    hit.found = oracle::find_glyph(f, x, y, g, &hit.x);
    return hit;
}

void PrintTo(const implementation& i, std::ostream* os) { *os << i.name; }

const implementation implementations[] = {
    {"production", match_glyph_at, find_glyph},
    {"oracle", oracle::match_glyph_at, oracle_find},
};

class Matcher : public ::testing::TestWithParam<implementation> {
protected:
    const glyph_set& set = real_glyphs();
    const glyph& g(char c) { return glyph_for(set, c); }
    bool match(const capture_frame& f, std::int32_t x, std::int32_t y, const glyph& gl) { return GetParam().match(f, x, y, gl); }
    glyph_hit find(const capture_frame& f, std::int32_t x, std::int32_t y, const glyph& gl) { return GetParam().find(f, x, y, gl); }
};

TEST_P(Matcher, FindsEachGlyphOnlyWhereItIsDrawnInEitherRendering) {
    for (rendering r : {rendering::primary, rendering::alternate}) {
        for (const glyph& drawn : set.glyphs) {
            capture_frame f = blank_frame(40, 40, r == rendering::primary ? colour_white : colour_grey);
            draw_glyph(f, drawn, 10, 5, r);
            for (const glyph& tried : set.glyphs) {
                EXPECT_EQ(match(f, 10, 5, tried), &tried == &drawn) << drawn.character << " tried as " << tried.character;
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

    const capture_frame empty = blank_frame(0, 0);
    EXPECT_FALSE(match(empty, 0, 0, zero));
    EXPECT_FALSE(find(empty, 0, 0, zero).found);
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

TEST_P(Matcher, SearchReachesAsFarAsTheWindowAndNoFurther) {
    struct reach_case {
        char c;
        std::int32_t offset;  // left edge relative to the search column
        std::int32_t drop;    // glyph top relative to reference + 2
        bool found;
    };
    const reach_case cases[] = {
        {'7', 0, 0, true},   {'7', 53, 0, true},  {'7', 54, 0, false}, {'1', 55, 0, true}, {'1', 56, 0, false},
        {'-', 55, 1, true},  {'-', 56, 1, false}, {'3', 20, 1, true},  {'3', 20, 2, false}, {'3', -1, 0, false},
    };
    const std::int32_t x = 100, y = 50;
    for (const reach_case& c : cases) {
        capture_frame f = blank_frame(200, 100);
        draw_glyph(f, g(c.c), x + c.offset, y + 2 + c.drop, rendering::primary);
        const glyph_hit hit = find(f, x, y, g(c.c));
        EXPECT_EQ(hit.found, c.found) << c.c << " at +" << c.offset << " drop " << c.drop;
        if (c.found && hit.found) {
            EXPECT_EQ(hit.x, x + c.offset);
        }
    }
}

TEST_P(Matcher, UpperCandidateRowWinsEvenFurtherRight) {
    capture_frame f = blank_frame(200, 100);
    draw_glyph(f, g('5'), 110, 53, rendering::primary);  // reference + 3
    draw_glyph(f, g('5'), 140, 52, rendering::primary);  // reference + 2
    const glyph_hit hit = find(f, 100, 50, g('5'));
    ASSERT_TRUE(hit.found);
    EXPECT_EQ(hit.x, 140);
}

TEST_P(Matcher, TemplatesWithoutPixelsMatchEverywhere) {
    glyph empty_rows{'e', {6, 0, {}}, {6, 0, {}}};
    glyph empty_columns{'e', {0, 8, {}}, {0, 8, {}}};
    const capture_frame f = blank_frame(10, 10);
    EXPECT_TRUE(match(f, -5, 100, empty_rows));
    EXPECT_TRUE(match(f, 3, 3, empty_columns));
    const glyph_hit hit = find(f, 7, 7, empty_rows);
    EXPECT_TRUE(hit.found);
    EXPECT_EQ(hit.x, 7);
}

INSTANTIATE_TEST_SUITE_P(BothImplementations, Matcher, ::testing::ValuesIn(implementations),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
