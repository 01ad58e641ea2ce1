// The strict reader must take the stored glyph bitmaps and refuse, with the right
// reason, anything that is not exactly that kind of file.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "resources/bmp_reader.h"
#include "host/glyph_resources.h"
#include "platform/sim/sim.h"

namespace {

std::vector<std::uint8_t> minus_bitmap() { return sim_resource(primary_resource_ids[10]); }  // 4 x 8, no row padding
std::vector<std::uint8_t> zero_bitmap() {
    return sim_resource(primary_resource_ids[0]);
}  // 6 x 8, rows padded by 2 bytes

void put_u32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    for (int k = 0; k < 4; ++k) v[at + std::size_t(k)] = std::uint8_t(x >> (8 * k));
}

void put_u16(std::vector<std::uint8_t>& v, std::size_t at, std::uint16_t x) {
    v[at] = std::uint8_t(x);
    v[at + 1] = std::uint8_t(x >> 8);
}

struct malformed_case {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> spoil;
    bmp_status expected;
};

TEST(BmpReader, RefusesEveryKindOfMalformedFile) {
    const malformed_case cases[] = {
        {"truncated headers", [](auto& v) { v.resize(53); }, bmp_status::too_short},
        {"empty", [](auto& v) { v.clear(); }, bmp_status::too_short},
        {"signature", [](auto& v) { v[1] = 'X'; }, bmp_status::bad_signature},
        {"declared size too large", [](auto& v) { put_u32(v, 2, std::uint32_t(v.size() + 1)); },
         bmp_status::bad_file_size},
        {"pixel data cut short", [](auto& v) { v.pop_back(); }, bmp_status::bad_file_size},
        {"info header of another version", [](auto& v) { put_u32(v, 14, 108); }, bmp_status::bad_header_size},
        {"zero width", [](auto& v) { put_u32(v, 18, 0); }, bmp_status::bad_dimensions},
        {"negative width", [](auto& v) { put_u32(v, 18, std::uint32_t(-4)); }, bmp_status::bad_dimensions},
        {"zero height", [](auto& v) { put_u32(v, 22, 0); }, bmp_status::bad_dimensions},
        {"top-down rows", [](auto& v) { put_u32(v, 22, std::uint32_t(-8)); }, bmp_status::bad_dimensions},
        {"absurd width", [](auto& v) { put_u32(v, 18, 0x7FFFFFFF); }, bmp_status::bad_dimensions},
        {"two planes", [](auto& v) { put_u16(v, 26, 2); }, bmp_status::bad_planes},
        {"32 bits per pixel", [](auto& v) { put_u16(v, 28, 32); }, bmp_status::not_24_bits},
        {"8 bits per pixel", [](auto& v) { put_u16(v, 28, 8); }, bmp_status::not_24_bits},
        {"run-length compressed", [](auto& v) { put_u32(v, 30, 1); }, bmp_status::compressed},
        {"palette", [](auto& v) { put_u32(v, 46, 2); }, bmp_status::has_palette},
        {"gap before the pixels", [](auto& v) { put_u32(v, 10, 58); }, bmp_status::bad_pixel_offset},
        {"declared image size", [](auto& v) { put_u32(v, 34, 100); }, bmp_status::bad_image_size},
        // A width of 5 needs 16-byte rows: 128 bytes where the file has 96.
        {"width that the rows do not fit",
         [](auto& v) {
             put_u32(v, 18, 5);
             put_u32(v, 34, 0);
         },
         bmp_status::bad_image_size},
        {"one row more than stored",
         [](auto& v) {
             put_u32(v, 22, 9);
             put_u32(v, 34, 0);
         },
         bmp_status::bad_image_size},
        {"trailing bytes",
         [](auto& v) {
             v.push_back(0);
             put_u32(v, 2, std::uint32_t(v.size()));
         },
         bmp_status::bad_image_size},
    };
    for (const malformed_case& c : cases) {
        std::vector<std::uint8_t> bytes = minus_bitmap();
        c.spoil(bytes);
        decoded_bmp out;
        out.width = 99;
        EXPECT_EQ(decode_bmp(bytes.data(), bytes.size(), out), c.expected) << c.name;
        EXPECT_EQ(out.width, 0) << c.name << ": a refused file leaves no image behind";
        EXPECT_TRUE(out.pixels.empty()) << c.name;
        EXPECT_STRNE(bmp_status_text(c.expected), "unknown") << c.name;
    }
}

TEST(BmpReader, NullDataIsRefused) {
    decoded_bmp out;
    EXPECT_EQ(decode_bmp(nullptr, 100, out), bmp_status::too_short);
}

TEST(BmpReader, TurnsPaddedBottomUpRowsTopDown) {
    const std::vector<std::uint8_t> original = zero_bitmap();
    decoded_bmp before;
    ASSERT_EQ(decode_bmp(original.data(), original.size(), before), bmp_status::ok);
    ASSERT_EQ(before.width, 6);
    ASSERT_EQ(before.height, 8);

    std::vector<std::uint8_t> bytes = original;
    const std::size_t stride = 20;                         // 6 pixels of 3 bytes, padded to 4
    bytes[54] = 0x01, bytes[55] = 0x02, bytes[56] = 0x03;  // stored first: the bottom row's left pixel
    bytes[54 + 18] = 0xAA, bytes[54 + 19] = 0xBB;          // padding of that row: never a pixel
    bytes[54 + 7 * stride + 15] = 0x30;                    // stored last: the top row, column 5, blue
    decoded_bmp after;
    ASSERT_EQ(decode_bmp(bytes.data(), bytes.size(), after), bmp_status::ok);

    std::vector<std::uint32_t> expected = before.pixels;
    expected[7 * 6 + 0] = 0x030201;
    expected[0 * 6 + 5] = (expected[5] & 0xFFFF00) | 0x30;
    EXPECT_EQ(after.pixels, expected);
}

}  // namespace
