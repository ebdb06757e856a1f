#include "board_relay.h"

#include "clock.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kMask = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;

// The relay: keeps its copy of the inotify instance open until the other
// end of lifeline closes, that is until the command has gone however it
// ended, then makes the slow last close. Signals sent to the command's
// process group (Ctrl-C, `timeout`, a CI cancelling a job) are the
// command's to act on: the relay outlives them by the moment the command
// needs to end.
[[noreturn]] void relay(int inotify, int lifeline)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE}) {
        signal(sig, SIG_IGN);
    }
    // Nothing of the command's but these two: a pipe the command writes to
    // must see its end when the command ends.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int n = 0; n <= 2 && null >= 0; ++n) {
        dup2(null, n);
    }
    const unsigned lo = static_cast<unsigned>(inotify < lifeline ? inotify : lifeline);
    const unsigned hi = static_cast<unsigned>(inotify < lifeline ? lifeline : inotify);
    close_range(3, lo - 1, 0);
    close_range(lo + 1, hi - 1, 0);
    close_range(hi + 1, ~0u, 0);
    char byte = 0;
    while (read(lifeline, &byte, 1) != 0) {
        if (errno != EINTR && errno != EAGAIN) {
            break;
        }
    }
    _exit(0);
}

} // namespace

// Watches the file now at the path; nothing there leaves wd_ at -1.
bool BoardEvents::arm(std::string &why)
{
    const int wd = inotify_add_watch(inotify_.get(), path_.c_str(), kMask);
    if (wd < 0 && errno != ENOENT) {
        why = std::strerror(errno);
        return false;
    }
    wd_ = wd;
    return true;
}

bool BoardEvents::watch(const std::string &path, std::string &why)
{
    path_ = path;
    inotify_.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!inotify_) {
        why = std::strerror(errno);
        return false;
    }
    velmo::toolkit::UniqueFd relay_end;
    if (!arm(why)) {
        return false;
    }
    if (!velmo::toolkit::make_pipe(relay_end, lifeline_)) {
        why = std::strerror(errno);
        return false;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        lifeline_.reset();
        relay(inotify_.get(), relay_end.get());
    }
    const int error = errno;
    if (child < 0) {
        why = std::string("fork: ") + std::strerror(error);
        return false;
    }
    return true;
}

bool BoardEvents::drain(bool &changed, std::string &why)
{
    alignas(inotify_event) char data[4096];
    bool rearm = false;
    changed = false;
    for (;;) {
        const ssize_t n = read(inotify_.get(), data, sizeof data);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            why = std::strerror(errno);
            return false;
        }
        if (n <= 0) {
            break;
        }
        changed = true;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(data + at);
            rearm = rearm || (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB)) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (rearm || wd_ < 0) {
        const bool missing = wd_ < 0;
        if (!arm(why)) {
            return false;
        }
        changed = changed || (missing && wd_ >= 0); // a file at the path again
    }
    return true;
}

bool BoardEvents::next(int timeout_ms, std::string &why)
{
    const std::int64_t deadline = timeout_ms < 0 ? -1 : velmo::toolkit::monotonic_ms() + timeout_ms;
    for (;;) {
        int wait = look_ms();
        if (deadline >= 0) {
            const std::int64_t left = deadline - velmo::toolkit::monotonic_ms();
            if (left <= 0) {
                return false;
            }
            wait = wait < 0 || left < wait ? static_cast<int>(left) : wait;
        }
        pollfd p{inotify_.get(), POLLIN, 0};
        if (poll(&p, 1, wait) < 0) {
            if (errno != EINTR) {
                why = std::strerror(errno);
            }
            return false;
        }
        bool changed = false;
        if (!drain(changed, why)) {
            return false;
        }
        if (changed) {
            return true;
        }
    }
}
