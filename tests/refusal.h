// Why the kernel refuses port access, as the library tells the causes
// apart, and how the kernel here answers, for the tests that run the real
// port primitives (written without the library: ioperm itself, and the
// capability sets as /proc/self/status shows them).
#ifndef VELMO_TESTS_REFUSAL_H
#define VELMO_TESTS_REFUSAL_H

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/io.h>

namespace velmo::test {

enum class Refusal {
    NeedsCap,   // EPERM, the process without CAP_SYS_RAWIO
    ByKernel,   // EPERM, the process with it
    NoIoperm,   // ENOSYS
    OutOfRange, // EINVAL
    Other,      // any other errno
};

struct KernelAnswer {
    bool granted = false;
    int error = 0;   // ioperm's errno when refused
    Refusal why = Refusal::Other;
};

// Whether this process holds CAP_SYS_RAWIO (capability 17) in its
// effective set.
inline bool holds_rawio()
{
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return false;
    }
    char line[256];
    unsigned long long mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status) != nullptr) {
        found = std::sscanf(line, "CapEff: %llx", &mask) == 1;
    }
    std::fclose(status);
    return ((mask >> 17) & 1u) != 0;
}

// What the kernel answers a request for the board's first register here.
// A grant is given back at once: tests never touch real hardware.
inline KernelAnswer kernel_answer()
{
    KernelAnswer answer;
    if (ioperm(0x507, 1, 1) == 0) {
        ioperm(0x507, 1, 0);
        answer.granted = true;
        return answer;
    }
    answer.error = errno;
    switch (answer.error) {
    case EPERM:
        answer.why = holds_rawio() ? Refusal::ByKernel : Refusal::NeedsCap;
        break;
    case ENOSYS:
        answer.why = Refusal::NoIoperm;
        break;
    case EINVAL:
        answer.why = Refusal::OutOfRange;
        break;
    default:
        answer.why = Refusal::Other;
        break;
    }
    return answer;
}

} // namespace velmo::test

#endif
