// Keeps one run of gateway.exe for the hub, which runs on Node and can neither
// make a job object, nor answer a message box, nor learn a process's exit code.
//
//   gateway_keeper.exe HUB_PID GATEWAY ROBOT PIPE
//
// Waits until the host's main window and the robot's jog window are there (the
// gateway would only show its error box and end without them), then starts
// GATEWAY OWNER ROBOT PIPE, where OWNER is a window of this program: the
// gateway ends normally (exit code 0) within a cycle of that window's end. It
// answers the gateway's message boxes with OK, as the user would. The gateway
// runs in a job object that ends it when this program ends, however it ends:
// a killed hub leaves no gateway holding the pipe name its next start needs.
//
// Lines on standard output, each as it happens:
//   waiting host | waiting jog     what it waits for before the start
//   started PID
//   box ICON TEXT                  a box of the gateway's, answered (ICON: error,
//                                  information, none or other)
//   exit CODE                      the gateway's signed 32-bit exit code
// A line "stop", the end of standard input or the end of HUB_PID stops the
// gateway: its owner window goes, and STOP_GRACE_MS later the job ends it if
// it still runs. Exit codes: 0 done; 1 the gateway could not be started; 2 bad
// arguments.
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/window_search_capture.h"
#include "support/box_user.h"

namespace {

constexpr DWORD POLL_MS = 50;          // boxes and windows are looked for this often
constexpr DWORD STOP_GRACE_MS = 3000;  // a gateway in a pipe write may need a moment to see its owner go

HANDLE stop_event = nullptr;

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Standard input: "stop", or its end, asks for the stop.
DWORD WINAPI read_input(void*) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string line;
    char c = 0;
    DWORD got = 0;
    while (ReadFile(in, &c, 1, &got, nullptr) && got == 1) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line == "stop" || line == "stop\r") break;
        line.clear();
    }
    SetEvent(stop_event);
    return 0;
}

struct title_search {
    const char* text;
    bool found;
};

BOOL CALLBACK look_for_title(HWND w, LPARAM p) {
    auto* s = reinterpret_cast<title_search*>(p);
    char title[title_buffer_size] = {};
    GetWindowTextA(w, title, title_buffer_size);
    s->found = std::strstr(title, s->text) != nullptr;
    return s->found ? FALSE : TRUE;
}

bool top_level_window_with(const std::string& text) {
    title_search s{text.c_str(), false};
    EnumWindows(look_for_title, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

// Waits for handle (or only the stop, for null) up to ms, keeping the window's
// messages moving; true when the stop was asked for.
bool wait_or_stop(HANDLE handle, DWORD ms, bool* signalled = nullptr) {
    HANDLE both[2] = {stop_event, handle};
    const DWORD which = MsgWaitForMultipleObjects(handle != nullptr ? 2 : 1, both, FALSE, ms, QS_ALLINPUT);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    if (signalled != nullptr) *signalled = which == WAIT_OBJECT_0 + 1;
    return which == WAIT_OBJECT_0;
}

// Answers the gateway's box, if it shows one.
void answer_box(DWORD gateway_pid) {
    seen_box box;
    if (!wait_for_box(gateway_pid, 0, &box)) return;
    std::string text(box.text.begin(), box.text.end());  // the gateway's texts are ASCII
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    say("box " + std::string(box.icon.begin(), box.icon.end()) + " " + text);
    press_ok(box);
    Sleep(POLL_MS);  // the box takes a moment to go
}

}  // namespace

int main() {
    // The words as Windows gives them (UTF-16): a package under any path works.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t* end = nullptr;
    const unsigned long hub_pid = argc == 5 ? std::wcstoul(argv[1], &end, 10) : 0;
    const long robot = argc == 5 ? std::wcstol(argv[3], nullptr, 10) : 0;
    if (argc != 5 || end == argv[1] || *end != L'\0') {
        std::fputs("usage: gateway_keeper HUB_PID GATEWAY ROBOT PIPE\n", stderr);
        return 2;
    }
    // Only the gateway's own standard handles go to it: it must not hold the
    // hub's pipes to this program open. (They are all this program inherits,
    // and the only inheritable handle it makes is the gateway's NUL.)
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
    // Auto-reset: standard input's end and the hub's may both set it; each wakes the loop once.
    stop_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE hub = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(hub_pid));
    HANDLE hub_wait = nullptr;
    if (hub != nullptr)
        RegisterWaitForSingleObject(
            &hub_wait, hub, [](void*, BOOLEAN) { SetEvent(stop_event); }, nullptr, INFINITE, WT_EXECUTEONLYONCE);
    CloseHandle(CreateThread(nullptr, 0, read_input, nullptr, 0, nullptr));

    const std::string jog = jog_title_pattern(robot_name(static_cast<std::int32_t>(robot)));
    const char* waited = nullptr;
    for (;;) {
        const char* missing = !top_level_window_with(main_window_title) ? "host"
                              : !top_level_window_with(jog)             ? "jog"
                                                                        : nullptr;
        if (missing == nullptr) break;
        if (missing != waited) say(std::string("waiting ") + missing);
        waited = missing;
        if (wait_or_stop(nullptr, 4 * POLL_MS)) return 0;
    }

    // A window of our own whose end tells the gateway to stop; message-only, so
    // that no broadcast waits on it.
    HWND owner = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr) SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = start.hStdOutput = start.hStdError = nul;
    wchar_t owner_word[16];
    std::swprintf(owner_word, 16, L"%lx",
                  static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(owner) & 0xFFFFFFFFu));
    // The hub's configuration allows no quote in a kept robot's pipe name: quoting it whole is enough.
    std::wstring command =
        std::wstring(L"\"") + argv[2] + L"\" " + owner_word + L" " + argv[3] + L" \"" + argv[4] + L"\"";
    PROCESS_INFORMATION gateway{};
    if (owner == nullptr || !CreateProcessW(argv[2], command.data(), nullptr, nullptr, TRUE,
                                            CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &start, &gateway)) {
        say("cannot start the gateway: error " + std::to_string(GetLastError()));
        return 1;
    }
    CloseHandle(nul);
    // In the job before it runs a single instruction: nothing of it escapes.
    const bool held = job != nullptr && AssignProcessToJobObject(job, gateway.hProcess);
    // Said before it runs: the hub may read its pipe at once, and must know it is this run's.
    say("started " + std::to_string(gateway.dwProcessId));
    ResumeThread(gateway.hThread);
    CloseHandle(gateway.hThread);

    bool ended = false;
    ULONGLONG give_up = 0;  // after a stop: when the job ends it
    while (!ended) {
        answer_box(gateway.dwProcessId);
        const bool stop = wait_or_stop(gateway.hProcess, POLL_MS, &ended);
        if (stop && give_up == 0) {
            DestroyWindow(owner);
            give_up = GetTickCount64() + STOP_GRACE_MS;
        }
        if (!ended && give_up != 0 && GetTickCount64() >= give_up) {
            if (held)
                TerminateJobObject(job, static_cast<UINT>(STATUS_CONTROL_C_EXIT));
            else
                TerminateProcess(gateway.hProcess, static_cast<UINT>(STATUS_CONTROL_C_EXIT));
            WaitForSingleObject(gateway.hProcess, STOP_GRACE_MS);
            ended = true;
        }
    }
    DWORD code = 0;
    if (GetExitCodeProcess(gateway.hProcess, &code) && code != STILL_ACTIVE)
        say("exit " + std::to_string(static_cast<std::int32_t>(code)));
    else
        say("exit unknown");
    return 0;
}
