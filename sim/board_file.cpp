#include "board_file.h"

#include "format.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmo::sim {

namespace {

// A regular file at path, open for reading and writing; created (mode 0666
// less the umask) when missing. Whatever else sits at the path is refused
// before it is opened, so no device or FIFO is ever opened by mistake;
// -1 with the reason in why.
int open_regular(const std::string &path, bool create, std::string &why)
{
    constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    struct stat st {};
    int fd = -1;
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            why = velmo::sim::file_kind(st.st_mode);
            return -1;
        }
        fd = ::open(path.c_str(), kFlags);
    } else if (errno == ENOENT && create) {
        fd = ::open(path.c_str(), kFlags | O_CREAT, 0666);
    } else {
        why = std::strerror(errno);
        return -1;
    }
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    // What was opened is what was looked at, even if the path changed
    // meanwhile.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = velmo::sim::file_kind(st.st_mode);
        ::close(fd);
        return -1;
    }
    return fd;
}

// Up to BoardFile::kReadLimit bytes from the start of the file; a file
// that fills them is longer than any board file.
bool read_text(int fd, char *data, std::size_t &size, std::string &why)
{
    ssize_t n = 0;
    do {
        n = ::pread(fd, data, BoardFile::kReadLimit, 0);
    } while (n < 0 && errno == EINTR);
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

BoardFile::~BoardFile()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

// Everyone holds the lock for one read or one write of the file. A lock
// held for seconds is held by someone who waits for us in turn: a flock(1)
// around velmo-emu, or a program under it that holds the lock while it
// makes a port access. So the wait has an end, rather than freezing both.
bool BoardFile::lock(int how, std::string &why)
{
    timespec pause{0, 20000}; // doubled after each try, up to 5 ms
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (::flock(fd_, how | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            why = std::string("cannot lock it: ") + std::strerror(errno);
            return false;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long waited_ns =
            (static_cast<long long>(now.tv_sec) - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec);
        if (waited_ns >= kLockPatience * 1000000000LL) {
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
    ::flock(fd_, LOCK_UN);
}

bool BoardFile::open(const std::string &path, std::string &why)
{
    std::string reason;
    const int fd = open_regular(path, true, reason);
    if (fd < 0) {
        why = path + ": " + reason;
        return false;
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
    path_ = path;
    // A new (or empty) file becomes a power-on board; whoever of several
    // programs starting at once takes the lock first writes it.
    Board board;
    if (!lock(LOCK_EX, reason)) {
        why = path + ": " + reason;
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd_, &st) == 0;
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
        ::close(fd_);
        fd_ = -1;
    }
    return ok;
}

bool BoardFile::load_locked(Board &board, std::string &why)
{
    char data[kReadLimit];
    std::size_t size = 0;
    if (!read_text(fd_, data, size, why)) {
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
    ssize_t n = 0;
    do {
        n = ::pwrite(fd_, text.data(), text.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(text.size())) {
        why = std::string("cannot write it: ") + (n < 0 ? std::strerror(errno) : "short write");
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
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const long long now_ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (now_ms - last_look_ms_ < 10 && now_ms >= last_look_ms_) {
        return true;
    }
    last_look_ms_ = now_ms;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || st.st_nlink != 0) {
        return true;
    }
    std::string reason;
    const int fd = open_regular(path_, false, reason);
    if (fd < 0) {
        if (reason == std::strerror(ENOENT)) {
            return true;
        }
        why = "it was replaced by something that " + reason;
        return false;
    }
    unlock();
    ::close(fd_);
    fd_ = fd;
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
