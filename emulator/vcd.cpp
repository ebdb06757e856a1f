#include "vcd.h"

#include "fd.h"
#include "format.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmo::emu {

namespace {

// Wire identifiers: line1..line8 are a..h, dir1..dir8 are i..p.
char line_id(int n) { return static_cast<char>('a' + n - 1); }
char dir_id(int n) { return static_cast<char>('i' + n - 1); }

// Does text begin as a VCD does: white space, then a declaration keyword?
bool looks_like_vcd(const char *text, std::size_t size)
{
    std::size_t i = 0;
    while (i < size && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) {
        ++i;
    }
    static const char *const kKeywords[] = {"$comment", "$date", "$enddefinitions", "$scope",
                                            "$timescale", "$upscope", "$var", "$version"};
    for (const char *keyword : kKeywords) {
        const std::size_t n = std::strlen(keyword);
        if (size - i > n && std::memcmp(text + i, keyword, n) == 0 &&
            (text[i + n] == ' ' || text[i + n] == '\t' || text[i + n] == '\n' || text[i + n] == '\r')) {
            return true;
        }
    }
    return false;
}

std::string levels(const bool *values, char (*id)(int))
{
    std::string text;
    for (int n = 1; n <= 8; ++n) {
        text += values[n - 1] ? '1' : '0';
        text += id(n);
        text += '\n';
    }
    return text;
}

} // namespace

VcdWriter::~VcdWriter()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool VcdWriter::open(const std::string &path, std::string &why)
{
    constexpr int kFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK; // a FIFO swapped in cannot hang us
    path_ = path;
    struct stat st {};
    int fd = -1;
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) {
            why = path + ": is a symbolic link to nothing (no file is created through one)";
            return false;
        }
        if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
            why = path + ": " + velmo::sim::file_kind(st.st_mode);
            return false;
        }
        fd = ::open(path.c_str(), (S_ISREG(st.st_mode) ? O_RDWR : O_WRONLY) | kFlags);
    } else if (errno == ENOENT) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, 0666);
        created_ = fd >= 0;
    }
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    // What was opened is what was looked at, even if the path changed
    // meanwhile.
    const mode_t looked_at = st.st_mode & S_IFMT;
    if (::fstat(fd, &st) != 0 || (!created_ && (st.st_mode & S_IFMT) != looked_at)) {
        why = path + ": changed while it was opened";
        ::close(fd);
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        char head[64];
        const ssize_t n = ::pread(fd, head, sizeof head, 0);
        if (n < 0 || !looks_like_vcd(head, static_cast<std::size_t>(n))) {
            why = path + ": holds something other than a VCD; it was left as it is";
            ::close(fd);
            return false;
        }
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
    return true;
}

void VcdWriter::discard()
{
    if (fd_ < 0) {
        return;
    }
    struct stat opened {}, now {};
    if (created_ && ::fstat(fd_, &opened) == 0 && ::stat(path_.c_str(), &now) == 0 &&
        opened.st_dev == now.st_dev && opened.st_ino == now.st_ino) {
        ::unlink(path_.c_str());
    }
    ::close(fd_);
    fd_ = -1;
}

bool VcdWriter::same_file(const std::string &path) const
{
    struct stat mine {}, other {};
    return fd_ >= 0 && !path.empty() && ::fstat(fd_, &mine) == 0 && ::stat(path.c_str(), &other) == 0 &&
           S_ISREG(mine.st_mode) &&
           mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

std::uint64_t VcdWriter::now_us() const
{
    if (clock_us_) {
        const std::uint64_t now = clock_us_();
        return now > clock_start_us_ ? now - clock_start_us_ : 0;
    }
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::int64_t ns = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec - start_ns_;
    return ns <= 0 ? 0 : static_cast<std::uint64_t>(ns / 1000);
}

bool VcdWriter::write_all(const std::string &text, std::string &why)
{
    std::size_t done = 0;
    if (const int error = velmo::emu::write_all(fd_, text, done); error != 0) {
        why = "writing the VCD file " + path_ + " failed: " + std::strerror(error);
        failed_ = true;
        // A change half written (a full disk, a file size limit) is taken
        // back: the file stays whole up to its last change.
        if (done > 0 && regular_) {
            const int kept = ::ftruncate(fd_, size_);
            (void)kept;
        }
        return false;
    }
    size_ += static_cast<off_t>(done);
    return true;
}

bool VcdWriter::start(const velmo::sim::Board &board, std::string &why)
{
    struct stat st {};
    regular_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    size_ = 0;
    if (regular_ && ::ftruncate(fd_, 0) != 0) {
        why = "emptying the VCD file " + path_ + " failed: " + std::strerror(errno);
        failed_ = true;
        return false;
    }
    for (int n = 1; n <= 8; ++n) {
        const velmo::sim::Line line = board.line(n);
        level_[n - 1] = line.level != 0;
        input_[n - 1] = line.input;
    }
    std::string text =
        "$version velmo-emu $end\n"
        "$comment line1..line8: the level each pin shows; dir1..dir8: 1 input, 0 output $end\n"
        "$timescale 1 us $end\n"
        "$scope module velmo $end\n";
    for (int n = 1; n <= 8; ++n) {
        text += std::string("$var wire 1 ") + line_id(n) + " line" + std::to_string(n) + " $end\n";
    }
    for (int n = 1; n <= 8; ++n) {
        text += std::string("$var wire 1 ") + dir_id(n) + " dir" + std::to_string(n) + " $end\n";
    }
    text += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    text += levels(level_, line_id) + levels(input_, dir_id) + "$end\n";
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    start_ns_ = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    clock_start_us_ = clock_us_ ? clock_us_() : 0;
    last_time_ = 0;
    return write_all(text, why);
}

bool VcdWriter::update(const velmo::sim::Board &board, std::string &why)
{
    if (failed_) {
        why = "writing the VCD file " + path_ + " failed earlier";
        return false;
    }
    std::string changes;
    for (int n = 1; n <= 8; ++n) {
        const velmo::sim::Line line = board.line(n);
        if ((line.level != 0) != level_[n - 1]) {
            level_[n - 1] = line.level != 0;
            changes += (level_[n - 1] ? '1' : '0');
            changes += line_id(n);
            changes += '\n';
        }
    }
    for (int n = 1; n <= 8; ++n) {
        const bool input = board.line(n).input;
        if (input != input_[n - 1]) {
            input_[n - 1] = input;
            changes += (input ? '1' : '0');
            changes += dir_id(n);
            changes += '\n';
        }
    }
    if (changes.empty()) {
        return true;
    }
    // Changes within one microsecond share its timestamp.
    const std::uint64_t now = now_us();
    if (now > last_time_) {
        last_time_ = now;
        changes = "#" + std::to_string(now) + "\n" + changes;
    }
    return write_all(changes, why);
}

bool VcdWriter::finish(std::string &why)
{
    bool ok = !failed_;
    if (ok) {
        const std::uint64_t now = now_us();
        ok = now <= last_time_ || write_all("#" + std::to_string(now) + "\n", why);
    }
    if (::close(fd_) != 0 && ok) {
        why = "writing the VCD file " + path_ + " failed: " + std::strerror(errno);
        ok = false;
    }
    fd_ = -1;
    return ok;
}

} // namespace velmo::emu
