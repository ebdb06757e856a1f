#include "calls.h"

#include <linux/audit.h>

namespace velmo::emu {

PortCall decode_call(std::uint32_t arch, std::uint64_t nr, const std::uint64_t (&args)[6], bool x32_runs)
{
    PortCall call;
    const auto number = static_cast<std::uint32_t>(nr);
    std::uint64_t a0 = args[0];
    std::uint64_t a1 = args[1];
    std::uint64_t a2 = args[2];
    bool ioperm = false;
    bool iopl = false;
    if (arch == AUDIT_ARCH_X86_64) {
        ioperm = number == kCallsX86_64.ioperm || (x32_runs && number == kCallsX32.ioperm);
        iopl = number == kCallsX86_64.iopl || (x32_runs && number == kCallsX32.iopl);
    } else if (arch == AUDIT_ARCH_I386) {
        ioperm = number == kCallsI386.ioperm;
        iopl = number == kCallsI386.iopl;
        a0 &= 0xFFFFFFFFu;
        a1 &= 0xFFFFFFFFu;
        a2 &= 0xFFFFFFFFu;
    }
    if (ioperm) {
        call.kind = PortCall::Kind::Ioperm;
        call.from = a0;
        call.num = a1;
        call.turn_on = static_cast<int>(static_cast<std::uint32_t>(a2));
    } else if (iopl) {
        call.kind = PortCall::Kind::Iopl;
        call.level = static_cast<std::uint32_t>(a0);
    }
    return call;
}

} // namespace velmo::emu
