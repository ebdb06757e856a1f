#include "board_file.h"

#include "clock.h"
#include "format.h"
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

// --- The change log -----------------------------------------------------------
// After the board's text, one line with the number of changes so far, then
// a ring of BoardFile::kChangesKept lines, change n on line (n - 1) mod
// kChangesKept of it, each of the same length:
//   changes 0000000000000042 (the last 256 below: ...)
//   0000000000000041 1765275302123456 iiiiiooo 00100100
// (number, microseconds since 1970, then lines 1-8: i an input, o an
// output; the level each shows). A line no change has used yet is dashes.
constexpr char kHeaderStart[] = "changes ";
constexpr char kHeaderEnd[] = " (the last 256 below: number, microseconds since 1970, lines 1-8 in/out, levels)\n";
static_assert(BoardFile::kChangesKept == 256, "the log's first line names its length");
constexpr std::size_t kDigits = 16;
constexpr std::uint64_t kLastNumber = 9999999999999999ULL; // the last of 16 digits: the next is 1
constexpr std::size_t kHeaderSize = sizeof kHeaderStart - 1 + kDigits + sizeof kHeaderEnd - 1;
constexpr std::size_t kHeadSize = Board::kTextSize + kHeaderSize; // what every access reads
constexpr std::size_t kSlotSize = 2 * kDigits + 2 * 8 + 4;
constexpr std::size_t kRingSize = BoardFile::kChangesKept * kSlotSize;
constexpr std::size_t kHeadLines = 5;
constexpr char kEmptySlot[] = "---------------- ---------------- -------- --------\n";
static_assert(sizeof kEmptySlot - 1 == kSlotSize, "an unused line is as long as any");
static_assert(kHeadSize + kRingSize < BoardFile::kReadLimit, "a whole board file is read at once");

std::string header_text(std::uint64_t number)
{
    return kHeaderStart + format("%016llu", static_cast<unsigned long long>(number)) + kHeaderEnd;
}

