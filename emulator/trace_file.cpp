#include "trace_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace velmo::emu {

bool TraceFile::open(const std::string &path, std::string &why)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        why = "cannot write the trace to " + path + ": " + std::strerror(errno);
        return false;
    }
    fd_.reset(fd);
    path_ = path;
    return true;
}

void TraceFile::write(const std::string &line)
{
    if (!fd_ || failed()) {
        return;
    }
    std::size_t done = 0;
    if (const int error = velmo::toolkit::write_all(fd_.get(), line + '\n', done); error != 0) {
        fail(error);
    }
}

bool TraceFile::close()
{
    if (fd_ && ::close(fd_.release()) != 0 && !failed()) {
        fail(errno);
    }
    return !failed();
}

void TraceFile::fail(int error)
{
    error_ = "cannot write the trace to " + path_ + ": " + std::strerror(error);
}

} // namespace velmo::emu
