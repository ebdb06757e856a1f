#include "scenario_run.h"

#include "board_file.h"
#include "clock.h"
#include "fd.h"
#include "io.h"
#include "ports.h"
#include "run_clock.h"
#include "tracer.h"
#include "vcd.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <regex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace velmo::test {

namespace {

using velmo::emu::RunClock;

constexpr std::int64_t kNever = INT64_MAX;
// How long output on its way through the program's terminal is waited for
// before a step says it is not there, in ms of real time.
constexpr int kSettleMs = 50;
constexpr int kLastEdges = 4; // edges a failure shows

// "1.25ms", "2s", "15us": a time of the run, short and exact to the
// nanosecond.
std::string show_time(std::int64_t ns)
{
    const char *unit = ns >= 1000000000 ? "s" : ns >= 1000000 ? "ms" : ns >= 1000 ? "us" : "ns";
    const std::int64_t scale = ns >= 1000000000 ? 1000000000 : ns >= 1000000 ? 1000000 : ns >= 1000 ? 1000 : 1;
    std::string text = std::to_string(ns / scale);
    std::string fraction = std::to_string(ns % scale + scale).substr(1);
    while (!fraction.empty() && fraction.back() == '0') {
        fraction.pop_back();
    }
    return text + (fraction.empty() ? "" : "." + fraction) + unit;
}

std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

struct Change {
    std::int64_t t;
    int level;
};

// What the steps act on: the program's board, the run's clock, the run.
class World {
public:
    virtual ~World() = default;
    // The run's clock: nanoseconds since the run began.
    virtual std::int64_t now() = 0;
    virtual const velmo::sim::Board &board() = 0;
    // Drives levels onto lines from outside; seen() has heard of the
    // change when this returns.
    virtual void pull(const std::vector<std::pair<int, int>> &levels) = 0;
    // Brings board() and what seen() heard up to the board as it is now.
    virtual void refresh() {}
    // The program has ended and nothing runs: the clock goes on to t.
    virtual void go_to(std::int64_t t) = 0;
    // Ends the program and everything it started.
    virtual void end() = 0;
    // The steps learn of changes after the fact (each with its own time),
    // not as they happen.
    virtual bool late_news() const { return false; }
    // What a failure should add about the world itself.
    virtual std::string note() const { return ""; }

    // Hears the board after each change, with the change's time.
    std::function<void(const velmo::sim::Board &, std::int64_t)> seen;
};

class Engine {
public:
    Engine(const Scenario &sc, World &world, std::uint64_t seed, int stdin_fd, int stdout_fd)
        : sc_(sc), world_(world), late_news_(world.late_news()), rng_(seed), stdin_(stdin_fd), stdout_(stdout_fd)
    {
        world_.seen = [this](const velmo::sim::Board &board, std::int64_t t) { observe(board, t); };
        const velmo::sim::Board &board = world_.board();
        for (int n = 1; n <= 8; ++n) {
            history_[n].push_back({0, board.line(n).level});
            input_[n] = board.line(n).input;
        }
        real_start_ = velmo::toolkit::monotonic_ns();
        for (const Step &s : sc_.steps) {
            if (s.kind == StepKind::WriteStdin) {
                ++stdin_steps_;
            }
        }
        pending_in_ = sc_.stdin_text;
        close_after_flush_ = stdin_steps_ == 0;
        flush_stdin();
    }

    // Sees the board after the program's access or a step's pull, at t
    // (never before a change already seen).
    void observe(const velmo::sim::Board &board, std::int64_t t)
    {
        for (int n = 1; n <= 8; ++n) {
            const velmo::sim::Line line = board.line(n);
            if (line.level != history_[n].back().level) {
                history_[n].push_back({std::max(t, history_[n].back().t), line.level});
            }
            if (line.input != input_[n]) {
                input_at_[n] = t;
            }
            input_[n] = line.input;
        }
    }

    // The tracer's turn: what is due by now is done; the next time it must
    // be called.
    std::int64_t pace()
    {
        if (over_) {
            return kNever;
        }
        read_stdout();
        flush_stdin();
        const std::int64_t due = step(false);
        if (over_) {
            return kNever;
        }
        if (velmo::toolkit::monotonic_ns() - real_start_ >= sc_.timeout) {
            end("the time limit of " + show_time(sc_.timeout) + " (real time) was reached" + waiting_for());
            return kNever;
        }
        return std::min(due, sc_.timeout);
    }

