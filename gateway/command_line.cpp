#include "gateway/command_line.h"

#include <cwctype>

namespace {

std::size_t skip_blanks_and_sign(const std::wstring& word, bool* negative) {
    std::size_t i = 0;
    while (i < word.size() && std::iswspace(static_cast<std::wint_t>(word[i]))) ++i;
    *negative = false;
    if (i < word.size() && (word[i] == L'+' || word[i] == L'-')) *negative = word[i++] == L'-';
    return i;
}

int hex_digit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

}  // namespace

std::uint32_t parse_owner_word(const std::wstring& word) {
    bool negative = false;
    std::size_t i = skip_blanks_and_sign(word, &negative);
    if (word.compare(i, 2, L"0x") == 0 || word.compare(i, 2, L"0X") == 0) i += 2;
    std::uint64_t value = 0;
    for (; i < word.size() && hex_digit(word[i]) >= 0; ++i) {
        value = value * 16 + std::uint64_t(hex_digit(word[i]));
        if (value > 0xFFFFFFFFu) value = 0x100000000u;  // saturated; stays above the range
    }
    if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
    const std::uint32_t v = std::uint32_t(value);
    return negative ? std::uint32_t(0u - v) : v;
}

std::int32_t parse_robot_word(const std::wstring& word) {
    bool negative = false;
    std::size_t i = skip_blanks_and_sign(word, &negative);
    std::int64_t value = 0;
    for (; i < word.size() && word[i] >= L'0' && word[i] <= L'9'; ++i) {
        value = value * 10 + (word[i] - L'0');
        if (value > std::int64_t(INT32_MAX) + 1) value = std::int64_t(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return std::int32_t(value);
}

const char* check_pipe_name(const std::wstring& word, std::string* name) {
    if (const char* problem = axis_pipe_name_problem(word.c_str(), word.size())) return problem;
    *name = std::string(word.begin(), word.end());  // printable ASCII only
    return nullptr;
}

gateway_arguments parse_arguments(const std::vector<std::wstring>& words) {
    gateway_arguments a;
    if (words.size() >= 4) a.pipe_name_error = check_pipe_name(words[3], &a.pipe_name);
    if (words.size() >= 3) a.robot = parse_robot_word(words[2]);
    if (words.size() >= 2) a.owner = parse_owner_word(words[1]);
    return a;
}
