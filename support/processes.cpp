#include "support/processes.h"

std::wstring program_folder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(0, p.find_last_of(L"\\/"));
}

bool start_process(child_process& child, const std::wstring& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE in_read = nullptr, out_write = nullptr;
    if (!CreatePipe(&in_read, &child.input, &inherit, 0) || !CreatePipe(&child.output, &out_write, &inherit, 0))
        return false;
    SetHandleInformation(child.input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(child.output, HANDLE_FLAG_INHERIT, 0);
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
    return true;
}

const std::string& collect_output(child_process& child) {
    DWORD available = 0;
    while (child.output != nullptr && PeekNamedPipe(child.output, nullptr, 0, nullptr, &available, nullptr) &&
           available > 0) {
        char buf[4096];
        DWORD n = 0;
        if (!ReadFile(child.output, buf, available < sizeof buf ? available : sizeof buf, &n, nullptr) || n == 0) break;
        child.seen.append(buf, n);
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
    if (child.process == nullptr) return false;
    // Reading while waiting: a child whose output fills the pipe would never end.
    const ULONGLONG give_up = GetTickCount64() + timeout_ms;
    while (WaitForSingleObject(child.process, 20) != WAIT_OBJECT_0) {
        collect_output(child);
        if (GetTickCount64() >= give_up) return false;
    }
    GetExitCodeProcess(child.process, code);
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
    if (child.output != nullptr) CloseHandle(child.output);
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
