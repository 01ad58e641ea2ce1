#include "support/options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string plain(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

}  // namespace

std::string read_options(int argc, const char* const* argv, const std::vector<option>& options,
                         std::string* first_word) {
    int i = 1;
    if (first_word != nullptr && i < argc && std::strncmp(argv[i], "--", 2) != 0) *first_word = argv[i++];
    for (; i < argc; ++i) {
        const option* o = nullptr;
        for (const option& candidate : options)
            if (std::strcmp(argv[i], candidate.name) == 0) o = &candidate;
        if (o == nullptr)
            return std::string(std::strncmp(argv[i], "--", 2) == 0 ? "unknown option " : "unexpected word ") + argv[i];
        if (bool* const* flag = std::get_if<bool*>(&o->target)) {
            **flag = true;
            continue;
        }
        // The next option is no value, even where a text would take it.
        if (i + 1 >= argc || std::strncmp(argv[i + 1], "--", 2) == 0) return std::string(o->name) + " needs a value";
        const char* value = argv[++i];
        if (std::string* const* text = std::get_if<std::string*>(&o->target)) {
            **text = value;
            continue;
        }
        const number_option& n = std::get<number_option>(o->target);
        char* end = nullptr;
        const double v = std::strtod(value, &end);
        // Decimal only: strtod would also take blanks, hexadecimal and "inf".
        const bool decimal = std::strspn(value, "0123456789+-.eE") == std::strlen(value);
        if (!decimal || *value == 0 || *end != 0 || !std::isfinite(v) || v < n.min || v > n.max ||
            (n.whole && v != std::floor(v)))
            return std::string(o->name) + (n.whole ? " needs a whole number from " : " needs a number from ") +
                   plain(n.min) + " to " + plain(n.max) + ", not " + value;
        *n.value = v;
    }
    return {};
}

void read_options_or_exit(int argc, const char* const* argv, const char* program, const char* usage,
                          const std::vector<option>& options, std::string* first_word) {
    const std::string problem = read_options(argc, argv, options, first_word);
    if (problem.empty()) return;
    std::fprintf(stderr, "%s: %s\nusage: %s\n", program, problem.c_str(), usage);
    std::exit(2);
}
