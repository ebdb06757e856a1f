#include "options.h"

#include "board.h"

#include <cstring>

namespace velmo::emu {

namespace {

// The register block reaches 0x38 ports past its base.
constexpr unsigned kHighestBase = 0xffff - velmo::sim::kBank2Data;
static_assert(kHighestBase == 0xffc7, "the message names the highest base");

} // namespace

const char kUsage[] =
    "usage: velmo-emu [--trace FILE] [--vcd FILE] [--board FILE] [--show] [--line N=0|1]... [--base PORT] [--deny] [--] PROGRAM [ARG...]\n"
    "Runs PROGRAM with its I/O ports served by a simulated Velmo board.\n"
    "  --trace FILE   write every ioperm, in and out to FILE, one line each\n"
    "  --vcd FILE     write the eight lines over time to FILE, a Value Change Dump\n"
    "                 (GTKWave, PulseView, sigrok)\n"
    "  --board FILE   the board lives in FILE (created when missing), shared live with\n"
    "                 other runs and velmo-board; default $VELMO_BOARD, else in memory\n"
    "  --show         after each write to a GPIO register, print the eight lines on stderr\n"
    "  --line N=0|1   level driven onto line N (1-8) from outside; repeatable\n"
    "  --base PORT    move the board's register block to PORT (default 0x500), decimal or 0x hex\n"
    "  --deny         refuse every ioperm request (EPERM), as for an unprivileged process\n"
    "Exit status: PROGRAM's, once it and everything it started have ended; 128+N if\n"
    "it is killed by signal N (SIGTERM and SIGHUP are passed on to it); 126 if its\n"
    "file capabilities cannot be granted here; 127 if it cannot be started; 125 if\n"
    "velmo-emu cannot serve it (bad options, a refused board file, a trace it cannot\n"
    "write, an unsupported port instruction).\n";

namespace {

bool parse_line(const char *text, LineLevel &out)
{
    // Exactly "N=L" with N a digit 1-8 and L 0 or 1.
    if (std::strlen(text) != 3 || text[1] != '=' || text[0] < '1' || text[0] > '8' ||
        (text[2] != '0' && text[2] != '1')) {
        return false;
    }
    out.line = text[0] - '0';
    out.level = text[2] - '0';
    return true;
}

// A port as people write one: decimal without leading zeros (0500 would be
// octal to strtoul, and to the reader perhaps not), or hex after 0x, its
// digits padded or not (0x0500, as a board file writes it); nothing before
// or after, no sign, no blanks.
bool parse_port(const char *text, std::uint16_t &out)
{
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = hex ? text + 2 : text;
    if (*digits == '\0' || (!hex && digits[0] == '0' && digits[1] != '\0')) {
        return false;
    }
    unsigned long value = 0;
    for (const char *p = digits; *p != '\0'; ++p) {
        unsigned long digit = 0;
        if (*p >= '0' && *p <= '9') {
            digit = static_cast<unsigned long>(*p - '0');
        } else if (hex && *p >= 'a' && *p <= 'f') {
            digit = static_cast<unsigned long>(*p - 'a' + 10);
        } else if (hex && *p >= 'A' && *p <= 'F') {
            digit = static_cast<unsigned long>(*p - 'A' + 10);
        } else {
            return false;
        }
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0xFFFF) {
            return false;
        }
    }
    out = static_cast<std::uint16_t>(value);
    return true;
}

} // namespace

bool parse_options(int argc, const char *const *argv, Options &options, std::string &error)
{
    int i = 1;
    auto value_of = [&](const char *name, const char *&value) {
        if (i + 1 >= argc) {
            error = std::string(name) + " needs a value";
            return false;
        }
        value = argv[++i];
        return true;
    };
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = nullptr;
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg[0] != '-') {
            break;
        }
        if (arg == "--trace") {
            if (!value_of("--trace", value)) {
                return false;
            }
            options.trace_file = value;
        } else if (arg == "--vcd") {
            if (!value_of("--vcd", value)) {
                return false;
            }
            if (*value == '\0') {
                error = "--vcd needs a file name";
                return false;
            }
            options.vcd_file = value;
        } else if (arg == "--board" || arg == "--state") { // --state: its earlier name
            if (!value_of(arg.c_str(), value)) {
                return false;
            }
            if (*value == '\0') {
                error = arg + " needs a file name";
                return false;
            }
            options.board_file = value;
        } else if (arg == "--show") {
            options.show = true;
        } else if (arg == "--line") {
            LineLevel line{};
            if (!value_of("--line", value)) {
                return false;
            }
            if (!parse_line(value, line)) {
                error = std::string("--line wants N=0 or N=1 with N from 1 to 8, not \"") + value + "\"";
                return false;
            }
            options.lines.push_back(line);
        } else if (arg == "--base") {
            if (!value_of("--base", value)) {
                return false;
            }
            if (!parse_port(value, options.base)) {
                error = std::string("--base wants a port from 0 to 0xffff, in decimal or 0x hex, not \"") + value + "\"";
                return false;
            }
            if (options.base > kHighestBase) {
                // The block would wrap round to the ports at 0.
                error = std::string("--base ") + value + " puts the register block past port 0xffff; the highest base is 0xffc7";
                return false;
            }
            options.has_base = true;
        } else if (arg == "--deny") {
            options.deny = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
            return true;
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    for (; i < argc; ++i) {
        options.command.emplace_back(argv[i]);
    }
    if (options.command.empty()) {
        error = "no PROGRAM given";
        return false;
    }
    return true;
}

} // namespace velmo::emu
