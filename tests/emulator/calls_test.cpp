// What the filter does with each call, run on the filter's own program, and
// what a stopped call is: numbers as in the kernel's tables, written out.
#include "calls.h"
#include "filter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include <linux/audit.h>
#include <linux/seccomp.h>

namespace {

using velmo::emu::decode_call;
using velmo::emu::PortCall;

constexpr std::uint32_t kX32 = 0x40000000;
constexpr std::uint32_t kUntraced = 0x00800000;
constexpr std::uint32_t kTraceIoperm = SECCOMP_RET_TRACE | 1;
constexpr std::uint32_t kTraceIopl = SECCOMP_RET_TRACE | 2;
constexpr std::uint32_t kEperm = SECCOMP_RET_ERRNO | EPERM;
constexpr std::uint32_t kEnosys = SECCOMP_RET_ERRNO | ENOSYS;

// Runs the filter as the kernel would on one call (time: with the time
// calls of a board or virtual run; args from the second on).
std::uint32_t run(bool x32, std::uint32_t arch, std::uint32_t nr, std::uint64_t flags = 0, bool time = false,
                  std::initializer_list<std::uint64_t> args = {})
{
    const std::vector<sock_filter> program = velmo::emu::port_filter(x32, time);
    seccomp_data data{};
    data.arch = arch;
    data.nr = static_cast<int>(nr);
    data.args[0] = flags;
    std::copy(args.begin(), args.end(), data.args + 1);
    std::uint32_t acc = 0;
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter &op = program[pc];
        switch (op.code) {
        case BPF_LD | BPF_W | BPF_ABS:
            std::memcpy(&acc, reinterpret_cast<const char *>(&data) + op.k, sizeof acc);
            break;
        case BPF_JMP | BPF_JEQ | BPF_K: pc += acc == op.k ? op.jt : op.jf; break;
        case BPF_JMP | BPF_JSET | BPF_K: pc += (acc & op.k) != 0 ? op.jt : op.jf; break;
        case BPF_ALU | BPF_AND | BPF_K: acc &= op.k; break;
        case BPF_RET | BPF_K: return op.k;
        default: ADD_FAILURE() << "instruction " << op.code << " at " << pc; return 0;
        }
    }
    ADD_FAILURE() << "the program ran off its end";
    return 0;
}

TEST(Filter, StopsPortCallsRefusesWaysOutAndLetsTheRestThrough)
{
    for (bool x32 : {false, true}) {
        // x86_64: ioperm 173, iopl 172, ptrace 101, clone 56, clone3 435.
        EXPECT_EQ(run(x32, AUDIT_ARCH_X86_64, 173), kTraceIoperm);
        EXPECT_EQ(run(x32, AUDIT_ARCH_X86_64, 172), kTraceIopl);
        EXPECT_EQ(run(x32, AUDIT_ARCH_X86_64, 101), kEperm);
        EXPECT_EQ(run(x32, AUDIT_ARCH_X86_64, 56, 0x11), SECCOMP_RET_ALLOW);
        EXPECT_EQ(run(x32, AUDIT_ARCH_X86_64, 56, kUntraced | 0x11), kEperm);
        EXPECT_EQ(run(x32, AUDIT_ARCH_X86_64, 56, 0xFFFFFFFF00000011ull), SECCOMP_RET_ALLOW);
        EXPECT_EQ(run(x32, AUDIT_ARCH_X86_64, 435), kEnosys);
        EXPECT_EQ(run(x32, AUDIT_ARCH_X86_64, 57), SECCOMP_RET_ALLOW); // fork
        EXPECT_EQ(run(x32, AUDIT_ARCH_X86_64, 0), SECCOMP_RET_ALLOW);
        // i386: ioperm 101, iopl 110, ptrace 26, clone 120, clone3 435.
        EXPECT_EQ(run(x32, AUDIT_ARCH_I386, 101), kTraceIoperm);
        EXPECT_EQ(run(x32, AUDIT_ARCH_I386, 110), kTraceIopl);
        EXPECT_EQ(run(x32, AUDIT_ARCH_I386, 26), kEperm);
        EXPECT_EQ(run(x32, AUDIT_ARCH_I386, 120, kUntraced), kEperm);
        EXPECT_EQ(run(x32, AUDIT_ARCH_I386, 120, 0x11), SECCOMP_RET_ALLOW);
        EXPECT_EQ(run(x32, AUDIT_ARCH_I386, 435), kEnosys);
        EXPECT_EQ(run(x32, AUDIT_ARCH_I386, 173), SECCOMP_RET_ALLOW);
        EXPECT_EQ(run(x32, AUDIT_ARCH_AARCH64, 173), SECCOMP_RET_ALLOW);
    }
    // x32 numbers (ioperm, ptrace 521, clone3) are looked at only where the
    // kernel runs them; elsewhere the kernel answers ENOSYS itself.
    EXPECT_EQ(run(false, AUDIT_ARCH_X86_64, kX32 | 173), SECCOMP_RET_ALLOW);
    EXPECT_EQ(run(false, AUDIT_ARCH_X86_64, kX32 | 521), SECCOMP_RET_ALLOW);
    EXPECT_EQ(run(true, AUDIT_ARCH_X86_64, kX32 | 173), kTraceIoperm);
    EXPECT_EQ(run(true, AUDIT_ARCH_X86_64, kX32 | 172), kTraceIopl);
    EXPECT_EQ(run(true, AUDIT_ARCH_X86_64, kX32 | 521), kEperm);
    EXPECT_EQ(run(true, AUDIT_ARCH_X86_64, kX32 | 56, kUntraced), kEperm);
    EXPECT_EQ(run(true, AUDIT_ARCH_X86_64, kX32 | 435), kEnosys);
}

