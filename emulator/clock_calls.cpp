#include "clock_calls.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include <elf.h>
#include <linux/audit.h>
#include <linux/futex.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>

namespace velmo::emu {

namespace {

// The longest the tracer waits before it looks again at its sleepers.
constexpr std::int64_t kLookAgainNs = 10 * 1000 * 1000;
// How often a held timed wait is tried again, in real time.
constexpr std::int64_t kProbeSliceNs = 1000 * 1000;
// The kernel's own results of a call a signal broke into, which it turns
// into a restart or EINTR on the way back to the program.
constexpr long kRestartSys = 512;
constexpr long kRestartNoIntr = 513;
constexpr long kRestartNoHand = 514;
constexpr long kRestartBlock = 516;
// How many looks, 100 us apart, a program must be seen blocked before a
// pacer's time comes while nothing sleeps.
constexpr int kStillTurns = 20;

bool read_memory(pid_t pid, std::uint64_t address, void *out, std::size_t size)
{
    if (address == 0 || address > UINTPTR_MAX) {
        return false;
    }
    iovec local{out, size};
    iovec remote{reinterpret_cast<void *>(static_cast<std::uintptr_t>(address)), size};
    return process_vm_readv(pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

bool write_memory(pid_t pid, std::uint64_t address, const void *data, std::size_t size)
{
    if (address == 0 || address > UINTPTR_MAX) {
        return false;
    }
    iovec local{const_cast<void *>(data), size};
    iovec remote{reinterpret_cast<void *>(static_cast<std::uintptr_t>(address)), size};
    return process_vm_writev(pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

// Two numbers as the program lays them out: a timespec or a timeval, of
// 32-bit fields (i386 calls) or 64-bit ones (x86_64, and i386's *64 calls).
bool write_pair(pid_t pid, std::uint64_t address, bool wide, std::int64_t first, std::int64_t second)
{
    if (wide) {
        const std::int64_t pair[2] = {first, second};
        return write_memory(pid, address, pair, sizeof pair);
    }
    const std::int32_t pair[2] = {static_cast<std::int32_t>(first), static_cast<std::int32_t>(second)};
    return write_memory(pid, address, pair, sizeof pair);
}

// A timespec the program hands in; false when it cannot be read.
bool read_timespec(pid_t pid, std::uint64_t address, bool wide, std::int64_t &sec, std::int64_t &nsec)
{
    if (wide) {
        std::int64_t pair[2] = {};
        if (!read_memory(pid, address, pair, sizeof pair)) {
            return false;
        }
        sec = pair[0];
        nsec = pair[1];
        return true;
    }
    std::int32_t pair[2] = {};
    if (!read_memory(pid, address, pair, sizeof pair)) {
        return false;
    }
    sec = pair[0];
    nsec = pair[1];
    return true;
}

// Which of the run's clocks a clock ID reads: 'r' CLOCK_REALTIME and its
// kinds, 'm' the monotonic ones (BOOTTIME included: the run never
// suspends), 0 any other (CPU-time clocks, dynamic clocks), which the
// kernel answers.
char clock_kind(std::uint64_t id)
{
    switch (static_cast<std::int32_t>(id)) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_REALTIME_ALARM:
    case CLOCK_TAI: return 'r';
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_BOOTTIME:
    case CLOCK_BOOTTIME_ALARM: return 'm';
    default: return 0;
    }
}

// The clocks clock_nanosleep sleeps on, as the kernel takes them.
bool sleeps_on(std::uint64_t id)
{
    const auto clock = static_cast<std::int32_t>(id);
    return clock == CLOCK_REALTIME || clock == CLOCK_MONOTONIC || clock == CLOCK_BOOTTIME || clock == CLOCK_TAI;
}

bool is(std::uint32_t nr, std::uint32_t call)
{
    return call != kNoCall && nr == call;
}

// The signal masks of a task, from /proc (bit n-1 for signal n).
struct SignalMasks {
    unsigned long long pending = 0, blocked = 0, ignored = 0, caught = 0;
};

SignalMasks signal_masks(pid_t pid)
{
    SignalMasks m;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const unsigned long long mask = std::strtoull(line.c_str() + colon + 1, nullptr, 16);
        if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) {
            m.pending |= mask;
        } else if (line.rfind("SigBlk:", 0) == 0) {
            m.blocked = mask;
        } else if (line.rfind("SigIgn:", 0) == 0) {
            m.ignored = mask;
        } else if (line.rfind("SigCgt:", 0) == 0) {
            m.caught = mask;
        }
    }
    return m;
}

// The signals that end a wait: those with a handler, and those whose
// default action ends the program. A child's end (SIGCHLD), SIGURG,
// SIGWINCH, and the stop and continue signals, left to their default, do
// not: the kernel goes on with the wait.
unsigned long long ending_signals(const SignalMasks &m)
{
    unsigned long long harmless = 0;
    for (const int signal : {SIGCHLD, SIGURG, SIGWINCH, SIGCONT, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU}) {
        harmless |= 1ULL << (signal - 1);
    }
    return m.caught | (~m.ignored & ~harmless);
}

} // namespace

WaitForm wait_form(bool i386, std::uint32_t nr, const std::uint64_t *args)
{
    const WaitCalls &n = i386 ? kWaitCallsI386 : kWaitCallsX86_64;
    const bool long64 = !i386;
    WaitForm f;
    auto timed = [&f](const char *name, int arg, WaitForm::Timeout timeout, bool wide, bool remaining) {
        f.kind = WaitForm::Kind::Timed;
        f.name = name;
        f.arg = arg;
        f.timeout = timeout;
        f.wide = wide;
        f.remaining = remaining;
    };
    auto named = [&f](const char *name) {
        f.kind = WaitForm::Kind::Named;
        f.name = name;
    };
    using T = WaitForm::Timeout;
    if (is(nr, n.select)) {
        timed("select", 4, T::Timeval, long64, true);
    } else if (is(nr, n.old_select)) {
        named("select (its old form, arguments in a block)");
    } else if (is(nr, n.pselect6) || is(nr, n.pselect6_64)) {
        timed("pselect6", 4, T::Timespec, long64 || is(nr, n.pselect6_64), true);
    } else if (is(nr, n.poll)) {
        timed("poll", 2, T::Ms, true, false);
    } else if (is(nr, n.ppoll) || is(nr, n.ppoll64)) {
        timed("ppoll", 2, T::Timespec, long64 || is(nr, n.ppoll64), true);
    } else if (is(nr, n.epoll_wait) || is(nr, n.epoll_pwait)) {
        timed(is(nr, n.epoll_wait) ? "epoll_wait" : "epoll_pwait", 3, T::Ms, true, false);
    } else if (is(nr, n.epoll_pwait2)) {
        timed("epoll_pwait2", 3, T::Timespec, true, false);
    } else if (is(nr, n.futex) || is(nr, n.futex64)) {
        const auto op = static_cast<std::uint32_t>(args[1]);
        const std::uint32_t cmd = op & ~static_cast<std::uint32_t>(FUTEX_PRIVATE_FLAG | FUTEX_CLOCK_REALTIME);
        const bool wide = long64 || is(nr, n.futex64);
        f.kind = WaitForm::Kind::Untimed;
        if (cmd == FUTEX_WAIT) { // a span, whatever the clock
            timed("futex", 3, T::Timespec, wide, false);
            f.futex = true;
        } else if (cmd == FUTEX_WAIT_BITSET) {
            timed("futex", 3, T::Timespec, wide, false);
            f.futex = true;
            f.absolute = true;
            f.realtime = (op & FUTEX_CLOCK_REALTIME) != 0;
        } else if (args[3] != 0 && cmd == FUTEX_LOCK_PI) {
            named("futex FUTEX_LOCK_PI");
        } else if (args[3] != 0 && cmd == FUTEX_LOCK_PI2) {
            named("futex FUTEX_LOCK_PI2");
        } else if (args[3] != 0 && cmd == FUTEX_WAIT_REQUEUE_PI) {
            named("futex FUTEX_WAIT_REQUEUE_PI");
        }
    } else if (is(nr, n.futex_waitv)) {
        f.kind = WaitForm::Kind::Untimed;
        if (args[3] != 0) {
            named("futex_waitv");
        }
    }
    return f;
}

ClockCalls::ClockCalls(RunClock &clock, std::string program, std::function<std::vector<pid_t>()> tasks)
    : clock_(clock), program_(std::move(program)), tasks_(std::move(tasks))
{}

ClockCalls::Outcome ClockCalls::on_call(pid_t pid, const __ptrace_syscall_info &info, Regs &regs)
{
    const bool i386 = info.arch == AUDIT_ARCH_I386;
    if (!i386 && info.arch != AUDIT_ARCH_X86_64) {
        return Outcome::NotMine;
    }
    const TimeCalls &n = i386 ? kTimeCallsI386 : kTimeCallsX86_64;
    const auto nr = static_cast<std::uint32_t>(info.seccomp.nr);
    std::uint64_t a[6];
    for (int i = 0; i < 6; ++i) {
        a[i] = i386 ? info.seccomp.args[i] & 0xFFFFFFFFu : info.seccomp.args[i];
    }
    const bool long64 = !i386; // the width of a long, of time_t in the old calls

    long result = 0;
    if (is(nr, n.clock_gettime) || is(nr, n.clock_gettime64)) {
        const char kind = clock_kind(a[0]);
        if (kind == 0) {
            return Outcome::Pass;
        }
        clock_.clock_read();
        const std::int64_t t = kind == 'r' ? clock_.realtime_ns() : clock_.monotonic_ns();
        const bool wide = long64 || is(nr, n.clock_gettime64);
        result = write_pair(pid, a[1], wide, t / kNsPerS, t % kNsPerS) ? 0 : -EFAULT;
    } else if (is(nr, n.gettimeofday)) {
        clock_.clock_read();
        const std::int64_t t = clock_.realtime_ns();
        if (a[0] != 0 && !write_pair(pid, a[0], long64, t / kNsPerS, t % kNsPerS / kNsPerUs)) {
            result = -EFAULT;
        }
        const std::int32_t zone[2] = {0, 0}; // UTC, no daylight saving
        if (a[1] != 0 && !write_memory(pid, a[1], zone, sizeof zone)) {
            result = -EFAULT;
        }
    } else if (is(nr, n.time)) {
        clock_.clock_read();
        const std::int64_t seconds = clock_.realtime_ns() / kNsPerS;
        result = static_cast<long>(seconds);
        if (a[0] != 0) {
            const std::int32_t narrow = static_cast<std::int32_t>(seconds);
            const bool written = long64 ? write_memory(pid, a[0], &seconds, sizeof seconds)
                                        : write_memory(pid, a[0], &narrow, sizeof narrow);
            result = written ? result : -EFAULT;
        }
    } else if (is(nr, n.nanosleep) || is(nr, n.clock_nanosleep) || is(nr, n.clock_nanosleep64)) {
        const bool plain = is(nr, n.nanosleep);
        if (!plain && !sleeps_on(a[0])) {
            return Outcome::Pass;
        }
        clock_.call_stopped();
        const bool absolute = !plain && (a[1] & TIMER_ABSTIME) != 0;
        const std::uint64_t request = plain ? a[0] : a[2];
        const bool wide = long64 || is(nr, n.clock_nanosleep64);
        std::int64_t sec = 0;
        std::int64_t nsec = 0;
        if (!read_timespec(pid, request, wide, sec, nsec)) {
            result = -EFAULT;
        } else if (sec < 0 || nsec < 0 || nsec >= kNsPerS) {
            result = -EINVAL;
        } else {
            const std::int64_t span = sec > INT64_MAX / kNsPerS - 1 ? INT64_MAX / 2 : sec * kNsPerS + nsec;
            std::int64_t deadline = 0;
            if (absolute) {
                const std::int64_t base = clock_kind(a[0]) == 'r' ? clock_.realtime_base() : clock_.monotonic_base();
                deadline = span - base;
            } else {
                deadline = clock_.now() + span;
            }
            if (deadline > clock_.now()) {
                hold(pid, regs, deadline);
                Sleeper &s = sleepers_[pid];
                s.remaining = absolute ? 0 : plain ? a[1] : a[3];
                s.wide = wide;
                return Outcome::Held;
            }
        }
    } else if (const WaitForm form = wait_form(i386, nr, a); form.kind == WaitForm::Kind::Timed) {
        return on_wait(pid, form, nr, i386, a, regs);
    } else if (form.kind != WaitForm::Kind::None) {
        clock_.call_stopped();
        if (form.kind == WaitForm::Kind::Named) {
            name_once(form.name);
        }
        return Outcome::Pass;
    } else if (is(nr, n.alarm) || is(nr, n.setitimer) || is(nr, n.timer_create) || is(nr, n.timerfd_create)) {
        clock_.call_stopped();
        name_once(is(nr, n.alarm)          ? "alarm"
                  : is(nr, n.setitimer)    ? "setitimer"
                  : is(nr, n.timer_create) ? "timer_create"
                                           : "timerfd_create");
        return Outcome::Pass;
    } else {
        clock_.call_stopped();
        return Outcome::NotMine;
    }
    regs.skip_syscall(result);
    regs.store(pid);
    return Outcome::Resume;
}

void ClockCalls::name_once(const char *call)
{
    if (named_.insert(call).second) {
        std::fprintf(stderr, "velmo-emu: %s: %s runs on the machine's clock, not the run's\n", program_.c_str(), call);
    }
}

bool ClockCalls::on_tsc(pid_t pid, Regs &regs, const std::uint8_t *code, std::size_t size)
{
    const bool rdtsc = size >= 2 && code[0] == 0x0F && code[1] == 0x31;
    const bool rdtscp = size >= 3 && code[0] == 0x0F && code[1] == 0x01 && code[2] == 0xF9;
    if (!rdtsc && !rdtscp) {
        return false;
    }
    clock_.clock_read();
    // One tick a nanosecond of the monotonic clock; processor 0.
    regs.set_tsc(static_cast<std::uint64_t>(clock_.monotonic_ns()), rdtscp, 0);
    regs.set_pc(regs.pc() + (rdtsc ? 2 : 3));
    regs.store(pid);
    return true;
}

// The new program's stack at its exec stop: argc, argv and its null,
// envp and its null, then the auxiliary vector's (type, value) pairs up to
// AT_NULL. The vDSO's entry becomes AT_IGNORE, which the C library skips.
void ClockCalls::on_exec(pid_t pid)
{
    // When a thread other than the first runs execve, it takes the first
    // one's thread ID, and the first one, held or not, is gone without a
    // word (the other threads' ends are reported).
    sleepers_.erase(pid);
    waits_.erase(pid);
    Regs regs;
    if (!regs.fetch(pid)) {
        return;
    }
    const std::size_t word = regs.arch() == Arch::X86_64 ? 8 : 4;
    auto read_word = [&](std::uint64_t address, std::uint64_t &value) {
        value = 0;
        return read_memory(pid, address, &value, word);
    };
    std::uint64_t at = regs.sp();
    std::uint64_t value = 0;
    if (!read_word(at, value)) {
        return;
    }
    at += (value + 2) * word;                                   // argc, argv[], its null
    for (int i = 0; i < 1 << 20 && read_word(at, value); ++i) { // envp[] up to its null
        at += word;
        if (value == 0) {
            break;
        }
    }
    for (int i = 0; i < 256 && read_word(at, value) && value != AT_NULL; ++i, at += 2 * word) {
        if (value == AT_SYSINFO_EHDR) {
            const std::uint64_t ignore = AT_IGNORE;
            write_memory(pid, at, &ignore, word);
        }
    }
}

void ClockCalls::forget(pid_t pid)
{
    sleepers_.erase(pid);
    waits_.erase(pid);
}

// A timed wait (select, pselect6, poll, ppoll, epoll_wait, epoll_pwait,
// epoll_pwait2, and futex's FUTEX_WAIT and FUTEX_WAIT_BITSET) is served as
// a run of short tries, none of which blocks in the kernel: at its first
// stop the deadline is set on the run's clock; each try runs the call with
// a timeout of zero (the int in its register, or a zero timespec/timeval
// written below the task's stack, its red zone kept, and pointed to), and
// the tracer sees its end (PTRACE_SYSCALL). Ready, an error, or EAGAIN of
// a futex whose word has changed: that is the result, the program's own
// registers back. Nothing yet, before the deadline: the task is held as a
// sleeper, its registers set to make the call again, and let go to try
// again after kProbeSliceNs of real time; in a virtual run also whenever
// another task of the run has done anything (generation_), and before the
// clock jumps, so the clock never jumps past a wait another task has
// ended. At the deadline it ends with the timeout's result. The kernel's
// wait never runs on the machine's clock, so the run's clock alone says
// when it times out. select, pselect6 and ppoll get back what was left of
// their timeout, as from the kernel.
ClockCalls::Outcome ClockCalls::on_wait(pid_t pid, const WaitForm &form, std::uint32_t nr, bool i386,
                                        const std::uint64_t *a, const Regs &regs)
{
    auto found = waits_.find(pid);
    if (found != waits_.end() && (found->second.nr != nr || !found->second.rewound)) {
        waits_.erase(found);
        found = waits_.end();
    }
    if (found == waits_.end()) {
        clock_.call_stopped();
        Wait w;
        w.form = form;
        w.nr = nr;
        w.i386 = i386;
        w.timeout = a[form.arg];
        w.entry = regs;
        std::int64_t span = 0;
        if (form.timeout == WaitForm::Timeout::Ms) {
            const auto ms = static_cast<std::int32_t>(w.timeout);
            if (ms <= 0) {
                return Outcome::Pass; // no timeout (-1), or no wait (0)
            }
            span = ms * std::int64_t{1000000};
        } else {
            const std::int64_t unit = form.timeout == WaitForm::Timeout::Timeval ? kNsPerUs : 1;
            std::int64_t sec = 0;
            std::int64_t frac = 0;
            if (w.timeout == 0 || !read_timespec(pid, w.timeout, form.wide, sec, frac) || sec < 0 || frac < 0 ||
                frac >= kNsPerS / unit || (!form.absolute && sec == 0 && frac == 0)) {
                return Outcome::Pass; // no timeout, no wait, or the kernel's EFAULT or EINVAL
            }
            span = sec > INT64_MAX / kNsPerS - 1 ? INT64_MAX / 2 : sec * kNsPerS + frac * unit;
        }
        const std::int64_t now = clock_.now();
        w.begun = now;
        w.real_begun = real_monotonic_ns();
        w.real_tried = w.real_begun;
        w.deadline =
            form.absolute ? span - (form.realtime ? clock_.realtime_base() : clock_.monotonic_base()) : now + span;
        w.real_due = w.real_begun + std::max<std::int64_t>(0, w.deadline - now);
        found = waits_.emplace(pid, w).first;
    }
    found->second.rewound = false;
    Regs tried = regs;
    if (form.timeout == WaitForm::Timeout::Ms) {
        tried.set_arg(i386, form.arg, 0);
    } else {
        const std::uint64_t below = regs.arch() == Arch::X86_64 ? 256 : 64;
        const std::uint64_t zero = (regs.sp() - below) & ~std::uint64_t{15};
        if (regs.sp() < below + 16 || !write_pair(pid, zero, form.wide, 0, 0)) {
            waits_.erase(found);
            name_once(form.name); // no room for the try: the kernel waits
            return Outcome::Pass;
        }
        tried.set_arg(i386, form.arg, zero);
    }
    tried.store(pid);
    return Outcome::Probe;
}

ClockCalls::Outcome ClockCalls::on_call_end(pid_t pid)
{
    const auto found = waits_.find(pid);
    Regs now;
    if (found == waits_.end() || !now.fetch(pid)) {
        return Outcome::Resume;
    }
    Wait &w = found->second;
    const long result = now.result(w.i386);
    if (result == -kRestartSys || result == -kRestartNoIntr || result == -kRestartNoHand || result == -kRestartBlock) {
        // A signal came: it goes on to the task, and then the call is made
        // again (a handler's signal ends the wait: on_signal).
        Regs again = w.entry;
        again.rewind();
        again.store(pid);
        w.rewound = true;
        return Outcome::Resume;
    }
    const bool timed_out = w.form.futex ? result == -ETIMEDOUT : result == 0;
    if (timed_out && clock_.now() < w.deadline) {
        Regs again = w.entry;
        again.rewind();
        hold(pid, again, w.deadline);
        Sleeper &s = sleepers_[pid];
        s.real_due = w.real_due;
        s.probe = true;
        w.real_tried = real_monotonic_ns();
        s.probe_due = w.real_tried + kProbeSliceNs;
        s.generation = generation_;
        return Outcome::Held;
    }
    end_wait(pid, result, timed_out);
    return Outcome::Resume;
}

// The wait's end: the clock at its deadline (timed out) or, in a board
// run, on by the real time it waited up to its last try that found
// nothing (what ended it came after; when, the tries do not tell closer
// than kProbeSliceNs, and a wake-up's lateness is no part of the board's
// time); the program's registers with the result, and for select,
// pselect6 and ppoll what was left.
void ClockCalls::end_wait(pid_t pid, long result, bool timed_out)
{
    const auto found = waits_.find(pid);
    if (found == waits_.end()) {
        return;
    }
    const Wait w = found->second;
    waits_.erase(found);
    ++generation_;
    if (timed_out) {
        clock_.advance_to(w.deadline);
    } else if (clock_.mode() == ClockMode::Board) {
        clock_.advance_to(std::min(w.deadline, w.begun + w.real_tried - w.real_begun));
    }
    if (w.form.remaining) {
        const std::int64_t left = std::max<std::int64_t>(0, w.deadline - clock_.now());
        const bool timeval = w.form.timeout == WaitForm::Timeout::Timeval;
        write_pair(pid, w.timeout, w.form.wide, left / kNsPerS, left % kNsPerS / (timeval ? kNsPerUs : 1));
    }
    Regs regs = w.entry;
    regs.set_result(result);
    regs.store(pid);
}

// A held wait's next try: the call made again, its deadline kept.
void ClockCalls::probe_again(pid_t pid)
{
    const auto found = sleepers_.find(pid);
    const auto wait = waits_.find(pid);
    if (found == sleepers_.end() || wait == waits_.end()) {
        return;
    }
    const Regs regs = found->second.regs;
    sleepers_.erase(found);
    wait->second.rewound = true;
    regs.store(pid);
    clock_.task_resumed(pid);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
}

// Virtual: held waits not tried since another task last did something
// are tried again; true when there were any.
bool ClockCalls::probe_stale()
{
    std::vector<pid_t> stale;
    for (const auto &entry : sleepers_) {
        if (entry.second.probe && entry.second.generation != generation_) {
            stale.push_back(entry.first);
        }
    }
    for (const pid_t pid : stale) {
        probe_again(pid);
    }
    return !stale.empty();
}

void ClockCalls::on_signal(pid_t pid, int signal)
{
    const auto found = waits_.find(pid);
    if (found == waits_.end() || !found->second.rewound || signal < 1 || signal > 64) {
        return;
    }
    if ((signal_masks(pid).caught >> (signal - 1) & 1) != 0) {
        end_wait(pid, -EINTR, false); // its handler runs, and the call has ended
    }
}

void ClockCalls::hold(pid_t pid, Regs &regs, std::int64_t deadline)
{
    Sleeper &s = sleepers_[pid];
    s.deadline = deadline;
    s.real_due = real_monotonic_ns() + (deadline - clock_.now());
    s.order = holds_++;
    s.regs = regs;
}

void ClockCalls::release(pid_t pid)
{
    const auto found = sleepers_.find(pid);
    if (found == sleepers_.end()) {
        return;
    }
    Sleeper s = found->second;
    clock_.advance_to(s.deadline);
    sleepers_.erase(found);
    ++generation_;
    if (s.probe) {
        const auto wait = waits_.find(pid);
        end_wait(pid, wait != waits_.end() && wait->second.form.futex ? -ETIMEDOUT : 0, true);
    } else {
        s.regs.skip_syscall(0);
        s.regs.store(pid);
    }
    clock_.task_resumed(pid);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
}

// Sleepers whose time has come, earliest deadline first (the first to
// sleep first among equals): on the run's clock (virtual) or the machine's
// (board).
void ClockCalls::release_due()
{
    for (;;) {
        const bool board = clock_.mode() == ClockMode::Board;
        const std::int64_t now = board ? real_monotonic_ns() : clock_.now();
        auto next = sleepers_.end();
        for (auto it = sleepers_.begin(); it != sleepers_.end(); ++it) {
            const std::int64_t due = board ? it->second.real_due : it->second.deadline;
            if (due <= now &&
                (next == sleepers_.end() || it->second.deadline < next->second.deadline ||
                 (it->second.deadline == next->second.deadline && it->second.order < next->second.order))) {
                next = it;
            }
        }
        if (next == sleepers_.end()) {
            break;
        }
        release(next->first);
    }
    const std::int64_t real = real_monotonic_ns();
    std::vector<pid_t> due;
    for (const auto &entry : sleepers_) {
        if (entry.second.probe && entry.second.probe_due <= real) {
            due.push_back(entry.first);
        }
    }
    for (const pid_t pid : due) {
        probe_again(pid);
    }
}

// Can a task of the run that is not held here run? A task the kernel has
// ready to run (state R) can; one blocked (S, D) or stopped cannot.
bool ClockCalls::others_can_run() const
{
    for (const pid_t pid : tasks_()) {
        if (sleepers_.count(pid) != 0) {
            continue;
        }
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        const std::size_t paren = text.rfind(')');
        // R: running or waiting for a CPU; D: at work in the kernel (a page
        // read from disk, say), not waiting for anything of the run's.
        if (paren != std::string::npos && paren + 2 < text.size() &&
            (text[paren + 2] == 'R' || text[paren + 2] == 'D')) {
            return true;
        }
    }
    return false;
}

// A signal pending for a held task, not blocked, that it catches or that
// would end it (ending_signals), ends its sleep or wait early, as in the
// kernel: EINTR, and what was left of a relative sleep.
void ClockCalls::interrupt_signalled()
{
    for (auto it = sleepers_.begin(); it != sleepers_.end();) {
        const pid_t pid = it->first;
        const SignalMasks m = signal_masks(pid);
        if ((m.pending & ~m.blocked & ending_signals(m)) == 0) {
            ++it;
            continue;
        }
        Sleeper s = it->second;
        it = sleepers_.erase(it);
        ++generation_;
        if (s.probe) {
            end_wait(pid, -EINTR, false);
        } else {
            const std::int64_t left = std::max<std::int64_t>(0, s.deadline - clock_.now());
            if (s.remaining != 0) {
                write_pair(pid, s.remaining, s.wide, left / kNsPerS, left % kNsPerS);
            }
            s.regs.skip_syscall(-EINTR);
            s.regs.store(pid);
        }
        clock_.task_resumed(pid);
        ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    }
}

pid_t ClockCalls::wait(int *status)
{
    // A stop of a task not in the middle of a timed wait: it may have done
    // what a wait waits for.
    auto seen = [this](pid_t pid) {
        if (pid > 0 && waits_.count(pid) == 0) {
            ++generation_;
        }
        return pid;
    };
    for (;;) {
        const std::int64_t horizon = clock_.pace();
        release_due();
        if (sleepers_.empty() && horizon == INT64_MAX) {
            return seen(waitpid(-1, status, __WALL));
        }
        if (!sigchld_blocked_) {
            // From now on a child's stop is waited for with a timeout.
            sigset_t chld;
            sigemptyset(&chld);
            sigaddset(&chld, SIGCHLD);
            sigprocmask(SIG_BLOCK, &chld, nullptr);
            sigchld_blocked_ = true;
        }
        const pid_t pid = waitpid(-1, status, __WALL | WNOHANG);
        if (pid != 0) {
            return seen(pid);
        }
        std::int64_t wait_ns = kLookAgainNs;
        if (clock_.mode() == ClockMode::Virtual) {
            if (!others_can_run()) {
                const pid_t late = waitpid(-1, status, __WALL | WNOHANG);
                if (late != 0) {
                    return seen(late);
                }
                if (probe_stale()) {
                    continue;
                }
                // Nothing can run until a sleeper wakes or the pacer acts:
                // the clock goes to the earliest of their times.
                std::int64_t earliest = INT64_MAX;
                for (const auto &entry : sleepers_) {
                    earliest = std::min(earliest, entry.second.deadline);
                }
                const std::int64_t paced = clock_.pace();
                if (std::min(earliest, paced) == INT64_MAX) {
                    return seen(waitpid(-1, status, __WALL));
                }
                // With no sleeper first, a program seen blocked may only be
                // passing through the kernel (its start, a page fault): the
                // pacer's time comes only once it has stayed so a while.
                if (paced >= earliest || ++still_ >= kStillTurns) {
                    still_ = 0;
                    clock_.advance_to(std::min(earliest, paced));
                    continue;
                }
            } else {
                still_ = 0;
            }
            wait_ns = 100 * 1000;
        } else {
            std::int64_t due = INT64_MAX;
            for (const auto &entry : sleepers_) {
                due = std::min(due, entry.second.probe ? std::min(entry.second.real_due, entry.second.probe_due)
                                                       : entry.second.real_due);
            }
            wait_ns = std::min(wait_ns, due - real_monotonic_ns());
            if (wait_ns <= 0) {
                continue;
            }
        }
        interrupt_signalled();
        if (sleepers_.empty() && !clock_.paced()) {
            continue;
        }
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        const timespec timeout{static_cast<time_t>(wait_ns / kNsPerS), static_cast<long>(wait_ns % kNsPerS)};
        sigtimedwait(&chld, nullptr, &timeout);
    }
}

} // namespace velmo::emu
