// Waiting for a state a test can observe (never for a guessed time); header
// only, for any test binary.
#pragma once
#include <chrono>
#include <thread>

namespace testwait {

// Polls `holds` every `every` until it holds (true) or `within` has passed (false).
template <typename Pred>
bool WaitFor(Pred&& holds, std::chrono::milliseconds within,
             std::chrono::microseconds every = std::chrono::milliseconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!holds()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(every);
    }
    return true;
}

}  // namespace testwait
