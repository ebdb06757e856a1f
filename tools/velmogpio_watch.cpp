// velmogpio watch: polls the named lines through the library and prints one
// line per edge, "SECONDS LINE=LEVEL rising|falling", flushed at once.
//
// As with gpiomon, the levels when the watch begins are where it starts
// from, not events: an edge is a change seen by a later reading. A change
// shorter than the polling interval may be missed, and two lines that
// change between the same two readings are printed in the order named.
#include "velmogpio_watch.h"

#include "cli.h"
#include "clock.h"
#include "velmogpio_cli.h"

#include "VELMOGPIOLib.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using velmo::cli::kExitFailed;
using velmo::cli::kExitOk;
using velmo::cli::Usage;

enum class Edge { Rising, Falling, Both };

struct Watch {
    std::vector<int> lines; // in the order named, each once
    Edge edge = Edge::Both;
    long count = 0;               // 0: no limit
    std::int64_t timeout_ns = -1; // -1: none
    std::string timeout_text;
    std::int64_t interval_ns = 1000000;
};

Watch parse(const std::vector<std::string> &args)
{
    Watch w;
    velmo::cli::Lines lines;
    velmo::cli::Words words(args);
    while (!words.empty()) {
        std::string value;
        if (words.value("--edge", value)) {
            if (value == "rising") {
                w.edge = Edge::Rising;
            } else if (value == "falling") {
                w.edge = Edge::Falling;
            } else if (value == "both") {
                w.edge = Edge::Both;
            } else {
                throw Usage{"--edge wants rising, falling or both, not '" + value + "'"};
            }
        } else if (words.value("--count", value)) {
            w.count = velmo::cli::parse_number(value, 1, 999999999, "--count wants a number of events from 1");
        } else if (words.value("--timeout", value)) {
            w.timeout_ns = velmo::cli::parse_timeout("--timeout", value);
            w.timeout_text = value;
        } else if (words.value("--interval", value)) {
            w.interval_ns = velmo::cli::parse_duration(value, 1000000, 1000000, std::int64_t{60000} * 1000000,
                                                       "--interval wants milliseconds from 1 to 60000");
        } else if (words.peek().rfind("--", 0) == 0) {
            throw Usage{"watch has no option " + words.peek().substr(0, words.peek().find('='))};
        } else {
            lines.add(words.take());
        }
    }
    w.lines = lines.list();
    if (w.lines.empty()) {
        throw Usage{"watch needs at least one LINE"};
    }
    return w;
}

// SIGINT and SIGTERM end a watch as gpiomon's: status 0, every event
// printed so far already out.
volatile std::sig_atomic_t stop_requested = 0;

extern "C" void request_stop(int)
{
    stop_requested = 1;
}

class StopOnSignals {
public:
    StopOnSignals()
    {
        stop_requested = 0;
        struct sigaction action {};
        action.sa_handler = request_stop;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &old_int_);
        sigaction(SIGTERM, &action, &old_term_);
    }
    ~StopOnSignals()
    {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    StopOnSignals(const StopOnSignals &) = delete;
    StopOnSignals &operator=(const StopOnSignals &) = delete;

private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

// Sleeps until the monotonic clock reads deadline, or a signal stops the
// watch.
void sleep_until(std::int64_t deadline)
{
    const timespec t = velmo::toolkit::to_timespec(deadline);
    while (!stop_requested && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

std::string line_list(const std::vector<int> &lines)
{
    std::string text;
    for (int line : lines) {
        text += (text.empty() ? "" : " ") + std::to_string(line);
    }
    return text;
}

int run(const Watch &w, std::FILE *out, std::FILE *err)
{
    StopOnSignals signals;
    const std::int64_t start = velmo::toolkit::monotonic_ns();
    int level[9] = {};
    for (int line : w.lines) {
        if (VelmoGPIOInputBit(line, &level[line]) != 0) {
            return velmogpio_failed(err);
        }
    }
    long events = 0;
    std::int64_t next = start + w.interval_ns;
    const std::int64_t deadline = w.timeout_ns < 0 ? INT64_MAX : start + w.timeout_ns;
    for (;;) {
        sleep_until(next < deadline ? next : deadline);
        if (stop_requested) {
            return kExitOk;
        }
        if (velmo::toolkit::monotonic_ns() >= deadline) {
            const std::string seen = w.count > 0 ? std::to_string(events) + " of " + std::to_string(w.count) + " events"
                                                 : std::to_string(events) + (events == 1 ? " event" : " events");
            // "5 s" as given, or "500ms" with its own unit.
            const bool bare = std::isdigit(static_cast<unsigned char>(w.timeout_text.back())) != 0;
            velmo::cli::say("velmogpio",
                            "timed out after " + w.timeout_text + (bare ? " s" : "") + " watching " +
                                line_list(w.lines) + " (" + seen + ")",
                            err);
            return kExitFailed;
        }
        for (int line : w.lines) {
            int now_level = 0;
            if (VelmoGPIOInputBit(line, &now_level) != 0) {
                return velmogpio_failed(err);
            }
            if (now_level == level[line]) {
                continue;
            }
            level[line] = now_level;
            const bool rising = now_level != 0;
            if ((rising && w.edge == Edge::Falling) || (!rising && w.edge == Edge::Rising)) {
                continue;
            }
            const std::int64_t t = velmo::toolkit::monotonic_ns() - start;
            std::fprintf(out, "%lld.%06lld %d=%d %s\n", static_cast<long long>(t / 1000000000),
                         static_cast<long long>(t % 1000000000 / 1000), line, now_level, rising ? "rising" : "falling");
            if (std::fflush(out) != 0) {
                velmo::cli::say("velmogpio", std::string("cannot write the events: ") + std::strerror(errno), err);
                return kExitFailed;
            }
            if (++events == w.count) {
                return kExitOk;
            }
        }
        // The next reading one interval on; after a late one (the machine
        // was busy), one interval from now rather than a burst to catch up.
        next += w.interval_ns;
        const std::int64_t now = velmo::toolkit::monotonic_ns();
        if (next < now) {
            next = now + w.interval_ns;
        }
    }
}

} // namespace

int velmogpio_watch(const std::vector<std::string> &args, std::FILE *out, std::FILE *err)
{
    return run(parse(args), out, err);
}
