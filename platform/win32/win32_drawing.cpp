// Windows backend: drawing contexts, bitmaps and bitmap resources, the drawing
// lock and the pixel copy. Each function is the GDI or USER call it names.
#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace {

HWND hwnd(window_handle w) { return reinterpret_cast<HWND>(w); }
HDC hdc(dc_handle dc) { return reinterpret_cast<HDC>(dc); }
HBITMAP hbitmap(bitmap_handle b) { return reinterpret_cast<HBITMAP>(b); }

// The memory of each bitmap made by create_capture_bitmap, kept from its
// creation: GetObject does not tell a top-down DIB section from a bottom-up one on
// every system (Wine reports the height without its sign).
std::vector<std::pair<HBITMAP, const std::uint32_t*>>& created_bits() {
    static std::vector<std::pair<HBITMAP, const std::uint32_t*>> bits;
    return bits;
}

}  // namespace

dc_handle get_window_dc(window_handle window) { return reinterpret_cast<dc_handle>(GetDC(hwnd(window))); }

void release_window_dc(window_handle window, dc_handle dc) { ReleaseDC(hwnd(window), hdc(dc)); }

dc_handle create_compatible_dc(dc_handle dc) { return reinterpret_cast<dc_handle>(CreateCompatibleDC(hdc(dc))); }

void delete_dc(dc_handle dc) { DeleteDC(hdc(dc)); }

bitmap_handle create_capture_bitmap(dc_handle dc, std::int32_t width, std::int32_t height) {
    // A 32-bit top-down DIB section: the copy lands in memory this process can
    // read directly, where a display-compatible bitmap would cost a second trip
    // to the display to read back every cycle.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(hdc(dc), &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr && bits != nullptr)
        created_bits().emplace_back(bitmap, static_cast<const std::uint32_t*>(bits));
    return reinterpret_cast<bitmap_handle>(bitmap);
}

bitmap_handle select_bitmap(dc_handle dc, bitmap_handle bitmap) {
    return reinterpret_cast<bitmap_handle>(SelectObject(hdc(dc), hbitmap(bitmap)));
}

void delete_bitmap(bitmap_handle bitmap) {
    auto& bits = created_bits();
    bits.erase(std::remove_if(bits.begin(), bits.end(), [&](const auto& b) { return b.first == hbitmap(bitmap); }),
               bits.end());
    DeleteObject(hbitmap(bitmap));
}

bool lock_window_update(window_handle window) { return LockWindowUpdate(hwnd(window)) != FALSE; }

bool copy_pixels(dc_handle target, dc_handle source, std::int32_t source_x, std::int32_t source_y, std::int32_t width,
                 std::int32_t height) {
    return BitBlt(hdc(target), 0, 0, width, height, hdc(source), source_x, source_y, SRCCOPY) != FALSE;
}

bitmap_handle load_bitmap_resource(int id) {
    return reinterpret_cast<bitmap_handle>(LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id)));
}

bool get_bitmap_size(bitmap_handle bitmap, std::int32_t* width, std::int32_t* height) {
    BITMAP info;
    if (bitmap == nullptr || GetObjectW(hbitmap(bitmap), sizeof info, &info) != sizeof info) return false;
    *width = info.bmWidth;
    *height = info.bmHeight;
    return true;
}

std::int64_t get_bitmap_bits(bitmap_handle bitmap, std::int64_t byte_count, void* out) {
    if (bitmap == nullptr || byte_count <= 0 || byte_count > 0x7FFFFFFF) return 0;
    return GetBitmapBits(hbitmap(bitmap), static_cast<LONG>(byte_count), out);
}

const std::uint32_t* bitmap_pixels_in_place(bitmap_handle bitmap) {
    for (const auto& [handle, bits] : created_bits())
        if (handle == hbitmap(bitmap)) {
            GdiFlush();
            return bits;
        }
    return nullptr;
}

#endif  // _WIN32
