// The host simulator as the Windows suite, the benchmarks and the chaos run drive
// it: started with its standard streams on pipes, its windows' handles read from
// what it prints at start, then commands sent one by one, each awaited.
#ifndef SUPPORT_HOST_DRIVER_H
#define SUPPORT_HOST_DRIVER_H

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "support/processes.h"

struct host_driver {
    child_process process;
    std::string main_hex;                           // the main window, as the gateway's owner word takes it
    std::vector<std::pair<int, std::string>> jogs;  // each robot's jog window, in hex

    // Starts host_simulator.exe with the arguments and waits for it to be ready.
    bool start(const std::wstring& arguments = L"", DWORD timeout_ms = 30000);

    // Sends one command and waits for its answer: true when it is "ok".
    bool tell(const std::string& command, DWORD timeout_ms = 20000);

    std::wstring owner_word() const { return std::wstring(main_hex.begin(), main_hex.end()); }
    HWND main_window() const;
    HWND jog(int robot = 1) const;  // null when it has none

    void stop() { stop_process(process); }
};

#endif  // SUPPORT_HOST_DRIVER_H
