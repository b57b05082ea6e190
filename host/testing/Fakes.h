// Fakes every test uses: a virtual clock, captured log records, configuration
// overrides, a scripted command runner, captured host messages and alarms.
// Each installs itself on construction and restores the previous state when
// destroyed, so a test's fakes never leak into the next test.
#pragma once
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/AlarmAPI.h"
#include "host/CommandChannel.h"
#include "host/DiskMessageNotify.h"
#include "host/HostClock.h"
#include "host/Logger.h"

namespace testing_fakes {

// Time that only moves when told to or when someone sleeps: a sleep advances
// the clock at once. Thread-safe.
class VirtualClock : public Oru::Clock {
public:
    VirtualClock(uint64_t startMicros = 1000000, int64_t wallSeconds = 1700000000);
    ~VirtualClock() override;
    uint64_t SteadyMicros() override;
    int64_t WallSeconds() override;
    void Sleep(const timespec& duration) override;
    void Advance(uint64_t micros);
    void AdvanceSeconds(uint64_t seconds) { Advance(seconds * 1000000ULL); }
    // Sum of all sleeps, and each sleep's length in whole seconds.
    uint64_t TotalSleptMicros() const { return m_slept.load(); }
    std::vector<uint64_t> SleepsSeconds() const;

private:
    std::atomic<uint64_t> m_micros;
    std::atomic<int64_t> m_wallBase;
    std::atomic<uint64_t> m_startMicros;
    std::atomic<uint64_t> m_slept{0};
    mutable std::mutex m_mutex;
    std::vector<uint64_t> m_sleeps;
    Oru::Clock* m_previous;
};

// Captures every record that passes the threshold (set to 0 while alive).
class LogCapture {
public:
    explicit LogCapture(int threshold = 0);
    ~LogCapture();
    std::vector<LogRecord> Records() const;
    // Records whose text contains `needle` (at `level` when level >= 0).
    std::vector<LogRecord> Find(const std::string& needle, int level = -1) const;
    bool Contains(const std::string& needle, int level = -1) const { return !Find(needle, level).empty(); }
    size_t Count(const std::string& needle, int level = -1) const { return Find(needle, level).size(); }
    void Clear();
    std::string Dump() const;

private:
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
    int m_oldLevel;
    CLogger::Hook m_oldHook;
};

// Sets configuration values for the test's lifetime.
class ConfigOverride {
public:
    ConfigOverride() = default;
    ~ConfigOverride();
    ConfigOverride& Set(const std::string& section, const std::string& key, const std::string& value);
    ConfigOverride& Set(const std::string& section, const std::string& key, int value)
    {
        return Set(section, key, std::to_string(value));
    }

private:
    std::vector<std::pair<std::string, std::string>> m_keys;
};

// Answers commands from a script. Each expectation matches the command line
// with its parameters substituted textually (CommandTemplate::Substitute);
// expectations are consumed in order per command line, the last one of a line
// repeating. An unexpected command answers exit code 127 and is recorded.
class ScriptedCommandRunner : public CommandRunner {
public:
    struct Call {
        std::string cmdTemplate;
        std::vector<std::string> params;
        std::string line;  // substituted
    };
    struct Reply {
        std::vector<std::string> out;
        int exitCode = 0;
        std::vector<std::string> err;
        // Runs as the command "runs" (before Run returns, outside the runner's
        // lock), so a test can look at state the caller must have set up first.
        std::function<void()> onRun;
    };

    ScriptedCommandRunner();
    ~ScriptedCommandRunner() override;
    // Exact command line (after substitution) -> reply.
    void Expect(const std::string& line, Reply reply);
    // Any command line containing `fragment` -> reply (checked after exact matches).
    void ExpectContaining(const std::string& fragment, Reply reply);
    CommandResult Run(const std::string& cmdTemplate, const std::vector<std::string>& params,
                      int timeoutSec) override;
    std::vector<Call> Calls() const;
    std::vector<std::string> Unexpected() const;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::deque<Reply>> m_exact;
    std::vector<std::pair<std::string, std::deque<Reply>>> m_partial;
    std::vector<Call> m_calls;
    std::vector<std::string> m_unexpected;
    CommandRunner* m_previous;
};

// Records the messages a plug-in sends to the host.
class CapturedMessages : public DiskMessageNotify {
public:
    void SendMessage(const std::string& topic, const std::string& body) override;
    std::vector<std::pair<std::string, std::string>> All() const;
    std::vector<std::string> Bodies(const std::string& topic) const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_messages;
};

// Captures alarms sent through AlarmAPI.
class AlarmCapture {
public:
    AlarmCapture();
    ~AlarmCapture();
    std::vector<SentEvent> Events() const;

private:
    mutable std::mutex m_mutex;
    std::vector<SentEvent> m_events;
    AlarmAPI::Sink m_old;
};

}  // namespace testing_fakes
