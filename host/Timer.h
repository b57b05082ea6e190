// Stopwatch used for the "duration=" figures of log lines. Reads the host
// clock, so durations follow a virtual clock in tests. Not thread-safe per object.
#pragma once
#include <cstdint>

namespace Oru {

// A point on the host's steady clock, in microseconds.
struct TimePoint {
    uint64_t micros = 0;
    static TimePoint Now();
};

class Timer {
public:
    Timer() : m_start(TimePoint::Now()) {}
    void Reset() { m_start = TimePoint::Now(); }
    // Microseconds since construction (or the last Reset).
    uint64_t DurationAsMicroSeconds() const { return TimePoint::Now().micros - m_start.micros; }
    // Milliseconds, truncated.
    uint64_t Duration() const { return DurationAsMicroSeconds() / 1000; }

private:
    TimePoint m_start;
};

}  // namespace Oru
