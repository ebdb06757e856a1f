#include "board_panel.h"

#include "board_relay.h"
#include "clock.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

using velmo::sim::Board;
using velmo::sim::BoardFile;

namespace {

// Set by SIGINT, SIGTERM and SIGHUP: the watch ends with status 0, the
// terminal as it was.
volatile std::sig_atomic_t g_stop = 0;

void on_stop(int)
{
    g_stop = 1;
}

// The stop signals are held back while the watch reads the board, and let
// through only while it waits (atomically, by ppoll) or writes. So one that
// comes at any moment ends the watch at once or at its next wait: it can
// never land between the last look at g_stop and a wait that would then
// last for ever.
class Stops {
public:
    Stops()
    {
        struct sigaction action {};
        action.sa_handler = on_stop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: a wait or a write returns at once
        sigemptyset(&stops_);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            sigaction(sig, &action, nullptr);
            sigaddset(&stops_, sig);
        }
        sigprocmask(SIG_BLOCK, &stops_, &saved_);
        open_ = saved_;
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            sigdelset(&open_, sig);
        }
    }
    ~Stops() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    Stops(const Stops &) = delete;
    Stops &operator=(const Stops &) = delete;

    // The mask to wait with.
    const sigset_t *open() const { return &open_; }

    // Whether a stop signal is held back: a wait whose input is ready at
    // once returns without letting it through, so input that never pauses
    // would keep it out for good.
    bool held() const
    {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            if (sigismember(&pending, sig) == 1) {
                return true;
            }
        }
        return false;
    }

    // Writes text to standard output with the stop signals let through, so
    // a reader that stopped reading cannot keep the watch from ending.
    bool put(const std::string &text) const
    {
        sigprocmask(SIG_SETMASK, &open_, nullptr);
        const bool ok = std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
        sigprocmask(SIG_BLOCK, &stops_, nullptr);
        return ok;
    }

private:
    sigset_t stops_{};
    sigset_t saved_{};
    sigset_t open_{};
};

// A time in microseconds since 1970 as the log writes it, in UTC:
// 2026-12-09T10:15:02.123456Z.
std::string timestamp(std::int64_t us)
{
    const time_t seconds = static_cast<time_t>(us / 1000000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%06ldZ", static_cast<long>(us % 1000000));
    return text;
}

// What a wait ended with.
struct Wake {
    bool end = false; // q, the end of input or a stop signal
    std::string keys; // other keys typed meanwhile
    std::string why;  // watching failed: the reason
};

// Whether standard input may be read: not a terminal, or one whose
// foreground we are. Read from the background (`velmo-board watch >log &`
// in an interactive shell) the terminal would stop the watch.
bool input_is_ours()
{
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground < 0 || foreground == getpgrp();
}

// Waits until the board file may have changed, a key comes, or the watch
// is to end. Standard input is read whatever it is (a terminal, a pipe, a
// file): q or its end ends the watch. A closed standard input is none.
Wake wait_for_change(const BoardFile &file, BoardEvents &events, const Stops &stops, bool &input)
{
    Wake wake;
    for (;;) {
        if (g_stop != 0 || stops.held()) {
            wake.end = true;
            return wake;
        }
        const bool keys = input && input_is_ours();
        pollfd fds[2] = {{events.fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        // Looked at again while the file is missing, or while the terminal
        // is someone else's (until the watch is brought to the foreground).
        const timespec look{0, 100000000};
        const bool looking = events.look_ms() >= 0 || (input && !keys);
        const int ready = ppoll(fds, keys ? 2 : 1, looking ? &look : nullptr, stops.open());
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            wake.why = std::strerror(errno);
            return wake;
        }
        bool changed = false;
        if (!events.drain(changed, wake.why)) {
            wake.why = "cannot watch " + file.path() + ": " + wake.why;
            return wake;
        }
        if (keys && (fds[1].revents & POLLNVAL) != 0) {
            input = false;
        } else if (keys && fds[1].revents != 0) {
            char data[64];
            const ssize_t n = read(STDIN_FILENO, data, sizeof data);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                wake.end = true; // the end of input
                return wake;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (data[i] == 'q' || data[i] == 'Q') {
                    wake.end = true;
                    return wake;
                }
                wake.keys += data[i];
            }
        }
        if (changed || !wake.keys.empty()) {
            return wake;
        }
    }
}

// The log: the board as it is, then a line for each change of what the
// pins show, in order, at the time its writer made it. Every writer
// records its change in the board file, which keeps the last
// BoardFile::kChangesKept: a watch held up for a while (a busy machine,
// a program writing a burst) still gives each of them, and one held up
// longer says how many it missed rather than merging them.
int log_changes(BoardFile &file, BoardEvents &events, const Stops &stops)
{
    std::string last; // the board of the last line
    std::uint64_t seen = 0;
    bool first = true;
    velmo::sim::Changes changes;
    std::string why;
    Board board;
    bool input = true;
    // Once more when the watch is to end, so the log ends with the board
    // as it was then, however soon after a write the end came.
    for (bool end = false;; end = end || g_stop != 0) {
        // At first only the board as it is: the changes before it are history.
        if (!file.read_changes(first ? ~std::uint64_t{0} : seen, board, changes, why)) {
            std::fprintf(stderr, "velmo-board: board file %s\n", why.c_str());
            return 1;
        }
        first = false;
        std::string text;
        if (changes.missed > 0) {
            text += timestamp(changes.kept.front().time_us) + " missed " + std::to_string(changes.missed) +
                    " changes (the watch fell more than " + std::to_string(BoardFile::kChangesKept) + " behind)\n";
        }
        for (const velmo::sim::Change &change : changes.kept) {
            last = change.pins.show();
            text += timestamp(change.time_us) + " " + last + "\n";
        }
        seen = changes.last; // lower than before when the file was replaced by an older one
        // The board as it is, where it differs: the first line, or a
        // change that no writer recorded (a file edited by hand).
        const std::string now = board.show();
        if (now != last) {
            text += timestamp(velmo::toolkit::wall_clock_us()) + " " + now + "\n";
            last = now;
        }
        if (!text.empty() && !stops.put(text)) {
            return g_stop != 0 ? 0 : 1; // a stop, or the reader has gone
        }
        if (end) {
            return 0;
        }
        const Wake wake = wait_for_change(file, events, stops, input);
        if (!wake.why.empty()) {
            std::fprintf(stderr, "velmo-board: %s\n", wake.why.c_str());
            return 1;
        }
        end = wake.end;
    }
}

// The terminal in the panel's mode, and back as it was however the panel
// ends.
class Terminal {
public:
    Terminal()
    {
        keys_ = isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved_) == 0;
        if (keys_) {
            termios raw = saved_;
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO); // keys one at a time, unechoed; Ctrl-C still works
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        }
        std::fputs("\033[?1049h\033[?25l", stdout); // own screen, no cursor
    }
    ~Terminal()
    {
        std::fputs("\033[?25h\033[?1049l", stdout);
        std::fflush(stdout);
        if (keys_) {
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
        }
    }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    bool keys() const { return keys_; }

