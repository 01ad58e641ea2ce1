// One way for the tools and benchmarks to read their command lines: --name flags,
// --name VALUE options (numbers checked whole and against their range) and, where
// a program takes one, a leading word. Anything else is a bad command line, with
// one behaviour everywhere: a line saying what is wrong, the usage, exit code 2.
#ifndef SUPPORT_OPTIONS_H
#define SUPPORT_OPTIONS_H

#include <string>
#include <variant>
#include <vector>

struct number_option {
    double* value;
    double min, max;
    bool whole = false;  // an integer is wanted
};

struct option {
    const char* name;                                         // "--seconds"
    std::variant<bool*, std::string*, number_option> target;  // a flag, a text, a number
};

// Reads argv[1..argc) into the options' targets. first_word, when not null, takes
// one word that is no option before any option. Returns empty when all is well,
// else what is wrong ("unknown option --x", "--seconds needs a number from 0 to
// 3600, not abc").
std::string read_options(int argc, const char* const* argv, const std::vector<option>& options,
                         std::string* first_word = nullptr);

// read_options, and on a bad command line prints "<program>: <what is wrong>" and
// the usage to standard error and ends the program with exit code 2.
void read_options_or_exit(int argc, const char* const* argv, const char* program, const char* usage,
                          const std::vector<option>& options, std::string* first_word = nullptr);

#endif  // SUPPORT_OPTIONS_H
