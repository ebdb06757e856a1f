#include "board_file.h"

#include "clock.h"
#include "io.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmo::sim {

namespace {

// A regular file at path, open for reading and writing; created (mode 0666
// less the umask) when missing. Whatever else sits at the path is refused
// before it is opened, so no device or FIFO is ever opened by mistake;
// none with the reason in why.
velmo::toolkit::UniqueFd open_regular(const std::string &path, bool create, std::string &why)
{
    using velmo::toolkit::file_kind;
    using velmo::toolkit::UniqueFd;
    constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    struct stat st {};
    UniqueFd fd;
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            why = file_kind(st.st_mode);
            return fd;
        }
        fd.reset(::open(path.c_str(), kFlags));
    } else if (errno == ENOENT && create) {
        fd.reset(::open(path.c_str(), kFlags | O_CREAT, 0666));
    } else {
        why = std::strerror(errno);
        return fd;
    }
    if (!fd) {
        why = std::strerror(errno);
        return fd;
    }
    // What was opened is what was looked at, even if the path changed
    // meanwhile.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = file_kind(st.st_mode);
        fd.reset();
    }
    return fd;
}

// Up to BoardFile::kReadLimit bytes from the start of the file; a file
// that fills them is longer than any board file.
bool read_text(int fd, char *data, std::size_t &size, std::string &why)
{
    const ssize_t n = velmo::toolkit::read_some_at(fd, data, BoardFile::kReadLimit, 0);
    if (n < 0) {
        why = std::string("cannot read it: ") + std::strerror(errno);
        return false;
    }
    if (static_cast<std::size_t>(n) == BoardFile::kReadLimit) {
        why = "not a board file (larger than any board file)";
        return false;
    }
    size = static_cast<std::size_t>(n);
    return true;
}

} // namespace

// Everyone holds the lock for one read or one write of the file. A lock
// held for seconds is held by someone who waits for us in turn: a flock(1)
// around velmo-emu, or a program under it that holds the lock while it
// makes a port access. So the wait has an end, rather than freezing both.
bool BoardFile::lock(int how, std::string &why)
{
    timespec pause{0, 20000}; // doubled after each try, up to 5 ms
    const std::int64_t start_ns = velmo::toolkit::monotonic_ns();
    for (;;) {
        if (::flock(fd_.get(), how | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            why = std::string("cannot lock it: ") + std::strerror(errno);
            return false;
        }
        if (velmo::toolkit::monotonic_ns() - start_ns >= kLockPatience * 1000000000LL) {
            why = "locked by another process for " + std::to_string(kLockPatience) +
                  " s (a flock on it that waits for this run?)";
            return false;
        }
        nanosleep(&pause, nullptr);
        pause.tv_nsec = pause.tv_nsec >= 2500000 ? 5000000 : pause.tv_nsec * 2;
    }
}

void BoardFile::unlock()
{
    ::flock(fd_.get(), LOCK_UN);
}

bool BoardFile::open(const std::string &path, std::string &why)
{
    std::string reason;
    velmo::toolkit::UniqueFd fd = open_regular(path, true, reason);
    if (!fd) {
        why = path + ": " + reason;
        return false;
    }
    fd_ = std::move(fd);
    path_ = path;
    // A new (or empty) file becomes a power-on board; whoever of several
    // programs starting at once takes the lock first writes it.
    Board board;
    if (!lock(LOCK_EX, reason)) {
        why = path + ": " + reason;
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd_.get(), &st) == 0;
    if (!ok) {
        reason = std::strerror(errno);
    } else if (st.st_size == 0) {
        ok = store_locked(board, reason);
    } else {
        ok = load_locked(board, reason);
    }
    unlock();
    if (!ok) {
        why = path + ": " + reason + "; it was left as it is";
        fd_.reset();
    }
    return ok;
}

bool BoardFile::load_locked(Board &board, std::string &why)
{
    char data[kReadLimit];
    std::size_t size = 0;
    if (!read_text(fd_.get(), data, size, why)) {
        return false;
    }
    if (size == 0 || last_text_.compare(0, std::string::npos, data, size) != 0) {
        Board parsed;
        const std::string text(data, size);
        if (!parsed.parse(text, why)) {
            return false;
        }
        last_text_ = text;
        last_board_ = parsed;
    }
    board = last_board_;
    return true;
}

bool BoardFile::store_locked(const Board &board, std::string &why)
{
    const std::string text = board.text();
    std::size_t done = 0;
    if (const int error = velmo::toolkit::write_all_at(fd_.get(), text.data(), text.size(), 0, done);
        error != 0) {
        why = std::string("cannot write it: ") + std::strerror(error);
        last_text_.clear();
        return false;
    }
    last_text_ = text;
    last_board_ = board;
    return true;
}

// An editor or `sed -i` replaces a file by renaming a new one over it; the
// board is then the file now at the path. A file that was removed leaves
// nothing to follow: the board stays the one already open.
bool BoardFile::follow_replacement(bool &replaced, std::string &why)
{
    replaced = false;
    // Looked at once every 10 ms at most: a replacement is rare, and the
    // look would be a fifth of what a board file adds to each access.
    const std::int64_t now_ms = velmo::toolkit::monotonic_ms(velmo::toolkit::Clock::Coarse);
    if (now_ms - last_look_ms_ < 10 && now_ms >= last_look_ms_) {
        return true;
    }
    last_look_ms_ = now_ms;
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0 || st.st_nlink != 0) {
        return true;
    }
    std::string reason;
    velmo::toolkit::UniqueFd fd = open_regular(path_, false, reason);
    if (!fd) {
        if (reason == std::strerror(ENOENT)) {
            return true;
        }
        why = "it was replaced by something that " + reason;
        return false;
    }
    unlock();
    fd_ = std::move(fd);
    replaced = true;
    return true;
}

bool BoardFile::lock_current(int how, std::string &why)
{
    bool replaced = false;
    if (!lock(how, why)) {
        return false;
    }
    if (!follow_replacement(replaced, why)) {
        unlock();
        return false;
    }
    return !replaced || lock(how, why);
}

bool BoardFile::read(Board &board, std::string &why)
{
    bool ok = lock_current(LOCK_SH, why);
    if (ok) {
        ok = load_locked(board, why);
        unlock();
    }
    if (!ok) {
        why = path_ + ": " + why;
    }
    return ok;
}

bool BoardFile::update(const std::function<void(Board &)> &change, Board &board, std::string &why)
{
    Board now;
    bool ok = lock_current(LOCK_EX, why);
    if (ok) {
        ok = load_locked(now, why);
        if (ok) {
            change(now);
            ok = store_locked(now, why);
        }
        unlock();
    }
    if (ok) {
        board = now;
    } else {
        why = path_ + ": " + why;
    }
    return ok;
}

} // namespace velmo::sim
