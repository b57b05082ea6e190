// Helpers of the replication memory tests: bounded polling, a watchdog that
// ends a hung test instead of letting it block the suite, unique names for
// shared-memory objects, and running a check in a forked child.
#pragma once
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "tests/support/WaitFor.h"

namespace memtest {

// Polls `pred` for up to `seconds` of real time; true as soon as it holds.
inline bool WaitUntil(const std::function<bool()>& pred, int seconds = 10)
{
    return testwait::WaitFor(pred, std::chrono::seconds(seconds), std::chrono::microseconds(50));
}

// A test that deadlocks is killed by SIGALRM instead of hanging the run.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds = 60) { alarm(seconds); }
    ~Watchdog() { alarm(0); }
};

// A shared-memory name no other test process uses at the same time.
inline std::string UniqueShmName(const std::string& tag)
{
    static std::atomic<int> counter{0};
    return "dm_test_" + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

inline std::string ShmPath(const std::string& name)
{
    return "/dev/shm/" + name;
}

inline bool ShmExists(const std::string& name)
{
    struct stat st {};
    return stat(ShmPath(name).c_str(), &st) == 0;
}

// Runs `body` in a forked child and returns its exit code (-1 when it died
// from a signal). The child leaves with _exit, skipping the parent's handlers.
inline int RunInChild(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        _exit(code);
    }
    if (pid < 0) {
        return -2;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return -3;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace memtest
