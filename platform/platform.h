// The operating-system services the gateway uses, as plain functions over small
// handle types. The system's logic calls only these; one backend implements them
// per build (platform/win32 on Windows, platform/sim in the native build), chosen
// at link time.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <cstdint>

struct platform_bitmap;  // opaque; a GDI bitmap on Windows
using bitmap_handle = platform_bitmap*;

// --- Bitmap resources stored with the program ---

// The bitmap resource with this identifier from the program's own module
// (LoadBitmapW), or null when there is none or it cannot be decoded.
bitmap_handle load_bitmap_resource(int id);

// Width and height of a bitmap (GetObjectW); false when the handle is not a bitmap.
bool get_bitmap_size(bitmap_handle bitmap, std::int32_t* width, std::int32_t* height);

// Copies up to byte_count bytes of the bitmap's pixels, 32 bits each as
// 0x00RRGGBB, top row first (GetBitmapBits). Returns the bytes copied, 0 on failure.
std::int64_t get_bitmap_bits(bitmap_handle bitmap, std::int64_t byte_count, void* out);

#endif  // PLATFORM_PLATFORM_H
