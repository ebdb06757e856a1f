// velmogpio watch: polls the named lines through the library and prints one
// line per edge, "SECONDS LINE=LEVEL rising|falling", flushed at once. The
// polling and what counts as an edge are velmo::gpio::LinePoll's
// (velmogpio_rules.h), shared with the Python module.
#include "velmogpio_watch.h"

#include "cli.h"
#include "velmogpio_cli.h"
#include "velmogpio_rules.h"

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

using velmo::gpio::Edge;
using velmo::gpio::LinePoll;

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
    LinePoll poll(w.lines.data(), static_cast<int>(w.lines.size()), w.edge, w.interval_ns, w.timeout_ns);
    if (poll.start() != 0) {
        return velmogpio_failed(err);
    }
    long events = 0;
    for (;;) {
        if (stop_requested) {
            return kExitOk;
        }
        velmo::gpio::PollEvent e{};
        const LinePoll::Result result = poll.next(&e);
        if (result == LinePoll::kNothingYet) {
            continue; // the loop's top ends the watch for SIGINT and SIGTERM
        }
        if (result == LinePoll::kRefused) {
            return velmogpio_failed(err);
        }
        if (result == LinePoll::kTimedOut) {
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
        std::fprintf(out, "%lld.%06lld %d=%d %s\n", static_cast<long long>(e.t_ns / 1000000000),
                     static_cast<long long>(e.t_ns % 1000000000 / 1000), e.line, e.level,
                     e.level != 0 ? "rising" : "falling");
        if (std::fflush(out) != 0) {
            velmo::cli::say("velmogpio", std::string("cannot write the events: ") + std::strerror(errno), err);
            return kExitFailed;
        }
        if (++events == w.count) {
            return kExitOk;
        }
    }
}

} // namespace

int velmogpio_watch(const std::vector<std::string> &args, std::FILE *out, std::FILE *err)
{
    return run(parse(args), out, err);
}
