#include "io.h"

#include <cerrno>

#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace velmo::toolkit {

namespace {

// offset < 0: at the file offset.
int write_loop(int fd, const char *data, std::size_t size, off_t offset, std::size_t &done)
{
    done = 0;
    while (done < size) {
        const ssize_t n = offset < 0 ? ::write(fd, data + done, size - done)
                                     : ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace

int write_all(int fd, const void *data, std::size_t size, std::size_t &done)
{
    return write_loop(fd, static_cast<const char *>(data), size, -1, done);
}

int write_all_at(int fd, const void *data, std::size_t size, off_t offset, std::size_t &done)
{
    return write_loop(fd, static_cast<const char *>(data), size, offset < 0 ? 0 : offset, done);
}

ssize_t read_some(int fd, void *data, std::size_t size)
{
    ssize_t n = 0;
    do {
        n = ::read(fd, data, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t read_some_at(int fd, void *data, std::size_t size, off_t offset)
{
    ssize_t n = 0;
    do {
        n = ::pread(fd, data, size, offset);
    } while (n < 0 && errno == EINTR);
    return n;
}

const char *file_kind(mode_t mode)
{
    if (S_ISDIR(mode)) {
        return "is a directory";
    }
    if (S_ISFIFO(mode)) {
        return "is a FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "is a socket";
    }
    if (S_ISBLK(mode)) {
        return "is a block device";
    }
    if (S_ISCHR(mode)) {
        return "is a character device";
    }
    return "is not a regular file";
}

const char *pseudo_file_system(int fd)
{
    struct Kind {
        unsigned int magic;
        const char *name;
    };
    static constexpr Kind kKinds[] = {
        {0x9fa0, "procfs"},        {0x62656572, "sysfs"},     {0x64626720, "debugfs"},    {0x74726163, "tracefs"},
        {0x27e0eb, "cgroupfs"},    {0x63677270, "cgroup2fs"}, {0x73636673, "securityfs"}, {0xcafe4a11, "bpffs"},
        {0x1cd1, "devpts"},        {0x62656570, "configfs"},  {0x6165676c, "pstorefs"},   {0xde5e81e4, "efivarfs"},
        {0xf97cff8c, "selinuxfs"}, {0x43415d53, "smackfs"},   {0x65735543, "fusectl"},    {0x42494e4d, "binfmt_misc"},
        {0x6e736673, "nsfs"},      {0x958458f6, "hugetlbfs"},
    };
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) {
        return nullptr;
    }
    for (const Kind &kind : kKinds) {
        if (static_cast<unsigned int>(fs.f_type) == kind.magic) {
            return kind.name;
        }
    }
    return nullptr;
}

} // namespace velmo::toolkit
