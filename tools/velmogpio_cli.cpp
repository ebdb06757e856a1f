// velmogpio: get, set, configure and show the board's eight lines.
//
// Every argument is checked before the first operation, so a usage error
// touches no port and a command is never half done for a typo. The lines
// live in the board's registers, so what a command sets stays set.
#include "velmogpio_cli.h"
#include "arguments.h"
#include "velmogpio_watch.h"

#include "VELMOGPIOLib.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef VELMOGPIO_VERSION
#define VELMOGPIO_VERSION "0"
#endif

namespace {

const char kUsage[] =
    "Usage: velmogpio COMMAND [ARG...]\n"
    "Get, set and configure the eight GPIO lines of the Velmo board.\n"
    "\n"
    "  get LINE...              print each line's level as LINE=0|1\n"
    "  set LINE=0|1...          drive each line low or high (an input line\n"
    "                           latches the level, shown once it is an output)\n"
    "  config WORD              set all directions at once: bit i is line i+1,\n"
    "                           1 input, 0 output (decimal or 0x hex, 0-255)\n"
    "  config LINE=in|out...    change the named lines, keep the others\n"
    "  show [--json]            each line's direction, level, bank and bit\n"
    "  watch LINE... [--edge rising|falling|both] [--count N] [--timeout SECONDS]\n"
    "        [--interval MS]    print each edge as SECONDS LINE=LEVEL rising|falling,\n"
    "                           reading the lines every MS (1); ends after N edges\n"
    "                           (status 0) or at the timeout (status 1)\n"
    "  --help, --version\n"
    "\n"
    "Lines are numbered 1 to 8. Exit status: 0 done, 1 the board refused\n"
    "(the message says why), 2 bad arguments (nothing was touched).\n";

// "LINE=VALUE": the line and the value text.
std::pair<int, std::string> parse_assignment(const std::string &arg)
{
    const auto eq = arg.find('=');
    if (eq == std::string::npos) {
        throw Usage{"expected LINE=VALUE, got '" + arg + "'"};
    }
    return {parse_line(arg.substr(0, eq)), arg.substr(eq + 1)};
}

unsigned int parse_word(const std::string &text)
{
    long value = 0;
    bool ok = false;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const std::string digits = text.substr(2);
        ok = digits.size() <= 8 && digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        if (ok) {
            value = std::strtol(digits.c_str(), nullptr, 16);
        }
    } else {
        ok = parse_decimal(text, 0, 999999999, value);
    }
    if (!ok || value > 255) {
        throw Usage{"bad configuration word '" + text + "' (0 to 255, or 0x00 to 0xff)"};
    }
    return static_cast<unsigned int>(value);
}

// Whether line (1-8) is an input in its bank's direction register value,
// in the library's register map.
bool is_input(unsigned int direction, int line)
{
    return (direction & VELMOGPIO_BIT(VELMOGPIO_LINE_POS(line))) != 0;
}

class Tool {
public:
    Tool(std::FILE *out, std::FILE *err) : out_(out), err_(err) {}

    int run(const std::vector<std::string> &args);

private:
    int get(const std::vector<std::string> &lines);
    int set(const std::vector<std::string> &assignments);
    int config(const std::vector<std::string> &args);
    int show(const std::vector<std::string> &args);

    // The library's message for the call that just failed.
    int failed()
    {
        char *text = nullptr;
        KVNGetLastError(&text);
        std::fprintf(err_, "velmogpio: %s\n", text);
        return kExitFailed;
    }

    std::FILE *out_;
    std::FILE *err_;
};

int Tool::run(const std::vector<std::string> &args)
{
    if (args.empty()) {
        throw Usage{"no command given"};
    }
    const std::string &command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, out_);
        return kExitOk;
    }
    if (command == "--version") {
        std::fprintf(out_, "velmogpio %s\n", VELMOGPIO_VERSION);
        return kExitOk;
    }
    if (command == "get") {
        return get(rest);
    }
    if (command == "set") {
        return set(rest);
    }
    if (command == "config") {
        return config(rest);
    }
    if (command == "show") {
        return show(rest);
    }
    if (command == "watch") {
        return velmogpio_watch(rest, out_, err_);
    }
    throw Usage{"unknown command '" + command + "'"};
}

int Tool::get(const std::vector<std::string> &args)
{
    if (args.empty()) {
        throw Usage{"get needs at least one LINE"};
    }
    std::vector<int> lines;
    for (const std::string &arg : args) {
        lines.push_back(parse_line(arg));
    }
    for (int line : lines) {
        int level = 0;
        if (VelmoGPIOInputBit(line, &level) != 0) {
            return failed();
        }
        std::fprintf(out_, "%d=%d\n", line, level);
    }
    return kExitOk;
}