    // The program has ended with status (velmo-emu's: 128+N for a signal).
    void program_ended(int status)
    {
        exited_ = true;
        exit_status_ = status;
        exit_time_ = world_.now();
        read_stdout();
        while (!over_) {
            const std::int64_t due = step(true);
            if (over_) {
                break;
            }
            // Nothing runs any more: time moves on to the next step.
            if (due >= sc_.timeout) {
                world_.go_to(sc_.timeout);
                step(true);
                if (!over_) {
                    end("the time limit of " + show_time(sc_.timeout) + " was reached" + waiting_for());
                }
                break;
            }
            world_.go_to(due);
        }
    }

    // Ends the run from outside the steps (the board file was lost).
    void abort(const std::string &reason)
    {
        if (!over_) {
            end(reason);
        }
    }

    bool over() const { return over_; }
    bool passed() const { return passed_; }
    const std::string &reason() const { return reason_; }
    const std::string &output() const { return out_; }

private:
    // The current step goes as far as it can at now. Returns when to look
    // again.
    std::int64_t step(bool ended)
    {
        for (;;) {
            world_.refresh();
            const std::int64_t now = world_.now();
            if (index_ == sc_.steps.size()) {
                pass();
                return kNever;
            }
            if (now >= sc_.timeout) {
                end("the time limit of " + show_time(sc_.timeout) + " was reached" + waiting_for());
                return kNever;
            }
            const Step &s = sc_.steps[index_];
            if (!started_) {
                begin_ = s.at != kNoTime ? s.at : s.after != kNoTime ? previous_end_ + s.after : previous_end_;
                if (now < begin_) {
                    return begin_;
                }
                started_ = true;
                // A step sees the edges after its start. Where changes are
                // learnt of late, those that came since its start already
                // are its own.
                for (int n = 1; n <= 8; ++n) {
                    const auto &h = history_[n];
                    edge_index_[n] = h.size();
                    while (late_news_ && edge_index_[n] > 1 && h[edge_index_[n] - 1].t > begin_) {
                        --edge_index_[n];
                    }
                }
                scan_ = Scan{};
                scan_.next = edge_index_[s.line];
                scan_.from = late_news_ ? begin_ : now;
                schedule_.clear();
                if (s.kind == StepKind::Press) {
                    plan_press(s, now);
                }
            }
            const std::int64_t next = run_step(s, now, ended);
            if (over_) {
                return kNever;
            }
            if (next != 0) {
                return next;
            }
            ++index_;
            started_ = false;
            previous_end_ = std::max(done_at_, previous_end_);
        }
    }

    // One step at now: 0 when it is done (done_at_ its time), else the
    // time to look again; a failure ends the run.
    std::int64_t run_step(const Step &s, std::int64_t now, bool ended)
    {
        done_at_ = now;
        const std::int64_t limit = s.within != kNoTime ? begin_ + s.within : kNever;
        const bool late = now >= limit;
        switch (s.kind) {
        case StepKind::Pull: world_.pull(s.levels); return 0;
        case StepKind::Press: {
            while (!schedule_.empty() && schedule_.front().t <= now) {
                world_.pull({{s.line, schedule_.front().level}});
                schedule_.erase(schedule_.begin());
            }
            return schedule_.empty() ? 0 : schedule_.front().t;
        }
        case StepKind::Wait: return wait_step(s, now, limit, late, ended);
        case StepKind::Expect: {
            if (late_news_) {
                done_at_ = begin_; // as if it had looked at once
            }
            for (const auto &[n, level] : s.levels) {
                if (world_.board().line(n).level != level) {
                    fail(s,
                         "expected line " + std::to_string(n) + " to be " + std::to_string(level) + "; " + describe(n));
                    return kNever;
                }
            }
            for (const auto &[n, input] : s.directions) {
                if (world_.board().line(n).input != input) {
                    fail(s, "expected line " + std::to_string(n) + " to be an " + (input ? "input" : "output") + "; " +
                                describe(n));
                    return kNever;
                }
            }
            return 0;
        }
        case StepKind::ExpectPulses: return pulses_step(s, limit, late, ended);
        case StepKind::ExpectSerial: return serial_step(s, now, limit, late, ended);
        case StepKind::WriteStdin:
            pending_in_ += s.text;
            if (--stdin_steps_ == 0) {
                close_after_flush_ = true;
            }
            flush_stdin();
            return 0;
        case StepKind::ExpectStdout: {
            read_stdout();
            std::size_t end = std::string::npos;
            if (s.regex) {
                std::smatch m;
                const std::string rest = out_.substr(out_seen_);
                if (std::regex_search(rest, m, std::regex(s.text))) {
                    end = out_seen_ + static_cast<std::size_t>(m.position(0) + m.length(0));
                }
            } else if (const std::size_t at = out_.find(s.text, out_seen_); at != std::string::npos) {
                end = at + s.text.size();
            }
            if (end != std::string::npos) {
                out_seen_ = end;
                return 0;
            }
            if (late || ended || limit == kNever) {
                if (!late && !ended && limit == kNever) {
                    return kNever; // the scenario's time limit ends it
                }
                // What the program wrote to its terminal reaches the master
                // side a moment later (the kernel passes it on from a work
                // queue): give it that moment before saying it is not there.
                if (settle_stdout()) {
                    return run_step(s, now, ended);
                }
                std::string tail = out_.substr(out_seen_);
                if (tail.size() > 200) {
                    tail = "..." + tail.substr(tail.size() - 200);
                }
                fail(s,
                     std::string("stdout has no ") + (s.regex ? "match for " : "") + quoted(s.text) +
                         (ended && !late ? " (the program " + exit_words() + ")" : " within " + show_time(s.within)) +
                         "; it has " + (tail.empty() ? "nothing new" : quoted(tail)));
                return kNever;
            }
            return limit;
        }
        case StepKind::ExpectExit:
            if (ended) {
                if (exit_status_ != s.status) {
                    fail(s, "the program " + exit_words(false) + ", expected status " + std::to_string(s.status));
                    return kNever;
                }
                done_at_ = exit_time_;
                return 0;
            }
            if (late) {
                fail(s, "the program is still running after " + show_time(s.within));
                return kNever;
            }
            return limit;
        }
        return 0;
    }

