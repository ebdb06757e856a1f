#include "options.h"

#include <cstring>

namespace velmo::emu {

const char kUsage[] =
    "usage: velmo-emu [--trace FILE] [--vcd FILE] [--board FILE] [--show] [--line N=0|1]... [--base PORT] [--deny]\n"
    "                 [--clock real|board|virtual] [--port-time TIME] [--epoch SECONDS] [--trace-time]\n"
    "                 [--] PROGRAM [ARG...]\n"
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
    "  --clock real|board|virtual\n"
    "                 the clock PROGRAM sees: real, the machine's (default); board, the\n"
    "                 board's, without velmo-emu's own time; virtual, modelled time only\n"
    "  --port-time TIME  what one port access takes on the board's clock (default 1us;\n"
    "                 ns, us, ms or s)\n"
    "  --epoch SECONDS   CLOCK_REALTIME at the start of a virtual run, in seconds since\n"
    "                 1970 (default 1735689600, 2025-01-01 00:00:00 UTC)\n"
    "  --trace-time   begin each trace line with the run's clock in microseconds\n"
    "Exit status: PROGRAM's, once it and everything it started have ended; 128+N if\n"
    "it is killed by signal N; 127 if it cannot be started; 125 if velmo-emu cannot\n"
    "serve it (bad options, a refused board file, a trace it cannot write, an\n"
    "unsupported port instruction).\n";

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

// Seconds since 1970, in decimal, up to the year 9999.
bool parse_epoch(const char *text, std::int64_t &out)
{
    std::int64_t value = 0;
    if (*text == '\0' || (text[0] == '0' && text[1] != '\0')) {
        return false;
    }
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        value = value * 10 + (*p - '0');
        if (value > 253402300799) {
            return false;
        }
    }
    out = value;
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
            options.has_base = true;
        } else if (arg == "--deny") {
            options.deny = true;
        } else if (arg == "--clock") {
            if (!value_of("--clock", value)) {
                return false;
            }
            if (!parse_clock_mode(value, options.clock)) {
                error = std::string("--clock wants real, board or virtual, not \"") + value + "\"";
                return false;
            }
        } else if (arg == "--port-time") {
            if (!value_of("--port-time", value)) {
                return false;
            }
            if (!parse_duration(value, options.port_time_ns)) {
                error = std::string("--port-time wants a time up to 1s, as 1us, 250ns or 2ms, not \"") + value + "\"";
                return false;
            }
        } else if (arg == "--epoch") {
            if (!value_of("--epoch", value)) {
                return false;
            }
            if (!parse_epoch(value, options.epoch_s)) {
                error = std::string("--epoch wants whole seconds since 1970, not \"") + value + "\"";
                return false;
            }
            options.has_epoch = true;
        } else if (arg == "--trace-time") {
            options.trace_time = true;
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
    if (options.has_epoch && options.clock != ClockMode::Virtual) {
        error = "--epoch is for --clock virtual; the other clocks start at the machine's time";
        return false;
    }
    return true;
}

} // namespace velmo::emu
