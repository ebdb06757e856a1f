// A file descriptor with one owner, closed when the owner goes: no path
// out of a function can forget it.
#ifndef VELMO_EMU_FD_H
#define VELMO_EMU_FD_H

#include <cerrno>
#include <cstddef>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace velmo::emu {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A pipe whose two ends each have their owner; false (errno set) when the
// kernel refuses one. Both ends close on exec.
inline bool make_pipe(UniqueFd &read_end, UniqueFd &write_end)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
}

// Writes all of text to fd, again after a signal: 0, or the errno of the
// write that failed (EIO for one that wrote nothing), with done bytes out.
inline int write_all(int fd, const std::string &text, std::size_t &done)
{
    done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
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

} // namespace velmo::emu

#endif