    std::int64_t wait_step(const Step &s, std::int64_t now, std::int64_t limit, bool late, bool ended)
    {
        const velmo::sim::Line line = world_.board().line(s.line);
        if (s.direction >= 0) {
            if (line.input == (s.direction == 1)) {
                if (late_news_) {
                    done_at_ = std::max(begin_, input_at_[s.line]);
                }
                return 0;
            }
        } else if (s.level >= 0) {
            if (line.level == s.level) {
                const auto &h = history_[s.line];
                done_at_ = h.size() > edge_index_[s.line] ? h.back().t : late_news_ ? begin_ : now;
                return 0;
            }
        } else {
            const auto &h = history_[s.line];
            for (; scan_.next < h.size(); ++scan_.next) {
                const Change &c = h[scan_.next];
                if (s.edge == Edge::Any || (s.edge == Edge::Rising) == (c.level == 1)) {
                    if (++scan_.seen == s.count) {
                        done_at_ = c.t;
                        return 0;
                    }
                }
            }
        }
        if (late || ended) {
            std::string wanted;
            if (s.direction >= 0) {
                wanted = std::string("to become an ") + (s.direction == 1 ? "input" : "output");
            } else if (s.level >= 0) {
                wanted = "to be " + std::to_string(s.level);
            } else {
                const char *kind = s.edge == Edge::Rising ? "rising" : s.edge == Edge::Falling ? "falling" : "";
                wanted = std::string("for ") + std::to_string(s.count) + " " + kind + (*kind ? " " : "") +
                         (s.count == 1 ? "edge" : "edges");
            }
            fail(s, "line " + std::to_string(s.line) + " waited " + wanted + " " +
                        (late ? "within " + show_time(s.within) : "but the program " + exit_words()) + "; " +
                        describe(s.line));
            return kNever;
        }
        return limit;
    }

    // High pulses: a rising edge and the falling one after it.
    std::int64_t pulses_step(const Step &s, std::int64_t limit, bool late, bool ended)
    {
        const auto &h = history_[s.line];
        auto &pulses = scan_.pulses;
        for (; scan_.next < h.size() && static_cast<int>(pulses.size()) < s.count; ++scan_.next) {
            if (h[scan_.next].level == 1) {
                scan_.rise = h[scan_.next].t;
            } else if (scan_.rise >= 0) {
                pulses.emplace_back(scan_.rise, h[scan_.next].t);
                scan_.rise = -1;
            }
        }
        if (static_cast<int>(pulses.size()) < s.count) {
            if (late || ended) {
                fail(s, "line " + std::to_string(s.line) + " made " + std::to_string(pulses.size()) + " of " +
                            std::to_string(s.count) + " pulses " +
                            (late ? "within " + show_time(s.within) : "before the program " + exit_words()) + "; " +
                            describe(s.line));
                return kNever;
            }
            return limit;
        }
        auto off = [&s](std::int64_t got, std::int64_t want) {
            return static_cast<double>(std::llabs(got - want)) > static_cast<double>(want) * s.tolerance;
        };
        for (std::size_t i = 0; i < pulses.size(); ++i) {
            const std::int64_t high = pulses[i].second - pulses[i].first;
            if (s.high != kNoTime && off(high, s.high)) {
                fail(s, "line " + std::to_string(s.line) + ": pulse " + std::to_string(i + 1) + " was high for " +
                            show_time(high) + " (from " + show_time(pulses[i].first) + "), expected " +
                            show_time(s.high) + " within " + std::to_string(static_cast<int>(s.tolerance * 100 + 0.5)) +
                            "%");
                return kNever;
            }
            if (i > 0 && s.period != kNoTime) {
                const std::int64_t period = pulses[i].first - pulses[i - 1].first;
                if (off(period, s.period)) {
                    fail(s, "line " + std::to_string(s.line) + ": pulse " + std::to_string(i + 1) + " came " +
                                show_time(period) + " after the one before (at " + show_time(pulses[i].first) +
                                "), expected a period of " + show_time(s.period) + " within " +
                                std::to_string(static_cast<int>(s.tolerance * 100 + 0.5)) + "%");
                    return kNever;
                }
            }
        }
        done_at_ = pulses.back().second;
        return 0;
    }

