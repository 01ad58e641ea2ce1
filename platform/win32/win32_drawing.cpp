// Windows backend: drawing contexts, bitmaps and bitmap resources, the drawing
// lock and the pixel copy. Each function is the GDI or USER call it names.
#ifdef _WIN32

#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace {

HWND hwnd(window_handle w) { return reinterpret_cast<HWND>(w); }
HDC hdc(dc_handle dc) { return reinterpret_cast<HDC>(dc); }
HBITMAP hbitmap(bitmap_handle b) { return reinterpret_cast<HBITMAP>(b); }

}  // namespace

dc_handle get_window_dc(window_handle window) { return reinterpret_cast<dc_handle>(GetDC(hwnd(window))); }

void release_window_dc(window_handle window, dc_handle dc) { ReleaseDC(hwnd(window), hdc(dc)); }

dc_handle create_compatible_dc(dc_handle dc) { return reinterpret_cast<dc_handle>(CreateCompatibleDC(hdc(dc))); }

void delete_dc(dc_handle dc) { DeleteDC(hdc(dc)); }

bitmap_handle create_compatible_bitmap(dc_handle dc, std::int32_t width, std::int32_t height) {
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
    return reinterpret_cast<bitmap_handle>(CreateDIBSection(hdc(dc), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
}

bitmap_handle select_bitmap(dc_handle dc, bitmap_handle bitmap) {
    return reinterpret_cast<bitmap_handle>(SelectObject(hdc(dc), hbitmap(bitmap)));
}

void delete_bitmap(bitmap_handle bitmap) { DeleteObject(hbitmap(bitmap)); }

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
    // A top-down 32-bit DIB section (the capture bitmap) is read from its memory.
    DIBSECTION dib;
    if (GetObjectW(hbitmap(bitmap), sizeof dib, &dib) == sizeof dib && dib.dsBm.bmBits != nullptr &&
        dib.dsBm.bmBitsPixel == 32 && dib.dsBmih.biHeight < 0) {
        GdiFlush();  // drawing into it may still be batched
        const std::int64_t size = std::int64_t(dib.dsBm.bmWidthBytes) * dib.dsBm.bmHeight;
        const std::int64_t n = byte_count < size ? byte_count : size;
        std::memcpy(out, dib.dsBm.bmBits, std::size_t(n));
        return n;
    }
    return GetBitmapBits(hbitmap(bitmap), static_cast<LONG>(byte_count), out);
}

#endif  // _WIN32
