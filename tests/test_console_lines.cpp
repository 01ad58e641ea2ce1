// The queue the cycle's console lines wait in: what a console that stalls, or
// refuses lines, is given once it takes them again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/console_lines.h"

namespace {

using std::chrono::milliseconds;

struct step {
    enum { post, take, ok, fail, idle, busy } what;
    std::string text;  // posted, or expected from take ("" for nothing to take)
};

std::string note(int n) { return dropped_lines_note(std::uint64_t(n)); }

TEST(ConsoleLines, WhatTheConsoleIsGivenAfterEachSequence) {
    struct sequence {
        const char* name;
        std::vector<step> steps;
    };
    const sequence sequences[] = {
        {"a console that takes each line",
         {{step::post, "a\n"}, {step::take, "a\n"}, {step::ok, ""}, {step::idle, ""}, {step::take, ""}}},
        {"stuck in a write: the newest wait, the note says how many gave way, where they were",
         {{step::post, "a\n"},
          {step::take, "a\n"},
          {step::post, "b\n"},
          {step::post, "c\n"},
          {step::post, "d\n"},
          {step::post, "e\n"},
          {step::post, "f\n"},
          {step::busy, ""},
          {step::ok, ""},
          {step::take, note(2) + "d\n"},
          {step::ok, ""},
          {step::take, "e\n"},
          {step::ok, ""},
          {step::take, "f\n"},
          {step::busy, ""},
          {step::ok, ""},
          {step::idle, ""}}},
        {"refused lines are dropped, and a refused note is said again with its count",
         {{step::post, "a\n"},
          {step::post, "b\n"},
          {step::take, "a\n"},
          {step::fail, ""},
          {step::take, note(1) + "b\n"},
          {step::fail, ""},
          {step::idle, ""},
          {step::post, "c\n"},
          {step::take, note(2) + "c\n"},
          {step::ok, ""},
          {step::post, "d\n"},
          {step::take, "d\n"},
          {step::ok, ""}}},
        {"one dropped line is one line",
         {{step::post, "a\n"},
          {step::take, "a\n"},
          {step::post, "b\n"},
          {step::post, "c\n"},
          {step::post, "d\n"},
          {step::post, "e\n"},
          {step::ok, ""},
          {step::take, note(1) + "c\n"},
          {step::ok, ""}}},
    };
    for (const sequence& s : sequences) {
        SCOPED_TRACE(s.name);
        console_lines lines(3);
        for (std::size_t i = 0; i < s.steps.size(); ++i) {
            const step& st = s.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            std::string bytes;
            switch (st.what) {
            case step::post: lines.post(st.text); break;
            case step::take:
                EXPECT_EQ(lines.take(bytes, milliseconds(0)), !st.text.empty());
                EXPECT_EQ(bytes, st.text);
                break;
            case step::ok: lines.written(true); break;
            case step::fail: lines.written(false); break;
            case step::idle: EXPECT_TRUE(lines.wait_until_idle(milliseconds(0))); break;
            case step::busy: EXPECT_FALSE(lines.wait_until_idle(milliseconds(0))); break;
            }
        }
    }
    EXPECT_EQ(note(1), "1 line was dropped while the console took no output\n");
    EXPECT_EQ(note(37), "37 lines were dropped while the console took no output\n");
}

}  // namespace
