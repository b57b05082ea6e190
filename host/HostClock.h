// The one clock of the process: steady time, wall time and sleeping.
// Production uses the system clock; tests install a virtual clock so that long
// retry pauses cost nothing. SetClock may be called from any thread; the clock
// object must outlive every caller that may still use it.
#pragma once
#include <cstdint>
#include <ctime>

namespace Oru {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic microseconds since an arbitrary origin.
    virtual uint64_t SteadyMicros() = 0;
    // Wall-clock seconds since the epoch.
    virtual int64_t WallSeconds() = 0;
    // Blocks the caller for the given time (a virtual clock only advances).
    virtual void Sleep(const timespec& duration) = 0;
};

// The system clock.
class SystemClock final : public Clock {
public:
    uint64_t SteadyMicros() override;
    int64_t WallSeconds() override;
    void Sleep(const timespec& duration) override;
};

// Returns the installed clock (the system clock unless a test replaced it).
Clock& GetClock();
// Installs a clock; nullptr restores the system clock. Returns the previous one.
Clock* SetClock(Clock* clock);

}  // namespace Oru
