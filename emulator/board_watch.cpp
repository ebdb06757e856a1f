#include "board_watch.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
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

constexpr std::uint32_t kMask = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;

// Watches path with inotify instance fd: the watch, or -1 when nothing is
// at the path; false (and why) when watching fails.
bool arm(int fd, const std::string &path, int &wd, std::string &why)
{
    wd = inotify_add_watch(fd, path.c_str(), kMask);
    if (wd < 0 && errno != ENOENT) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

// Takes the events that have arrived on fd, without waiting, and follows
// the path when the file was replaced or removed: true when any came.
bool take_events(int fd, const std::string &path, int &wd, std::string &why)
{
    alignas(inotify_event) char data[4096];
    bool any = false;
    bool rearm = false;
    for (;;) {
        const ssize_t n = read(fd, data, sizeof data);
        if (n <= 0) {
            break;
        }
        any = true;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(data + at);
            rearm = rearm || (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB)) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (rearm && !arm(fd, path, wd, why)) {
        return false;
    }
    return any;
}

// The relay: a child that holds the inotify instance and writes a byte to
// out for each batch of events, until the reader of out has gone. Closing
// an inotify instance waits for the kernel's RCU grace period (up to 20 ms
// here), so the last close is left to this child: the command itself ends
// as soon as it knows.
[[noreturn]] void relay(int fd, int out, const std::string &path, int wd)
{
    for (int sig : {SIGINT, SIGHUP, SIGTSTP}) {
        signal(sig, SIG_IGN);
    }
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
    // Nothing of the command's but these two: a pipe the command writes to
    // must see its end when the command ends.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int n = 0; n <= 2 && null >= 0; ++n) {
        dup2(null, n);
    }
    const unsigned lo = static_cast<unsigned>(fd < out ? fd : out);
    const unsigned hi = static_cast<unsigned>(fd < out ? out : fd);
    close_range(3, lo - 1, 0);
    close_range(lo + 1, hi - 1, 0);
    close_range(hi + 1, ~0u, 0);
    std::string why;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {out, 0, 0}};
        const int ready = poll(fds, 2, wd < 0 ? 100 : -1);
        if ((fds[1].revents & (POLLERR | POLLHUP)) != 0) {
            _exit(0);
        }
        bool changed = ready > 0 && take_events(fd, path, wd, why);
        if (ready == 0 && wd < 0 && arm(fd, path, wd, why) && wd >= 0) {
            changed = true; // a file at the path again
        }
        if (changed && write(out, "c", 1) < 0 && errno != EAGAIN) {
            _exit(0);
        }
    }
}

} // namespace

BoardEvents::~BoardEvents()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool BoardEvents::watch(const std::string &path, std::string &why)
{
    const int ino = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (ino < 0) {
        why = std::strerror(errno);
        return false;
    }
    int wd = -1;
    int p[2];
    if (!arm(ino, path, wd, why) || pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
        why = why.empty() ? std::strerror(errno) : why;
        close(ino);
        return false;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(p[0]);
        relay(ino, p[1], path, wd);
    }
    const int error = errno;
    close(ino); // the child holds it
    close(p[1]);
    if (child < 0) {
        why = std::string("fork: ") + std::strerror(error);
        close(p[0]);
        return false;
    }
    fd_ = p[0];
    return true;
}

bool BoardEvents::drain(std::string &why)
{
    char bytes[64];
    ssize_t n = 0;
    while ((n = read(fd_, bytes, sizeof bytes)) > 0) {
    }
    if (n == 0) {
        why = "the watch on the file ended";
        return false;
    }
    return true;
}

bool BoardEvents::next(int timeout_ms, std::string &why)
{
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, timeout_ms);
    if (ready < 0) {
        if (errno != EINTR) {
            why = std::strerror(errno);
        }
        return false;
    }
    return ready > 0 && drain(why);
}

namespace {

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
