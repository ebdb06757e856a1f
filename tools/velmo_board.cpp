// velmo-board: the world outside a virtual Velmo board kept in a board
// file. Shows what the lines do while programs run on the board under
// velmo-emu, drives levels onto them from outside as a button or a sensor
// would, and waits for a program to drive a line.
//
// Every argument is checked before the board file is touched, so a usage
// error changes nothing.
#include "board_file.h"
#include "board_panel.h"
#include "board_relay.h"
#include "cli.h"
#include "clock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using velmo::cli::kExitFailed; // a timeout, or the board file was refused
using velmo::cli::kExitOk;
using velmo::cli::kExitUsage; // bad arguments; the file was not touched
using velmo::cli::LineLevels;
using velmo::cli::Usage;
using velmo::cli::Words;
using velmo::sim::Board;
using velmo::sim::BoardFile;

const char kUsage[] = "Usage: velmo-board [--board FILE] COMMAND [ARG...]\n"
                      "The world outside a virtual Velmo board that programs run on under velmo-emu.\n"
                      "\n"
                      "  show [--json]                       each line's direction, level, latch and\n"
                      "                                      outside level\n"
                      "  pull LINE=0|1...                    drive levels onto lines from outside\n"
                      "  wait LINE=0|1... [--timeout SECS]   wait until the lines show these levels\n"
                      "                                      (default timeout 10 s)\n"
                      "  watch                               a live panel; keys 1-8 toggle a line's\n"
                      "                                      outside level, q quits (one line per\n"
                      "                                      change when not on a terminal)\n"
                      "  reset                               power-on state (the base port stays)\n"
                      "  --help, --version\n"
                      "\n"
                      "FILE defaults to $VELMO_BOARD; a missing FILE is created as a power-on board.\n"
                      "Exit status: 0 done, 1 timeout or the file was refused, 2 bad arguments.\n";

// "LINE=0|1" arguments, each line named once, as every tool takes them.
LineLevels parse_levels(const std::vector<std::string> &args, const char *command)
{
    LineLevels levels;
    for (const std::string &arg : args) {
        levels.add(arg);
    }
    if (levels.empty()) {
        throw Usage{std::string(command) + " needs at least one LINE=0|1"};
    }
    return levels;
}

class Tool {
public:
    explicit Tool(std::string path) : path_(std::move(path)) {}

    int show(const std::vector<std::string> &args);
    int pull(const std::vector<std::string> &args);
    int wait(const std::vector<std::string> &args);
    int watch(const std::vector<std::string> &args);
    int reset(const std::vector<std::string> &args);

private:
    // Called once the command's arguments are checked.
    bool open()
    {
        if (path_.empty()) {
            throw Usage{"no board file: give --board FILE or set VELMO_BOARD"};
        }
        std::string why;
        if (!file_.open(path_, why)) {
            return refused(why);
        }
        return true;
    }
    bool refused(const std::string &why)
    {
        std::fprintf(stderr, "velmo-board: board file %s\n", why.c_str());
        return false;
    }

    std::string path_;
    BoardFile file_;
};

void no_arguments(const char *command, const std::vector<std::string> &args)
{
    if (!args.empty()) {
        throw Usage{std::string(command) + " takes no arguments, not '" + args[0] + "'"};
    }
}

int Tool::show(const std::vector<std::string> &args)
{
    bool json = false;
    for (Words words(args); !words.empty();) {
        if (!words.flag("--json")) {
            throw Usage{"show takes only --json, not '" + words.peek() + "'"};
        }
        json = true;
    }
    Board board;
    std::string why;
    if (!open() || (!file_.read(board, why) && !refused(why))) {
        return kExitFailed;
    }
    std::fputs(json ? "[" : "LINE DIR LEVEL LATCH OUTSIDE\n", stdout);
    for (int n = 1; n <= 8; ++n) {
        const velmo::sim::Line l = board.line(n);
        const char *dir = l.input ? "in" : "out";
        if (json) {
            std::printf("%s\n  {\"line\": %d, \"direction\": \"%s\", \"level\": %d, \"latch\": %d, \"outside\": %d}",
                        n == 1 ? "" : ",", n, dir, l.level, l.latch, l.outside);
        } else {
            std::printf("%-4d %-3s %-5d %-5d %d\n", n, dir, l.level, l.latch, l.outside);
        }
    }
    if (json) {
        std::fputs("\n]\n", stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "velmo-board: cannot write the board: %s\n", std::strerror(errno));
        return kExitFailed;
    }
    return kExitOk;
}

