// Child processes for the end-to-end suite and the cycle benchmark (Windows only):
// started with their standard input and output on pipes, waited for with a time
// limit. A child's output is read all the time by a thread of ours, so that a
// full pipe never stops a child (and never passes for a fault of it, nor hides
// one); a test that wants to see a child with nobody reading says so.
#ifndef SUPPORT_PROCESSES_H
#define SUPPORT_PROCESSES_H

#include <windows.h>

#include <memory>
#include <string>

struct output_reader;

struct child_process {
    HANDLE process = nullptr;
    DWORD id = 0;
    HANDLE input = nullptr;                 // our end of its standard input
    std::string seen;                       // everything it had printed at the last collect_output
    std::shared_ptr<output_reader> output;  // our end of its standard output (and error)
};

enum class output_reading {
    all_the_time,    // from the start
    not_until_asked  // nobody reads until start_reading: a launcher that never does
};

// The folder of the running test program, where the programs under test are built.
std::wstring program_folder();

// Starts folder\program with the arguments, its output into a pipe of pipe_bytes;
// false if it cannot be started.
bool start_process(child_process& child, const std::wstring& program, const std::wstring& arguments,
                   output_reading reading = output_reading::all_the_time, DWORD pipe_bytes = 65536);

// Begins reading the output of a child started not_until_asked.
void start_reading(child_process& child);

// Adds to seen what has been read of the child's output since the last call.
const std::string& collect_output(child_process& child);

// Waits until the child's output contains text; false after timeout_ms.
bool wait_for_output(child_process& child, const std::string& text, DWORD timeout_ms);

void send_line(child_process& child, const std::string& line);

// Waits for the child to end; false after timeout_ms. *code gets its exit code,
// and seen all it printed (what is being read of it).
bool wait_for_exit(child_process& child, DWORD timeout_ms, DWORD* code);

// Ends the child if it still runs and closes its handles.
void stop_process(child_process& child);

// Microseconds on a steady clock (QueryPerformanceCounter).
double clock_us();

#endif  // SUPPORT_PROCESSES_H
