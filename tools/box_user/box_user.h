// A user at the screen, for tests and the demo: finds the message box that a
// process shows, reads its text and icon, and presses OK on it.
// Message boxes are top-level windows of class "#32770"; the text is the static
// control with identifier 0xFFFF, the icon a static control with identifier 0x14
// (Windows) or 0x440 (Wine), holding the shared system icon.
#ifndef TOOLS_BOX_USER_BOX_USER_H
#define TOOLS_BOX_USER_BOX_USER_H

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
            const auto shown = reinterpret_cast<HICON>(SendMessageW(icon, STM_GETICON, 0, 0));
            if (icon == nullptr || shown == nullptr) out->icon = L"none";
            else if (shown == LoadIconW(nullptr, MAKEINTRESOURCEW(32513))) out->icon = L"error";        // IDI_HAND
            else if (shown == LoadIconW(nullptr, MAKEINTRESOURCEW(32516))) out->icon = L"information";  // IDI_ASTERISK
            else out->icon = L"other";
            return true;
        }
        if (GetTickCount64() >= give_up) return false;
        Sleep(50);
    }
}

// Presses the box's OK button, as a user's click does.
inline void press_ok(const seen_box& box) { PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }

#endif  // TOOLS_BOX_USER_BOX_USER_H