    int level_at(int n, std::int64_t t) const
    {
        const auto &h = history_[n];
        const auto after =
            std::upper_bound(h.begin(), h.end(), t, [](std::int64_t v, const Change &c) { return v < c.t; });
        return after == h.begin() ? h.front().level : (after - 1)->level;
    }

    // An 8N1 receiver on the line's changes since the step began.
    std::int64_t serial_step(const Step &s, std::int64_t now, std::int64_t limit, bool late, bool ended)
    {
        const auto &h = history_[s.line];
        const double bit = 1e9 / static_cast<double>(s.baud);
        std::string &got = scan_.got;
        std::string framing;
        for (; scan_.next < h.size(); ++scan_.next) {
            if (h[scan_.next].level != 0 || h[scan_.next].t < scan_.from) {
                continue;
            }
            const std::int64_t start = h[scan_.next].t;
            const auto at = [&](double bits) { return start + static_cast<std::int64_t>(bit * bits); };
            if (at(9.5) > now) {
                break; // a frame still on its way
            }
            unsigned byte = 0;
            for (int b = 0; b < 8; ++b) {
                byte |= static_cast<unsigned>(level_at(s.line, at(1.5 + b))) << b;
            }
            if (level_at(s.line, at(9.5)) != 1) {
                framing = "a framing error (no stop bit) in the frame at " + show_time(start);
                break;
            }
            got += static_cast<char>(byte);
            scan_.from = at(9.5);
            if (got.find(s.text) != std::string::npos) {
                done_at_ = scan_.from;
                return 0;
            }
        }
        if (late || ended || !framing.empty()) {
            fail(s, "line " + std::to_string(s.line) + " sent " + quoted(got) + " at " + std::to_string(s.baud) +
                        " baud" + (framing.empty() ? "" : " then " + framing) + ", expected " + quoted(s.text) +
                        (late              ? " within " + show_time(s.within)
                         : framing.empty() ? " before the program " + exit_words()
                                           : "") +
                        "; " + describe(s.line));
            return kNever;
        }
        return limit;
    }

    // A press: the first contact, bounces, the hold, then the release with
    // its own bounces; the bounce edges are drawn from the seed.
    void plan_press(const Step &s, std::int64_t now)
    {
        const int pressed = s.level;
        const int released = 1 - pressed;
        auto contact = [&](std::int64_t t0, int level) {
            schedule_.push_back({t0, level});
            if (s.bounce <= 0) {
                return;
            }
            const int pairs = 1 + static_cast<int>(rng_() % 3);
            std::vector<std::int64_t> times;
            for (int i = 0; i < pairs * 2; ++i) {
                times.push_back(t0 + 1 + static_cast<std::int64_t>(rng_() % static_cast<std::uint64_t>(s.bounce)));
            }
            std::sort(times.begin(), times.end());
            for (int i = 0; i < pairs * 2; ++i) {
                schedule_.push_back({times[static_cast<std::size_t>(i)], i % 2 == 0 ? 1 - level : level});
            }
        };
        contact(now, pressed);
        contact(now + s.hold, released);
    }

    // "line 6: 0, output; last edges: 1 at 1.000ms, 0 at 1.500ms"
    std::string describe(int n) const
    {
        const velmo::sim::Line line = world_.board().line(n);
        std::string text = "line " + std::to_string(n) + " is " + std::to_string(line.level) + ", an " +
                           (line.input ? "input" : "output");
        const auto &h = history_[n];
        if (h.size() <= 1) {
            return text + ", and has not changed since the start";
        }
        text += "; last edges:";
        const std::size_t first = h.size() - 1 > static_cast<std::size_t>(kLastEdges) ? h.size() - kLastEdges : 1;
        for (std::size_t i = first; i < h.size(); ++i) {
            text +=
                std::string(i == first ? " " : ", ") + (h[i].level ? "rising" : "falling") + " at " + show_time(h[i].t);
        }
        return text;
    }

