// Why the kernel refuses port access, as the library tells the causes
// apart, and how the kernel here answers, for the tests that run the real
// port primitives (kernel_ports.h asks the kernel).
#ifndef VELMO_TESTS_REFUSAL_H
#define VELMO_TESTS_REFUSAL_H

#include "kernel_ports.h"

#include <cerrno>

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
    int error = 0; // ioperm's errno when refused
    Refusal why = Refusal::Other;
};

inline bool holds_rawio()
{
    return velmo_holds_rawio() != 0;
}

// What the kernel answers a request for the board's first register here.
inline KernelAnswer kernel_answer()
{
    const velmo_kernel_answer asked = velmo_ask_kernel();
    KernelAnswer answer;
    answer.granted = asked.granted != 0;
    answer.error = asked.error;
    if (answer.granted) {
        return answer;
    }
    switch (answer.error) {
    case EPERM: answer.why = asked.rawio != 0 ? Refusal::ByKernel : Refusal::NeedsCap; break;
    case ENOSYS: answer.why = Refusal::NoIoperm; break;
    case EINVAL: answer.why = Refusal::OutOfRange; break;
    default: answer.why = Refusal::Other; break;
    }
    return answer;
}

} // namespace velmo::test

#endif
