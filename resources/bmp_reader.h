// Strict reader for the glyph bitmaps as they are stored with the program:
// uncompressed 24-bit Windows bitmaps with a 40-byte info header and a positive
// height (rows bottom-up, each padded to a multiple of 4 bytes, pixels blue,
// green, red). Anything else is refused with a reason rather than guessed at,
// because a wrong template would silently stop every value from being read.
#ifndef RESOURCES_BMP_READER_H
#define RESOURCES_BMP_READER_H

#include <cstddef>
#include <cstdint>
#include <vector>

enum class bmp_status {
    ok,
    too_short,
    bad_signature,
    bad_file_size,
    bad_header_size,
    bad_dimensions,
    bad_planes,
    not_24_bits,
    compressed,
    has_palette,
    bad_pixel_offset,
    bad_image_size,
};

struct decoded_bmp {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, top row first, stride = width
};

// Largest side accepted; the glyphs are 8 pixels high, so this only guards the
// arithmetic against absurd headers.
inline constexpr std::int32_t bmp_max_side = 4096;

bmp_status decode_bmp(const std::uint8_t* data, std::size_t size, decoded_bmp& out);

const char* bmp_status_text(bmp_status status);

#endif  // RESOURCES_BMP_READER_H
