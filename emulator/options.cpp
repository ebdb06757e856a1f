#include "options.h"

#include "board.h"

namespace velmo::emu {

namespace {

// The register block reaches 0x38 ports past its base.
constexpr unsigned kHighestBase = 0xffff - velmo::sim::kBank2Data;
static_assert(kHighestBase == 0xffc7, "the message names the highest base");

} // namespace

const char kUsage[] =
    "usage: velmo-emu [--trace FILE] [--vcd FILE] [--board FILE] [--show] [--line N=0|1]... [--base PORT] [--deny]\n"
    "                 [--clock real|board|virtual] [--port-time TIME] [--epoch SECONDS] [--trace-time]\n"
    "                 [--] PROGRAM [ARG...]\n"
    "       velmo-emu --help | --version\n"
    "Runs PROGRAM with its I/O ports served by a simulated Velmo board.\n"
    "  --trace FILE   write every ioperm, in and out to FILE, one line each\n"
    "  --vcd FILE     write the eight lines over time to FILE, a Value Change Dump\n"
    "                 (GTKWave, PulseView, sigrok)\n"
    "  --board FILE   the board lives in FILE (created when missing), shared live with\n"
    "                 other runs and velmo-board; default $VELMO_BOARD, else in memory\n"
    "  --state FILE   the earlier name of --board\n"
    "  --show         after each write to a GPIO register, print the eight lines on stderr\n"
    "  --line N=0|1   level driven onto line N (1-8) from outside; repeatable, each\n"
    "                 line once\n"
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
    "  --help         print this help and exit\n"
    "  --version      print the version and exit\n"
    "Numbers are decimal or 0x hex, without leading zeros; an option's value follows\n"
    "it or an '=' (--base=0x600).\n"
    "Exit status: PROGRAM's, once it and everything it started have ended; 128+N if\n"
    "it is killed by signal N (SIGTERM and SIGHUP are passed on to it); 126 if its\n"
    "file capabilities cannot be granted here; 127 if it cannot be started; 125 if\n"
    "velmo-emu cannot serve it (bad options, a refused board file, a trace it cannot\n"
    "write, an unsupported port instruction).\n";

namespace {

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

const velmo::cli::Program kProgram{"velmo-emu", kUsage, velmo::cli::kExitCannotServe};

bool parse_options(int argc, const char *const *argv, Options &options, std::string &error)
{
    velmo::cli::Words words(argc, argv);
    velmo::cli::LineLevels lines;
    try {
        while (words.is_option()) {
            std::string value;
            if (words.peek() == "--help" || words.peek() == "-h") {
                options.help = true;
                return true;
            }
            if (words.peek() == "--version") {
                options.version = true;
                return true;
            }
            if (words.value("--trace", value)) {
                options.trace_file = value;
            } else if (words.value("--vcd", value)) {
                if (value.empty()) {
                    throw velmo::cli::Usage{"--vcd needs a file name"};
                }
                options.vcd_file = value;
            } else if (words.value("--board", value) || words.value("--state", value)) { // --state: its earlier name
                if (value.empty()) {
                    throw velmo::cli::Usage{"--board needs a file name"};
                }
                options.board_file = value;
            } else if (words.flag("--show")) {
                options.show = true;
            } else if (words.value("--line", value)) {
                lines.add(value);
            } else if (words.value("--base", value)) {
                options.base = velmo::cli::parse_port(value);
                if (options.base > kHighestBase) {
                    // The block would wrap round to the ports at 0.
                    throw velmo::cli::Usage{"--base " + value +
                                            " puts the register block past port 0xffff; the highest base is 0xffc7"};
                }
                options.has_base = true;
            } else if (words.flag("--deny")) {
                options.deny = true;
            } else if (words.value("--clock", value)) {
                if (!parse_clock_mode(value, options.clock)) {
                    throw velmo::cli::Usage{"--clock wants real, board or virtual, not '" + value + "'"};
                }
            } else if (words.value("--port-time", value)) {
                options.port_time_ns = velmo::cli::parse_duration(
                    value, kNsPerUs, 0, kNsPerS, "--port-time wants a time up to 1s, as 1us, 250ns or 2ms");
            } else if (words.value("--epoch", value)) {
                if (!parse_epoch(value.c_str(), options.epoch_s)) {
                    throw velmo::cli::Usage{"--epoch wants whole seconds since 1970, not '" + value + "'"};
                }
                options.has_epoch = true;
            } else if (words.flag("--trace-time")) {
                options.trace_time = true;
            } else {
                words.unknown_option();
            }
        }
        if (!words.empty() && words.peek() == "--") {
            words.take();
        }
        options.lines = lines.list();
        options.command = words.rest();
        if (options.command.empty()) {
            throw velmo::cli::Usage{"no PROGRAM given"};
        }
        if (options.has_epoch && options.clock != ClockMode::Virtual) {
            throw velmo::cli::Usage{"--epoch is for --clock virtual; the other clocks start at the machine's time"};
        }
    } catch (const velmo::cli::Usage &usage) {
        error = usage.what;
        return false;
    }
    return true;
}

} // namespace velmo::emu
