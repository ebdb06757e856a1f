#include "proc.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <sys/ptrace.h>
#include <sys/uio.h>

namespace velmo::emu {

std::size_t read_code(pid_t pid, std::uint64_t address, std::uint8_t *out, std::size_t size)
{
    if (address <= UINTPTR_MAX) {
        iovec local{out, size};
        iovec remote{reinterpret_cast<void *>(static_cast<std::uintptr_t>(address)), size};
        const ssize_t n = process_vm_readv(pid, &local, 1, &remote, 1, 0);
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
    }
    std::size_t got = 0;
    while (got < size) {
        errno = 0;
        const long word = ptrace(PTRACE_PEEKDATA, pid, reinterpret_cast<void *>(address + got), nullptr);
        if (errno != 0) {
            break;
        }
        const std::size_t n = std::min(sizeof word, size - got);
        std::memcpy(out + got, &word, n);
        got += n;
    }
    return got;
}

std::string status_field(pid_t pid, const char *name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(name) + ":";
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            const std::size_t start = line.find_first_not_of(" \t", prefix.size());
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "";
}

bool sigcont_pending(pid_t pid)
{
    const unsigned long long bit = 1ull << (SIGCONT - 1);
    for (const char *field : {"SigPnd", "ShdPnd"}) {
        const std::string mask = status_field(pid, field);
        if (!mask.empty() && (std::strtoull(mask.c_str(), nullptr, 16) & bit) != 0) {
            return true;
        }
    }
    return false;
}

} // namespace velmo::emu
