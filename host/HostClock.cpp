#include "host/HostClock.h"

#include <atomic>
#include <cerrno>

namespace Oru {

uint64_t SystemClock::SteadyMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000ULL;
}

int64_t SystemClock::WallSeconds()
{
    return static_cast<int64_t>(::time(nullptr));
}

void SystemClock::Sleep(const timespec& duration)
{
    // nanosleep is resumed after signals so the whole duration is slept.
    timespec left = duration;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {
SystemClock g_systemClock;
std::atomic<Clock*> g_clock{&g_systemClock};
}  // namespace

Clock& GetClock()
{
    return *g_clock.load(std::memory_order_acquire);
}

Clock* SetClock(Clock* clock)
{
    return g_clock.exchange(clock != nullptr ? clock : &g_systemClock, std::memory_order_acq_rel);
}

}  // namespace Oru
