// The program's clocks and timed waits, served on the run's clock
// (run_clock.h) in a board or a virtual run.
//
// The filter stops the time calls of both call tables at the tracer:
// clock reads (clock_gettime, gettimeofday, time) are answered from the
// run's clock; sleeps (nanosleep, clock_nanosleep) are never run by the
// kernel: the task is held, stopped, until the run's clock reaches its
// deadline. In a board run the tracer waits for that deadline in real time
// and the clock then reads exactly the deadline; in a virtual run, once no
// task of the run can run, the clock jumps to the earliest deadline. The
// timeouts of select, pselect6, poll, ppoll, epoll_wait, epoll_pwait,
// epoll_pwait2 and futex's waits end on the run's clock too: the kernel
// runs such a wait only in tries that do not block, the task held like a
// sleeper between them (on_wait says how). Timer calls and timed waits
// left to the kernel (alarm, setitimer, timer_create, timerfd_create,
// futex_waitv, the PI futex waits, i386's old select) are named on stderr
// at their first use and run on the real clock.
//
// The vDSO, which answers clock reads without any call, is hidden from
// each program at its exec (its auxv entry made AT_IGNORE), so the C
// library makes the calls; the time-stamp counter traps (PR_SET_TSC) and
// rdtsc/rdtscp are answered here with the monotonic clock in nanoseconds.
#ifndef VELMO_EMU_CLOCK_CALLS_H
#define VELMO_EMU_CLOCK_CALLS_H

#include "run_clock.h"
#include "regs.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/ptrace.h>
#include <sys/types.h>

namespace velmo::emu {

// One call table's numbers for the time calls (kNoCall where it has none).
constexpr std::uint32_t kNoCall = 0xFFFFFFFFu;
struct TimeCalls {
    std::uint32_t clock_gettime;
    std::uint32_t clock_gettime64;
    std::uint32_t gettimeofday;
    std::uint32_t time;
    std::uint32_t nanosleep;
    std::uint32_t clock_nanosleep;
    std::uint32_t clock_nanosleep64;
    std::uint32_t alarm;
    std::uint32_t setitimer;
    std::uint32_t timer_create;
    std::uint32_t timerfd_create;
};
extern const TimeCalls kTimeCallsX86_64;
extern const TimeCalls kTimeCallsI386;

// One call table's numbers for the calls that wait with a timeout.
struct WaitCalls {
    std::uint32_t select;     // x86_64 select, i386 _newselect
    std::uint32_t old_select; // i386 select: its arguments in a block
    std::uint32_t pselect6;
    std::uint32_t pselect6_64;
    std::uint32_t poll;
    std::uint32_t ppoll;
    std::uint32_t ppoll64;
    std::uint32_t epoll_wait;
    std::uint32_t epoll_pwait;
    std::uint32_t epoll_pwait2;
    std::uint32_t futex;
    std::uint32_t futex64;
    std::uint32_t futex_waitv;
};
extern const WaitCalls kWaitCallsX86_64;
extern const WaitCalls kWaitCallsI386;

// What a call's timeout is, as the kernel reads it.
struct WaitForm {
    enum class Kind {
        None,    // not a call that waits
        Untimed, // one with no timeout: the kernel runs it
        Named,   // a timed wait left to the machine's clock: name says which
        Timed,   // served on the run's clock
    };
    enum class Timeout {
        Ms,       // an int of milliseconds, in the argument itself
        Timeval,  // a pointer to a timeval
        Timespec, // a pointer to a timespec
    };
    Kind kind = Kind::None;
    const char *name = "";
    int arg = 0; // which argument holds the timeout
    Timeout timeout = Timeout::Ms;
    bool wide = true;       // the struct's fields are 64-bit
    bool absolute = false;  // a time on a clock (futex), not a span
    bool realtime = false;  // absolute on CLOCK_REALTIME, else monotonic
    bool remaining = false; // the kernel writes back what is left
    bool futex = false;     // ETIMEDOUT at the timeout, else 0
};
// Reads a call's number and arguments (i386: each its low 32 bits).
WaitForm wait_form(bool i386, std::uint32_t nr, const std::uint64_t *args);

class ClockCalls {
public:
    // tasks: the thread IDs of the run's tasks, to see whether any can run.
    ClockCalls(RunClock &clock, std::string program, std::function<std::vector<pid_t>()> tasks);