    std::string exit_words(bool when = true) const
    {
        const std::string at = when ? " at " + show_time(exit_time_) : "";
        if (exit_status_ > 128 && exit_status_ < 160) {
            return "was killed by signal " + std::to_string(exit_status_ - 128) + at;
        }
        return "exited with status " + std::to_string(exit_status_) + at;
    }

    std::string waiting_for() const
    {
        if (index_ >= sc_.steps.size()) {
            return "";
        }
        const Step &s = sc_.steps[index_];
        std::string text =
            std::string(" in step ") + step_name(s.kind) + " (" + sc_.file + ":" + std::to_string(s.source_line) + ")";
        return s.line != 0 ? text + "; " + describe(s.line) : text;
    }

    void fail(const Step &s, const std::string &what)
    {
        end(sc_.file + ":" + std::to_string(s.source_line) + ": " + step_name(s.kind) + " at " +
            show_time(world_.now()) + ": " + what + world_.note());
    }

    void end(const std::string &reason)
    {
        over_ = true;
        passed_ = false;
        reason_ = reason;
        world_.end();
    }

    void pass()
    {
        over_ = true;
        passed_ = true;
        world_.end();
    }

    // Waits up to kSettleMs of real time for output on its way through the
    // terminal; true when some came (the step is looked at again).
    bool settle_stdout()
    {
        pollfd p{stdout_, POLLIN, 0};
        if (::poll(&p, 1, kSettleMs) <= 0) {
            return false;
        }
        const std::size_t before = out_.size();
        read_stdout();
        return out_.size() != before;
    }

    void read_stdout()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(stdout_, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            out_.append(buffer, static_cast<std::size_t>(n));
        }
    }

    void flush_stdin()
    {
        if (stdin_ < 0) {
            return;
        }
        while (!pending_in_.empty()) {
            const ssize_t n = ::write(stdin_, pending_in_.data(), pending_in_.size());
            if (n <= 0) {
                if (n < 0 && errno == EAGAIN) {
                    return;
                }
                pending_in_.clear(); // the program closed its stdin
                break;
            }
            pending_in_.erase(0, static_cast<std::size_t>(n));
        }
        if (close_after_flush_) {
            ::close(stdin_);
            stdin_ = -1;
        }
    }

    const Scenario &sc_;
    World &world_;
    const bool late_news_;
    std::mt19937_64 rng_;
    int stdin_;
    int stdout_;

    std::vector<Change> history_[9];
    bool input_[9] = {};
    std::int64_t input_at_[9] = {}; // when each line last changed direction
    std::size_t edge_index_[9] = {};
    std::vector<Change> schedule_;
    // What a waiting step has seen of its line so far.
    struct Scan {
        std::size_t next = 0; // the next change to look at
        int seen = 0;         // wait: edges
        std::int64_t rise = -1;
        std::vector<std::pair<std::int64_t, std::int64_t>> pulses; // rise, fall
        std::string got;                                           // serial: bytes
        std::int64_t from = 0;                                     // serial: the next frame's earliest start
    } scan_;

    std::size_t index_ = 0;
    bool started_ = false;
    std::int64_t begin_ = 0;
    std::int64_t done_at_ = 0;
    std::int64_t previous_end_ = 0;
    std::int64_t real_start_ = 0;

    std::string out_;
    std::size_t out_seen_ = 0;
    std::string pending_in_;
    int stdin_steps_ = 0;
    bool close_after_flush_ = false;

    bool exited_ = false;
    int exit_status_ = 0;
    std::int64_t exit_time_ = 0;

    bool over_ = false;
    bool passed_ = false;
    std::string reason_;
};

bool write_file(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// A pseudo-terminal: out[0] its master, out[1] its side for the program,
// raw (no \r added, no echo).
bool open_terminal(int out[2])
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        return false;
    }
    const char *name = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    const int side = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios mode{};
    if (side < 0 || tcgetattr(side, &mode) != 0) {
        ::close(master);
        if (side >= 0) {
            ::close(side);
        }
        return false;
    }
    cfmakeraw(&mode);
    tcsetattr(side, TCSANOW, &mode);
    out[0] = master;
    out[1] = side;
    return true;
}

