// How a field's text becomes a value, checked on both the production reader and
// the literal oracle.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <string>

#include "recognition/field_reader.h"
#include "recognition/probe_rows.h"
#include "support/frame_painter.h"
#include "support/oracle.h"

namespace {

struct implementation {
    const char* name;
    double (*field)(const capture_frame&, const glyph_set&, std::int32_t);
    std::uint32_t (*axes)(const capture_frame&, const glyph_set&, double*);
};

void PrintTo(const implementation& i, std::ostream* os) { *os << i.name; }

const implementation implementations[] = {
    {"production", read_field, read_axes},
    {"oracle", oracle::read_field, oracle::read_axes},
};

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

class FieldReader : public ::testing::TestWithParam<implementation> {
protected:
    const glyph_set& set = real_glyphs();
    double field(const capture_frame& f, std::int32_t y, const glyph_set& s) { return GetParam().field(f, s, y); }
    double field(const capture_frame& f, std::int32_t y = first_field_row) { return field(f, y, set); }
};

TEST_P(FieldReader, TextBecomesTheQuotientOfItsLeadingNumberByTen) {
    struct value_case {
        const char* shown;
        double expected;
    };
    const value_case cases[] = {
        {"", 0.0},      {"-123", -12.3},
        {"7", 0.7},     {"12-3", 1.2},
        {"-", 0.0},     {"-00", -0.0},
        {"12,5", 12.5}, {"-5,0", -5.0},
        {"0,0", 0.0},   {"1234567,8", 1234567.8},
        {"--5", 0.0},   {"3", 3.0 / 10.0},
        {"-,-4", 0.0},  {"99999999999999999", 99999999999999999.0 / 10.0},
    };
    for (rendering r : {rendering::primary, rendering::alternate}) {
        for (const value_case& c : cases) {
            capture_frame f = blank_frame(300, 400);
            draw_field(f, set, first_field_row, 110, c.shown, r);
            EXPECT_EQ(bits(field(f)), bits(c.expected)) << '"' << c.shown << "\" read as " << field(f);
        }
    }
    // A quotient, not a product with 0.1, which differs in the last bit for 3.
    ASSERT_NE(bits(3.0 / 10.0), bits(3.0 * 0.1));
}

TEST_P(FieldReader, NegativeZeroIsKeptAndALoneMinusIsPositiveZero) {
    capture_frame f = blank_frame(300, 400);
    draw_field(f, set, first_field_row, 110, "-0,0", rendering::primary);
    EXPECT_EQ(bits(field(f)), 0x8000000000000000u);
    f = blank_frame(300, 400);
    draw_field(f, set, first_field_row, 110, "-", rendering::primary);
    EXPECT_EQ(bits(field(f)), 0u);
}

TEST_P(FieldReader, GlyphsOneRowLowerReadTheSame) {
    capture_frame f = blank_frame(300, 400);
    draw_field(f, set, first_field_row, 104, "-48,1", rendering::alternate, 1);
    EXPECT_EQ(field(f), -48.1);
}

TEST_P(FieldReader, LeftmostGlyphWinsWhicheverRowItLiesIn) {
    capture_frame f = blank_frame(300, 400);
    draw_glyph(f, glyph_for(set, '5'), 105, first_field_row + 3, rendering::primary);
    draw_glyph(f, glyph_for(set, '2'), 115, first_field_row + 2, rendering::primary);
    EXPECT_EQ(field(f), 5.2);
}

TEST_P(FieldReader, EqualColumnsGoToTheLowerIndex) {
    // Glyphs 3 and 7 made identical: both match at the same column, 3 must win.
    glyph_set twins = set;
    twins.glyphs[7].primary = twins.glyphs[3].primary;
    twins.glyphs[7].alternate = twins.glyphs[3].alternate;
    prepare_glyph_set(twins);
    capture_frame f = blank_frame(300, 400);
    draw_field(f, twins, first_field_row, 120, "3", rendering::primary);
    EXPECT_EQ(field(f, first_field_row, twins), 0.3);
}

TEST_P(FieldReader, WideGlyphAtTheRightEdgeMatchesOnlyWhenItFits) {
    // A 7 ten columns wide, wider than the quick test looks, drawn with plain
    // row-major addressing at column 156 after a 1: in a frame 165 wide its last
    // column wraps into the next row and must not be read as a match.
    glyph_set wide = set;
    glyph_template seven;
    seven.width = 10;
    seven.height = 8;
    const glyph_template& narrow = wide.glyphs[7].primary;
    for (std::int32_t i = 0; i < seven.height; ++i)
        for (std::int32_t j = 0; j < seven.width; ++j)
            seven.pixels.push_back(j < narrow.width ? narrow.pixels[std::size_t(i * narrow.width + j)] : colour_dark);
    wide.glyphs[7].primary = seven;
    wide.glyphs[7].alternate = seven;
    prepare_glyph_set(wide);
    for (const auto& [width, expected] : {std::pair{165, 0.1}, std::pair{166, 1.7}}) {
        capture_frame f = blank_frame(width, 400);
        draw_glyph(f, glyph_for(wide, '1'), 110, first_field_row + 2, rendering::primary);
        const std::int32_t x0 = 156, y0 = first_field_row + 2;
        for (std::int32_t i = 0; i < seven.height; ++i)
            for (std::int32_t j = 0; j < seven.width; ++j)
                f.pixels[std::size_t((y0 + i) * width + x0 + j)] = seven.pixels[std::size_t(i * seven.width + j)];
        EXPECT_EQ(field(f, first_field_row, wide), expected) << "frame " << width << " wide";
    }
}

TEST_P(FieldReader, CharactersAreReachedUpToTheEndOfEachWindow) {
    struct reach_case {
        std::int32_t first_at;
        char first;
        std::int32_t second_offset;  // 0: no second character
        char second;
        double expected;
    };
    const reach_case cases[] = {
        {154, '9', 0, 0, 0.9},    {155, '9', 0, 0, 0.0},    {156, '1', 0, 0, 0.1},    {157, '1', 0, 0, 0.0},
        {110, '1', 54, '2', 1.2}, {110, '1', 55, '2', 0.1}, {110, '4', 56, '1', 4.1}, {110, '4', 57, '1', 0.4},
        {101, '8', 7, '-', 0.8},  {100, '8', 0, 0, 0.0},
    };
    for (const reach_case& c : cases) {
        capture_frame f = blank_frame(300, 400);
        draw_glyph(f, glyph_for(set, c.first), c.first_at, first_field_row + 2, rendering::primary);
        if (c.second_offset != 0)
            draw_glyph(f, glyph_for(set, c.second), c.first_at + c.second_offset, first_field_row + 2,
                       rendering::primary);
        EXPECT_EQ(field(f), c.expected) << c.first << " at " << c.first_at << ", then " << c.second << " at +"
                                        << c.second_offset;
    }
}

TEST_P(FieldReader, FieldEndsAfter127Characters) {
    capture_frame f = blank_frame(900, 400);
    draw_field(f, set, first_field_row, 101, std::string(150, '1'), rendering::primary);
    const double expected = std::strtod(std::string(127, '1').c_str(), nullptr) / 10.0;
    EXPECT_EQ(bits(field(f)), bits(expected));
}

TEST_P(FieldReader, DarkLineUnderAFieldEndsTooAndReadsZero) {
    capture_frame f = blank_frame(400, 400);
    draw_field(f, set, first_field_row, 110, "42,0", rendering::primary);
    fill_rect(f, 0, first_field_row + 14, 400, 1, colour_dark);  // probe row of the upper candidate row
    // Every glyph matches at every column; "0" has the lowest index, so 127 zeros.
    EXPECT_EQ(bits(field(f)), 0u);
}

TEST_P(FieldReader, ReadsTheSixFieldsTopToBottom) {
    const char* shown[6] = {"12,5", "-0,5", "300,0", "-1234,6", "0,0", "7,7"};
    const double expected[6] = {12.5, -0.5, 300.0, -1234.6, 0.0, 7.7};
    capture_frame f = blank_frame(300, 420);
    for (int k = 0; k < 6; ++k)
        draw_field(f, set, first_field_row + 26 * k, 120, shown[k], k % 2 ? rendering::alternate : rendering::primary);
    double values[6];
    EXPECT_EQ(GetParam().axes(f, set, values), 0u) << "\"0,0\" shows digits: no field is blank";
    for (int k = 0; k < 6; ++k) EXPECT_EQ(values[k], expected[k]) << "field " << k;

    // A frame without the last field's probe rows (352 and 353) still reads the upper fields.
    capture_frame cut = f;
    cut.height = 352;
    cut.pixels.resize(std::size_t(cut.width) * 352);
    EXPECT_EQ(GetParam().axes(cut, set, values), 1u << 5);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(values[k], expected[k]) << "field " << k;
    EXPECT_EQ(values[5], 0.0);

    for (const capture_frame& empty : {blank_frame(0, 420), blank_frame(300, 0)}) {
        EXPECT_EQ(GetParam().axes(empty, set, values), 0x3Fu);
        for (int k = 0; k < 6; ++k) EXPECT_EQ(bits(values[k]), 0u);
    }
}

TEST(ProbeRows, StayAsTheyAreWhileValuesChangeAndShowWhatElseLiesThere) {
    const glyph_set& set = real_glyphs();
    auto jog = [&](const char* first, std::int32_t drop) {
        capture_frame f = blank_frame(300, 400, colour_dialog);
        for (int k = 0; k < 6; ++k)
            draw_field(f, set, first_field_row + field_pitch * k, 106, k == 0 ? first : "-1234,6",
                       k % 2 ? rendering::alternate : rendering::primary, k == 2 ? drop : 0);
        return f;
    };
    capture_frame remnant = jog("12,5", 0);  // a window's last pixels over the right of field 3
    fill_rect(remnant, 200, first_field_row + 3 * field_pitch, 100, 12, 0x404040);
    capture_frame lower = remnant;  // reaching the probe rows
    fill_rect(lower, 200, first_field_row + 3 * field_pitch, 100, 16, 0x404040);
    struct refresh_case {
        const char* name;
        capture_frame frame;
        bool changed, as_trusted;
    };
    const refresh_case cases[] = {
        {"the same frame again", jog("12,5", 0), false, true},
        {"other digits, glyphs a row lower", jog("-9876,5", 1), false, true},
        {"something else above the probe rows", remnant, false, true},
        {"something else over them", lower, true, false},
        {"and still there", lower, false, false},
        {"gone again", jog("12,5", 0), true, true},
    };
    std::vector<pixel> trusted, rows;
    EXPECT_TRUE(refresh_probe_rows(jog("12,5", 0), trusted, {}).changed) << "nothing held before";
    EXPECT_EQ(trusted.size(), std::size_t(6 * candidate_rows * (300 - first_search_column)));
    rows = trusted;
    for (const refresh_case& c : cases) {
        const probe_rows_news news = refresh_probe_rows(c.frame, rows, trusted);
        EXPECT_EQ(news.changed, c.changed) << c.name;
        EXPECT_EQ(news.as_trusted, c.as_trusted) << c.name;
    }
    EXPECT_FALSE(refresh_probe_rows(blank_frame(80, 400), rows, trusted).as_trusted);
    EXPECT_TRUE(rows.empty()) << "a frame narrower than the first search column has none";
}

INSTANTIATE_TEST_SUITE_P(BothImplementations, FieldReader, ::testing::ValuesIn(implementations),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
