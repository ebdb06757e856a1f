#include "cli.h"

#include <cstdint>
#include <string>

#ifndef VELMO_VERSION
#define VELMO_VERSION "0"
#endif

namespace velmo::cli {

namespace {

const char kDecimal[] = "0123456789";
const char kHex[] = "0123456789abcdefABCDEF";

bool only(const std::string &text, const char *digits)
{
    return !text.empty() && text.find_first_not_of(digits) == std::string::npos;
}

enum class Scan { Ok, Bad, LeadingZero };

// An unsigned number no greater than hi: decimal, or hex after 0x when hex
// is allowed. A decimal number of two digits or more may not start with 0.
Scan scan(const std::string &text, bool hex, std::uint64_t hi, std::uint64_t &value)
{
    value = 0;
    const bool prefixed = hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = prefixed ? text.substr(2) : text;
    if (!only(digits, prefixed ? kHex : kDecimal)) {
        return Scan::Bad;
    }
    if (!prefixed && digits.size() > 1 && digits[0] == '0') {
        return Scan::LeadingZero;
    }
    for (char c : digits) {
        const unsigned digit = c <= '9' ? static_cast<unsigned>(c - '0') : static_cast<unsigned>((c | 0x20) - 'a' + 10);
        value = value * (prefixed ? 16 : 10) + digit;
        if (value > hi) {
            return Scan::Bad;
        }
    }
    return Scan::Ok;
}

// Why a number with a leading zero is refused, and how to write it.
std::string leading_zero(const std::string &digits, const std::string &after, bool hex)
{
    const std::size_t first = digits.find_first_not_of('0');
    const std::string plain = (first == std::string::npos ? "0" : digits.substr(first)) + after;
    return "a leading zero is octal to some readers: write " + plain + (hex ? ", or 0x" + plain + " for hex" : "");
}

std::string quoted(const std::string &text)
{
    return "'" + text + "'";
}

} // namespace

int parse_line(const std::string &text)
{
    std::uint64_t value = 0;
    switch (scan(text, false, 8, value)) {
    case Scan::Ok:
        if (value >= 1) {
            return static_cast<int>(value);
        }
        break;
    case Scan::LeadingZero: throw Usage{"bad line " + quoted(text) + " (" + leading_zero(text, "", false) + ")"};
    case Scan::Bad: break;
    }
    throw Usage{"bad line " + quoted(text) + " (lines are 1 to 8)"};
}

std::pair<int, std::string> parse_assignment(const std::string &word)
{
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) {
        throw Usage{"expected LINE=VALUE, got " + quoted(word)};
    }
    return {parse_line(word.substr(0, eq)), word.substr(eq + 1)};
}

LineLevel parse_line_level(const std::string &word)
{
    const auto [line, value] = parse_assignment(word);
    if (value != "0" && value != "1") {
        throw Usage{"bad level in " + quoted(word) + " (0 or 1)"};
    }
    return {line, value == "1" ? 1 : 0};
}

int Lines::add(const std::string &text)
{
    const int line = parse_line(text);
    add(line);
    return line;
}

void Lines::add(int line)
{
    if (named_[line]) {
        throw Usage{"line " + std::to_string(line) + " is named twice"};
    }
    named_[line] = true;
    lines_.push_back(line);
}

const LineLevel &LineLevels::add(const std::string &word)
{
    const LineLevel level = parse_line_level(word);
    lines_.add(level.line);
    levels_.push_back(level);
    return levels_.back();
}

std::uint16_t parse_port(const std::string &text)
{
    std::uint64_t value = 0;
    switch (scan(text, true, 0xFFFF, value)) {
    case Scan::Ok: return static_cast<std::uint16_t>(value);
    case Scan::LeadingZero: throw Usage{"bad port " + quoted(text) + " (" + leading_zero(text, "", true) + ")"};
    case Scan::Bad: break;
    }
    throw Usage{"bad port " + quoted(text) + " (0 to 0xffff, decimal or 0x hex)"};
}

unsigned int parse_word(const std::string &text)
{
    std::uint64_t value = 0;
    switch (scan(text, true, 255, value)) {
    case Scan::Ok: return static_cast<unsigned int>(value);
    case Scan::LeadingZero:
        throw Usage{"bad configuration word " + quoted(text) + " (" + leading_zero(text, "", true) + ")"};
    case Scan::Bad: break;
    }
    throw Usage{"bad configuration word " + quoted(text) + " (0 to 255, or 0x00 to 0xff)"};
}

long parse_number(const std::string &text, long lo, long hi, const std::string &wants)
{
    std::uint64_t value = 0;
    switch (scan(text, false, static_cast<std::uint64_t>(hi), value)) {
    case Scan::Ok:
        if (static_cast<long>(value) >= lo) {
            return static_cast<long>(value);
        }
        break;
    case Scan::LeadingZero: throw Usage{wants + ", not " + quoted(text) + " (" + leading_zero(text, "", false) + ")"};
    case Scan::Bad: break;
    }
    throw Usage{wants + ", not " + quoted(text)};
}