// futex stops only for a wait with a timeout (op 0 FUTEX_WAIT, 9
// FUTEX_WAIT_BITSET, flags 128 private and 256 realtime; 1 FUTEX_WAKE):
// a mutex's every call would cost a stop. The waits with an int timeout
// stop always (a zero one costs its call on the run's clock).
TEST(Filter, StopsTimedWaitsOnlyWithTheRunsClock)
{
    constexpr std::uint32_t kTime = SECCOMP_RET_TRACE | velmo::emu::kTraceTime;
    const auto x86_64 = AUDIT_ARCH_X86_64;
    const auto i386 = AUDIT_ARCH_I386;
    EXPECT_EQ(run(false, x86_64, 202, 0, true, {128, 0, 0x7ffd0000}), kTime);
    EXPECT_EQ(run(false, x86_64, 202, 0, true, {9 | 128 | 256, 0, 0x700000000000}), kTime);
    EXPECT_EQ(run(false, x86_64, 202, 0, true, {128, 0, 0}), SECCOMP_RET_ALLOW);
    EXPECT_EQ(run(false, x86_64, 202, 0, true, {1 | 128, 0, 5}), SECCOMP_RET_ALLOW);
    EXPECT_EQ(run(false, x86_64, 202, 0, false, {128, 0, 0x7ffd0000}), SECCOMP_RET_ALLOW);
    EXPECT_EQ(run(false, x86_64, 7, 0, true), kTime); // poll
    EXPECT_EQ(run(false, x86_64, 7, 0, false), SECCOMP_RET_ALLOW);
    // i386: futex 240, futex_time64 422, _newselect 142, ppoll_time64 414.
    EXPECT_EQ(run(false, i386, 240, 0, true, {9, 0, 0xbf000000}), kTime);
    EXPECT_EQ(run(false, i386, 422, 0, true, {0, 0, 0xbf000000}), kTime);
    EXPECT_EQ(run(false, i386, 422, 0, true, {1, 0, 0xbf000000}), SECCOMP_RET_ALLOW);
    EXPECT_EQ(run(false, i386, 142, 0, true), kTime);
    EXPECT_EQ(run(false, i386, 414, 0, true), kTime);
}

TEST(Calls, DecodedAsTheKernelDecodesThem)
{
    const std::uint64_t junk = 0xdeadbeef00000000ull;
    // int $0x80 from a 64-bit program: i386 ioperm, the low halves only.
    PortCall c = decode_call(AUDIT_ARCH_I386, 101, {junk | 0x50f, junk | 1, junk | 1, 0, 0, 0}, false);
    EXPECT_EQ(c.kind, PortCall::Kind::Ioperm);
    EXPECT_EQ(c.from, 0x50fu);
    EXPECT_EQ(c.num, 1u);
    EXPECT_EQ(c.turn_on, 1);
    c = decode_call(AUDIT_ARCH_I386, 110, {junk | 3, 0, 0, 0, 0, 0}, false);
    EXPECT_EQ(c.kind, PortCall::Kind::Iopl);
    EXPECT_EQ(c.level, 3u);
    // x86_64: 101 is ptrace, nothing of ours; ioperm's range is 64-bit,
    // its turn_on an int.
    EXPECT_EQ(decode_call(AUDIT_ARCH_X86_64, 101, {0x50f, 1, 1, 0, 0, 0}, false).kind, PortCall::Kind::Other);
    c = decode_call(AUDIT_ARCH_X86_64, 173, {junk | 0x50f, 2, junk | 1, 0, 0, 0}, false);
    EXPECT_EQ(c.kind, PortCall::Kind::Ioperm);
    EXPECT_EQ(c.from, junk | 0x50f);
    EXPECT_EQ(c.num, 2u);
    EXPECT_EQ(c.turn_on, 1);
    c = decode_call(AUDIT_ARCH_X86_64, 172, {junk | 3, 0, 0, 0, 0, 0}, false);
    EXPECT_EQ(c.kind, PortCall::Kind::Iopl);
    EXPECT_EQ(c.level, 3u);
    // x32 ioperm: ioperm where the kernel runs x32 calls.
    EXPECT_EQ(decode_call(AUDIT_ARCH_X86_64, kX32 | 173, {0x50f, 1, 1, 0, 0, 0}, false).kind, PortCall::Kind::Other);
    EXPECT_EQ(decode_call(AUDIT_ARCH_X86_64, kX32 | 173, {0x50f, 1, 1, 0, 0, 0}, true).kind, PortCall::Kind::Ioperm);
}

} // namespace
