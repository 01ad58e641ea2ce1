// The gateway's command line: an optional owner window handle in hexadecimal,
// after it an optional robot number in decimal, and after that an optional pipe
// name; further words are ignored.
#ifndef GATEWAY_COMMAND_LINE_H
#define GATEWAY_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

#include "stream/axis_contract.h"

struct gateway_arguments {
    std::uint32_t owner = 0;  // 0: no owner window, run until a key is pressed
    std::int32_t robot = 1;
    std::string pipe_name = axis_pipe_name;  // without the \\.\pipe\ prefix
    const char* pipe_name_error = nullptr;   // why the third word names no pipe, if it does not
};

// words[0] is the program's name.
gateway_arguments parse_arguments(const std::vector<std::wstring>& words);

// A pipe name as the third word gives it (axis_pipe_name_problem). Null when it
// is one (and *name holds it), else why not.
const char* check_pipe_name(const std::wstring& word, std::string* name);

// As "%x" reads a word: leading blanks, an optional sign, an optional 0x prefix and
// the hexadecimal digits that follow; 0 when there is no digit. A minus negates
// modulo 2^32, and more digits than 32 bits hold give 0xFFFFFFFF, as strtoul does.
std::uint32_t parse_owner_word(const std::wstring& word);

// As _wtoi reads a word: leading blanks, an optional sign and the decimal digits
// that follow; 0 when there is no digit; beyond the 32-bit range INT_MAX or INT_MIN.
std::int32_t parse_robot_word(const std::wstring& word);

#endif  // GATEWAY_COMMAND_LINE_H
