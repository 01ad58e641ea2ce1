#include "support/processes.h"

#include <mutex>
#include <thread>

std::wstring program_folder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(0, p.find_last_of(L"\\/"));
}

// Our end of a child's standard output, read by a thread of its own: overlapped,
// so that the thread can be stopped while the child writes nothing, and waiting
// for the child rather than polling, so that it costs no CPU beside the
// processes being measured.
struct output_reader {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // every writer has gone, or stopped
    std::mutex mutex;
    std::string unread;
    std::thread thread;

    output_reader() = default;
    output_reader(const output_reader&) = delete;
    output_reader& operator=(const output_reader&) = delete;
    ~output_reader() {
        SetEvent(stop);
        if (thread.joinable()) thread.join();
        if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
        CloseHandle(stop);
        CloseHandle(ended);
    }
    void start() {
        if (!thread.joinable()) thread = std::thread([this] { run(); });
    }
    void run() {
        OVERLAPPED o{};
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        char buffer[4096];
        for (;;) {
            ResetEvent(o.hEvent);
            DWORD n = 0;
            if (!ReadFile(pipe, buffer, sizeof buffer, nullptr, &o)) {
                if (GetLastError() != ERROR_IO_PENDING) break;  // the child and every holder of its end have gone
                const HANDLE events[] = {o.hEvent, stop};
                if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    CancelIoEx(pipe, &o);
                    GetOverlappedResult(pipe, &o, &n, TRUE);
                    break;
                }
            }
            if (!GetOverlappedResult(pipe, &o, &n, FALSE) || n == 0) break;
            const std::lock_guard<std::mutex> lock(mutex);
            unread.append(buffer, n);
        }
        CloseHandle(o.hEvent);
        SetEvent(ended);
    }
};

namespace {

// A pipe of its own name, since an anonymous one cannot be read overlapped.
bool make_output_pipe(output_reader& ours, HANDLE* theirs, DWORD bytes) {
    static LONG made = 0;
    const std::wstring name = L"\\\\.\\pipe\\draxion_child_output_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                              std::to_wstring(InterlockedIncrement(&made));
    ours.pipe =
        CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, bytes, bytes, 0, nullptr);
    if (ours.pipe == INVALID_HANDLE_VALUE) return false;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    *theirs = CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    return *theirs != INVALID_HANDLE_VALUE;
}

}  // namespace

bool start_process(child_process& child, const std::wstring& program, const std::wstring& arguments,
                   output_reading reading, DWORD pipe_bytes) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE in_read = nullptr, out_write = INVALID_HANDLE_VALUE;
    child.output = std::make_shared<output_reader>();
    if (!CreatePipe(&in_read, &child.input, &inherit, 0)) return false;
    SetHandleInformation(child.input, HANDLE_FLAG_INHERIT, 0);
    if (!make_output_pipe(*child.output, &out_write, pipe_bytes)) {
        CloseHandle(in_read);
        return false;
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read;
    si.hStdOutput = out_write;
    si.hStdError = out_write;
    const std::wstring path = program_folder() + L"\\" + program;
    std::wstring command = L"\"" + path + L"\" " + arguments;
    PROCESS_INFORMATION pi{};
    const BOOL ok = CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (!ok) return false;
    CloseHandle(pi.hThread);
    child.process = pi.hProcess;
    child.id = pi.dwProcessId;
    if (reading == output_reading::all_the_time) child.output->start();
    return true;
}

void start_reading(child_process& child) {
    if (child.output) child.output->start();
}

const std::string& collect_output(child_process& child) {
    if (child.output) {
        const std::lock_guard<std::mutex> lock(child.output->mutex);
        child.seen += child.output->unread;
        child.output->unread.clear();
    }
    return child.seen;
}

bool wait_for_output(child_process& child, const std::string& text, DWORD timeout_ms) {
    const ULONGLONG give_up = GetTickCount64() + timeout_ms;
    while (collect_output(child).find(text) == std::string::npos) {
        if (GetTickCount64() >= give_up) return false;
        Sleep(20);
    }
    return true;
}

void send_line(child_process& child, const std::string& line) {
    const std::string text = line + "\n";
    DWORD n = 0;
    WriteFile(child.input, text.data(), DWORD(text.size()), &n, nullptr);
}

bool wait_for_exit(child_process& child, DWORD timeout_ms, DWORD* code) {
    if (child.process == nullptr || WaitForSingleObject(child.process, timeout_ms) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(child.process, code);
    // What it wrote last is read once its end of the pipe has closed; a
    // grandchild that inherited the end may hold it open, hence the bound.
    if (child.output && child.output->thread.joinable()) WaitForSingleObject(child.output->ended, 2000);
    collect_output(child);
    return true;
}

void stop_process(child_process& child) {
    if (child.process != nullptr) {
        if (WaitForSingleObject(child.process, 0) != WAIT_OBJECT_0) {
            TerminateProcess(child.process, 99);
            WaitForSingleObject(child.process, 5000);
        }
        CloseHandle(child.process);
    }
    if (child.input != nullptr) CloseHandle(child.input);
    child = child_process{};
}

double clock_us() {
    static const double ticks_per_us = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart) / 1e6;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / ticks_per_us;
}
