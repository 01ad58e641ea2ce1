// The tools' one command-line reader: what it takes, and what it refuses with a
// reason (the programs then print it with their usage and exit with 2).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/options.h"

namespace {

TEST(Options, TakesWhatItKnowsAndNamesWhatIsWrong) {
    struct options_case {
        std::vector<const char*> words;
        std::string problem;  // empty: read
    };
    const options_case cases[] = {
        {{}, ""},
        {{"--csv", "--seconds", "2.5", "--count", "7", "--pipe", "p1"}, ""},
        {{"--seconds", "abc"}, "--seconds needs a number from 0 to 60, not abc"},
        {{"--seconds", ""}, "--seconds needs a number from 0 to 60, not "},
        {{"--seconds", "61"}, "--seconds needs a number from 0 to 60, not 61"},
        {{"--seconds", "1e999"}, "--seconds needs a number from 0 to 60, not 1e999"},
        {{"--count", "2.5"}, "--count needs a whole number from 1 to 100, not 2.5"},
        {{"--pipe"}, "--pipe needs a value"},
        {{"--pipe", "--csv"}, "--pipe needs a value"},
        {{"--count", "0x10"}, "--count needs a whole number from 1 to 100, not 0x10"},
        {{"--seconds", " 5"}, "--seconds needs a number from 0 to 60, not  5"},
        {{"--seconds", "-0.5"}, "--seconds needs a number from 0 to 60, not -0.5"},
        {{"--verbose"}, "unknown option --verbose"},
        {{"robot"}, "unexpected word robot"},
    };
    for (const options_case& c : cases) {
        bool csv = false;
        double seconds = -1, count = -1;
        std::string pipe;
        std::vector<const char*> argv{"program"};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        const std::string problem = read_options(int(argv.size()), argv.data(),
                                                 {{"--csv", &csv},
                                                  {"--seconds", number_option{&seconds, 0, 60}},
                                                  {"--count", number_option{&count, 1, 100, true}},
                                                  {"--pipe", &pipe}});
        EXPECT_EQ(problem, c.problem) << c.words.size();
        if (c.problem.empty() && !c.words.empty()) {
            EXPECT_TRUE(csv);
            EXPECT_EQ(seconds, 2.5);
            EXPECT_EQ(count, 7);
            EXPECT_EQ(pipe, "p1");
        }
    }
}

TEST(Options, TakesOneLeadingWordOnlyWhereAProgramWantsOne) {
    const char* argv[] = {"program", "2", "--json"};
    bool json = false;
    std::string first;
    EXPECT_EQ(read_options(3, argv, {{"--json", &json}}, &first), "");
    EXPECT_EQ(first, "2");
    EXPECT_TRUE(json);
    const char* late[] = {"program", "--json", "2"};
    EXPECT_EQ(read_options(3, late, {{"--json", &json}}, &first), "unexpected word 2") << "after an option";
}

}  // namespace
