// The run's clock as a model: what moves it in each mode, and that it
// never goes back.
#include "run_clock.h"
#include "clock_calls.h"
#include "options.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

using velmo::emu::ClockMode;
using velmo::emu::RunClock;
using velmo::emu::TaskSample;

TEST(RunClock, VirtualMovesOnlyByWhatIsModelled)
{
    RunClock clock(ClockMode::Virtual, 2000, 1000);
    EXPECT_EQ(clock.now(), 0);
    EXPECT_EQ(clock.realtime_ns(), 1000LL * 1000000000);
    EXPECT_EQ(clock.monotonic_ns(), velmo::emu::kVirtualMonotonicStart);
    clock.port_access();
    clock.port_access();
    clock.clock_read();
    clock.call_stopped();
    EXPECT_EQ(clock.now(), 2 * 2000 + velmo::emu::kReadCost + velmo::emu::kVirtualCallCost);
    clock.advance_to(50000000);
    EXPECT_EQ(clock.now(), 50000000);
    clock.advance_to(10); // a deadline already past moves nothing back
    EXPECT_EQ(clock.now(), 50000000);
    clock.task_stopped(1); // the tasks' CPU time counts for nothing
    clock.task_resumed(1);
    EXPECT_EQ(clock.now(), 50000000);
}

// A board run, with the kernel's figures for its tasks handed in: a
// task's CPU time beyond the least seen between two stops and 2 ms of
// noise, its blocked time
// when longer than a stop's way through the tracer, never its time waiting
// for a CPU; two tasks side by side move the clock to the furthest.
TEST(RunClock, BoardCountsTheProgramsOwnTimeOnly)
{
    RunClock clock(ClockMode::Board, 1000, 0);
    std::map<pid_t, TaskSample> kernel;
    std::int64_t real = 0;
    clock.set_sampler(
        [&kernel](pid_t pid, TaskSample &out) {
            out = kernel[pid];
            return true;
        },
        [&real] { return real; });
    // Each stop after a resume: the task got a CPU once more, or `slices` more.
    auto at = [&](pid_t pid, std::int64_t when, std::int64_t exec, std::int64_t delay, std::int64_t slices = 1) {
        real = when;
        kernel[pid] = TaskSample{when, exec, delay, kernel[pid].slices + slices};
    };
    at(1, 0, 100, 0);
    clock.task_stopped(1);
    clock.task_resumed(1);
    // 2 us of CPU, 30 us waiting for one: the least CPU time so far, nothing counted.
    at(1, 40000, 2100, 30000);
    clock.task_stopped(1);
    EXPECT_EQ(clock.now(), 0);
    clock.port_access();
    EXPECT_EQ(clock.now(), 1000);
    clock.task_resumed(1);
    // 30 us of CPU (28 beyond the least), 500 ms waiting for a CPU, 3 us
    // blocked: nothing; then 1.5 ms of CPU (an interrupt, a host that held
    // the CPU): nothing; then 2007 us: 5 us.
    at(1, 40000 + 500000000 + 33000, 32100, 500030000);
    clock.task_stopped(1);
    EXPECT_EQ(clock.now(), 1000);
    clock.task_resumed(1);
    at(1, real + 1503000, 1532100, 500030000);
    clock.task_stopped(1);
    EXPECT_EQ(clock.now(), 1000);
    clock.task_resumed(1);
    at(1, real + 2010000, 3539100, 500030000);
    clock.task_stopped(1);
    EXPECT_EQ(clock.now(), 6000);
    clock.task_resumed(1);
    // 2 ms neither running nor waiting, but given a CPU only once: the way
    // to it, not the program's; nothing.
    at(1, real + 2002000, 3541100, 500030000);
    clock.task_stopped(1);
    EXPECT_EQ(clock.now(), 6000);
    clock.task_resumed(1);
    // Blocked 2 s (a read from a terminal, say), a CPU again after it: counted.
    at(1, real + 2000000000LL + 2000, 3543100, 500030000, 2);
    clock.task_stopped(1);
    EXPECT_EQ(clock.now(), 6000 + 2000000000LL);
    // A second task that did no more than a stop's own work moves nothing.
    at(2, real, 0, 0);
    clock.task_stopped(2);
    clock.task_resumed(2);
    at(2, real + 4000, 2000, 0);
    clock.task_stopped(2);
    EXPECT_EQ(clock.now(), 6000 + 2000000000LL);
}

TEST(RunClock, Words)
{
    ClockMode mode = ClockMode::Real;
    EXPECT_TRUE(velmo::emu::parse_clock_mode("virtual", mode));
    EXPECT_EQ(mode, ClockMode::Virtual);
    EXPECT_FALSE(velmo::emu::parse_clock_mode("Virtual", mode));
}

