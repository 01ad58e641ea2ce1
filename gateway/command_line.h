// The gateway's command line: an optional owner window handle in hexadecimal and,
// after it, an optional robot number in decimal; further words are ignored.
#ifndef GATEWAY_COMMAND_LINE_H
#define GATEWAY_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

struct gateway_arguments {
    std::uint32_t owner = 0;  // 0: no owner window, run until a key is pressed
    std::int32_t robot = 1;
};

// words[0] is the program's name.
gateway_arguments parse_arguments(const std::vector<std::wstring>& words);

// As "%x" reads a word: leading blanks, an optional sign, an optional 0x prefix and
// the hexadecimal digits that follow; 0 when there is no digit. A minus negates
// modulo 2^32, and more digits than 32 bits hold give 0xFFFFFFFF, as strtoul does.
std::uint32_t parse_owner_word(const std::wstring& word);

// As _wtoi reads a word: leading blanks, an optional sign and the decimal digits
// that follow; 0 when there is no digit; beyond the 32-bit range INT_MAX or INT_MIN.
std::int32_t parse_robot_word(const std::wstring& word);

#endif  // GATEWAY_COMMAND_LINE_H
