// Any byte string given to the bitmap reader is either refused or decoded into an
// image whose size matches its pixels and whose pixels have a zero top byte.
#include <cstdlib>

#include "resources/bmp_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    decoded_bmp out;
    const bmp_status status = decode_bmp(data, size, out);
    if (status != bmp_status::ok) {
        if (out.width != 0 || out.height != 0 || !out.pixels.empty()) std::abort();
        return 0;
    }
    if (out.width <= 0 || out.height <= 0 || out.width > bmp_max_side || out.height > bmp_max_side) std::abort();
    if (out.pixels.size() != std::size_t(out.width) * std::size_t(out.height)) std::abort();
    for (std::uint32_t p : out.pixels)
        if (p >> 24 != 0) std::abort();
    return 0;
}
