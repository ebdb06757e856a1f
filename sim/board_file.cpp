#include "board_file.h"

#include "clock.h"
#include "io.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmo::sim {

namespace {

// A regular file at path, open for reading and writing; created (mode 0666
// less the umask) when missing, and then created says so. Whatever else
// sits at the path is refused before it is opened, so no device or FIFO is
// ever opened by mistake, and so is a file of the kernel's own (procfs,
// sysfs: their files show a size of 0 and a write sets the kernel); none
// with the reason in why.
velmo::toolkit::UniqueFd open_regular(const std::string &path, bool create, bool &created, std::string &why)
{
    using velmo::toolkit::file_kind;
    using velmo::toolkit::UniqueFd;
    constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    struct stat st {};
    UniqueFd fd;
    created = false;
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            why = file_kind(st.st_mode);
            return fd;
        }
        fd.reset(::open(path.c_str(), kFlags));
    } else if (errno == ENOENT && create) {
        // Through a symbolic link to nothing, the file is made where it
        // points (O_EXCL would refuse the link).
        const bool through_link = ::lstat(path.c_str(), &st) == 0;
        fd.reset(::open(path.c_str(), kFlags | O_CREAT | (through_link ? 0 : O_EXCL), 0666));
        created = static_cast<bool>(fd);
        if (!fd && errno == EEXIST) { // made by another run meanwhile
            fd.reset(::open(path.c_str(), kFlags));
        }
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
    } else if (const char *kind = velmo::toolkit::pseudo_file_system(fd.get())) {
        why = std::string("is on ") + kind + ", the kernel's own, where no board file can live";
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

// Bumped by SIGIO, which the kernel sends when a watched path changes (see
// BoardFile::watch_path): until it moves, the open file is the one at the
// path, and no access needs to look.
volatile sig_atomic_t g_path_events = 0;

void on_path_event(int)
{
    g_path_events = g_path_events + 1;
}

bool catch_path_events()
{
    static const bool caught = [] {
        struct sigaction action {};
        action.sa_handler = on_path_event;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGIO, &action, nullptr) == 0;
    }();
    return caught;
}

std::string folder_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
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
    bool created = false;
    velmo::toolkit::UniqueFd fd = open_regular(path, true, created, reason);
    if (!fd) {
        why = path + ": " + reason;
        return false;
    }
    fd_ = std::move(fd);
    path_ = path;
    struct stat st {};
    ::fstat(fd_.get(), &st);
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    watch_path();
    // Looked at under a shared lock, as any read: a reader waits on no
    // other reader. Only a file whose read shows nothing (new, or emptied)
    // becomes a power-on board; whoever of several programs starting at
    // once takes the exclusive lock first writes it.
    bool empty = false;
    bool locked = lock(LOCK_SH, reason);
    bool ok = locked && load_or_empty_locked(empty, reason);
    unlock();
    if (ok && empty) {
        locked = lock(LOCK_EX, reason);
        ok = locked && load_or_empty_locked(empty, reason) && (!empty || store_locked(Board(), reason));
        unlock();
    }
    if (!ok) {
        char made[PATH_MAX];
        if (created && follows_path() && ::realpath(path.c_str(), made) != nullptr && ::unlink(made) == 0) {
            why = path + ": " + reason + "; the file made for it was removed";
        } else {
            why = path + ": " + reason + (locked ? "; it was left as it is" : "");
        }
        fd_.reset();
    }
    return ok;
}

bool BoardFile::load_or_empty_locked(bool &empty, std::string &why)
{
    char data[kReadLimit];
    std::size_t size = 0;
    if (!read_text(fd_.get(), data, size, why)) {
        return false;
    }
    empty = size == 0;
    Board board;
    return empty || load_locked(board, why);
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
    if (const int error = velmo::toolkit::write_all_at(fd_.get(), text.data(), text.size(), 0, done); error != 0) {
        why = std::string("cannot write it: ") + std::strerror(error);
        last_text_.clear();
        return false;
    }
    last_text_ = text;
    last_board_ = board;
    return true;
}

