// The rules velmogpio applies on top of the library, shared by the tool and
// the Python module so they read the board the same way: a line's
// direction, a configuration of the named lines only, and the polling of
// `watch`. Header only, on the library's calls and the clock alone, so the
// Python module builds it without the tool's libraries.
#ifndef VELMO_TOOLS_VELMOGPIO_RULES_H
#define VELMO_TOOLS_VELMOGPIO_RULES_H

#include "VELMOGPIOLib.h"
#include "clock.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace velmo::gpio {

// Whether line (1-8) is an input in its bank's direction register value,
// in the library's register map.
inline bool is_input(unsigned int direction, int line)
{
    return (direction & VELMOGPIO_BIT(VELMOGPIO_LINE_POS(line))) != 0;
}

// The two direction registers as the board has them now. ReadIO reports no
// refusal (it reads 0xFF); the call that follows does.
inline void read_directions(unsigned int *d1, unsigned int *d2)
{
    *d1 = ReadIO(BaseAddress + VELMOGPIO_BANK1_DIRECTION);
    *d2 = ReadIO(BaseAddress + VELMOGPIO_BANK2_DIRECTION);
}

// Configures the named lines, inputs[i] for lines[i] (each 1-8), and keeps
// every other line as the board has it: the word is built from the
// direction registers read now. VelmoGPIOConfig's result.
inline int config_lines(const int *lines, const bool *inputs, int count)
{
    unsigned int d1 = 0;
    unsigned int d2 = 0;
    read_directions(&d1, &d2);
    unsigned int word = 0;
    for (int line = 1; line <= VELMOGPIO_LINES; ++line) {
        if (is_input(VELMOGPIO_LINE_BANK(line) == 1 ? d1 : d2, line)) {
            word |= 1u << (line - 1);
        }
    }
    for (int i = 0; i < count; ++i) {
        const unsigned int mask = 1u << (lines[i] - 1);
        word = inputs[i] ? (word | mask) : (word & ~mask);
    }
    return VelmoGPIOConfig(word);
}

enum class Edge { Rising, Falling, Both };

// One edge: when it was seen (ns since the first reading), the line and its
// new level (1 rising, 0 falling).
struct PollEvent {
    std::int64_t t_ns;
    int line;
    int level;
};

// Edges on a few lines, read through the library every interval, as gpiomon
// reports them for a board whose lines can only be polled. The levels of
// the first reading are where the watch starts from, not events. A change
// shorter than the interval may be missed; lines that change between the
// same two readings come in the order named. After a late reading (a busy
// machine) the next one is an interval from now, not a burst to catch up.
class LinePoll {
public:
    enum Result { kEvent, kNothingYet, kTimedOut, kRefused };

    // lines: 1 to 8 lines, each 1-8 and named once (the caller checks).
    // timeout_ns -1 for none.
    LinePoll(const int *lines, int count, Edge edge, std::int64_t interval_ns, std::int64_t timeout_ns)
        : count_(count), edge_(edge), interval_ns_(interval_ns), timeout_ns_(timeout_ns)
    {
        for (int i = 0; i < count && i < VELMOGPIO_LINES; ++i) {
            lines_[i] = lines[i];
        }
    }

    // The first reading. 0, or -1 with the library's message.
    int start()
    {
        start_ = velmo::toolkit::monotonic_ns();
        for (int i = 0; i < count_; ++i) {
            if (VelmoGPIOInputBit(lines_[i], &level_[lines_[i]]) != 0) {
                return -1;
            }
        }
        next_ = start_ + interval_ns_;
        deadline_ = timeout_ns_ < 0 ? INT64_MAX : start_ + timeout_ns_;
        return 0;
    }

    // Waits for the next reading and reads on. kEvent fills event (the
    // rest of that reading on the next call); kNothingYet after a reading
    // without an edge, or when a signal cut the sleep short, so the caller
    // can see to its signals before it calls again; kTimedOut at the
    // timeout (and on every call after it); kRefused with the library's
    // message.
    Result next(PollEvent *event)
    {
        if (!in_round_) {
            const std::int64_t until = next_ < deadline_ ? next_ : deadline_;
            const timespec t = velmo::toolkit::to_timespec(until);
            if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
                return kNothingYet;
            }
            if (velmo::toolkit::monotonic_ns() >= deadline_) {
                return kTimedOut;
            }
            in_round_ = true;
            cursor_ = 0;
        }
        while (cursor_ < count_) {
            const int line = lines_[cursor_++];
            int now_level = 0;
            if (VelmoGPIOInputBit(line, &now_level) != 0) {
                in_round_ = false;
                return kRefused;
            }
            if (now_level == level_[line]) {
                continue;
            }
            level_[line] = now_level;
            const bool rising = now_level != 0;
            if ((rising && edge_ == Edge::Falling) || (!rising && edge_ == Edge::Rising)) {
                continue;
            }
            *event = PollEvent{velmo::toolkit::monotonic_ns() - start_, line, now_level};
            return kEvent; // the rest of this reading on the next call
        }
        in_round_ = false;
        next_ += interval_ns_;
        const std::int64_t now = velmo::toolkit::monotonic_ns();
        if (next_ < now) {
            next_ = now + interval_ns_;
        }
        return kNothingYet;
    }

private:
    int lines_[VELMOGPIO_LINES] = {};
    int count_;
    Edge edge_;
    std::int64_t interval_ns_;
    std::int64_t timeout_ns_;
    int level_[VELMOGPIO_LINES + 1] = {};
    std::int64_t start_ = 0;
    std::int64_t next_ = 0;
    std::int64_t deadline_ = INT64_MAX;
    bool in_round_ = false;
    int cursor_ = 0;
};

} // namespace velmo::gpio

#endif
