// velmogpio: get, set, configure and show the board's eight lines.
//
// Every argument is checked before the first operation, so a usage error
// touches no port and a command is never half done for a typo. The lines
// live in the board's registers, so what a command sets stays set.
#include "velmogpio_cli.h"
#include "cli.h"
#include "velmogpio_rules.h"
#include "velmogpio_watch.h"

#include "VELMOGPIOLib.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using velmo::cli::kExitFailed;
using velmo::cli::kExitOk;
using velmo::cli::Usage;

const char kUsage[] = "Usage: velmogpio COMMAND [ARG...]\n"
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
                      "Lines are numbered 1 to 8; set, config and watch name each once. Numbers are\n"
                      "decimal or 0x hex, without leading zeros; an option's value follows it or\n"
                      "an '='.\n"
                      "Exit status: 0 done, 1 the board refused (the message says why), 2 bad\n"
                      "arguments (nothing was touched).\n";

const velmo::cli::Program kProgram{"velmogpio", kUsage, velmo::cli::kExitUsage};

using velmo::gpio::is_input;

// Whether this process runs under velmo-emu: traced by a process of that
// name.
bool under_velmo_emu()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long tracer = 0;
    while (status >> key) {
        if (key == "TracerPid:") {
            status >> tracer;
            break;
        }
    }
    if (tracer <= 0) {
        return false;
    }
    std::ifstream comm("/proc/" + std::to_string(tracer) + "/comm");
    std::string name;
    return std::getline(comm, name) && name == "velmo-emu";
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

    int failed() { return velmogpio_failed(err_); }

    std::FILE *out_;
    std::FILE *err_;
};

int Tool::run(const std::vector<std::string> &args)
{
    velmo::cli::Words words(args);
    if (velmo::cli::help_or_version(kProgram, words, out_)) {
        return kExitOk;
    }
    if (words.empty()) {
        throw Usage{"no command given"};
    }
    if (words.is_option()) {
        words.unknown_option();
    }
    const std::string command = words.take();
    const std::vector<std::string> rest = words.rest();
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
    // A line may be read twice: nothing a reading says can contradict
    // another.
    std::vector<int> lines;
    for (const std::string &arg : args) {
        lines.push_back(velmo::cli::parse_line(arg));
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
    velmo::cli::LineLevels drives;
    for (const std::string &arg : args) {
        drives.add(arg);
    }
    for (const auto &[line, level] : drives.list()) {
        if (VelmoGPIOOutputBit(line, static_cast<unsigned int>(level)) != 0) {
            return failed();
        }
        // The library latches the level whatever the direction (a program
        // may preload a level before making the line an output); the pin
        // shows it only then, so say so.
        if (is_input(ReadIO(BaseAddress + VELMOGPIO_DIRECTION_REGISTER(line)), line)) {
            velmo::cli::say("velmogpio",
                            "line " + std::to_string(line) + " is an input: level latched, shown once it is an output",
                            err_);
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
        return VelmoGPIOConfig(velmo::cli::parse_word(args[0])) == 0 ? kExitOk : failed();
    }

    // Named lines only: the others as the board has them now. Each line is
    // named once, so there are at most eight.
    int lines[VELMOGPIO_LINES] = {};
    bool inputs[VELMOGPIO_LINES] = {};
    velmo::cli::Lines named;
    for (const std::string &arg : args) {
        const auto [line, value] = velmo::cli::parse_assignment(arg);
        if (value != "in" && value != "out") {
            throw Usage{"bad direction in '" + arg + "' (in or out)"};
        }
        named.add(line);
        lines[named.list().size() - 1] = line;
        inputs[named.list().size() - 1] = value == "in";
    }
    const int count = static_cast<int>(named.list().size());
    return velmo::gpio::config_lines(lines, inputs, count) == 0 ? kExitOk : failed();
}

int Tool::show(const std::vector<std::string> &args)
{
    bool json = false;
    velmo::cli::Words words(args);
    while (!words.empty()) {
        if (!words.flag("--json")) {
            throw Usage{"show takes only --json, not '" + words.peek() + "'"};
        }
        json = true;
    }
    int levels[VELMOGPIO_LINES] = {};
    for (int line = 1; line <= VELMOGPIO_LINES; ++line) {
        if (VelmoGPIOInputBit(line, &levels[line - 1]) != 0) {
            return failed();
        }
    }
    unsigned int d1 = 0;
    unsigned int d2 = 0;
    velmo::gpio::read_directions(&d1, &d2);

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

int velmogpio_failed(std::FILE *err)
{
    char *text = nullptr;
    KVNGetLastError(&text);
    velmo::cli::say("velmogpio", text, err);
    // A board file is served to programs run under velmo-emu; outside it,
    // the refusal is the kernel's, and the way on is velmo-emu.
    const char *board = std::getenv("VELMO_BOARD");
    if (board != nullptr && *board != '\0' && std::strncmp(text, "I/O port", 8) == 0 && !under_velmo_emu()) {
        velmo::cli::say("velmogpio",
                        "VELMO_BOARD is set, but its board serves only programs run under velmo-emu: "
                        "run this command as velmo-emu velmogpio ...",
                        err);
    }
    return kExitFailed;
}

int velmogpio_main(int argc, const char *const argv[], std::FILE *out, std::FILE *err)
{
    try {
        const int status = Tool(out, err).run(velmo::cli::Words(argc, argv).rest());
        // What was asked for and could not be said is a failure too (a
        // full disk, a closed pipe, >/dev/full).
        if (std::fflush(out) != 0 || std::ferror(out)) {
            std::fprintf(err, "velmogpio: cannot write its output: %s\n", std::strerror(errno));
            return status == kExitOk ? kExitFailed : status;
        }
        return status;
    } catch (const Usage &usage) {
        return velmo::cli::refuse(kProgram, usage, err);
    }
}
