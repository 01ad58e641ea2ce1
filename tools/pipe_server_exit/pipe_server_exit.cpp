// Tells the hub which process serves the pipe whose client end is this program's
// standard input, and that process's exit code once it has ended. The hub runs
// on Node, which has no call for either: it hands this program its own end of
// the gateway's pipe as standard input.
//
//   pipe_server_exit.exe HUB_PID
//
// Prints "server PID IMAGE" (IMAGE in UTF-8) at once, then "exit CODE" (the
// signed 32-bit exit code) when the server has ended, or "exit unknown". Ends
// without a word when the process HUB_PID ends first, so that it never outlives
// the hub. Exit codes: 0 done; 1 standard input is no pipe's client end, or its
// server cannot be watched; 2 bad arguments.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return "?";
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n) - 1);
    return out;
}

void say(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const unsigned long hub_pid = argc == 2 ? std::strtoul(argv[1], &end, 10) : 0;
    if (argc != 2 || end == argv[1] || *end != '\0') {
        std::fputs("usage: pipe_server_exit HUB_PID (with the pipe's client end as standard input)\n", stderr);
        return 2;
    }
    HANDLE pipe = GetStdHandle(STD_INPUT_HANDLE);
    ULONG server_pid = 0;
    const bool known =
        pipe != nullptr && pipe != INVALID_HANDLE_VALUE && GetNamedPipeServerProcessId(pipe, &server_pid);
    HANDLE server = known ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server_pid) : nullptr;
    // This copy of the hub's end must not hold the pipe open once the hub has let
    // go of it: the gateway would go on writing to nobody.
    if (pipe != nullptr && pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
    SetStdHandle(STD_INPUT_HANDLE, nullptr);
    if (server == nullptr) {
        say("server unknown\n");
        return 1;
    }
    wchar_t image[4096] = L"?";
    DWORD size = sizeof image / sizeof image[0];
    if (!QueryFullProcessImageNameW(server, 0, image, &size)) {
        image[0] = L'?';
        image[1] = L'\0';
    }
    std::printf("server %lu %s\n", static_cast<unsigned long>(server_pid), utf8(image).c_str());
    std::fflush(stdout);

    HANDLE hub = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(hub_pid));
    HANDLE both[2] = {server, hub};
    const DWORD which = WaitForMultipleObjects(hub != nullptr ? 2 : 1, both, FALSE, INFINITE);
    if (which == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(server, &code) && code != STILL_ACTIVE)
            std::printf("exit %ld\n", static_cast<long>(static_cast<std::int32_t>(code)));
        else
            std::printf("exit unknown\n");
        std::fflush(stdout);
    }
    CloseHandle(server);
    if (hub != nullptr) CloseHandle(hub);
    return 0;
}
