#include "resources/bmp_reader.h"

namespace {

constexpr std::size_t file_header_size = 14;
constexpr std::size_t info_header_size = 40;
constexpr std::size_t headers_size = file_header_size + info_header_size;

std::uint32_t read_u16(const std::uint8_t* p) { return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8; }

std::uint32_t read_u32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::int32_t read_i32(const std::uint8_t* p) { return static_cast<std::int32_t>(read_u32(p)); }

}  // namespace

bmp_status decode_bmp(const std::uint8_t* data, std::size_t size, decoded_bmp& out) {
    out = decoded_bmp{};
    if (data == nullptr || size < headers_size) return bmp_status::too_short;
    if (data[0] != 'B' || data[1] != 'M') return bmp_status::bad_signature;
    if (read_u32(data + 2) != size) return bmp_status::bad_file_size;

    const std::uint8_t* info = data + file_header_size;
    if (read_u32(info) != info_header_size) return bmp_status::bad_header_size;
    const std::int32_t width = read_i32(info + 4);
    const std::int32_t height = read_i32(info + 8);
    // A negative height would mean top-down rows, which is not how the glyphs are stored.
    if (width <= 0 || height <= 0 || width > bmp_max_side || height > bmp_max_side) return bmp_status::bad_dimensions;
    if (read_u16(info + 12) != 1) return bmp_status::bad_planes;
    if (read_u16(info + 14) != 24) return bmp_status::not_24_bits;
    if (read_u32(info + 16) != 0) return bmp_status::compressed;
    if (read_u32(info + 32) != 0) return bmp_status::has_palette;
    if (read_u32(data + 10) != headers_size) return bmp_status::bad_pixel_offset;

    // Both sides are at most bmp_max_side, so these products fit easily.
    const std::size_t stride = (std::size_t(width) * 3 + 3) & ~std::size_t(3);
    const std::size_t image_size = stride * std::size_t(height);
    const std::uint32_t declared_image_size = read_u32(info + 20);
    if (declared_image_size != 0 && declared_image_size != image_size) return bmp_status::bad_image_size;
    if (size - headers_size != image_size) return bmp_status::bad_image_size;

    out.width = width;
    out.height = height;
    out.pixels.resize(std::size_t(width) * std::size_t(height));
    for (std::int32_t row = 0; row < height; ++row) {
        // Stored bottom-up: the last stored row is the top of the image.
        const std::uint8_t* src = data + headers_size + stride * std::size_t(height - 1 - row);
        std::uint32_t* dst = out.pixels.data() + std::size_t(row) * std::size_t(width);
        for (std::int32_t col = 0; col < width; ++col, src += 3)
            dst[col] = std::uint32_t(src[2]) << 16 | std::uint32_t(src[1]) << 8 | std::uint32_t(src[0]);
    }
    return bmp_status::ok;
}

const char* bmp_status_text(bmp_status status) {
    switch (status) {
    case bmp_status::ok: return "ok";
    case bmp_status::too_short: return "shorter than its headers";
    case bmp_status::bad_signature: return "no BM signature";
    case bmp_status::bad_file_size: return "declared file size differs from the data";
    case bmp_status::bad_header_size: return "info header is not 40 bytes";
    case bmp_status::bad_dimensions: return "width or height not positive or too large";
    case bmp_status::bad_planes: return "plane count is not 1";
    case bmp_status::not_24_bits: return "not 24 bits per pixel";
    case bmp_status::compressed: return "compressed";
    case bmp_status::has_palette: return "declares a palette";
    case bmp_status::bad_pixel_offset: return "pixel data does not follow the headers";
    case bmp_status::bad_image_size: return "pixel data does not fit the dimensions";
    }
    return "unknown";
}
