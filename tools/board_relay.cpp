#include "board_relay.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

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