private:
    termios saved_{};
    bool keys_ = false;
};

std::string panel(const BoardFile &file, const Board &board, bool keys)
{
    std::string text = "\033[H\033[2J";
    char line[160];
    std::snprintf(line, sizeof line, "Velmo board %s (base 0x%x)\r\n\r\n", file.path().c_str(), board.base());
    text += line;
    text += "LINE     ";
    for (int n = 1; n <= 8; ++n) {
        std::snprintf(line, sizeof line, " %-4d", n);
        text += line;
    }
    text += "\r\nDIR      ";
    for (int n = 1; n <= 8; ++n) {
        text += board.line(n).input ? " in  " : " out ";
    }
    text += "\r\nLEVEL    ";
    for (int n = 1; n <= 8; ++n) {
        text += board.line(n).level != 0 ? " \033[1;32m(*)\033[0m " : " ( ) ";
    }
    text += "\r\nOUTSIDE  ";
    for (int n = 1; n <= 8; ++n) {
        text += board.line(n).outside != 0 ? " 1   " : " 0   ";
    }
    text += keys ? "\r\n\r\nkeys 1-8: toggle the outside level of a line   q: quit\r\n" : "\r\n\r\nCtrl-C: quit\r\n";
    return text;
}

// The panel until q, the end of input or a stop signal (an empty result),
// or a failure (its reason).
std::string panel_loop(BoardFile &file, BoardEvents &events, const Stops &stops, bool keys)
{
    std::string why;
    Board board;
    bool input = true;
    for (;;) {
        if (!file.read(board, why)) {
            return "board file " + why;
        }
        if (!stops.put(panel(file, board, keys)) && g_stop == 0) {
            return std::strerror(errno);
        }
        const Wake wake = wait_for_change(file, events, stops, input);
        if (!wake.why.empty() || wake.end) {
            return wake.why;
        }
        for (const char key : wake.keys) {
            if (key >= '1' && key <= '8') {
                const int n = key - '0';
                const auto toggle = [n](Board &now) { now.set_outside(n, now.line(n).outside == 0 ? 1 : 0); };
                if (!file.update(toggle, board, why)) {
                    return "board file " + why;
                }
            }
        }
    }
}

int show_panel(BoardFile &file, BoardEvents &events, const Stops &stops)
{
    std::string why;
    {
        Terminal terminal;
        why = panel_loop(file, events, stops, terminal.keys());
    }
    // Once the terminal is back, so the message stays on the screen.
    if (!why.empty()) {
        std::fprintf(stderr, "velmo-board: %s\n", why.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int run_watch(BoardFile &file)
{
    const Stops stops;
    BoardEvents events;
    std::string why;
    if (!events.watch(file.path(), why)) {
        std::fprintf(stderr, "velmo-board: cannot watch %s: %s\n", file.path().c_str(), why.c_str());
        return 1;
    }
    if (isatty(STDOUT_FILENO) == 0) {
        return log_changes(file, events, stops);
    }
    return show_panel(file, events, stops);
}
