// The program's clocks and timed waits, served on the run's clock
// (run_clock.h) in a board or a virtual run.
//
// The filter stops the time calls of both call tables at the tracer:
// clock reads (clock_gettime, gettimeofday, time) are answered from the
// run's clock; sleeps (nanosleep, clock_nanosleep) are never run by the
// kernel: the task is held, stopped, until the run's clock reaches its
// deadline. In a board run the tracer waits for that deadline in real time
// and the clock then reads exactly the deadline; in a virtual run, once no
// task of the run can run, the clock jumps to the earliest deadline. Timer
// calls left to the kernel (alarm, setitimer, timer_create,
// timerfd_create) are named on stderr at their first use and run on the
// real clock.
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

class ClockCalls {
public:
    // tasks: the thread IDs of the run's tasks, to see whether any can run.
    ClockCalls(RunClock &clock, std::string program, std::function<std::vector<pid_t>()> tasks);

    enum class Outcome {
        NotMine, // not a time call: the tracer serves it
        Resume,  // answered: registers stored, resume the task
        Held,    // a sleep: the task stays stopped until its deadline
        Pass,    // the kernel runs it as it is
    };
    // At a seccomp stop.
    Outcome on_call(pid_t pid, const __ptrace_syscall_info &info, Regs &regs);
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
    struct Sleeper {
        std::int64_t deadline = 0; // on the run's clock
        std::int64_t real_due = 0; // board: the machine's monotonic time then
        std::uint64_t order = 0;
        std::uint64_t remaining = 0; // where a relative sleep's rest goes (0: nowhere)
        bool wide = true;            // its timespec's fields are 64-bit
        Regs regs;
    };

    void hold(pid_t pid, Regs &regs, std::int64_t deadline);
    void interrupt_signalled();
    void release_due();
    void release(pid_t pid);
    bool others_can_run() const;
    void name_once(const char *call);

    RunClock &clock_;
    std::string program_;
    std::function<std::vector<pid_t>()> tasks_;
    std::map<pid_t, Sleeper> sleepers_;
    std::uint64_t holds_ = 0;
    std::set<std::string> named_;
    bool sigchld_blocked_ = false;
    int still_ = 0; // looks in a row that found no task able to run
};

} // namespace velmo::emu

#endif
