// The run's clock as a model: what moves it in each mode, and that it
// never goes back.
#include "run_clock.h"
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

} // namespace
