// The command line as a user types it: owner handle in hex, robot number in decimal.
#include <gtest/gtest.h>

#include "gateway/command_line.h"

namespace {

TEST(CommandLine, WordsGiveOwnerAndRobot) {
    struct args_case {
        std::vector<std::wstring> words;
        std::uint32_t owner;
        std::int32_t robot;
    };
    const args_case cases[] = {
        {{L"gateway.exe"}, 0, 1},
        {{L"gateway.exe", L"0"}, 0, 1},
        {{L"gateway.exe", L"1a2B"}, 0x1A2B, 1},
        {{L"gateway.exe", L"0x00010F3C", L"2"}, 0x10F3C, 2},
        {{L"gateway.exe", L"zz", L"3"}, 0, 3},
        {{L"gateway.exe", L"1F", L"12abc"}, 0x1F, 12},
        {{L"gateway.exe", L"1F", L"abc"}, 0x1F, 0},
        {{L"gateway.exe", L"1F", L"-1"}, 0x1F, -1},
        {{L"gateway.exe", L"1F", L"4", L"extra", L"words"}, 0x1F, 4},
    };
    for (const args_case& c : cases) {
        const gateway_arguments a = parse_arguments(c.words);
        EXPECT_EQ(a.owner, c.owner) << c.words.size() << " words";
        EXPECT_EQ(a.robot, c.robot) << c.words.size() << " words";
    }
}

TEST(CommandLine, ThirdWordNamesThePipe) {
    struct pipe_case {
        std::vector<std::wstring> words;
        std::string name;
        bool valid;
    };
    const pipe_case cases[] = {
        {{L"gateway.exe", L"1F", L"2"}, "zelmorvelgateway", true},
        {{L"gateway.exe", L"1F", L"2", L"cell4_robot2"}, "cell4_robot2", true},
        {{L"gateway.exe", L"1F", L"2", L"with space"}, "with space", true},
        {{L"gateway.exe", L"1F", L"2", std::wstring(247, L'x')}, std::string(247, 'x'), true},
        {{L"gateway.exe", L"1F", L"2", std::wstring(248, L'x')}, "zelmorvelgateway", false},
        {{L"gateway.exe", L"1F", L"2", L""}, "zelmorvelgateway", false},
        {{L"gateway.exe", L"1F", L"2", L"a\\b"}, "zelmorvelgateway", false},
        {{L"gateway.exe", L"1F", L"2", L"caf\u00e9"}, "zelmorvelgateway", false},
    };
    for (const pipe_case& c : cases) {
        const gateway_arguments a = parse_arguments(c.words);
        EXPECT_EQ(a.pipe_name, c.name) << "case " << (&c - cases);
        EXPECT_EQ(a.pipe_name_error == nullptr, c.valid) << "case " << (&c - cases);
    }
}

TEST(CommandLine, OwnerWordReadsLikePercentX) {
    struct owner_case {
        const wchar_t* word;
        std::uint32_t value;
    };
    const owner_case cases[] = {
        {L"", 0},
        {L"   ", 0},
        {L"ghost", 0},
        {L"0x", 0},
        {L"0xg", 0},
        {L" \t 10", 0x10},
        {L"ffFF0001", 0xFFFF0001},
        {L"0XaB", 0xAB},
        {L"12g45", 0x12},
        {L"+7f", 0x7F},
        {L"-1", 0xFFFFFFFF},
        {L"-0x10", 0xFFFFFFF0},
        {L"123456789", 0xFFFFFFFF},           // more than 32 bits: saturated, names no window
        {L"00000000000000000000ABC", 0xABC},  // leading zeros are not extra bits
    };
    for (const owner_case& c : cases) EXPECT_EQ(parse_owner_word(c.word), c.value) << "word " << (&c - cases);
}

TEST(CommandLine, RobotWordReadsLikeWtoi) {
    struct robot_case {
        const wchar_t* word;
        std::int32_t value;
    };
    const robot_case cases[] = {
        {L"1", 1},
        {L"12abc", 12},
        {L"abc", 0},
        {L"", 0},
        {L"  7", 7},
        {L"+5", 5},
        {L"-1", -1},
        {L"- 1", 0},
        {L"2147483647", 2147483647},
        {L"2147483648", 2147483647},
        {L"-2147483648", -2147483647 - 1},
        {L"-99999999999999999999", -2147483647 - 1},
    };
    for (const robot_case& c : cases) EXPECT_EQ(parse_robot_word(c.word), c.value) << "word " << (&c - cases);
}

}  // namespace
