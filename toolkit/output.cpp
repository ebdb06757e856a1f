#include "output.h"

#include "io.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace velmo::toolkit {

namespace {

// The devices that are the machine itself: real memory and real ports. No
// output ever goes there, whatever it is called.
struct RealDevice {
    const char *path;
    unsigned minor;
    const char *what;
};
constexpr RealDevice kRealDevices[] = {
    {"/dev/mem", 1, "the machine's memory"},
    {"/dev/kmem", 2, "the kernel's memory"},
    {"/dev/port", 4, "the machine's I/O ports"},
};
constexpr unsigned kMemMajor = 1;

std::string real_device_reason(const RealDevice &device)
{
    return std::string("is ") + device.path + ", " + device.what + "; no output is written there";
}

// path with its links, "." and ".." resolved, as far as they exist: a
// missing file is named through the directory it would be created in.
std::string resolved(const std::string &path)
{
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) != nullptr) {
        return buffer;
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::realpath(dir.c_str(), buffer) == nullptr) {
        return path;
    }
    const std::string parent = buffer;
    return (parent == "/" ? "" : parent) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

// The real device path names, as given or once resolved: refused even
// where this machine has no such node (a missing one would be created).
const RealDevice *real_device_named(const std::string &path)
{
    const std::string full = resolved(path);
    for (const RealDevice &device : kRealDevices) {
        if (path == device.path || full == device.path) {
            return &device;
        }
    }
    return nullptr;
}

const RealDevice *real_device_of(const struct stat &st)
{
    if (!S_ISCHR(st.st_mode) || major(st.st_rdev) != kMemMajor) {
        return nullptr;
    }
    for (const RealDevice &device : kRealDevices) {
        if (minor(st.st_rdev) == device.minor) {
            return &device;
        }
    }
    return nullptr;
}

bool same_regular_file(const struct stat &mine, const std::string &path)
{
    struct stat other {};
    return !path.empty() && S_ISREG(mine.st_mode) && ::stat(path.c_str(), &other) == 0 && mine.st_dev == other.st_dev &&
           mine.st_ino == other.st_ino;
}

} // namespace

bool open_output(const std::string &path, const OutputRules &rules, OutputFile &file, std::string &why)
{
    file.fd_.reset();
    file.path_ = path;
    file.created_ = false;
    file.regular_ = false;
    file.size_ = 0;
    auto refuse = [&](const std::string &reason) {
        why = path + ": " + reason;
        file.discard();
        return false;
    };
    if (const RealDevice *device = real_device_named(path)) {
        return refuse(real_device_reason(*device));
    }

    constexpr int kFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK; // a FIFO swapped in cannot hang us
    struct stat st {};
    int fd = -1;
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) {
            return refuse("is a symbolic link to nothing (no file is created through one)");
        }
        if (const RealDevice *device = real_device_of(st)) {
            return refuse(real_device_reason(*device));
        }
        if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
            return refuse(file_kind(st.st_mode));
        }
        fd = ::open(path.c_str(), (S_ISREG(st.st_mode) ? O_RDWR : O_WRONLY) | kFlags);
    } else if (errno == ENOENT) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, 0666);
        file.created_ = fd >= 0;
    }
    if (fd < 0) {
        return refuse(std::strerror(errno));
    }
    file.fd_.reset(fd);

    // What was opened is what was looked at, even if the path changed
    // meanwhile.
    const mode_t looked_at = st.st_mode & S_IFMT;
    if (::fstat(fd, &st) != 0 || (!file.created_ && (st.st_mode & S_IFMT) != looked_at)) {
        return refuse("changed while it was opened");
    }
    if (const RealDevice *device = real_device_of(st)) {
        return refuse(real_device_reason(*device));
    }
    if (const char *kind = pseudo_file_system(fd)) {
        return refuse(std::string("is on ") + kind + ", the kernel's own, where no output is written");
    }
    file.regular_ = S_ISREG(st.st_mode);
    if (file.regular_ && st.st_size > 0) {
        char head[64];
        const ssize_t n = read_some_at(fd, head, sizeof head, 0);
        if (n < 0 || rules.ours == nullptr || !rules.ours(head, static_cast<std::size_t>(n))) {
            return refuse("holds something other than " + rules.holds + "; it was left as it is");
        }
    }
    for (const OtherFile &other : rules.others) {
        if (same_regular_file(st, other.path)) {
            return refuse("is the " + other.what);
        }
    }
    file.size_ = st.st_size;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return true;
}

int OutputFile::empty()
{
    if (regular_ && ::ftruncate(fd_.get(), 0) != 0) {
        return errno;
    }
    size_ = 0;
    return 0;
}

int OutputFile::append(const std::string &text)
{
    std::size_t done = 0;
    const int error = write_all(fd_.get(), text, done);
    if (error != 0) {
        if (done > 0 && regular_) {
            const int kept = ::ftruncate(fd_.get(), size_);
            (void)kept; // the failure already said is the one that counts
        }
        return error;
    }
    size_ += static_cast<off_t>(done);
    return 0;
}

int OutputFile::close()
{
    if (fd_ && ::close(fd_.release()) != 0) {
        return errno;
    }
    return 0;
}

void OutputFile::discard()
{
    if (fd_ && created_ && same_file(path_)) {
        ::unlink(path_.c_str());
    }
    fd_.reset();
    created_ = false;
}

bool OutputFile::same_file(const std::string &path) const
{
    struct stat mine {};
    return fd_ && ::fstat(fd_.get(), &mine) == 0 && same_regular_file(mine, path);
}

} // namespace velmo::toolkit