std::int64_t parse_duration(const std::string &text, std::int64_t unit_ns, std::int64_t lo_ns, std::int64_t hi_ns,
                            const std::string &wants)
{
    const Usage bad{wants + ", not " + quoted(text)};
    // The unit, if any, then the number before it.
    const std::pair<const char *, std::int64_t> units[] = {{"ns", 1}, {"us", 1000}, {"ms", 1000000}, {"s", 1000000000}};
    std::string number = text;
    for (const auto &[suffix, ns] : units) {
        const std::string s = suffix;
        if (text.size() > s.size() && text.compare(text.size() - s.size(), s.size(), s) == 0) {
            number = text.substr(0, text.size() - s.size());
            unit_ns = ns;
            break;
        }
    }
    const std::size_t dot = number.find('.');
    const std::string whole = number.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "" : number.substr(dot + 1);
    if (dot != std::string::npos && (!only(fraction, kDecimal) || fraction.size() > 9)) {
        throw bad;
    }
    std::uint64_t value = 0;
    switch (scan(whole, false, static_cast<std::uint64_t>(INT64_MAX / unit_ns), value)) {
    case Scan::Ok: break;
    case Scan::LeadingZero:
        throw Usage{wants + ", not " + quoted(text) + " (" + leading_zero(whole, text.substr(whole.size()), false) +
                    ")"};
    case Scan::Bad: throw bad;
    }
    std::int64_t ns = static_cast<std::int64_t>(value) * unit_ns;
    std::int64_t part = 0;
    std::int64_t scale = 1;
    for (char c : fraction) {
        part = part * 10 + (c - '0');
        scale *= 10;
    }
    // part < scale <= 10^9 and unit_ns <= 10^9: no overflow.
    const std::int64_t extra = part * unit_ns / scale;
    if (ns > INT64_MAX - extra) {
        throw bad;
    }
    ns += extra;
    if (ns < lo_ns || ns > hi_ns) {
        throw bad;
    }
    return ns;
}

std::int64_t parse_timeout(const std::string &option, const std::string &text)
{
    constexpr std::int64_t kSecond = 1000000000;
    const std::int64_t ns = parse_duration(text, kSecond, 0, INT64_MAX, option + " wants seconds (e.g. 5 or 0.5)");
    if (ns > 86400 * kSecond) {
        throw Usage{option + " is at most 86400 seconds, not " + quoted(text)};
    }
    return ns;
}

Words::Words(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        words_.emplace_back(argv[i]);
    }
}

std::vector<std::string> Words::rest()
{
    std::vector<std::string> left(words_.begin() + static_cast<std::ptrdiff_t>(next_), words_.end());
    next_ = words_.size();
    return left;
}

bool Words::is_option() const
{
    return !empty() && peek().size() > 1 && peek()[0] == '-' && peek() != "--";
}

std::string Words::option_name() const
{
    return empty() ? std::string() : peek().substr(0, peek().find('='));
}

bool Words::value(const char *name, std::string &out)
{
    if (!is_option() || option_name() != name) {
        return false;
    }
    const std::string word = take();
    const std::size_t eq = word.find('=');
    if (eq != std::string::npos) {
        out = word.substr(eq + 1);
        return true;
    }
    if (empty()) {
        throw Usage{std::string(name) + " needs a value"};
    }
    out = take();
    return true;
}

bool Words::flag(const char *name)
{
    if (!is_option() || option_name() != name) {
        return false;
    }
    if (peek() != name) {
        throw Usage{std::string(name) + " takes no value, not " + quoted(peek())};
    }
    take();
    return true;
}

void Words::unknown_option()
{
    throw Usage{"unknown option " + quoted(option_name())};
}

const char *version()
{
    return VELMO_VERSION;
}

bool help_or_version(const Program &program, Words &words, std::FILE *out)
{
    if (words.empty()) {
        return false;
    }
    if (words.peek() == "--help" || words.peek() == "-h") {
        words.take();
        print_help(program, out);
        return true;
    }
    if (words.peek() == "--version") {
        words.take();
        print_version(program, out);
        return true;
    }
    return false;
}

void print_help(const Program &program, std::FILE *out)
{
    std::fputs(program.usage, out);
}

void print_version(const Program &program, std::FILE *out)
{
    std::fprintf(out, "%s %s\n", program.name, version());
}

int refuse(const Program &program, const Usage &usage, std::FILE *err)
{
    say(program.name, usage.what + "\nTry '" + program.name + " --help'.", err);
    return program.usage_status;
}

void say(const char *program, const std::string &message, std::FILE *to)
{
    const std::string line = std::string(program) + ": " + message + "\n";
    std::fputs(line.c_str(), to);
}

} // namespace velmo::cli
