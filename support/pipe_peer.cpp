#include "support/pipe_peer.h"

bool pipe_peer::connect(DWORD timeout_ms) {
    const ULONGLONG give_up = GetTickCount64() + timeout_ms;
    while ((pipe_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) ==
           INVALID_HANDLE_VALUE) {
        if (GetTickCount64() >= give_up) return false;
        Sleep(20);
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    return SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr) != FALSE;
}

std::vector<std::uint8_t> pipe_peer::read(DWORD timeout_ms, DWORD poll_ms) {
    if (timeout_ms != INFINITE) {
        const ULONGLONG give_up = GetTickCount64() + timeout_ms;
        DWORD available = 0;
        while (PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr) && available == 0) {
            if (GetTickCount64() >= give_up) return {};
            Sleep(poll_ms);
        }
    }
    // Larger than any message the gateway sends, so that one read takes one whole.
    std::vector<std::uint8_t> message(1024);
    DWORD n = 0;
    if (!ReadFile(pipe_, message.data(), DWORD(message.size()), &n, nullptr)) return {};
    message.resize(n);
    return message;
}

bool pipe_peer::send(const void* data, DWORD size) {
    DWORD n = 0;
    return WriteFile(pipe_, data, size, &n, nullptr) && n == size;
}

void pipe_peer::leave() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
}
