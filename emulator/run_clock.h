// The run's clock: the time every task of a run sees, one clock for all of
// them (threads, children, across exec), that never goes back.
//
//   real     the machine's own clocks, as without velmo-emu; only the VCD and
//            --trace-time read this model, nothing in the program does
//   board    the time the program would see on the board: the CPU time of
//            its own code, the real time it spends blocked, --port-time per
//            port access; velmo-emu's stops, the time the program waits for
//            a CPU and the lateness of a wake-up are taken out
//   virtual  only modelled time: --port-time per port access, a fixed cost
//            per clock read and per stopped call, and the waits themselves
//
// Times are nanoseconds since the run began (elapsed); the clocks the
// program reads are that plus a base: CLOCK_MONOTONIC and its kinds start
// at the machine's monotonic time (board) or a fixed value (virtual),
// CLOCK_REALTIME at the machine's time (board) or --epoch (virtual).
#ifndef VELMO_EMU_RUN_CLOCK_H
#define VELMO_EMU_RUN_CLOCK_H

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include <sys/types.h>

namespace velmo::emu {

enum class ClockMode { Real, Board, Virtual };

constexpr std::int64_t kNsPerUs = 1000;
constexpr std::int64_t kNsPerS = 1000000000;
// 2025-01-01 00:00:00 UTC: where CLOCK_REALTIME starts in a virtual run.
constexpr std::int64_t kDefaultEpoch = 1735689600;
// Where the monotonic clocks start in a virtual run: 100 s after "boot".
constexpr std::int64_t kVirtualMonotonicStart = 100 * kNsPerS;
// What a clock read costs in a board or virtual run (so that a loop that
// waits on the clock ends), and a stopped call in a virtual run.
constexpr std::int64_t kReadCost = 1000;
constexpr std::int64_t kVirtualCallCost = 1000;
// In a board run, a task's blocked time between two stops shorter than
// this is taken for the stop's own way through the kernel and the tracer
// (and any, when the task got a CPU only once: it never blocked).
constexpr std::int64_t kBoardBlockedFloor = 1000000;
// In a board run, a task's CPU time between two stops beyond the least
// seen is counted only past this much (run_clock.cpp says why).
constexpr std::int64_t kBoardCpuNoise = 2000000;

// What the kernel says of a task at a stop: the machine's monotonic time,
// the task's CPU time, its time waiting for a CPU and how many times it
// has been given one (/proc schedstat). Task 0 is velmo-emu's own thread.
struct TaskSample {
    std::int64_t real_ns = 0;
    std::int64_t exec_ns = 0;
    std::int64_t delay_ns = 0;
    std::int64_t slices = 0;
};

class RunClock {
public:
    using Sampler = std::function<bool(pid_t, TaskSample &)>;

    // The run begins now. port_time: what one port access takes; epoch:
    // CLOCK_REALTIME at the start of a virtual run, in seconds.
    RunClock(ClockMode mode, std::int64_t port_time_ns, std::int64_t epoch_s);
    ~RunClock();
    RunClock(const RunClock &) = delete;
    RunClock &operator=(const RunClock &) = delete;

    ClockMode mode() const { return mode_; }
    // Board runs read their tasks through /proc; tests hand in their own.
    // (real: the machine's monotonic time.)
    void set_sampler(Sampler sampler, std::function<std::int64_t()> real)
    {
        sampler_ = std::move(sampler);
        real_ = std::move(real);
    }

    // Nanoseconds since the run began; never less than the last answer.
    std::int64_t now();
    std::int64_t monotonic_ns() { return now() + monotonic_base_; }
    std::int64_t realtime_ns() { return now() + realtime_base_; }
    std::int64_t monotonic_base() const { return monotonic_base_; }
    std::int64_t realtime_base() const { return realtime_base_; }

    void port_access();  // board, virtual: --port-time
    void clock_read();   // board, virtual: kReadCost
    void call_stopped(); // virtual: kVirtualCallCost
    // A wait has ended at elapsed time t: the clock reads at least t.
    void advance_to(std::int64_t t);

    // Something outside the program that acts on the run at times of this
    // clock (velmo-test's scenarios): the tracer's wait calls pace() at each
    // turn, and the pacer acts on whatever is due by now() and returns the
    // next time it must be called (INT64_MAX: never again). A virtual clock
    // never jumps past that time.
    void set_pacer(std::function<std::int64_t()> pacer) { pacer_ = std::move(pacer); }
    bool paced() const { return static_cast<bool>(pacer_); }
    std::int64_t pace() { return pacer_ ? pacer_() : INT64_MAX; }

    // Board: a task has stopped, or is resumed, or has ended.
    void task_stopped(pid_t pid);
    void task_resumed(pid_t pid);
    void task_gone(pid_t pid);

private:
    struct Task {
        bool sampled = false;
        bool running = false;
        TaskSample last; // at its last stop
        std::int64_t resumed_real = 0;
        std::int64_t resumed_at = 0;       // the run's clock then
        std::int64_t tracer_at_resume = 0; // velmo-emu's CPU and waiting time then
    };

    bool sample(pid_t pid, TaskSample &out);

    ClockMode mode_;
    std::int64_t port_time_;
    std::int64_t start_real_ = 0; // the machine's monotonic time at the start
    std::int64_t monotonic_base_ = 0;
    std::int64_t realtime_base_ = 0;
    std::int64_t elapsed_ = 0;     // board, virtual: the model's time
    std::int64_t last_ = 0;        // the last answer of now()
    std::int64_t least_exec_ = -1; // board: the least CPU time seen between stops
    std::unordered_map<pid_t, Task> tasks_;
    std::unordered_map<pid_t, int> schedstat_fds_;
    Sampler sampler_;
    std::function<std::int64_t()> real_;
    std::function<std::int64_t()> pacer_;
};

// The machine's monotonic clock, in nanoseconds.
std::int64_t real_monotonic_ns();

// A "--clock" word.
bool parse_clock_mode(const std::string &text, ClockMode &mode);

} // namespace velmo::emu

#endif