// The virtual clock: the program's board in memory, its port accesses
// seen as the tracer serves them, and the steps done from the tracer's
// loop (the clock's pacer), which holds the clock at each step's time.
class VirtualWorld : public World {
public:
    VirtualWorld(RunClock &clock, velmo::sim::Ports &ports, velmo::emu::VcdWriter &vcd, velmo::emu::Tracer &tracer)
        : clock_(clock), ports_(ports), vcd_(vcd), tracer_(tracer)
    {}
    std::int64_t now() override { return clock_.now(); }
    const velmo::sim::Board &board() override { return ports_.board(); }
    void pull(const std::vector<std::pair<int, int>> &levels) override
    {
        for (const auto &[n, level] : levels) {
            ports_.board().set_outside(n, level);
        }
        seen(ports_.board(), clock_.now());
        std::string why;
        vcd_.update(ports_.board(), why);
    }
    void go_to(std::int64_t t) override { clock_.advance_to(t); }
    void end() override { tracer_.end_now(); }

private:
    RunClock &clock_;
    velmo::sim::Ports &ports_;
    velmo::emu::VcdWriter &vcd_;
    velmo::emu::Tracer &tracer_;
};

// The board as a change of a board file's log left its pins: each line
// shows its level whichever its direction.
velmo::sim::Board board_of(const velmo::sim::Pins &pins)
{
    velmo::sim::Board board;
    for (int n = 1; n <= 8; ++n) {
        velmo::sim::Bank &bank = board.bank(n <= 4 ? 1 : 2);
        const auto bit = static_cast<std::uint8_t>(1u << velmo::sim::kLineBit[n - 1]);
        if (((pins.inputs >> (n - 1)) & 1) == 0) {
            bank.direction = static_cast<std::uint8_t>(bank.direction & ~bit);
        }
        if (((pins.levels >> (n - 1)) & 1) != 0) {
            bank.latch = static_cast<std::uint8_t>(bank.latch | bit);
            bank.outside = static_cast<std::uint8_t>(bank.outside | bit);
        }
    }
    return board;
}

// The board and real clocks: the program runs in a process of its own
// (pid) on a board file; the steps read the file's change log, with each
// change's time as its writer took it, and pull through the file, in real
// time since the run began. The waveform is written here, from the log,
// so that it holds the pulls and survives the program's end.
class LiveWorld : public World {
public:
    LiveWorld(velmo::sim::BoardFile &file, velmo::emu::VcdWriter &vcd) : file_(file), vcd_(vcd)
    {
        start_clock();
        velmo::sim::Changes changes;
        if (!file_.read_changes(0, board_, changes, error_)) {
            return;
        }
        last_ = changes.last;
        vcd_.set_clock([this] { return static_cast<std::uint64_t>(vcd_at_ / 1000); });
        std::string why;
        vcd_.start(board_, why);
    }

    void set_program(pid_t pid) { pid_ = pid; }

    // The run begins when the program does: velmo-emu's own start takes
    // some milliseconds of real time before the program is exec'd, which a
    // virtual run does not count either. Waits until the tracer's child
    // runs another file than this one (or the tracer has ended, or limit
    // has passed), and starts the clock then.
    void wait_for_start(std::int64_t limit)
    {
        struct stat self {};
        if (pid_ <= 0 || ::stat("/proc/self/exe", &self) != 0) {
            return;
        }
        const std::string children = "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children";
        const std::int64_t until = velmo::toolkit::monotonic_ns() + limit;
        while (velmo::toolkit::monotonic_ns() < until) {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0) {
                break; // it has ended: the program never ran
            }
            std::FILE *f = std::fopen(children.c_str(), "re");
            if (f == nullptr) {
                return; // no way to tell: the run began with the tracer
            }
            long child = 0;
            const bool found = std::fscanf(f, "%ld", &child) == 1;
            std::fclose(f);
            struct stat exe {};
            if (found && ::stat(("/proc/" + std::to_string(child) + "/exe").c_str(), &exe) == 0 &&
                (exe.st_dev != self.st_dev || exe.st_ino != self.st_ino)) {
                break;
            }
            const timespec pause{0, 100 * 1000};
            nanosleep(&pause, nullptr);
        }
        start_clock();
    }
    // Why the board file could not be read or written; empty while it can.
    const std::string &error() const { return error_; }

    bool late_news() const override { return true; }
    std::string note() const override
    {
        return missed_ == 0 ? ""
                            : " (" + std::to_string(missed_) +
                                  " changes of the board came and went before they were read: the steps fell behind)";
    }
    std::int64_t now() override { return velmo::toolkit::monotonic_ns() - start_; }
    const velmo::sim::Board &board() override { return board_; }
    void pull(const std::vector<std::pair<int, int>> &levels) override
    {
        velmo::sim::Board written;
        if (error_.empty() && !file_.update(
                                  [&levels](velmo::sim::Board &b) {
                                      for (const auto &[n, level] : levels) {
                                          b.set_outside(n, level);
                                      }
                                  },
                                  written, error_)) {
            return;
        }
        refresh();
    }
    void refresh() override
    {
        velmo::sim::Changes changes;
        velmo::sim::Board board;
        if (!error_.empty() || !file_.read_changes(last_, board, changes, error_)) {
            return;
        }
        const std::int64_t now_ns = now();
        for (const velmo::sim::Change &c : changes.kept) {
            const velmo::sim::Board at = board_of(c.pins);
            // On the log's time, kept in order and no later than now.
            const std::int64_t t = std::max(vcd_at_, std::min(c.time_us * 1000 - wall_start_, now_ns));
            vcd_at_ = t;
            seen(at, t);
            std::string why;
            vcd_.update(at, why);
        }
        last_ = changes.last;
        missed_ += changes.missed;
        board_ = board;
    }
    void go_to(std::int64_t t) override
    {
        for (std::int64_t left = t - now(); left > 0; left = t - now()) {
            const timespec wait = velmo::toolkit::to_timespec(left);
            nanosleep(&wait, nullptr);
        }
    }
    void end() override
    {
        // The program's process group: velmo-emu's tracer and every task
        // it serves that stayed in it (the tracer's end kills the rest),
        // even once the tracer itself has been waited for.
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
        }
    }
    // The waveform's last time: the end of the run.
    void finish()
    {
        vcd_at_ = std::max(vcd_at_, now());
        std::string why;
        vcd_.finish(why);
    }

