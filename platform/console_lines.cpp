#include "platform/console_lines.h"

#include <utility>

std::string dropped_lines_note(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " line was" : " lines were") +
           " dropped while the console took no output\n";
}

void console_lines::post(std::string line) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.size() == capacity_) {
            waiting_.pop_front();
            ++unsaid_;
        }
        waiting_.push_back(std::move(line));
    }
    changed_.notify_all();
}

bool console_lines::take(std::string& bytes, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return !waiting_.empty(); })) return false;
    in_note_ = unsaid_;
    unsaid_ = 0;
    bytes = in_note_ > 0 ? dropped_lines_note(in_note_) : std::string();
    bytes += waiting_.front();
    waiting_.pop_front();
    writing_ = true;
    return true;
}

void console_lines::written(bool ok) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!ok) {
            unsaid_ += in_note_ + 1;
        }
        in_note_ = 0;
        writing_ = false;
    }
    changed_.notify_all();
}

bool console_lines::wait_until_idle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return waiting_.empty() && !writing_; });
}