int Tool::pull(const std::vector<std::string> &args)
{
    const auto levels = parse_levels(args, "pull");
    Board board;
    std::string why;
    const auto drive = [&levels](Board &now) {
        for (const velmo::cli::LineLevel &wanted : levels.list()) {
            now.set_outside(wanted.line, wanted.level);
        }
    };
    if (!open() || (!file_.update(drive, board, why) && !refused(why))) {
        return kExitFailed;
    }
    return kExitOk;
}

int Tool::reset(const std::vector<std::string> &args)
{
    no_arguments("reset", args);
    Board board;
    std::string why;
    const auto power_on = [](Board &now) {
        Board fresh;
        fresh.set_base(now.base());
        now = fresh;
    };
    if (!open() || (!file_.update(power_on, board, why) && !refused(why))) {
        return kExitFailed;
    }
    return kExitOk;
}

int Tool::wait(const std::vector<std::string> &args)
{
    std::vector<std::string> wanted;
    std::string timeout_text = "10";
    for (Words words(args); !words.empty();) {
        if (!words.is_option()) {
            wanted.push_back(words.take());
        } else if (!words.value("--timeout", timeout_text)) {
            words.unknown_option();
        }
    }
    const auto levels = parse_levels(wanted, "wait");
    const std::int64_t timeout_ns = velmo::cli::parse_timeout("--timeout", timeout_text);

    if (!open()) {
        return kExitFailed;
    }
    // Watched before the first look, so no write between the two is missed.
    BoardEvents events;
    std::string why;
    if (!events.watch(path_, why)) {
        std::fprintf(stderr, "velmo-board: cannot watch %s: %s\n", path_.c_str(), why.c_str());
        return kExitFailed;
    }
    const std::int64_t deadline_ns = velmo::toolkit::monotonic_ns() + timeout_ns;
    Board board;
    for (;;) {
        if (!file_.read(board, why)) {
            refused(why);
            return kExitFailed;
        }
        bool all = true;
        for (const velmo::cli::LineLevel &want : levels.list()) {
            all = all && board.line(want.line).level == want.level;
        }
        if (all) {
            return kExitOk;
        }
        const std::int64_t left_ms = (deadline_ns - velmo::toolkit::monotonic_ns()) / 1000000;
        if (left_ms <= 0 || !events.next(static_cast<int>(left_ms) + 1, why)) {
            break;
        }
    }
    if (!why.empty()) {
        std::fprintf(stderr, "velmo-board: cannot watch %s: %s\n", path_.c_str(), why.c_str());
        return kExitFailed;
    }
    std::string want, shown;
    for (const velmo::cli::LineLevel &line : levels.list()) {
        want += " " + std::to_string(line.line) + "=" + std::to_string(line.level);
        shown += " " + std::to_string(line.line) + "=" + std::to_string(board.line(line.line).level);
    }
    std::fprintf(stderr, "velmo-board: timed out after %s s waiting for%s; the lines show%s\n", timeout_text.c_str(),
                 want.c_str(), shown.c_str());
    return kExitFailed;
}

int Tool::watch(const std::vector<std::string> &args)
{
    no_arguments("watch", args);
    if (!open()) {
        return kExitFailed;
    }
    return run_watch(file_);
}

const velmo::cli::Program kProgram{"velmo-board", kUsage, kExitUsage};

int run(int argc, char **argv)
{
    Words words(argc, argv);
    std::string path;
    bool have_path = false;
    while (words.is_option()) {
        if (velmo::cli::help_or_version(kProgram, words, stdout)) {
            return kExitOk;
        }
        if (!words.value("--board", path)) {
            words.unknown_option();
        }
        if (path.empty()) {
            throw Usage{"--board needs a file name"};
        }
        have_path = true;
    }
    if (words.empty()) {
        throw Usage{"no command given"};
    }
    const std::string command = words.take();
    const std::vector<std::string> rest = words.rest();
    using Command = int (Tool::*)(const std::vector<std::string> &);
    const std::pair<const char *, Command> commands[] = {
        {"show", &Tool::show},   {"pull", &Tool::pull},   {"wait", &Tool::wait},
        {"watch", &Tool::watch}, {"reset", &Tool::reset},
    };
    for (const auto &[name, method] : commands) {
        if (command != name) {
            continue;
        }
        if (!have_path) {
            const char *env = std::getenv("VELMO_BOARD");
            path = env != nullptr ? env : "";
        }
        Tool tool(path);
        return (tool.*method)(rest);
    }
    throw Usage{"unknown command '" + command + "'"};
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const Usage &usage) {
        return velmo::cli::refuse(kProgram, usage, stderr);
    }
}
