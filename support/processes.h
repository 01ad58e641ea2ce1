// Child processes for the end-to-end suite and the cycle benchmark (Windows only):
// started with their standard input and output on pipes, read without blocking,
// waited for with a time limit.
#ifndef SUPPORT_PROCESSES_H
#define SUPPORT_PROCESSES_H

#include <windows.h>

#include <string>

struct child_process {
    HANDLE process = nullptr;
    DWORD id = 0;
    HANDLE input = nullptr;   // our end of its standard input
    HANDLE output = nullptr;  // our end of its standard output (and error)
    std::string seen;         // everything it has printed so far
};

// The folder of the running test program, where the programs under test are built.
std::wstring program_folder();

// Starts folder\program with the arguments; false if it cannot be started.
bool start_process(child_process& child, const std::wstring& program, const std::wstring& arguments);

// Collects what the child has printed, without waiting.
const std::string& collect_output(child_process& child);

// Waits until the child's output contains text; false after timeout_ms.
bool wait_for_output(child_process& child, const std::string& text, DWORD timeout_ms);

void send_line(child_process& child, const std::string& line);

// Waits for the child to end; false after timeout_ms. *code gets its exit code.
bool wait_for_exit(child_process& child, DWORD timeout_ms, DWORD* code);

// Ends the child if it still runs and closes its handles.
void stop_process(child_process& child);

// Microseconds on a steady clock (QueryPerformanceCounter).
double clock_us();


#endif  // SUPPORT_PROCESSES_H