private:
    // The run's time 0, on the monotonic clock and on the wall clock the
    // board file's log is on.
    void start_clock()
    {
        start_ = velmo::toolkit::monotonic_ns();
        wall_start_ = velmo::toolkit::wall_clock_us() * 1000;
    }

    velmo::sim::BoardFile &file_;
    velmo::emu::VcdWriter &vcd_;
    velmo::sim::Board board_;
    std::uint64_t last_ = 0;      // the log's latest change seen
    std::int64_t start_ = 0;      // the machine's monotonic time at the start
    std::int64_t wall_start_ = 0; // and its wall clock, which the log's times are on
    std::int64_t vcd_at_ = 0;     // the time of the change being written
    pid_t pid_ = 0;
    std::uint64_t missed_ = 0; // changes the log no longer kept when read
    std::string error_;
};

// The program's process under the board or real clock: velmo-emu's tracer
// on the board file, ending with the status velmo-emu would.
[[noreturn]] void run_program(const Scenario &sc, const std::string &board_path)
{
    velmo::sim::BoardFile file;
    velmo::sim::Ports ports;
    ports.set_keep_trace(false);
    std::string why;
    if (!file.open(board_path, why) || !file.read(ports.board(), why)) {
        std::fprintf(stderr, "velmo-test: board file %s\n", why.c_str());
        _exit(velmo::emu::kExitCannotServe);
    }
    ports.set_file(&file);
    RunClock clock(sc.clock, velmo::emu::kNsPerUs, velmo::emu::kDefaultEpoch);
    velmo::emu::Tracer tracer(ports, false);
    if (sc.clock == Clock::Board) {
        tracer.set_clock(&clock);
    }
    const int status = tracer.run(sc.run);
    std::fflush(stderr);
    _exit(status);
}

// How often the steps look at the board file while they wait, in ns.
constexpr std::int64_t kLookNs = 1000 * 1000;

