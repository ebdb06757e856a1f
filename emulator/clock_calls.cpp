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
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>

namespace velmo::emu {

namespace {

// The longest the tracer waits before it looks again at its sleepers.
constexpr std::int64_t kLookAgainNs = 10 * 1000 * 1000;
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

} // namespace

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
    Regs regs = found->second.regs;
    clock_.advance_to(found->second.deadline);
    sleepers_.erase(found);
    regs.skip_syscall(0);
    regs.store(pid);
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
            return;
        }
        release(next->first);
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
        if (paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'R') {
            return true;
        }
    }
    return false;
}

// A signal that the held task neither blocks nor ignores ends its sleep
// early, as in the kernel: EINTR, and what was left of a relative sleep.
void ClockCalls::interrupt_signalled()
{
    for (auto it = sleepers_.begin(); it != sleepers_.end();) {
        const pid_t pid = it->first;
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        unsigned long long pending = 0;
        unsigned long long blocked = 0;
        unsigned long long ignored = 0;
        while (std::getline(status, line)) {
            const unsigned long long mask = std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 16);
            if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) {
                pending |= mask;
            } else if (line.rfind("SigBlk:", 0) == 0) {
                blocked = mask;
            } else if (line.rfind("SigIgn:", 0) == 0) {
                ignored = mask;
            }
        }
        if ((pending & ~blocked & ~ignored) == 0) {
            ++it;
            continue;
        }
        Sleeper s = it->second;
        it = sleepers_.erase(it);
        const std::int64_t left = std::max<std::int64_t>(0, s.deadline - clock_.now());
        if (s.remaining != 0) {
            write_pair(pid, s.remaining, s.wide, left / kNsPerS, left % kNsPerS);
        }
        s.regs.skip_syscall(-EINTR);
        s.regs.store(pid);
        clock_.task_resumed(pid);
        ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    }
}

pid_t ClockCalls::wait(int *status)
{
    for (;;) {
        const std::int64_t horizon = clock_.pace();
        release_due();
        if (sleepers_.empty() && horizon == INT64_MAX) {
            return waitpid(-1, status, __WALL);
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
            return pid;
        }
        std::int64_t wait_ns = kLookAgainNs;
        if (clock_.mode() == ClockMode::Virtual) {
            if (!others_can_run()) {
                const pid_t late = waitpid(-1, status, __WALL | WNOHANG);
                if (late != 0) {
                    return late;
                }
                // Nothing can run until a sleeper wakes or the pacer acts:
                // the clock goes to the earliest of their times.
                std::int64_t earliest = INT64_MAX;
                for (const auto &entry : sleepers_) {
                    earliest = std::min(earliest, entry.second.deadline);
                }
                const std::int64_t paced = clock_.pace();
                if (std::min(earliest, paced) == INT64_MAX) {
                    return waitpid(-1, status, __WALL);
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
                due = std::min(due, entry.second.real_due);
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
