#include "run_clock.h"

#include "clock.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/ptrace.h>
#include <unistd.h>

namespace velmo::emu {

namespace {

std::int64_t read_clock(clockid_t id)
{
    timespec ts{};
    ::clock_gettime(id, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec;
}

} // namespace

std::int64_t real_monotonic_ns()
{
    return velmo::toolkit::monotonic_ns();
}

RunClock::RunClock(ClockMode mode, std::int64_t port_time_ns, std::int64_t epoch_s)
    : mode_(mode), port_time_(port_time_ns)
{
    start_real_ = real_monotonic_ns();
    if (mode == ClockMode::Virtual) {
        monotonic_base_ = kVirtualMonotonicStart;
        realtime_base_ = epoch_s * kNsPerS;
    } else {
        monotonic_base_ = start_real_;
        realtime_base_ = read_clock(CLOCK_REALTIME);
    }
    sampler_ = [this](pid_t pid, TaskSample &out) { return sample(pid, out); };
    real_ = real_monotonic_ns;
}

RunClock::~RunClock()
{
    for (const auto &entry : schedstat_fds_) {
        ::close(entry.second);
    }
}

std::int64_t RunClock::now()
{
    const std::int64_t t = mode_ == ClockMode::Real ? real_monotonic_ns() - start_real_ : elapsed_;
    last_ = std::max(last_, t);
    return last_;
}

void RunClock::port_access()
{
    if (mode_ != ClockMode::Real) {
        elapsed_ += port_time_;
    }
}

void RunClock::clock_read()
{
    if (mode_ != ClockMode::Real) {
        elapsed_ += kReadCost;
    }
}

void RunClock::call_stopped()
{
    if (mode_ == ClockMode::Virtual) {
        elapsed_ += kVirtualCallCost;
    }
}

void RunClock::advance_to(std::int64_t t)
{
    elapsed_ = std::max(elapsed_, t);
}

// A board run's clock moves on at each stop of a task by what the task did
// since it was resumed: the CPU time of its own code, and the real time it
// was blocked, when it did block and that is longer than a stop's way
// through the tracer.
// The least CPU time ever seen between two stops is the stop's own cost in
// the kernel, and not counted. On top of it the kernel charges the task
// with work that is not its own: interrupts taken while it ran, and on a
// virtual machine the time its host held the virtual CPU (this machine's
// kernel reports no stolen time). On a loaded machine that is tens of
// microseconds between most stops, and now and then a single charge of
// 0.2 to 1.5 ms (a few in ten thousand stops, most often just after a
// long stop), which would make a sleep seem to end that late. Nothing
// tells such a charge from the program's own code, so kBoardCpuNoise
// more is not counted either: a stretch of the program's own code shorter
// than that between two stops (system calls, port accesses) is not seen.
// The time it waited for a CPU (other programs, velmo-emu) is not counted.
// Tasks that run side by side each move the clock from where it was at
// their resume: the run's clock is the furthest.
void RunClock::task_stopped(pid_t pid)
{
    if (mode_ != ClockMode::Board) {
        return;
    }
    TaskSample s;
    if (!sampler_(pid, s)) {
        return;
    }
    Task &task = tasks_[pid];
    if (task.sampled && task.running) {
        const std::int64_t exec = std::max<std::int64_t>(0, s.exec_ns - task.last.exec_ns);
        const std::int64_t delay = std::max<std::int64_t>(0, s.delay_ns - task.last.delay_ns);
        // While a task is stopped it waits for velmo-emu, which may itself
        // wait for a CPU: velmo-emu's own time is taken out of the blocked time.
        TaskSample self;
        const std::int64_t tracer = sampler_(0, self) ? self.exec_ns + self.delay_ns - task.tracer_at_resume : 0;
        const std::int64_t blocked = s.real_ns - task.resumed_real - exec - delay - tracer;
        least_exec_ = least_exec_ < 0 ? exec : std::min(least_exec_, exec);
        const std::int64_t own = std::max<std::int64_t>(0, exec - least_exec_ - kBoardCpuNoise);
        // Time the task neither ran nor waited for a CPU is the program's
        // only if it blocked: then it got a CPU again after it, more than
        // the once after its resume. Otherwise it is the way to a CPU that
        // the wait for one does not show (the wake-up of a virtual CPU that
        // its host holds, say), and not the program's.
        const bool slept = s.slices - task.last.slices > 1;
        const std::int64_t counted = own + (slept && blocked > kBoardBlockedFloor ? blocked : 0);
        elapsed_ = std::max(elapsed_, task.resumed_at + counted);
    }
    task.sampled = true;
    task.running = false;
    task.last = s;
}

void RunClock::task_resumed(pid_t pid)
{
    if (mode_ != ClockMode::Board) {
        return;
    }
    const auto found = tasks_.find(pid);
    if (found == tasks_.end()) {
        return;
    }
    found->second.running = true;
    found->second.resumed_real = real_();
    TaskSample self;
    found->second.tracer_at_resume = sampler_(0, self) ? self.exec_ns + self.delay_ns : 0;
    found->second.resumed_at = elapsed_;
}

void RunClock::task_gone(pid_t pid)
{
    tasks_.erase(pid);
    const auto fd = schedstat_fds_.find(pid);
    if (fd != schedstat_fds_.end()) {
        ::close(fd->second);
        schedstat_fds_.erase(fd);
    }
}

// /proc/PID/schedstat: CPU time, time waiting for a CPU, time slices (pid
// 0: velmo-emu's own thread). The file is kept open per task and read
// again from its start.
bool RunClock::sample(pid_t pid, TaskSample &out)
{
    auto fd = schedstat_fds_.find(pid);
    if (fd == schedstat_fds_.end()) {
        const std::string path =
            pid == 0 ? "/proc/thread-self/schedstat" : "/proc/" + std::to_string(pid) + "/schedstat";
        const int opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (opened < 0) {
            return false;
        }
        fd = schedstat_fds_.emplace(pid, opened).first;
    }
    if (pid != 0) {
        // The tracer hears of a stop before the task is off its CPU, and
        // the kernel brings a task's CPU time up to date only when it
        // leaves it: read too soon, the end of one stretch would be counted
        // in the next. Any ptrace request on the task first waits for it
        // to be off its CPU.
        unsigned long message = 0;
        ::ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &message);
    }
    char text[128];
    const ssize_t n = ::pread(fd->second, text, sizeof text - 1, 0);
    out.real_ns = real_();
    if (n <= 0) {
        return false;
    }
    text[n] = '\0';
    char *end = nullptr;
    out.exec_ns = static_cast<std::int64_t>(std::strtoull(text, &end, 10));
    out.delay_ns = static_cast<std::int64_t>(std::strtoull(end, &end, 10));
    out.slices = static_cast<std::int64_t>(std::strtoull(end, nullptr, 10));
    return true;
}

bool parse_clock_mode(const std::string &text, ClockMode &mode)
{
    if (text == "real") {
        mode = ClockMode::Real;
    } else if (text == "board") {
        mode = ClockMode::Board;
    } else if (text == "virtual") {
        mode = ClockMode::Virtual;
    } else {
        return false;
    }
    return true;
}

} // namespace velmo::emu
