#include "support/host_driver.h"

#include <sstream>

namespace {

HWND from_hex(const std::string& hex) {
    return hex.empty() ? nullptr : reinterpret_cast<HWND>(static_cast<ULONG_PTR>(std::stoull(hex, nullptr, 16)));
}

}  // namespace

bool host_driver::start(const std::wstring& arguments, DWORD timeout_ms) {
    if (!start_process(process, L"host_simulator.exe", arguments) || !wait_for_output(process, "ready\n", timeout_ms))
        return false;
    // "main <hex>", then "jog <robot> <hex>" per robot, then "ready".
    std::istringstream out(process.seen);
    std::string word;
    while (out >> word) {
        if (word == "main") out >> main_hex;
        int robot = 0;
        std::string hex;
        if (word == "jog" && out >> robot >> hex) jogs.emplace_back(robot, hex);
    }
    return !main_hex.empty();
}

bool host_driver::tell(const std::string& command, DWORD timeout_ms) {
    std::size_t line = collect_output(process).size();
    send_line(process, command);
    const ULONGLONG give_up = GetTickCount64() + timeout_ms;
    // Its answer is the first line "ok" or "error ..." (opening a window prints the
    // window's line first).
    for (;;) {
        const std::size_t end = collect_output(process).find('\n', line);
        if (end == std::string::npos) {
            if (GetTickCount64() >= give_up) return false;
            Sleep(1);
            continue;
        }
        const std::string said = process.seen.substr(line, end - line);
        if (said == "ok") return true;
        if (said.rfind("error", 0) == 0) return false;
        line = end + 1;
    }
}

HWND host_driver::main_window() const { return from_hex(main_hex); }

HWND host_driver::jog(int robot) const {
    for (const auto& [r, hex] : jogs)
        if (r == robot) return from_hex(hex);
    return nullptr;
}