// The board or real clock: the steps in real time, from here, while the
// program runs in a child.
void run_live(const Scenario &sc, std::uint64_t seed, const std::string &dir, int stdin_fd, int stdout_fd,
              RunResult &result)
{
    const std::string board_path = dir + "/board";
    velmo::sim::BoardFile file;
    velmo::sim::Board board;
    std::string why;
    if (!file.open(board_path, why) || !file.update(
                                           [&sc](velmo::sim::Board &b) {
                                               if (sc.has_base) {
                                                   b.set_base(sc.base);
                                               }
                                               for (const auto &[n, level] : sc.lines) {
                                                   b.set_outside(n, level);
                                               }
                                           },
                                           board, why)) {
        result.reason = "board file " + why;
        return;
    }
    velmo::emu::VcdWriter vcd;
    if (!vcd.open(dir + "/run.vcd", {}, why)) {
        result.reason = "VCD file " + why;
        return;
    }
    LiveWorld world(file, vcd);
    Engine engine(sc, world, seed, stdin_fd, stdout_fd);
    if (!world.error().empty()) {
        engine.abort("board file " + world.error());
    }

    const pid_t parent = getpid();
    const pid_t pid = engine.over() ? -1 : fork();
    if (pid == 0) {
        // Its own process group, so that its end ends all of it; and it
        // ends with this process.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(velmo::emu::kExitCannotServe);
        }
        ::close(stdin_fd);
        ::close(stdout_fd);
        run_program(sc, board_path);
    }
    if (pid < 0 && !engine.over()) {
        engine.abort(std::string("cannot start the program's process: ") + std::strerror(errno));
    }
    if (pid > 0) {
        setpgid(pid, pid); // as the child does, whichever runs first
    }
    world.set_program(pid);
    world.wait_for_start(sc.timeout);
    int status = 0;
    while (!engine.over()) {
        const std::int64_t due = engine.pace();
        if (!world.error().empty()) {
            engine.abort("board file " + world.error());
        }
        if (engine.over()) {
            break;
        }
        if (waitpid(pid, &status, WNOHANG) == pid) {
            world.refresh();
            engine.program_ended(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            break;
        }
        const std::int64_t wait = std::clamp<std::int64_t>(due - world.now(), 0, kLookNs);
        const timespec timeout{0, static_cast<long>(wait)};
        pollfd p{stdout_fd, POLLIN, 0};
        ::ppoll(&p, 1, &timeout, nullptr);
    }
    world.end();
    if (pid > 0) {
        waitpid(pid, nullptr, 0);
    }
    world.finish();
    result.passed = engine.passed();
    result.reason = engine.reason();
    result.run_ns = world.now();
    write_file(dir + "/stdout", engine.output());
}

} // namespace

RunResult run_scenario(const Scenario &sc, std::uint64_t seed, const std::string &dir)
{
    RunResult result;
    std::signal(SIGPIPE, SIG_IGN);
    const std::string stderr_path = dir + "/stderr";

    // The program's stdin: a pipe whose other end is the steps'. Its
    // stdout: a terminal in raw mode (so the C library flushes each line,
    // as at a console), or a pipe where no terminal can be had. Its
    // stderr, and velmo-emu's words: a file.
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || (!open_terminal(out) && pipe2(out, O_CLOEXEC) != 0)) {
        result.reason = std::string("cannot make a pipe: ") + std::strerror(errno);
        return result;
    }
    const int err = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (err < 0 || dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err, 2) < 0) {
        result.reason = std::string("cannot set up the program's descriptors: ") + std::strerror(errno);
        return result;
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    fcntl(out[0], F_SETFL, O_NONBLOCK);

    // The program runs in its scenario's folder.
    const std::size_t slash = sc.file.rfind('/');
    if (slash != std::string::npos && chdir(sc.file.substr(0, slash + 1).c_str()) != 0) {
        result.reason = sc.file + ": cannot go to its folder: " + std::strerror(errno);
        return result;
    }

    if (sc.clock != Clock::Virtual) {
        run_live(sc, seed, dir, in[1], out[0], result);
        return result;
    }

    velmo::sim::Ports ports;
    ports.set_keep_trace(false);
    velmo::sim::Board &board = ports.board();
    if (sc.has_base) {
        board.set_base(sc.base);
    }
    for (const auto &[n, level] : sc.lines) {
        board.set_outside(n, level);
    }

    RunClock clock(velmo::emu::ClockMode::Virtual, velmo::emu::kNsPerUs, velmo::emu::kDefaultEpoch);
    velmo::emu::VcdWriter vcd;
    std::string why;
    if (!vcd.open(dir + "/run.vcd", {}, why)) {
        result.reason = "VCD file " + why;
        return result;
    }
    vcd.set_clock([&clock] { return static_cast<std::uint64_t>(clock.now() / velmo::emu::kNsPerUs); });
    vcd.start(board, why);

    velmo::emu::Tracer tracer(ports, false);
    tracer.set_clock(&clock);
    VirtualWorld world(clock, ports, vcd, tracer);
    Engine engine(sc, world, seed, in[1], out[0]);
    ports.set_observer([&world, &clock, &vcd](const velmo::sim::Board &b, std::string &w) {
        world.seen(b, clock.now());
        return vcd.update(b, w);
    });
    clock.set_pacer([&engine] { return engine.pace(); });

    const int status = tracer.run(sc.run);
    clock.set_pacer(nullptr);
    engine.program_ended(status);
    vcd.finish(why);

    result.passed = engine.passed();
    result.reason = engine.reason();
    result.run_ns = clock.now();
    write_file(dir + "/stdout", engine.output());
    return result;
}

} // namespace velmo::test