    enum class Outcome {
        NotMine, // not a time call: the tracer serves it
        Resume,  // answered: registers stored, resume the task
        Held,    // a sleep: the task stays stopped until its deadline
        Pass,    // the kernel runs it as it is
        Probe,   // the kernel runs it with no timeout: resume to its end (PTRACE_SYSCALL)
    };
    // At a seccomp stop.
    Outcome on_call(pid_t pid, const __ptrace_syscall_info &info, Regs &regs);
    // At the end of a call resumed by Probe (a syscall-exit stop): Held,
    // or Resume once its registers are stored.
    Outcome on_call_end(pid_t pid);
    // At a signal-delivery stop, before the signal goes on to the task.
    void on_signal(pid_t pid, int signal);
    // At a privileged-instruction fault: true when it was rdtsc or rdtscp,
    // answered and the registers stored.
    bool on_tsc(pid_t pid, Regs &regs, const std::uint8_t *code, std::size_t size);
    // At an exec stop: hides the vDSO from the new program.
    void on_exec(pid_t pid);
    void forget(pid_t pid);
    bool holds(pid_t pid) const { return sleepers_.count(pid) != 0; }

    // The tracer's waitpid(-1, status, __WALL), which meanwhile releases
    // sleepers as their deadlines come.
    pid_t wait(int *status);

private:
    // A timed wait in progress (clock_calls.cpp says how it is served).
    struct Wait {
        WaitForm form;
        std::uint32_t nr = 0;
        std::uint64_t timeout = 0; // the program's timeout argument
        std::int64_t deadline = 0; // on the run's clock
        std::int64_t real_due = 0; // board: the machine's monotonic time then
        std::int64_t begun = 0;    // the run's clock at its start
        std::int64_t real_begun = 0;
        std::int64_t real_tried = 0; // the machine's time at the last try that found nothing
        bool i386 = false;           // an i386 call
        bool rewound = false;        // resumed to run the call again
        Regs entry;                  // at its first stop, as the program made it
    };
    struct Sleeper {
        std::int64_t deadline = 0; // on the run's clock
        std::int64_t real_due = 0; // board: the machine's monotonic time then
        std::uint64_t order = 0;
        std::uint64_t remaining = 0;  // where a relative sleep's rest goes (0: nowhere)
        bool wide = true;             // its timespec's fields are 64-bit
        bool probe = false;           // a timed wait, held between two runs of its call
        std::int64_t probe_due = 0;   // probe: the machine's monotonic time of the next
        std::uint64_t generation = 0; // probe: generation_ when it was held
        Regs regs;
    };

    void hold(pid_t pid, Regs &regs, std::int64_t deadline);
    Outcome on_wait(pid_t pid, const WaitForm &form, std::uint32_t nr, bool i386, const std::uint64_t *a,
                    const Regs &regs);
    void end_wait(pid_t pid, long result, bool timed_out);
    void probe_again(pid_t pid);
    bool probe_stale();
    void interrupt_signalled();
    void release_due();
    void release(pid_t pid);
    bool others_can_run() const;
    void name_once(const char *call);

    RunClock &clock_;
    std::string program_;
    std::function<std::vector<pid_t>()> tasks_;
    std::map<pid_t, Sleeper> sleepers_;
    std::map<pid_t, Wait> waits_;
    // Moves on each time a task of the run may have done something a
    // timed wait waits for (virtual: held waits are tried again before
    // the clock jumps).
    std::uint64_t generation_ = 0;
    std::uint64_t holds_ = 0;
    std::set<std::string> named_;
    bool sigchld_blocked_ = false;
    int still_ = 0; // looks in a row that found no task able to run
};

} // namespace velmo::emu

#endif
