// A user at the screen, for tests and the demo: finds the message box that a
// process shows, reads its text and icon, and presses OK on it.
// Message boxes are top-level windows of class "#32770"; the text is the static
// control with identifier 0xFFFF, the icon a static control with identifier 0x14
// (Windows) or 0x440 (Wine). The icon is told by what it shows, as a user tells it:
// the error icon is mostly red, the information icon mostly blue. (Its handle
// cannot be compared: under Wine the system icons are not shared between processes.)
#ifndef SUPPORT_BOX_USER_H
#define SUPPORT_BOX_USER_H

#include <windows.h>

#include <string>

struct seen_box {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
    std::wstring icon;  // "error", "information", "none" or "other"
};

namespace box_user_detail {

struct search {
    DWORD process;
    HWND found;
};

inline BOOL CALLBACK find_box(HWND w, LPARAM p) {
    auto* s = reinterpret_cast<search*>(p);
    wchar_t cls[32] = {};
    GetClassNameW(w, cls, 32);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (std::wstring(cls) == L"#32770" && IsWindowVisible(w) && (s->process == 0 || pid == s->process)) {
        s->found = w;
        return FALSE;
    }
    return TRUE;
}

// "error", "information" or "other", from the colours the icon control shows.
inline std::wstring icon_kind(HWND icon) {
    RedrawWindow(icon, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    RECT r;
    GetClientRect(icon, &r);
    POINT origin{0, 0};
    ClientToScreen(icon, &origin);
    // Read off the screen: Wine gives no pixels through another process's window context.
    const HDC dc = GetDC(nullptr);
    int red = 0, blue = 0;
    for (int y = 0; y < r.bottom; ++y)
        for (int x = 0; x < r.right; ++x) {
            const COLORREF c = GetPixel(dc, origin.x + x, origin.y + y);
            const int cr = GetRValue(c), cg = GetGValue(c), cb = GetBValue(c);
            if (cr > cg + 60 && cr > cb + 60) ++red;
            if (cb > cr + 60) ++blue;
        }
    ReleaseDC(nullptr, dc);
    if (red > 50 && red > 2 * blue) return L"error";
    if (blue > 50 && blue > 2 * red) return L"information";
    return L"other";
}

inline std::wstring text_of(HWND w) {
    wchar_t buf[2048] = {};
    GetWindowTextW(w, buf, 2048);
    return buf;
}

}  // namespace box_user_detail

// Waits up to timeout_ms for a message box of the process (0: of any process).
inline bool wait_for_box(DWORD process, DWORD timeout_ms, seen_box* out) {
    const ULONGLONG give_up = GetTickCount64() + timeout_ms;
    for (;;) {
        box_user_detail::search s{process, nullptr};
        EnumWindows(box_user_detail::find_box, reinterpret_cast<LPARAM>(&s));
        if (s.found != nullptr) {
            out->window = s.found;
            out->caption = box_user_detail::text_of(s.found);
            out->text = box_user_detail::text_of(GetDlgItem(s.found, 0xFFFF));
            HWND icon = GetDlgItem(s.found, 0x14);
            if (icon == nullptr) icon = GetDlgItem(s.found, 0x440);
            // A hung box's owner must not hang whoever answers it.
            DWORD_PTR has_icon = 0;
            const bool shown = icon != nullptr && IsWindowVisible(icon) &&
                               SendMessageTimeoutW(icon, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 1000, &has_icon) != 0 &&
                               has_icon != 0;
            out->icon = shown ? L"other" : L"none";
            // A box just shown may not be on the screen yet: look again for a moment.
            for (int tries = 0; shown && out->icon == L"other" && tries < 60; ++tries) {
                if (tries > 0) Sleep(50);
                out->icon = box_user_detail::icon_kind(icon);
            }
            return true;
        }
        if (GetTickCount64() >= give_up) return false;
        Sleep(50);
    }
}

// Presses the box's OK button, as a user's click does.
inline void press_ok(const seen_box& box) { PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }

#endif  // SUPPORT_BOX_USER_H