// A stat of the path at each access would cost as much as the read it
// guards. Instead inotify watches the file (renamed, its links counted
// again) and the folders of the path and of the file it leads to (a name
// made, removed or renamed there), and its SIGIO says when to look again.
// Where inotify is not to be had, every access looks.
void BoardFile::watch_path()
{
    watch_.reset();
    if (!catch_path_events()) {
        return;
    }
    velmo::toolkit::UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    char real[PATH_MAX];
    constexpr std::uint32_t kFolder = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
    const bool ok =
        fd && ::inotify_add_watch(fd.get(), path_.c_str(), IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF) >= 0 &&
        ::inotify_add_watch(fd.get(), folder_of(path_).c_str(), kFolder) >= 0 &&
        ::realpath(path_.c_str(), real) != nullptr &&
        ::inotify_add_watch(fd.get(), folder_of(real).c_str(), kFolder) >= 0 &&
        ::fcntl(fd.get(), F_SETOWN, ::getpid()) == 0 && ::fcntl(fd.get(), F_SETFL, O_ASYNC | O_NONBLOCK) == 0;
    if (ok) {
        // A move before the watch began sent nothing: one look now.
        const sig_atomic_t events = g_path_events;
        watch_ = std::move(fd);
        seen_events_ = follows_path() ? events : -1;
    }
}

bool BoardFile::path_unchanged()
{
    const sig_atomic_t events = g_path_events;
    if (watch_ && events == seen_events_) {
        return true;
    }
    if (watch_) {
        char drained[4096];
        while (velmo::toolkit::read_some(watch_.get(), drained, sizeof drained) > 0) {
        }
    }
    if (!follows_path()) {
        return false;
    }
    seen_events_ = events; // what came after this look, the next one sees
    return true;
}

bool BoardFile::follows_path() const
{
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
}

// An editor or `sed -i` replaces a file by renaming a new one over it; a
// backup (`mv F F~`, `cp -b`, `ln -sf`) moves it to another name. Either
// way the board is the file now at the path, looked up at each access: no
// write lands in a file that no longer has the board's name. Where the
// path names nothing for a moment (between an editor's backup rename and
// its new file), the new file is waited for, as a lock is.
bool BoardFile::follow_path(bool &moved, std::string &why)
{
    moved = false;
    if (path_unchanged()) {
        return true;
    }
    timespec pause{0, 1000000};
    const std::int64_t start_ns = velmo::toolkit::monotonic_ns();
    for (;;) {
        std::string reason;
        bool created = false;
        velmo::toolkit::UniqueFd fd = open_regular(path_, false, created, reason);
        if (fd) {
            struct stat st {};
            ::fstat(fd.get(), &st);
            fd_ = std::move(fd); // the old file's lock goes with it
            dev_ = st.st_dev;
            ino_ = st.st_ino;
            watch_path();
            moved = true;
            return true;
        }
        if (reason != std::strerror(ENOENT)) {
            why = "it was replaced by something that " + reason;
            return false;
        }
        if (velmo::toolkit::monotonic_ns() - start_ns >= kLockPatience * 1000000000LL) {
            why = "it was removed or renamed away, and nothing took its place for " + std::to_string(kLockPatience) +
                  " s";
            return false;
        }
        nanosleep(&pause, nullptr);
    }
}

bool BoardFile::lock_current(int how, std::string &why)
{
    for (;;) {
        bool moved = false;
        if (!lock(how, why)) {
            return false;
        }
        if (!follow_path(moved, why)) {
            unlock();
            return false;
        }
        if (!moved) {
            return true;
        }
    }
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
    bool ok = true;
    // A file renamed away while it was written (sed -i, an editor's save)
    // took the write with it: it is made again on the file now at the path.
    for (int tries = 0; ok && tries < kRewrites; ++tries) {
        ok = lock_current(LOCK_EX, why);
        if (ok) {
            ok = load_locked(now, why);
            if (ok) {
                change(now);
                ok = store_locked(now, why);
            }
            const bool still = ok && path_unchanged();
            unlock();
            if (still) {
                break;
            }
        }
    }
    if (ok) {
        board = now;
    } else {
        why = path_ + ": " + why;
    }
    return ok;
}

} // namespace velmo::sim