// kDigits decimal digits at data, as written.
bool parse_digits(const char *data, std::uint64_t &value)
{
    value = 0;
    for (std::size_t i = 0; i < kDigits; ++i) {
        if (data[i] < '0' || data[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(data[i] - '0');
    }
    return true;
}

bool parse_header(const char *data, std::uint64_t &number)
{
    constexpr std::size_t start = sizeof kHeaderStart - 1;
    return std::memcmp(data, kHeaderStart, start) == 0 && parse_digits(data + start, number) &&
           std::memcmp(data + start + kDigits, kHeaderEnd, sizeof kHeaderEnd - 1) == 0;
}

std::size_t slot_of(std::uint64_t number)
{
    return static_cast<std::size_t>((number - 1) % BoardFile::kChangesKept);
}

std::string slot_text(const Change &change)
{
    char pins[18] = "oooooooo 00000000";
    for (int n = 0; n < 8; ++n) {
        if ((change.pins.inputs >> n & 1) != 0) {
            pins[n] = 'i';
        }
        pins[9 + n] = static_cast<char>('0' + (change.pins.levels >> n & 1));
    }
    return format("%016llu %016lld %s\n", static_cast<unsigned long long>(change.number),
                  static_cast<long long>(change.time_us), pins);
}

// One line of the ring as slot_text writes it (not an unused one).
bool parse_slot(const char *data, Change &change)
{
    std::uint64_t time = 0;
    if (!parse_digits(data, change.number) || data[kDigits] != ' ' || !parse_digits(data + kDigits + 1, time) ||
        data[2 * kDigits + 1] != ' ' || data[2 * kDigits + 10] != ' ' || data[kSlotSize - 1] != '\n' ||
        time > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
    }
    change.time_us = static_cast<std::int64_t>(time);
    change.pins = Pins{0, 0};
    const char *pins = data + 2 * kDigits + 2;
    for (int n = 0; n < 8; ++n) {
        const char dir = pins[n];
        const char level = pins[9 + n];
        if ((dir != 'i' && dir != 'o') || (level != '0' && level != '1')) {
            return false;
        }
        change.pins.inputs = static_cast<std::uint8_t>(change.pins.inputs | (dir == 'i' ? 1u : 0u) << n);
        change.pins.levels = static_cast<std::uint8_t>(change.pins.levels | (level == '1' ? 1u : 0u) << n);
    }
    return true;
}

// A whole file: the board's text, with or without its change log after it.
// has_log says whether the log is where every access expects it (after a
// board of this version, kHeadSize from the start).
bool parse_file(const std::string &text, Board &board, bool &has_log, std::uint64_t &number, std::string &why)
{
    has_log = false;
    number = 0;
    const std::size_t log = text.find(std::string("\n") + kHeaderStart);
    if (log == std::string::npos) {
        return board.parse(text, why);
    }
    if (!board.parse(text.substr(0, log + 1), why)) {
        return false;
    }
    std::size_t line = 1;
    for (std::size_t at = 0; at <= log; ++at) {
        line += text[at] == '\n' ? 1u : 0u;
    }
    std::size_t at = log + 1;
    if (text.size() - at < kHeaderSize || !parse_header(text.data() + at, number)) {
        why = format("line %zu is not 'changes NNNNNNNNNNNNNNNN (the last 256 below: ...)'", line);
        return false;
    }
    at += kHeaderSize;
    for (std::size_t slot = 0; slot < BoardFile::kChangesKept; ++slot, at += kSlotSize) {
        ++line;
        Change change;
        const bool fits = text.size() - at >= kSlotSize;
        if (fits && text.compare(at, kSlotSize, kEmptySlot) == 0) {
            continue;
        }
        if (!fits || !parse_slot(text.data() + at, change)) {
            why = format("line %zu is not a change 'NNNNNNNNNNNNNNNN NNNNNNNNNNNNNNNN iiiiiiii 00000000'", line);
            return false;
        }
        if (change.number == 0 || slot_of(change.number) != slot || change.number > number) {
            why = format("line %zu holds change %llu, out of its place", line,
                         static_cast<unsigned long long>(change.number));
            return false;
        }
    }
    if (at != text.size()) {
        why = format("unexpected text after line %zu", line);
        return false;
    }
    has_log = log + 1 == Board::kTextSize;
    return true;
}

// The changes after after up to last, from the ring.
bool read_log(int fd, std::uint64_t after, std::uint64_t last, Changes &changes, std::string &why)
{
    changes.last = last;
    if (last <= after) {
        return true;
    }
    const std::uint64_t first = last - after > BoardFile::kChangesKept ? last - BoardFile::kChangesKept + 1 : after + 1;
    changes.missed = first - after - 1;
    std::string ring(kRingSize, '\0');
    const ssize_t n = velmo::toolkit::read_some_at(fd, ring.data(), kRingSize, static_cast<off_t>(kHeadSize));
    if (n < 0) {
        why = std::string("cannot read it: ") + std::strerror(errno);
        return false;
    }
    for (std::uint64_t number = first; number <= last; ++number) {
        const std::size_t slot = slot_of(number);
        Change change;
        if (static_cast<std::size_t>(n) < (slot + 1) * kSlotSize ||
            !parse_slot(ring.data() + slot * kSlotSize, change) || change.number != number) {
            why = format("line %zu is not change %llu", kHeadLines + 1 + slot, static_cast<unsigned long long>(number));
            return false;
        }
        changes.kept.push_back(change);
    }
    return true;
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
        ok = locked && load_or_empty_locked(empty, reason) && (!empty || store_locked(Board(), false, reason));
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
    char byte = 0;
    const ssize_t n = velmo::toolkit::read_some_at(fd_.get(), &byte, 1, 0);
    if (n < 0) {
        why = std::string("cannot read it: ") + std::strerror(errno);
        return false;
    }
    empty = n == 0;
    if (empty) {
        last_text_.clear();
        last_number_ = 0;
        has_log_ = false;
        return true;
    }
    checked_ = false;
    return load_all_locked(why);
}

// Every access reads only the head of the file (the board and the number
// of changes): the whole of it is read once, and again only when the head
// is not as written.
bool BoardFile::load_locked(Board &board, std::string &why)
{
    if (checked_ && has_log_) {
        char data[kHeadSize];
        const ssize_t n = velmo::toolkit::read_some_at(fd_.get(), data, kHeadSize, 0);
        if (n < 0) {
            why = std::string("cannot read it: ") + std::strerror(errno);
            return false;
        }
        if (static_cast<std::size_t>(n) == kHeadSize) {
            if (last_text_.compare(0, std::string::npos, data, kHeadSize) == 0) {
                board = last_board_;
                return true;
            }
            Board parsed;
            std::uint64_t number = 0;
            std::string ignored;
            if (parse_header(data + Board::kTextSize, number) &&
                parsed.parse(std::string(data, Board::kTextSize), ignored)) {
                last_text_.assign(data, kHeadSize);
                last_board_ = parsed;
                last_number_ = number;
                board = parsed;
                return true;
            }
        }
    }
    if (!load_all_locked(why)) {
        return false;
    }
    board = last_board_;
    return true;
}

bool BoardFile::load_all_locked(std::string &why)
{
    char data[kReadLimit];
    std::size_t size = 0;
    if (!read_text(fd_.get(), data, size, why)) {
        return false;
    }
    if (checked_ && !has_log_ && size != 0 && last_text_.compare(0, std::string::npos, data, size) == 0) {
        return true; // the board's text alone, as last read
    }
    const std::string text(data, size);
    Board parsed;
    bool has_log = false;
    std::uint64_t number = 0;
    if (!parse_file(text, parsed, has_log, number, why)) {
        return false;
    }
    last_text_ = has_log ? text.substr(0, kHeadSize) : text;
    last_board_ = parsed;
    last_number_ = number;
    has_log_ = has_log;
    checked_ = true;
    return true;
}

// A change is written to its line of the ring before the head counts it,
// so the head never names a change the file does not hold.
bool BoardFile::store_locked(const Board &board, bool changed, std::string &why)
{
    const std::uint64_t number = !changed ? last_number_ : last_number_ >= kLastNumber ? 1 : last_number_ + 1;
    const std::string head = board.text() + header_text(number);
    std::string slot;
    if (changed) {
        slot = slot_text(Change{number, velmo::toolkit::wall_clock_us(), board.pins()});
    }
    std::string text = head;
    if (!has_log_) { // the whole log, where the file had none
        for (std::uint64_t n = 0; n < kChangesKept; ++n) {
            text += changed && n == slot_of(number) ? slot : kEmptySlot;
        }
    }
    std::size_t done = 0;
    int error = 0;
    if (has_log_ && changed) {
        error = velmo::toolkit::write_all_at(fd_.get(), slot.data(), slot.size(),
                                             static_cast<off_t>(kHeadSize + slot_of(number) * kSlotSize), done);
    }
    if (error == 0) {
        error = velmo::toolkit::write_all_at(fd_.get(), text.data(), text.size(), 0, done);
    }
    if (error != 0) {
        why = std::string("cannot write it: ") + std::strerror(error);
        last_text_.clear();
        checked_ = false;
        return false;
    }
    last_text_ = head;
    last_board_ = board;
    last_number_ = number;
    has_log_ = true;
    checked_ = true;
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
            checked_ = false;
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

bool BoardFile::read_changes(std::uint64_t after, Board &board, Changes &changes, std::string &why)
{
    changes = Changes{};
    bool ok = lock_current(LOCK_SH, why);
    if (ok) {
        ok = load_locked(board, why) && read_log(fd_.get(), after, has_log_ ? last_number_ : 0, changes, why);
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
                const Pins before = now.pins();
                change(now);
                ok = store_locked(now, now.pins() != before, why);
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
