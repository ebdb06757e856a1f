// The system calls velmo-emu answers or refuses, and what a stopped call
// is, decoded as the kernel decodes it.
//
// A task makes a call in one of three ways, each with its own numbers: the
// x86_64 `syscall`, the i386 `int $0x80` (or `sysenter`), which a 64-bit
// program may use too, and the x32 `syscall` (x86_64 numbers with bit 30
// set), which only a kernel built and booted for x32 runs. The numbers come
// from the kernel's headers, one translation unit each, since the headers
// give the same names different values.
#ifndef VELMO_EMU_CALLS_H
#define VELMO_EMU_CALLS_H

#include <cstdint>

namespace velmo::emu {

// One call table's numbers for the calls the filter looks at.
struct CallNumbers {
    std::uint32_t ioperm;
    std::uint32_t iopl;
    std::uint32_t ptrace;
    std::uint32_t clone;
    std::uint32_t clone3;
};

extern const CallNumbers kCallsX86_64; // asm/unistd_64.h
extern const CallNumbers kCallsI386;   // asm/unistd_32.h
extern const CallNumbers kCallsX32;    // asm/unistd_x32.h, bit 30 included

// Does this kernel run x32 calls? Asked of the kernel once, with an x32
// getpid (ENOSYS where it runs none). A 32-bit velmo-emu cannot make an x32
// call and is told no, which is what it needs: its programs are i386 ones.
bool kernel_runs_x32();

// The stopped call as the kernel would run it.
struct PortCall {
    enum class Kind { Ioperm, Iopl, Other };
    Kind kind = Kind::Other;
    // ioperm(from, num, turn_on)
    std::uint64_t from = 0;
    std::uint64_t num = 0;
    int turn_on = 0;
    // iopl(level)
    std::uint32_t level = 0;
};

// From the architecture (AUDIT_ARCH_*), number and arguments that
// PTRACE_GET_SYSCALL_INFO gives. The kernel takes the number as a 32-bit
// int, so bits above it in rax are no part of it; an i386 call takes the
// low 32 bits of each argument register. x32 numbers count only where
// x32_runs.
PortCall decode_call(std::uint32_t arch, std::uint64_t nr, const std::uint64_t (&args)[6], bool x32_runs);

} // namespace velmo::emu

#endif
