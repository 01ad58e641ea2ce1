// The self-check a user runs on their own Windows, from the unpacked release
// package: runs the end-to-end suite (e2e_tests.exe, which drives the host
// simulator, the gateway, the probe and the clients on this desktop) and the
// cycle benchmark's period measurement, then prints which behaviours hold here,
// each with its figures, and the system facts that matter to a screen reader.
// Everything it printed, and the suite's full output, go into selfcheck-report.txt
// and selfcheck-e2e.log beside it, to send with a bug report.
//
//   selfcheck.exe [--quick]     (--quick leaves out the 45 s chaos run)
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "support/options.h"
#include "support/processes.h"

namespace {

std::string report;

void say(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fputs(line, stdout);
    std::fflush(stdout);
    report += line;
}

template <typename F>
F from(const wchar_t* module, const char* name) {
    const HMODULE m = GetModuleHandleW(module) != nullptr ? GetModuleHandleW(module) : LoadLibraryW(module);
    return m == nullptr ? nullptr : reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

// What the system says of itself, asked where it answers truly (RtlGetVersion is
// not subject to the compatibility shims of GetVersionEx).
void system_facts() {
    struct os_version {
        ULONG size, major, minor, build, platform;
        WCHAR service_pack[128];
    } v{};
    v.size = sizeof v;
    if (auto rtl_get_version = from<LONG(WINAPI*)(os_version*)>(L"ntdll.dll", "RtlGetVersion")) rtl_get_version(&v);
    say("system facts\n");
    say("  Windows version       %lu.%lu build %lu\n", v.major, v.minor, v.build);
    if (auto wine_version = from<const char*(CDECL*)()>(L"ntdll.dll", "wine_get_version"))
        say("  Wine                  %s (not Windows: a Windows machine may differ)\n", wine_version());
    BOOL composed = FALSE;
    if (auto composition = from<HRESULT(WINAPI*)(BOOL*)>(L"dwmapi.dll", "DwmIsCompositionEnabled"))
        composition(&composed);
    say("  desktop composition   %s\n", composed ? "on" : "off (or not reported)");
    UINT dpi = 96;
    if (auto system_dpi = from<UINT(WINAPI*)()>(L"user32.dll", "GetDpiForSystem")) dpi = system_dpi();
    say("  monitor scale         %u %% (%u dpi)\n", dpi * 100 / 96, dpi);
    ULONG coarsest = 0, finest = 0, now = 0;
    if (auto timer = from<LONG(WINAPI*)(ULONG*, ULONG*, ULONG*)>(L"ntdll.dll", "NtQueryTimerResolution"))
        timer(&coarsest, &finest, &now);
    say("  timer resolution      %.3f ms now (finest %.3f, coarsest %.3f)\n", now / 1e4, finest / 1e4, coarsest / 1e4);
    HDC screen = GetDC(nullptr);
    say("  display depth         %d bits per pixel\n", GetDeviceCaps(screen, BITSPIXEL));
    ReleaseDC(nullptr, screen);
}

// A JSON file a program of the package wrote, or a discarded value.
nlohmann::json read_json(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return nlohmann::json::parse(in, nullptr, false);
}

// The suite's table: each behaviour a "what" and its "cases", by full name.
bool readable_table(const nlohmann::json& table) {
    if (!table.is_array()) return false;
    for (const auto& b : table) {
        if (!b.is_object() || !b.contains("what") || !b["what"].is_string() || !b.contains("cases") ||
            !b["cases"].is_array())
            return false;
        for (const auto& c : b["cases"])
            if (!c.is_string()) return false;
    }
    return true;
}

// The number at path in j (a JSON pointer), if there is one.
bool number_at(const nlohmann::json& j, const char* path, double& out) {
    const nlohmann::json::json_pointer at(path);
    if (!j.is_object() || !j.contains(at) || !j.at(at).is_number()) return false;
    out = j.at(at).get<double>();
    return true;
}

struct outcome {
    bool ran = false, passed = false;
    double seconds = 0;
    std::string failure;  // the first line of the first failure
};

// Runs a program of the package to its end (at most timeout_ms), its output
// kept; false if it could not be started or did not end.
bool run(const wchar_t* program, const std::wstring& arguments, DWORD timeout_ms, std::string* output, DWORD* code) {
    child_process child;
    if (!start_process(child, program, arguments)) return false;
    const bool ended = wait_for_exit(child, timeout_ms, code);  // reads its output meanwhile
    *output = child.seen;
    stop_process(child);
    return ended;
}

int self_check(bool quick) {
    say("Draxion gateway self-check\n\n");
    system_facts();

    // The suite's own table of behaviours and the cases that show each.
    std::string output;
    DWORD code = 0;
    DeleteFileW(L"selfcheck-behaviours.json");
    const bool listed = run(L"e2e_tests.exe", L"--behaviours selfcheck-behaviours.json", 60 * 1000, &output, &code);
    const nlohmann::json behaviours = read_json("selfcheck-behaviours.json");
    if (!listed || code != 0 || !readable_table(behaviours)) {
        say("the suite did not give its table of behaviours (exit %lu): %s\n", code, output.c_str());
        return 1;
    }

    say("\nrunning the end-to-end suite on this desktop (%s)...\n",
        quick ? "without the chaos run, about a minute" : "about two minutes");
    DeleteFileW(L"selfcheck-e2e.json");
    std::wstring arguments = L"--gtest_output=json:selfcheck-e2e.json";
    if (quick) arguments += L" --gtest_filter=-Chaos.*";
    const bool ended = run(L"e2e_tests.exe", arguments, 15 * 60 * 1000, &output, &code);
    std::ofstream("selfcheck-e2e.log", std::ios::binary) << output;
    nlohmann::json results = read_json("selfcheck-e2e.json");  // not const: a missing member reads as null
    if (!ended || results.is_discarded()) {
        say("the suite %s; see selfcheck-e2e.log\n",
            ended ? "left no readable results" : "did not finish in 15 minutes");
        return 1;
    }

    // Every case the suite ran, by its full name.
    std::map<std::string, outcome> outcomes;
    for (const auto& suite : results["testsuites"])
        for (const auto& t : suite["testsuite"]) {
            outcome& o = outcomes[suite["name"].get<std::string>() + "." + t["name"].get<std::string>()];
            o.ran = t.value("result", "") == "COMPLETED" && t.value("status", "") == "RUN";
            o.passed = o.ran && !t.contains("failures");
            o.seconds = std::atof(t.value("time", "0s").c_str());
            if (t.contains("failures")) {
                std::istringstream lines(t["failures"][0].value("failure", ""));
                std::getline(lines, o.failure);  // where it failed
                std::string detail;
                if (std::getline(lines, detail)) o.failure += ": " + detail;
            }
        }
    int holding = 0, counted = 0;
    say("\nbehaviours on this machine\n");
    for (const auto& b : behaviours) {
        const std::string what = b["what"].get<std::string>();
        const nlohmann::json& cases = b["cases"];
        bool all = true, any = false;
        double seconds = 0;
        std::string why;
        for (const auto& c : cases) {
            const std::string test = c.get<std::string>();
            const outcome o = outcomes[test];
            outcomes.erase(test);  // named by a behaviour
            if (!o.ran) continue;
            any = true;
            seconds += o.seconds;
            if (!o.passed) {
                all = false;
                if (why.empty()) why = test + ": " + o.failure;
            }
        }
        ++counted;
        if (!any) {  // a behaviour not shown does not hold
            say("  FAIL  %s (none of its tests ran)\n", what.c_str());
            continue;
        }
        holding += all;
        say("  %s  %s (tests: %zu, %.1f s)\n", all ? "pass" : "FAIL", what.c_str(), cases.size(), seconds);
        if (!all) say("        %s\n", why.c_str());
    }

    // A case of the suite that no behaviour names still counts.
    for (const auto& [name, o] : outcomes) {
        if (!o.ran) continue;
        ++counted;
        holding += o.passed;
        say("  %s  %s (%.1f s)\n", o.passed ? "pass" : "FAIL", name.c_str(), o.seconds);
        if (!o.passed) say("        %s\n", o.failure.c_str());
    }

    // The gateway's pause, measured as it runs it: 10 ms asked for.
    std::string bench;
    DWORD bench_code = 0;
    double median = 0, p99 = 0, max = 0;
    bool measured = false;
    DeleteFileW(L"selfcheck-bench.json");
    if (run(L"cycle_bench.exe", L"--seconds 3 --changes 5 --json selfcheck-bench.json", 120 * 1000, &bench,
            &bench_code) &&
        bench_code == 0) {
        const nlohmann::json results = read_json("selfcheck-bench.json");
        measured = number_at(results, "/cycle_period/median", median) && number_at(results, "/cycle_period/p99", p99) &&
                   number_at(results, "/cycle_period/max", max);
    }
    // A pause that rounds up to a coarse timer tick (15.6 ms) halves the gateway's pace.
    const bool period_ok = measured && median < 13.0;
    if (measured)
        say("  %s  the pause's period: median %.2f ms, p99 %.2f, max %.2f (10 ms asked, work included)\n",
            period_ok ? "pass" : "FAIL", median, p99, max);
    else
        say("  FAIL  the pause's period could not be measured (cycle_bench.exe exit %lu)\n", bench_code);
    ++counted;
    holding += period_ok;

    say("\n%d of %d behaviours hold on this machine.\n", holding, counted);
    if (holding != counted) say("For a bug report send selfcheck-report.txt and selfcheck-e2e.log from this folder.\n");
    return holding == counted ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    read_options_or_exit(argc, argv, "selfcheck", "selfcheck.exe [--quick]", {{"--quick", &quick}});
    // The suite, its helpers and the reports all live in the package's folder.
    SetCurrentDirectoryW(program_folder().c_str());
    const int result = self_check(quick);
    std::ofstream("selfcheck-report.txt", std::ios::binary) << report;  // whatever the end, for a bug report
    return result;
}
