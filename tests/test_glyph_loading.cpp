// The glyph bitmaps stored with the program must load into exactly the host's two
// renderings, and a damaged or missing bitmap must be reported, not read as blank.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/sim/sim.h"
#include "host/glyph_resources.h"
#include "support/glyph_tables.h"

namespace {

std::vector<pixel> parse_rows(const char* const rows[8], std::int32_t* width) {
    std::vector<pixel> out;
    for (int r = 0; r < 8; ++r) {
        const std::string text = rows[r];
        *width = std::int32_t((text.size() + 1) / 7);
        for (std::int32_t j = 0; j < *width; ++j)
            out.push_back(pixel(std::strtoul(text.substr(std::size_t(j) * 7, 6).c_str(), nullptr, 16)));
    }
    return out;
}

// The alternate level for each primary level, written out independently
// of the generator so that a slip in either shows.
std::uint32_t alternate_channel(std::uint32_t c) {
    switch (c) {
    case 0x14: return 0xFF;
    case 0x44: return 0xEB;
    case 0x6E: return 0xD6;
    case 0x94: return 0xC1;
    case 0xB9: return 0xAC;
    case 0xDC: return 0x97;
    case 0xFF: return 0x80;
    }
    ADD_FAILURE() << "channel level " << std::hex << c << " is not one of the seven";
    return 0;
}

pixel alternate_of(pixel p) {
    return alternate_channel(p >> 16) << 16 | alternate_channel((p >> 8) & 0xFF) << 8 | alternate_channel(p & 0xFF);
}

class GlyphSetLoading : public ::testing::Test {
protected:
    void TearDown() override { sim_restore_resources(); }
};

TEST_F(GlyphSetLoading, BitmapsDecodeToTheHostsTwoRenderings) {
    glyph_set set;
    int failed = 0;
    ASSERT_EQ(load_glyph_set(set, &failed), glyph_load_status::ok) << failed;
    for (int i = 0; i < glyph_count; ++i) {
        const glyph& g = set.glyphs[std::size_t(i)];
        std::int32_t width = 0;
        const std::vector<pixel> primary = parse_rows(primary_glyph_rows[i], &width);
        std::vector<pixel> alternate;
        for (pixel p : primary) alternate.push_back(alternate_of(p));
        EXPECT_EQ(g.character, "0123456789-"[i]);
        EXPECT_EQ(g.primary.width, (i == 1 || i == 10) ? 4 : 6) << "glyph " << i;
        EXPECT_EQ(g.primary.width, width);
        EXPECT_EQ(g.primary.height, 8);
        EXPECT_EQ(g.alternate.width, g.primary.width);
        EXPECT_EQ(g.alternate.height, 8);
        EXPECT_EQ(g.primary.pixels, primary) << "glyph " << i;
        EXPECT_EQ(g.alternate.pixels, alternate) << "glyph " << i;
    }
}

TEST_F(GlyphSetLoading, MinusRowsReadTopDown) {
    glyph_set set;
    ASSERT_EQ(load_glyph_set(set, nullptr), glyph_load_status::ok);
    const glyph& minus = set.glyphs[10];
    ASSERT_EQ(minus.primary.width, 4);
    const std::vector<pixel> row5_primary = {0xB96E14, 0x141414, 0x141414, 0x146EB9};
    const std::vector<pixel> row5_alternate = {0xACD6FF, 0xFFFFFF, 0xFFFFFF, 0xFFD6AC};
    for (int row = 0; row < 8; ++row) {
        const std::vector<pixel> p(minus.primary.pixels.begin() + row * 4, minus.primary.pixels.begin() + row * 4 + 4);
        const std::vector<pixel> a(minus.alternate.pixels.begin() + row * 4,
                                   minus.alternate.pixels.begin() + row * 4 + 4);
        EXPECT_EQ(p, row == 5 ? row5_primary : std::vector<pixel>(4, 0xFFFFFF)) << "row " << row;
        EXPECT_EQ(a, row == 5 ? row5_alternate : std::vector<pixel>(4, 0x808080)) << "row " << row;
    }
}

TEST_F(GlyphSetLoading, DamagedOrMissingBitmapIsReportedWithItsIdentifier) {
    struct damage_case {
        const char* name;
        int id;
        std::vector<std::uint8_t> bytes;  // empty: the resource is removed
        glyph_load_status expected;
    };
    std::vector<std::uint8_t> truncated = sim_resource(primary_resource_ids[4]);
    truncated.resize(truncated.size() - 3);
    std::vector<std::uint8_t> not_a_bitmap(200, 'x');
    const damage_case cases[] = {
        {"missing primary", primary_resource_ids[2], {}, glyph_load_status::not_loadable},
        {"missing alternate", alternate_resource_ids[10], {}, glyph_load_status::not_loadable},
        {"truncated", primary_resource_ids[4], truncated, glyph_load_status::not_loadable},
        {"not a bitmap", alternate_resource_ids[3], not_a_bitmap, glyph_load_status::not_loadable},
        // The 4-wide alternate of "1" stored in place of the 6-wide alternate of "0".
        {"renderings of different sizes", alternate_resource_ids[0], sim_resource(alternate_resource_ids[1]),
         glyph_load_status::size_mismatch},
    };
    for (const damage_case& c : cases) {
        sim_restore_resources();
        if (c.bytes.empty())
            sim_remove_resource(c.id);
        else
            sim_set_resource(c.id, c.bytes);
        glyph_set set;
        int failed = 0;
        EXPECT_EQ(load_glyph_set(set, &failed), c.expected) << c.name;
        EXPECT_EQ(failed, c.id) << c.name;
    }
}

}  // namespace