int Tool::set(const std::vector<std::string> &args)
{
    if (args.empty()) {
        throw Usage{"set needs at least one LINE=0|1"};
    }
    std::vector<std::pair<int, unsigned int>> drives;
    for (const std::string &arg : args) {
        const auto [line, value] = parse_assignment(arg);
        if (value != "0" && value != "1") {
            throw Usage{"bad level in '" + arg + "' (0 or 1)"};
        }
        drives.emplace_back(line, value == "1" ? 1u : 0u);
    }
    for (const auto &[line, level] : drives) {
        if (VelmoGPIOOutputBit(line, level) != 0) {
            return failed();
        }
        // The library latches the level whatever the direction (a program
        // may preload a level before making the line an output); the pin
        // shows it only then, so say so.
        if (is_input(ReadIO(BaseAddress + VELMOGPIO_DIRECTION_REGISTER(line)), line)) {
            std::fprintf(err_, "velmogpio: line %d is an input: level latched, shown once it is an output\n", line);
        }
    }
    return kExitOk;
}

int Tool::config(const std::vector<std::string> &args)
{
    if (args.empty()) {
        throw Usage{"config needs a WORD or LINE=in|out"};
    }
    if (args.size() == 1 && args[0].find('=') == std::string::npos) {
        return VelmoGPIOConfig(parse_word(args[0])) == 0 ? kExitOk : failed();
    }

    // Named lines only: start from the directions the board has now.
    std::vector<std::pair<int, bool>> changes; // line, input
    for (const std::string &arg : args) {
        const auto [line, value] = parse_assignment(arg);
        if (value != "in" && value != "out") {
            throw Usage{"bad direction in '" + arg + "' (in or out)"};
        }
        changes.emplace_back(line, value == "in");
    }
    const unsigned int d1 = ReadIO(BaseAddress + VELMOGPIO_BANK1_DIRECTION);
    const unsigned int d2 = ReadIO(BaseAddress + VELMOGPIO_BANK2_DIRECTION);
    unsigned int word = 0;
    for (int line = 1; line <= VELMOGPIO_LINES; ++line) {
        if (is_input(VELMOGPIO_LINE_BANK(line) == 1 ? d1 : d2, line)) {
            word |= 1u << (line - 1);
        }
    }
    for (const auto &[line, input] : changes) {
        const unsigned int mask = 1u << (line - 1);
        word = input ? (word | mask) : (word & ~mask);
    }
    return VelmoGPIOConfig(word) == 0 ? kExitOk : failed();
}

int Tool::show(const std::vector<std::string> &args)
{
    bool json = false;
    for (const std::string &arg : args) {
        if (arg != "--json") {
            throw Usage{"show takes only --json, not '" + arg + "'"};
        }
        json = true;
    }
    int levels[VELMOGPIO_LINES] = {};
    for (int line = 1; line <= VELMOGPIO_LINES; ++line) {
        if (VelmoGPIOInputBit(line, &levels[line - 1]) != 0) {
            return failed();
        }
    }
    const unsigned int d1 = ReadIO(BaseAddress + VELMOGPIO_BANK1_DIRECTION);
    const unsigned int d2 = ReadIO(BaseAddress + VELMOGPIO_BANK2_DIRECTION);

    std::fputs(json ? "[" : "LINE DIR LEVEL BANK BIT\n", out_);
    for (int line = 1; line <= VELMOGPIO_LINES; ++line) {
        const int bank = VELMOGPIO_LINE_BANK(line);
        const int bit = VELMOGPIO_LINE_POS(line);
        const char *dir = is_input(bank == 1 ? d1 : d2, line) ? "in" : "out";
        if (json) {
            std::fprintf(out_, "%s\n  {\"line\": %d, \"direction\": \"%s\", \"level\": %d, \"bank\": %d, \"bit\": %d}",
                         line == 1 ? "" : ",", line, dir, levels[line - 1], bank, bit);
        } else {
            std::fprintf(out_, "%-4d %-3s %-5d %-4d %d\n", line, dir, levels[line - 1], bank, bit);
        }
    }
    if (json) {
        std::fputs("\n]\n", out_);
    }
    return kExitOk;
}

} // namespace

int velmogpio_main(int argc, const char *const argv[], std::FILE *out, std::FILE *err)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    try {
        const int status = Tool(out, err).run(args);
        // What was asked for and could not be said is a failure too (a
        // full disk, a closed pipe, >/dev/full).
        if (std::fflush(out) != 0 || std::ferror(out)) {
            std::fprintf(err, "velmogpio: cannot write its output: %s\n", std::strerror(errno));
            return status == kExitOk ? kExitFailed : status;
        }
        return status;
    } catch (const Usage &usage) {
        std::fprintf(err, "velmogpio: %s\nTry 'velmogpio --help'.\n", usage.what.c_str());
        return kExitUsage;
    }
}
