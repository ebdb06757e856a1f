// The registers of a stopped tracee, whichever its architecture.
//
// A tracee is an x86_64 or an i386 program; which one is told per stop by
// the size of the general register set the kernel hands out (as strace
// does). Everything the tracer needs of the registers goes through here.
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

    // At a system-call stop: the call's number (the x32 flag cleared),
    // argument n (0-2) as the kernel sees it, and
    // the call's fate: skip the real call and return result instead.
    long syscall_nr() const;
    std::uint64_t arg(int n) const;
    void skip_syscall(long result);

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
