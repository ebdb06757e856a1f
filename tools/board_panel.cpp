#include "board_panel.h"

#include "board_relay.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

using velmo::sim::Board;
using velmo::sim::BoardFile;

namespace {

// Set by SIGINT, SIGTERM and SIGHUP: the watch ends cleanly, the terminal
// as it was.
volatile std::sig_atomic_t g_stop = 0;

void on_stop(int)
{
    g_stop = 1;
}

void catch_stops()
{
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: poll returns at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &action, nullptr);
    }
}

std::string timestamp()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%06ldZ", now.tv_nsec / 1000);
    return text;
}

// The log: the board as it is, then a line each time what the pins show
// changes.
int log_changes(BoardFile &file, BoardEvents &events)
{
    std::string last;
    std::string why;
    Board board;
    for (;;) {
        if (!file.read(board, why)) {
            std::fprintf(stderr, "velmo-board: board file %s\n", why.c_str());
            return 1;
        }
        const std::string now = board.show();
        if (now != last) {
            if (std::printf("%s %s\n", timestamp().c_str(), now.c_str()) < 0 || std::fflush(stdout) != 0) {
                return 1; // the reader has gone
            }
            last = now;
        }
        while (!events.next(-1, why)) {
            if (!why.empty()) {
                std::fprintf(stderr, "velmo-board: cannot watch %s: %s\n", file.path().c_str(), why.c_str());
                return 1;
            }
            if (g_stop != 0) {
                return 0;
            }
        }
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
    text += keys ? "\r\n\r\nkeys 1-8: toggle the outside level of a line   q: quit\r\n"
                 : "\r\n\r\nCtrl-C: quit\r\n";
    return text;
}

// The panel until q, the end of input or a stop signal (an empty result),
// or a failure (its reason).
std::string panel_loop(BoardFile &file, BoardEvents &events, bool keys)
{
    std::string why;
    Board board;
    for (;;) {
        if (!file.read(board, why)) {
            return "board file " + why;
        }
        std::fputs(panel(file, board, keys).c_str(), stdout);
        std::fflush(stdout);

        pollfd fds[2] = {{events.fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, keys ? 2 : 1, -1) < 0) {
            if (g_stop != 0) {
                return "";
            }
            if (errno == EINTR) {
                continue;
            }
            return std::strerror(errno);
        }
        if ((fds[0].revents & POLLIN) != 0 && !events.drain(why)) {
            return "cannot watch " + file.path() + ": " + why;
        }
        if (keys && fds[1].revents != 0) {
            char key = 0;
            if (read(STDIN_FILENO, &key, 1) != 1 || key == 'q' || key == 'Q') {
                return ""; // q, or the end of input
            }
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

int show_panel(BoardFile &file, BoardEvents &events)
{
    std::string why;
    {
        Terminal terminal;
        why = panel_loop(file, events, terminal.keys());
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
    catch_stops();
    BoardEvents events;
    std::string why;
    if (!events.watch(file.path(), why)) {
        std::fprintf(stderr, "velmo-board: cannot watch %s: %s\n", file.path().c_str(), why.c_str());
        return 1;
    }
    if (isatty(STDOUT_FILENO) == 0) {
        return log_changes(file, events);
    }
    return show_panel(file, events);
}
