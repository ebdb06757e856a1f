#include "regs.h"

#include <cerrno>
#include <elf.h>
#include <sys/ptrace.h>
#include <sys/uio.h>

namespace velmo::emu {

bool Regs::fetch(pid_t pid)
{
    iovec io{&r64_, sizeof r64_};
    if (ptrace(PTRACE_GETREGSET, pid, reinterpret_cast<void *>(NT_PRSTATUS), &io) != 0) {
        return false;
    }
    if (io.iov_len == sizeof(X86_64)) {
        arch_ = Arch::X86_64;
    } else if (io.iov_len == sizeof(I386)) {
        arch_ = Arch::I386;
    } else {
        errno = EPROTO;
        return false;
    }
    return true;
}

bool Regs::store(pid_t pid) const
{
    const bool wide = arch_ == Arch::X86_64;
    iovec io{const_cast<X86_64 *>(&r64_), wide ? sizeof(X86_64) : sizeof(I386)};
    return ptrace(PTRACE_SETREGSET, pid, reinterpret_cast<void *>(NT_PRSTATUS), &io) == 0;
}

std::uint64_t Regs::pc() const
{
    return arch_ == Arch::X86_64 ? r64_.rip : r32_.eip;
}

void Regs::set_pc(std::uint64_t pc)
{
    if (arch_ == Arch::X86_64) {
        r64_.rip = pc;
    } else {
        r32_.eip = static_cast<std::uint32_t>(pc);
    }
}

std::uint8_t Regs::al() const
{
    return static_cast<std::uint8_t>(arch_ == Arch::X86_64 ? r64_.rax : r32_.eax);
}

void Regs::set_al(std::uint8_t value)
{
    if (arch_ == Arch::X86_64) {
        r64_.rax = (r64_.rax & ~std::uint64_t{0xFF}) | value;
    } else {
        r32_.eax = (r32_.eax & ~std::uint32_t{0xFF}) | value;
    }
}

std::uint16_t Regs::dx() const
{
    return static_cast<std::uint16_t>(arch_ == Arch::X86_64 ? r64_.rdx : r32_.edx);
}

std::uint64_t Regs::sp() const
{
    return arch_ == Arch::X86_64 ? r64_.rsp : r32_.esp;
}

void Regs::set_tsc(std::uint64_t value, bool rdtscp, std::uint32_t aux)
{
    const auto low = static_cast<std::uint32_t>(value);
    const auto high = static_cast<std::uint32_t>(value >> 32);
    if (arch_ == Arch::X86_64) {
        r64_.rax = low;
        r64_.rdx = high;
        if (rdtscp) {
            r64_.rcx = aux;
        }
    } else {
        r32_.eax = low;
        r32_.edx = high;
        if (rdtscp) {
            r32_.ecx = aux;
        }
    }
}

void Regs::skip_syscall(long result)
{
    // A system-call number of -1 makes the kernel skip the call and leave
    // the result register as set here.
    if (arch_ == Arch::X86_64) {
        r64_.orig_rax = ~std::uint64_t{0};
        r64_.rax = static_cast<std::uint64_t>(result);
    } else {
        r32_.orig_eax = ~std::uint32_t{0};
        r32_.eax = static_cast<std::uint32_t>(result);
    }
}

void Regs::set_arg(bool i386_call, int n, std::uint64_t value)
{
    if (arch_ == Arch::I386) {
        std::uint32_t *const args[6] = {&r32_.ebx, &r32_.ecx, &r32_.edx, &r32_.esi, &r32_.edi, &r32_.ebp};
        *args[n] = static_cast<std::uint32_t>(value);
    } else if (i386_call) {
        std::uint64_t *const args[6] = {&r64_.rbx, &r64_.rcx, &r64_.rdx, &r64_.rsi, &r64_.rdi, &r64_.rbp};
        *args[n] = value & 0xFFFFFFFFu;
    } else {
        std::uint64_t *const args[6] = {&r64_.rdi, &r64_.rsi, &r64_.rdx, &r64_.r10, &r64_.r8, &r64_.r9};
        *args[n] = value;
    }
}

long Regs::result(bool i386_call) const
{
    if (arch_ == Arch::I386 || i386_call) {
        return static_cast<std::int32_t>(arch_ == Arch::I386 ? r32_.eax : static_cast<std::uint32_t>(r64_.rax));
    }
    return static_cast<long>(r64_.rax);
}

void Regs::set_result(long result)
{
    if (arch_ == Arch::X86_64) {
        r64_.rax = static_cast<std::uint64_t>(result);
    } else {
        r32_.eax = static_cast<std::uint32_t>(result);
    }
}

void Regs::rewind()
{
    // syscall (0f 05), int $0x80 (cd 80) and sysenter (0f 34) are all two
    // bytes long, as the kernel's own restart of a call takes them.
    if (arch_ == Arch::X86_64) {
        r64_.rip -= 2;
        r64_.rax = r64_.orig_rax;
    } else {
        r32_.eip -= 2;
        r32_.eax = r32_.orig_eax;
    }
}

} // namespace velmo::emu
