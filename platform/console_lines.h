// Lines for a console that may not take them at once: a redirected standard
// output that nobody reads fills its pipe and then blocks every write, and a
// console window in which the user has selected text blocks every program that
// writes to it until the selection ends. The capture cycle must never wait for
// either, so it only hands its lines over here; a writer of the backend's own
// takes them to the console, waiting there in the cycle's stead.
//
// The queue is small and bounded: while the console takes nothing, a new line
// pushes out the oldest waiting one (the newest say how things stand now), and
// the first line written once the console takes lines again is preceded by a
// note of how many were dropped. Standard C++ only, so that it is tested natively.
#ifndef PLATFORM_CONSOLE_LINES_H
#define PLATFORM_CONSOLE_LINES_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

class console_lines {
public:
    explicit console_lines(std::size_t capacity) : capacity_(capacity < 1 ? 1 : capacity) {}

    // Queues a line; never waits for the writer (the lock is never held while
    // writing).
    void post(std::string line);

    // The writer's side. Waits up to timeout for a line and gives the bytes to
    // write next (the note of lines dropped before it, then the line); false when
    // none came. Each take is answered by one written().
    bool take(std::string& bytes, std::chrono::milliseconds timeout);

    // Whether the bytes last taken reached the console; if not, their line counts
    // as dropped (and a note they carried is said again with the next line).
    void written(bool ok);

    // Waits up to timeout until every line posted has been written or dropped;
    // false if some still wait or are being written.
    bool wait_until_idle(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t capacity_;
    std::deque<std::string> waiting_;
    bool writing_ = false;
    std::uint64_t unsaid_ = 0;   // dropped since the last note that reached the console
    std::uint64_t in_note_ = 0;  // the count in the note being written
};

// The note written before the first line the console takes after some were
// dropped.
std::string dropped_lines_note(std::uint64_t count);

#endif  // PLATFORM_CONSOLE_LINES_H
