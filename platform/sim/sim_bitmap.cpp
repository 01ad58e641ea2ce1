// Simulated bitmap resources and pixel reads. Resources are the embedded BMP files,
// decoded by the strict reader when loaded, as the platform decodes its own.
#include <cstring>
#include <map>

#include "resources/bmp_reader.h"
#include "platform/sim/embedded_resources.h"
#include "platform/sim/sim_internal.h"

namespace {

using resource_map = std::map<int, std::vector<std::uint8_t>>;

resource_map embedded() {
    resource_map m;
    for (int i = 0; i < embedded_resource_count; ++i) {
        const embedded_resource& r = embedded_resources[i];
        m[r.id].assign(r.data, r.data + r.size);
    }
    return m;
}

resource_map& resources() {
    static resource_map stored = embedded();
    return stored;
}

}  // namespace

void sim_set_resource(int id, std::vector<std::uint8_t> bytes) { resources()[id] = std::move(bytes); }

void sim_remove_resource(int id) { resources().erase(id); }

void sim_restore_resources() { resources() = embedded(); }

std::vector<std::uint8_t> sim_resource(int id) {
    const auto it = resources().find(id);
    return it == resources().end() ? std::vector<std::uint8_t>{} : it->second;
}

bitmap_handle load_bitmap_resource(int id) {
    const auto it = resources().find(id);
    if (it == resources().end()) return nullptr;
    decoded_bmp decoded;
    if (decode_bmp(it->second.data(), it->second.size(), decoded) != bmp_status::ok) return nullptr;
    platform_bitmap& b = world().bitmaps.emplace_back();
    b.width = decoded.width;
    b.height = decoded.height;
    b.pixels = std::move(decoded.pixels);
    return &b;
}

bool get_bitmap_size(bitmap_handle bitmap, std::int32_t* width, std::int32_t* height) {
    if (bitmap == nullptr || bitmap->deleted) return false;
    *width = bitmap->width;
    *height = bitmap->height;
    return true;
}

std::int64_t get_bitmap_bits(bitmap_handle bitmap, std::int64_t byte_count, void* out) {
    if (bitmap == nullptr || bitmap->deleted || byte_count <= 0 || out == nullptr) return 0;
    if (bitmap->created && !bitmap->ever_selected) sim_violation("pixels read from a bitmap never selected");
    const std::int64_t available = std::int64_t(bitmap->pixels.size() * sizeof(std::uint32_t));
    const std::int64_t n = byte_count < available ? byte_count : available;
    std::memcpy(out, bitmap->pixels.data(), std::size_t(n));
    return n;
}

const std::uint32_t* bitmap_pixels_in_place(bitmap_handle bitmap) {
    if (bitmap == nullptr || bitmap->deleted || !bitmap->created) return nullptr;
    if (!bitmap->ever_selected) sim_violation("pixels read from a bitmap never selected");
    return bitmap->pixels.data();
}
