// The client half of axis_client.h, for Windows.
#include "axis_client.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace axis {

namespace {

HANDLE handle_of(void* h) { return static_cast<HANDLE>(h); }

}  // namespace

const char* describe(result r) {
    switch (r) {
    case result::ok: return "ok";
    case result::timeout: return "no update within the time allowed";
    case result::gone: return "the gateway has gone";
    case result::framing_error: return "a message that is neither a tag nor a record";
    case result::no_gateway: return "no gateway is serving the pipe";
    case result::busy: return "the gateway takes one client per run, and it already has one (it may have gone)";
    case result::failed: return "a call of the system failed";
    }
    return "unknown";
}

// ---- gateway_process ----

gateway_process::~gateway_process() {
    if (process_ != nullptr) CloseHandle(handle_of(process_));
}

bool gateway_process::launch(const std::wstring& gateway_exe, std::uintptr_t owner_window, int robot,
                             const std::string& pipe_name) {
    if (process_ != nullptr) return false;
    wchar_t owner[32];
    swprintf(owner, 32, L"%llx", static_cast<unsigned long long>(owner_window & 0xFFFFFFFFu));
    std::wstring line = L"\"" + gateway_exe + L"\" " + owner + L" " + std::to_wstring(robot) + L" \"" +
                        std::wstring(pipe_name.begin(), pipe_name.end()) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(gateway_exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    return true;
}

bool gateway_process::running() const {
    return process_ != nullptr && WaitForSingleObject(handle_of(process_), 0) == WAIT_TIMEOUT;
}

unsigned long gateway_process::process_id() const {
    return process_ != nullptr ? GetProcessId(handle_of(process_)) : 0;
}

bool gateway_process::ended(long* exit_code) const {
    if (process_ == nullptr || WaitForSingleObject(handle_of(process_), 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(handle_of(process_), &code);
    *exit_code = static_cast<long>(static_cast<std::int32_t>(code));
    return true;
}

// ---- connection ----

const char* state_report::state_id() const {
    if (!present) return "no report";
    const char* id = axis_state_id(state);
    return id != nullptr ? id : "unknown";
}

// One read kept pending across calls of next(): a timed-out wait must not lose a
// message that arrives a moment later.
struct connection::pending_read {
    OVERLAPPED overlapped{};
    unsigned char buffer[1024] = {};
    bool pending = false;
};

connection::~connection() { close(); }

void connection::close() {
    if (pipe_ != nullptr) {
        if (read_ != nullptr && read_->pending) {
            CancelIoEx(handle_of(pipe_), &read_->overlapped);
            DWORD n = 0;
            GetOverlappedResult(handle_of(pipe_), &read_->overlapped, &n, TRUE);
        }
        CloseHandle(handle_of(pipe_));
    }
    if (read_ != nullptr) {
        if (read_->overlapped.hEvent != nullptr) CloseHandle(read_->overlapped.hEvent);
        delete read_;
    }
    if (server_ != nullptr) CloseHandle(handle_of(server_));
    server_ = nullptr;
    pipe_ = nullptr;
    read_ = nullptr;
    tag_seen_ = discarding_ = false;
}

result connection::connect(const std::string& pipe_name, unsigned timeout_ms, const gateway_process* launched) {
    close();
    const std::string path = std::string(axis_pipe_prefix) + pipe_name;
    const ULONGLONG give_up = GetTickCount64() + timeout_ms;
    for (;;) {
        // Writing is for the one request of the state report; a server that
        // takes no writes (no gateway, then) is read all the same.
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
            h = CreateFileA(path.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
                CloseHandle(h);
                return result::failed;
            }
            pipe_ = h;
            ULONG id = 0;
            if (GetNamedPipeServerProcessId(h, &id))
                server_ = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
            read_ = new pending_read;
            read_->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            return read_->overlapped.hEvent != nullptr ? result::ok : result::failed;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_BUSY) return result::busy;
        long code = 0;
        if (launched != nullptr && launched->ended(&code)) return result::gone;
        if (GetTickCount64() >= give_up) return result::no_gateway;
        Sleep(50);
    }
}

result connection::ask_for_report() {
    if (pipe_ == nullptr) return result::gone;
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (o.hEvent == nullptr) return result::failed;
    DWORD n = 0;
    bool ok = WriteFile(handle_of(pipe_), axis_report_request, sizeof axis_report_request, nullptr, &o) ||
              GetLastError() == ERROR_IO_PENDING;
    // Four bytes into the pipe's buffer: done at once, unless the gateway has gone.
    ok = ok && GetOverlappedResult(handle_of(pipe_), &o, &n, TRUE) && n == sizeof axis_report_request;
    const DWORD error = GetLastError();
    CloseHandle(o.hEvent);
    if (ok) return result::ok;
    return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ? result::gone : result::failed;
}

result connection::next(update& out, unsigned timeout_ms) {
    if (pipe_ == nullptr) return result::gone;
    const ULONGLONG give_up = GetTickCount64() + timeout_ms;
    for (;;) {
        DWORD n = 0;
        bool done = false, more = false;
        if (!read_->pending) {
            ResetEvent(read_->overlapped.hEvent);
            if (ReadFile(handle_of(pipe_), read_->buffer, sizeof read_->buffer, &n, &read_->overlapped)) {
                done = true;
            } else if (GetLastError() == ERROR_IO_PENDING) {
                read_->pending = true;
            } else if (GetLastError() == ERROR_MORE_DATA) {
                done = more = true;
            } else {
                return result::gone;
            }
        }
        if (!done) {
            const ULONGLONG now = GetTickCount64();
            const DWORD wait = now >= give_up ? 0 : DWORD(give_up - now);
            if (WaitForSingleObject(read_->overlapped.hEvent, wait) != WAIT_OBJECT_0) return result::timeout;
            read_->pending = false;
            if (!GetOverlappedResult(handle_of(pipe_), &read_->overlapped, &n, FALSE)) {
                if (GetLastError() != ERROR_MORE_DATA) return result::gone;
                more = true;
            }
        }
        // A message longer than any of ours is read to its end and dropped whole,
        // so that no part of it passes for a tag or a record.
        if (more || discarding_) {
            discarding_ = more;
            tag_seen_ = false;
            if (more) continue;
            return result::framing_error;
        }
        // A tag, then its record. A tag after a tag means the first lost its record:
        // start afresh from the second.
        if (n == sizeof axis_message_tag && std::memcmp(read_->buffer, axis_message_tag, n) == 0) {
            tag_seen_ = true;
            continue;
        }
        if (n != axis_record_bytes || !tag_seen_) {
            tag_seen_ = false;
            return result::framing_error;
        }
        tag_seen_ = false;
        axis_record record;
        std::memcpy(&record, read_->buffer, sizeof record);
        std::memcpy(out.values, record.slots, sizeof out.values);
        out.received = std::chrono::steady_clock::now();
        state_report& r = out.report;
        r.present = record.slots[axis_slot_report] == axis_report_version;
        // A code is a small whole number; anything else (from an impostor) is no code.
        const double code = record.slots[axis_slot_state];
        r.state = !r.present ? -1 : code >= 0 && code < 1e6 && code == double(int(code)) ? int(code) : -2;
        r.confirmed = r.present ? record.slots[axis_slot_confirmed] : 0;
        r.since = r.present ? record.slots[axis_slot_state_since] : 0;
        r.made = r.present ? record.slots[axis_slot_made] : 0;
        r.readings = r.present ? record.slots[axis_slot_readings] : 0;
        return result::ok;
    }
}

unsigned long connection::server_process_id() const {
    ULONG id = 0;
    if (pipe_ == nullptr || !GetNamedPipeServerProcessId(handle_of(pipe_), &id)) return 0;
    return id;
}

bool connection::server_exit_code(long* code, unsigned wait_ms) const {
    DWORD c = 0;
    if (server_ == nullptr || WaitForSingleObject(handle_of(server_), wait_ms) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(handle_of(server_), &c))
        return false;
    *code = static_cast<long>(static_cast<std::int32_t>(c));
    return true;
}

std::wstring connection::server_image() const {
    const unsigned long id = server_process_id();
    if (id == 0) return {};
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == nullptr) return {};
    std::vector<wchar_t> path(32768);
    DWORD size = DWORD(path.size());
    const bool ok = QueryFullProcessImageNameW(process, 0, path.data(), &size) != FALSE;
    CloseHandle(process);
    return ok ? std::wstring(path.data(), size) : std::wstring{};
}

}  // namespace axis
