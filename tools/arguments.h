// Checking the words of a command line, for velmogpio and velmo-board: a
// word that will not do throws Usage with the reason, which the program
// prints with its name and the hint to --help (exit status 2), before any
// port or file is touched.
#ifndef VELMO_TOOLS_ARGUMENTS_H
#define VELMO_TOOLS_ARGUMENTS_H

#include <cstdint>
#include <cstdlib>
#include <string>

struct Usage {
    std::string what;
};

// Only digits, 1 to most of them.
inline bool all_digits(const std::string &text, std::size_t most)
{
    return !text.empty() && text.size() <= most && text.find_first_not_of("0123456789") == std::string::npos;
}

// A whole decimal number in [lo, hi], nothing else.
inline bool parse_decimal(const std::string &text, long lo, long hi, long &value)
{
    if (!all_digits(text, 9)) {
        return false;
    }
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= lo && value <= hi;
}

// A line number, 1 to 8.
inline int parse_line(const std::string &text)
{
    long n = 0;
    if (!parse_decimal(text, 1, 8, n)) {
        throw Usage{"bad line '" + text + "' (lines are 1 to 8)"};
    }
    return static_cast<int>(n);
}

// --timeout's seconds, "N" or "N.N", up to a day: in nanoseconds.
inline std::int64_t parse_timeout(const std::string &text)
{
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    if (!all_digits(whole, 9) || (dot != std::string::npos && !all_digits(fraction, 9))) {
        throw Usage{"--timeout wants seconds (e.g. 5 or 0.5), not '" + text + "'"};
    }
    std::int64_t ns = std::strtoll(whole.c_str(), nullptr, 10) * 1000000000;
    std::int64_t scale = 100000000;
    for (char c : fraction) {
        ns += (c - '0') * scale;
        scale /= 10;
    }
    if (ns > std::int64_t{86400} * 1000000000) {
        throw Usage{"--timeout is at most 86400 seconds, not '" + text + "'"};
    }
    return ns;
}

#endif
