// velmogpio watch on the simulated board. The world outside changes a line
// between two of the watch's readings: the port space's listener sees each
// read as it happens and drives the next level then, so every sequence of
// levels is exact and no test waits for a timer but the watch's own.
#include "velmogpio_fixture.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace {

class Watch : public VelmogpioFixture {
protected:
    // velmogpio watch with args.
    static Result run(std::vector<const char *> args)
    {
        args.insert(args.begin(), "watch");
        return run_tool(std::move(args));
    }

    // What happens outside after the n-th read of a data register (1 is
    // the first reading): then(n); the next read sees it.
    void outside(std::function<void(int n)> then)
    {
        ports().set_listener([this, then](const std::string &event) {
            if (event.rfind("in 0x50f", 0) == 0 || event.rfind("in 0x538", 0) == 0) {
                then(++reads_);
            }
        });
    }

    // The events with their times checked and cut off: each "S.UUUUUU "
    // with six decimals, no earlier than the one before, and no earlier
    // than the reading it was seen at, given as the number of intervals
    // after the first reading (which is at 0).
    static std::string events(const std::string &out, const std::vector<int> &readings, double interval_s)
    {
        static const std::regex kEvent("([0-9]+\\.[0-9]{6}) ([1-8]=[01] (rising|falling))\n");
        std::string rest;
        double last = 0;
        std::size_t i = 0, matched = 0;
        for (auto it = std::sregex_iterator(out.begin(), out.end(), kEvent); it != std::sregex_iterator(); ++it, ++i) {
            EXPECT_EQ(static_cast<std::size_t>(it->position()), matched) << "not an event: " << out;
            matched += static_cast<std::size_t>(it->length());
            const double t = std::stod((*it)[1]);
            EXPECT_GE(t, last) << out;
            if (i < readings.size()) {
                EXPECT_GE(t, readings[i] * interval_s) << out;
            }
            last = t;
            rest += (*it)[2].str() + "\n";
        }
        EXPECT_EQ(matched, out.size()) << "not an event: " << out;
        return rest;
    }

    int reads_ = 0;
};

TEST_F(Watch, TheFirstReadingIsNoEdgeThenEachChangeIsOne)
{
    // Line 3 is high when the watch begins: not an event. Low at reading 3,
    // high at reading 4, and the second event ends the watch.
    board().set_outside(3, 1);
    outside([](int n) {
        if (n == 2) {
            board().set_outside(3, 0);
        }
        if (n == 3) {
            board().set_outside(3, 1);
        }
    });
    const Result r = run({"3", "--count", "2", "--interval", "2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(events(r.out, {2, 3}, 0.002), "3=0 falling\n3=1 rising\n");
    EXPECT_EQ(ports().trace_text(), "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0x08\n"
                                    "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0x08\n"
                                    "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0x00\n"
                                    "ioperm 0x50f 1 1 granted\n"
                                    "in 0x50f 0x08\n");
}

TEST_F(Watch, EdgeFilterAndLinesInTheOrderNamed)
{
    // Lines 6 and 3 change between the same two readings, then back, then
    // again: only rising edges count, printed in the order named.
    board().bank(2).direction = 0x00; // line 6 an output: it shows its latch
    outside([](int n) {
        if (n == 2 || n == 6) { // after a whole reading of both lines
            board().set_outside(3, 1);
            board().bank(2).latch = 0x04;
        }
        if (n == 4) {
            board().set_outside(3, 0);
            board().bank(2).latch = 0x00;
        }
    });
    Result r = run({"6", "3", "--edge", "rising", "--count", "3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(events(r.out, {1, 1, 3}, 0.001), "6=1 rising\n3=1 rising\n6=1 rising\n");

    // --edge=falling, and a count reached in the middle of a reading.
    reads_ = 0;
    r = run({"3", "6", "--edge=falling", "--count=1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(events(r.out, {2}, 0.001), "3=0 falling\n");
}

TEST_F(Watch, TimeoutIsStatusOneWithAMessage)
{
    const auto start = std::chrono::steady_clock::now();
    Result r = run({"3", "7", "--timeout", "0.05"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(50));
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "velmogpio: timed out after 0.05 s watching 3 7 (0 events)\n");

    // One event seen of the two asked for.
    outside([](int n) {
        if (n == 1) {
            board().set_outside(7, 1);
        }
    });
    r = run({"7", "--count", "2", "--timeout", "0.1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(events(r.out, {1}, 0.001), "7=1 rising\n");
    EXPECT_EQ(r.err, "velmogpio: timed out after 0.1 s watching 7 (1 of 2 events)\n");
}

TEST_F(Watch, SigtermEndsTheWatchWithStatusZero)
{
    struct sigaction before {};
    sigaction(SIGTERM, nullptr, &before);
    outside([](int n) {
        if (n == 3) {
            std::raise(SIGTERM);
        }
    });
    const Result r = run({"1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(reads_, 3);
    struct sigaction after {};
    sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler); // the caller's handling is back
}

TEST_F(Watch, UsageErrorsTouchNoPort)
{
    const UsageCases cases = {
        {{}, "watch needs at least one LINE"},
        {{"--count", "1"}, "watch needs at least one LINE"},
        {{"9"}, "bad line '9' (lines are 1 to 8)"},
        {{"3", "x"}, "bad line 'x' (lines are 1 to 8)"},
        {{"3", "3"}, "line 3 is named twice"},
        {{"3", "--edge", "up"}, "--edge wants rising, falling or both, not 'up'"},
        {{"3", "--edge"}, "--edge needs a value"},
        {{"3", "--count", "0"}, "--count wants a number of events from 1, not '0'"},
        {{"3", "--count", "-1"}, "--count wants a number of events from 1, not '-1'"},
        {{"3", "--count", "9999999999"}, "--count wants a number of events from 1, not '9999999999'"},
        {{"3", "--timeout", "1e3"}, "--timeout wants seconds (e.g. 5 or 0.5), not '1e3'"},
        {{"3", "--timeout", ".5"}, "--timeout wants seconds (e.g. 5 or 0.5), not '.5'"},
        {{"3", "--timeout", "-1"}, "--timeout wants seconds (e.g. 5 or 0.5), not '-1'"},
        {{"3", "--timeout", "86401"}, "--timeout is at most 86400 seconds, not '86401'"},
        {{"3", "--interval", "0"}, "--interval wants milliseconds from 1 to 60000, not '0'"},
        {{"3", "--interval", "0.5"}, "--interval wants milliseconds from 1 to 60000, not '0.5'"},
        {{"3", "--interval="}, "--interval wants milliseconds from 1 to 60000, not ''"},
        {{"3", "--json"}, "watch has no option --json"},
    };
    expect_usage_errors(cases, {"watch"});
}

TEST_F(Watch, RefusedAccessIsAFailureWithTheLibrarysMessage)
{
    ports().set_refusal(EPERM);
    const Result r = run({"3", "--timeout", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "velmogpio: I/O port 0x50f: access denied (needs CAP_SYS_RAWIO).\n");
    EXPECT_EQ(ports().trace_text(), "ioperm 0x50f 1 1 denied\n");
}

} // namespace
