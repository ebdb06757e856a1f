// The registers of a stopped tracee, whichever its architecture.
//
// The kernel hands out the general register set in the layout of the mode
// the task's code runs in, 64-bit or 32-bit; its size says which. That is
// the mode a faulting instruction is decoded in. A system call's
// architecture is another matter (a 64-bit program may make i386 calls
// with int $0x80): that comes from PTRACE_GET_SYSCALL_INFO (calls.h).
#ifndef VELMO_EMU_REGS_H
#define VELMO_EMU_REGS_H

#include <cstdint>
#include <sys/types.h>

namespace velmo::emu {

enum class Arch { X86_64, I386 };

class Regs {
public:
    // Reads the tracee's general registers; false (errno set) on failure.
    bool fetch(pid_t pid);
    // Writes them back; false (errno set) on failure.
    bool store(pid_t pid) const;

    Arch arch() const { return arch_; }
    const char *arch_name() const { return arch_ == Arch::X86_64 ? "x86_64" : "i386"; }

    std::uint64_t pc() const;
    void set_pc(std::uint64_t pc);
    std::uint8_t al() const;
    void set_al(std::uint8_t value); // the rest of eax/rax is kept
    std::uint16_t dx() const;
    std::uint64_t sp() const;

    // rdtsc: edx:eax is value (the upper halves of rax and rdx cleared);
    // rdtscp also sets ecx, the processor's TSC_AUX, to aux.
    void set_tsc(std::uint64_t value, bool rdtscp, std::uint32_t aux);

    // At a system-call stop: skip the real call and return result instead.
    void skip_syscall(long result);
    // A call's argument n (0 to 5) of an i386 call (int $0x80) or an
    // x86_64 one; its result at the call's end; the registers to make it
    // again (at its end: the pc back on the 2-byte call instruction, the
    // number back in the result register).
    void set_arg(bool i386_call, int n, std::uint64_t value);
    long result(bool i386_call) const;
    void set_result(long result);
    void rewind();

private:
    // The kernel's layouts (struct user_regs_struct of each architecture),
    // spelled out so a tracer of either width can read both.
    struct X86_64 {
        std::uint64_t r15, r14, r13, r12, rbp, rbx, r11, r10, r9, r8;
        std::uint64_t rax, rcx, rdx, rsi, rdi, orig_rax, rip, cs, eflags, rsp, ss;
        std::uint64_t fs_base, gs_base, ds, es, fs, gs;
    };
    struct I386 {
        std::uint32_t ebx, ecx, edx, esi, edi, ebp, eax, xds, xes, xfs, xgs;
        std::uint32_t orig_eax, eip, xcs, eflags, esp, xss;
    };
    union {
        X86_64 r64_;
        I386 r32_;
    };
    Arch arch_ = Arch::X86_64;
};

} // namespace velmo::emu

#endif
