#include "filter.h"

#include "calls.h"
#include "clock_calls.h"

#include <cerrno>
#include <cstddef>
#include <stdexcept>

#include <linux/audit.h>
#include <linux/futex.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

namespace velmo::emu {

namespace {

// Classic BPF jumps forward by counted offsets; this writes them from
// named places instead, and counts when the program is complete.
class Assembler {
public:
    using Label = std::size_t;

    Label label()
    {
        places_.push_back(kUnplaced);
        return places_.size() - 1;
    }
    void place(Label label) { places_.at(label) = code_.size(); }

    void load(std::uint32_t offset) { code_.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset)); }
    void ret(std::uint32_t action) { code_.push_back(BPF_STMT(BPF_RET | BPF_K, action)); }
    void and_mask(std::uint32_t k) { code_.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, k)); }
    // To yes when the accumulator is k, else on.
    void jump_if_equal(std::uint32_t k, Label yes) { jump(BPF_JEQ, k, yes); }
    // To yes when the accumulator has any bit of k, else on.
    void jump_if_any(std::uint32_t k, Label yes) { jump(BPF_JSET, k, yes); }

    std::vector<sock_filter> finish()
    {
        for (const Jump &j : jumps_) {
            const std::size_t to = places_.at(j.to);
            if (to == kUnplaced || to <= j.at || to - j.at - 1 > 255) {
                throw std::logic_error("port filter: a jump to an unplaced or unreachable label");
            }
            code_[j.at].jt = static_cast<std::uint8_t>(to - j.at - 1);
        }
        return code_;
    }

private:
    static constexpr std::size_t kUnplaced = ~std::size_t{0};
    struct Jump {
        std::size_t at;
        Label to;
    };

    void jump(std::uint16_t how, std::uint32_t k, Label yes)
    {
        jumps_.push_back({code_.size(), yes});
        code_.push_back(BPF_JUMP(static_cast<std::uint16_t>(BPF_JMP | how | BPF_K), k, 0, 0));
    }

    std::vector<sock_filter> code_;
    std::vector<std::size_t> places_;
    std::vector<Jump> jumps_;
};

} // namespace

std::vector<sock_filter> port_filter(bool x32, bool time_calls)
{
    constexpr auto kArch = static_cast<std::uint32_t>(offsetof(seccomp_data, arch));
    constexpr auto kNr = static_cast<std::uint32_t>(offsetof(seccomp_data, nr));
    // The low half of the first argument (little endian): clone's flags in
    // both tables, and all of them for an i386 call.
    constexpr auto kFlags = static_cast<std::uint32_t>(offsetof(seccomp_data, args));

    Assembler a;
    const auto x86_64 = a.label();
    const auto i386 = a.label();
    const auto clone = a.label();
    const auto to_ioperm = a.label();
    const auto to_iopl = a.label();
    const auto refuse = a.label();
    const auto no_such_call = a.label();
    const auto to_time = a.label();
    const auto futex = a.label();

    auto calls = [&](const CallNumbers &n) {
        a.jump_if_equal(n.ioperm, to_ioperm);
        a.jump_if_equal(n.iopl, to_iopl);
        a.jump_if_equal(n.ptrace, refuse);
        a.jump_if_equal(n.clone, clone);
        a.jump_if_equal(n.clone3, no_such_call);
    };

    a.load(kArch);
    a.jump_if_equal(AUDIT_ARCH_X86_64, x86_64);
    a.jump_if_equal(AUDIT_ARCH_I386, i386);
    a.ret(SECCOMP_RET_ALLOW);

    // The run's clock: each time call of the table to the tracer, and
    // each call that waits with a timeout; futex only for its waits with
    // one (a mutex's or a condition's every call would cost a stop).
    auto time = [&](const TimeCalls &n, const WaitCalls &w) {
        if (!time_calls) {
            return;
        }
        for (const std::uint32_t nr : {n.clock_gettime, n.clock_gettime64, n.gettimeofday,      n.time,
                                       n.nanosleep,     n.clock_nanosleep, n.clock_nanosleep64, n.alarm,
                                       n.setitimer,     n.timer_create,    n.timerfd_create,    w.select,
                                       w.old_select,    w.pselect6,        w.pselect6_64,       w.poll,
                                       w.ppoll,         w.ppoll64,         w.epoll_wait,        w.epoll_pwait,
                                       w.epoll_pwait2,  w.futex_waitv}) {
            if (nr != kNoCall) {
                a.jump_if_equal(nr, to_time);
            }
        }
        for (const std::uint32_t nr : {w.futex, w.futex64}) {
            if (nr != kNoCall) {
                a.jump_if_equal(nr, futex);
            }
        }
    };

    a.place(x86_64);
    a.load(kNr);
    calls(kCallsX86_64);
    time(kTimeCallsX86_64, kWaitCallsX86_64);
    if (x32) {
        calls(kCallsX32);
    }
    a.ret(SECCOMP_RET_ALLOW);

    a.place(i386);
    a.load(kNr);
    calls(kCallsI386);
    time(kTimeCallsI386, kWaitCallsI386);
    a.ret(SECCOMP_RET_ALLOW);

    a.place(clone);
    a.load(kFlags);
    a.jump_if_any(CLONE_UNTRACED, refuse);
    a.ret(SECCOMP_RET_ALLOW);

    a.place(to_ioperm);
    a.ret(SECCOMP_RET_TRACE | kTraceIoperm);
    a.place(to_iopl);
    a.ret(SECCOMP_RET_TRACE | kTraceIopl);
    a.place(refuse);
    a.ret(SECCOMP_RET_ERRNO | EPERM);
    a.place(no_such_call);
    a.ret(SECCOMP_RET_ERRNO | ENOSYS);
    a.place(to_time);
    a.ret(SECCOMP_RET_TRACE | kTraceTime);

    if (time_calls) {
        // futex(uaddr, op, val, timeout, ...): the waits (op without its
        // private and clock flags), when timeout is not NULL.
        constexpr auto kOp = static_cast<std::uint32_t>(offsetof(seccomp_data, args) + sizeof(std::uint64_t));
        constexpr auto kTimeout = static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 3 * sizeof(std::uint64_t));
        const auto futex_wait = a.label();
        const auto timeout_high = a.label();
        const auto allow = a.label();
        a.place(futex);
        a.load(kOp);
        a.and_mask(~static_cast<std::uint32_t>(FUTEX_PRIVATE_FLAG | FUTEX_CLOCK_REALTIME));
        for (const int op : {FUTEX_WAIT, FUTEX_WAIT_BITSET, FUTEX_LOCK_PI, FUTEX_LOCK_PI2, FUTEX_WAIT_REQUEUE_PI}) {
            a.jump_if_equal(static_cast<std::uint32_t>(op), futex_wait);
        }
        a.ret(SECCOMP_RET_ALLOW);
        a.place(futex_wait);
        a.load(kTimeout);
        a.jump_if_equal(0, timeout_high);
        a.ret(SECCOMP_RET_TRACE | kTraceTime);
        a.place(timeout_high);
        a.load(kTimeout + 4);
        a.jump_if_equal(0, allow);
        a.ret(SECCOMP_RET_TRACE | kTraceTime);
        a.place(allow);
        a.ret(SECCOMP_RET_ALLOW);
    }
    return a.finish();
}

bool install_filter(std::vector<sock_filter> &program)
{
    sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog, 0, 0) == 0;
}

} // namespace velmo::emu