bool parse(std::vector<const char *> args, velmo::emu::Options &o, std::string &error)
{
    args.insert(args.begin(), "velmo-emu");
    return velmo::emu::parse_options(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(RunClock, Options)
{
    velmo::emu::Options o;
    std::string error;
    ASSERT_TRUE(parse({"prog"}, o, error)) << error;
    EXPECT_EQ(o.clock, ClockMode::Real);
    EXPECT_EQ(o.port_time_ns, 1000);
    EXPECT_FALSE(o.trace_time);

    velmo::emu::Options v;
    ASSERT_TRUE(parse({"--clock", "virtual", "--port-time", "3us", "--epoch", "0", "--trace-time", "prog"}, v, error))
        << error;
    EXPECT_EQ(v.clock, ClockMode::Virtual);
    EXPECT_EQ(v.port_time_ns, 3000);
    EXPECT_EQ(v.epoch_s, 0);
    EXPECT_TRUE(v.trace_time);

    const std::vector<std::pair<std::vector<const char *>, const char *>> refused = {
        {{"--clock", "fast", "prog"}, "--clock wants real, board or virtual, not 'fast'"},
        {{"--port-time", "2s", "prog"}, "--port-time wants a time up to 1s, as 1us, 250ns or 2ms, not '2s'"},
        {{"--clock", "virtual", "--epoch", "-5", "prog"}, "--epoch wants whole seconds since 1970, not '-5'"},
        {{"--epoch", "5", "prog"}, "--epoch is for --clock virtual; the other clocks start at the machine's time"},
        {{"--clock"}, "--clock needs a value"},
    };
    for (const auto &[args, message] : refused) {
        velmo::emu::Options bad;
        EXPECT_FALSE(parse(args, bad, error));
        EXPECT_EQ(error, message);
    }
}

// How each table's timed waits lay out their timeout: i386's older calls
// 32-bit fields, its *_time64 calls and every x86_64 one 64-bit; the
// waits velmo-emu leaves to the kernel named. (i386 programs cannot run
// on every machine that builds this.) Numbers as in the kernel's tables.
TEST(WaitForm, EachTableAsTheKernelReadsIt)
{
    using velmo::emu::wait_form;
    using velmo::emu::WaitForm;
    using K = WaitForm::Kind;
    using T = WaitForm::Timeout;
    auto form = [](bool i386, std::uint32_t nr, std::uint64_t op = 0, std::uint64_t timeout = 0) {
        const std::uint64_t args[6] = {3, op, 0, timeout, 0, 0};
        return wait_form(i386, nr, args);
    };
    struct Case {
        bool i386;
        std::uint32_t nr;
        std::uint64_t op;
        int arg;
        T timeout;
        bool wide, absolute, realtime, remaining;
    };
    for (const Case &c : {
             Case{true, 142, 0, 4, T::Timeval, false, false, false, true},        // _newselect
             Case{true, 413, 0, 4, T::Timespec, true, false, false, true},        // pselect6_time64
             Case{true, 308, 0, 4, T::Timespec, false, false, false, true},       // pselect6
             Case{true, 309, 0, 2, T::Timespec, false, false, false, true},       // ppoll
             Case{true, 168, 0, 2, T::Ms, true, false, false, false},             // poll
             Case{true, 441, 0, 3, T::Timespec, true, false, false, false},       // epoll_pwait2
             Case{true, 240, 9 | 256, 3, T::Timespec, false, true, true, false},  // futex WAIT_BITSET realtime
             Case{true, 422, 0 | 128, 3, T::Timespec, true, false, false, false}, // futex_time64 WAIT
             Case{false, 23, 0, 4, T::Timeval, true, false, false, true},         // select
             Case{false, 232, 0, 3, T::Ms, true, false, false, false},            // epoll_wait
             Case{false, 202, 9 | 128, 3, T::Timespec, true, true, false, false}, // futex WAIT_BITSET
         }) {
        const WaitForm f = form(c.i386, c.nr, c.op);
        SCOPED_TRACE(c.nr);
        EXPECT_EQ(f.kind, K::Timed);
        EXPECT_EQ(f.arg, c.arg);
        EXPECT_EQ(f.timeout, c.timeout);
        EXPECT_EQ(f.wide, c.wide);
        EXPECT_EQ(f.absolute, c.absolute);
        EXPECT_EQ(f.realtime, c.realtime);
        EXPECT_EQ(f.remaining, c.remaining);
        EXPECT_EQ(f.futex, c.nr == 240 || c.nr == 422 || c.nr == 202);
    }
    EXPECT_EQ(form(true, 82).kind, K::Named);                  // the old select
    EXPECT_EQ(form(false, 449, 0, 0x7ffd0000).kind, K::Named); // futex_waitv
    EXPECT_EQ(form(true, 449).kind, K::Untimed);
    EXPECT_STREQ(form(true, 240, 6 | 128, 0xbf000000).name, "futex FUTEX_LOCK_PI");
    EXPECT_EQ(form(false, 202, 1).kind, K::Untimed); // FUTEX_WAKE
    EXPECT_EQ(form(false, 0).kind, K::None);         // read
    EXPECT_EQ(form(true, 7).kind, K::None);          // i386 waitpid, not x86_64's poll
}

} // namespace
