// A file descriptor with one owner, closed when the owner goes: no path
// out of a function can forget it.
#ifndef VELMO_TOOLKIT_FD_H
#define VELMO_TOOLKIT_FD_H

#include <fcntl.h>
#include <unistd.h>

namespace velmo::toolkit {

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

} // namespace velmo::toolkit

#endif
