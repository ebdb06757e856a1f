#include "filter.h"

#include "calls.h"
#include "clock_calls.h"

#include <cerrno>
#include <cstddef>
#include <stdexcept>

#include <linux/audit.h>
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

    // The run's clock: each time call of the table to the tracer.
    auto time = [&](const TimeCalls &n) {
        if (!time_calls) {
            return;
        }
        for (const std::uint32_t nr :
             {n.clock_gettime, n.clock_gettime64, n.gettimeofday, n.time, n.nanosleep, n.clock_nanosleep,
              n.clock_nanosleep64, n.alarm, n.setitimer, n.timer_create, n.timerfd_create}) {
            if (nr != kNoCall) {
                a.jump_if_equal(nr, to_time);
            }
        }
    };

    a.place(x86_64);
    a.load(kNr);
    calls(kCallsX86_64);
    time(kTimeCallsX86_64);
    if (x32) {
        calls(kCallsX32);
    }
    a.ret(SECCOMP_RET_ALLOW);

    a.place(i386);
    a.load(kNr);
    calls(kCallsI386);
    time(kTimeCallsI386);
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
    return a.finish();
}

bool install_filter(std::vector<sock_filter> &program)
{
    sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog, 0, 0) == 0;
}

} // namespace velmo::emu
