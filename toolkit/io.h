// Reads and writes that a signal does not cut short, with one contract for
// every file the project writes, and the words messages use for files.
//
// write_all: all of size bytes, again after EINTR and after a short
// write. Returns 0, or the errno of the write that failed (EIO for one
// that wrote nothing); done is how many bytes went out either way, so a
// caller can take back a half-written record. Safe between fork and exec:
// it allocates nothing.
#ifndef VELMO_TOOLKIT_IO_H
#define VELMO_TOOLKIT_IO_H

#include <cstddef>
#include <string>

#include <sys/types.h>

namespace velmo::toolkit {

int write_all(int fd, const void *data, std::size_t size, std::size_t &done);
inline int write_all(int fd, const std::string &text, std::size_t &done)
{
    return write_all(fd, text.data(), text.size(), done);
}
// The same at offset in the file (pwrite), the file offset left alone.
int write_all_at(int fd, const void *data, std::size_t size, off_t offset, std::size_t &done);

// One read of up to size bytes, again after EINTR: the count (0 at the
// end), or -1 with errno set. read_some_at reads at offset (pread).
ssize_t read_some(int fd, void *data, std::size_t size);
ssize_t read_some_at(int fd, void *data, std::size_t size, off_t offset);

// What a path that is not a regular file is, for messages: "is a
// directory", "is a FIFO", "is a socket", "is a block device", "is a
// character device".
const char *file_kind(mode_t mode);

// The kernel's own file system fd is on (procfs, sysfs, debugfs, cgroup,
// ...), whose files only look like files: their size says nothing of what
// a read shows, and a write there sets the kernel. nullptr for any other.
const char *pseudo_file_system(int fd);

} // namespace velmo::toolkit

#endif
