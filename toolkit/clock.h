// The clocks as the whole project reads them. The monotonic clock:
// nanoseconds, microseconds or milliseconds since some fixed point in the
// past, never going back. Coarse reads the clock the kernel keeps per tick
// (a few ms old, but several times cheaper), for checks made on every port
// access.
#ifndef VELMO_TOOLKIT_CLOCK_H
#define VELMO_TOOLKIT_CLOCK_H

#include <cstdint>
#include <ctime>

namespace velmo::toolkit {

enum class Clock { Precise, Coarse };

inline std::int64_t monotonic_ns(Clock clock = Clock::Precise)
{
    timespec ts{};
    ::clock_gettime(clock == Clock::Coarse ? CLOCK_MONOTONIC_COARSE : CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
inline std::int64_t monotonic_us(Clock clock = Clock::Precise)
{
    return monotonic_ns(clock) / 1000;
}
inline std::int64_t monotonic_ms(Clock clock = Clock::Precise)
{
    return monotonic_ns(clock) / 1000000;
}

// The wall clock, as the board file's change log records its times:
// microseconds since 1970 (0 on a clock set before it).
inline std::int64_t wall_clock_us()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const std::int64_t us = static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    return us < 0 ? 0 : us;
}

// A time in nanoseconds as the kernel's timespec (clock_nanosleep).
inline timespec to_timespec(std::int64_t ns)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

} // namespace velmo::toolkit

#endif
