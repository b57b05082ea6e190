#include "host/testing/Fakes.h"

#include "host/ConfigReader.h"

namespace testing_fakes {

VirtualClock::VirtualClock(uint64_t startMicros, int64_t wallSeconds)
    : m_micros(startMicros), m_wallBase(wallSeconds), m_startMicros(startMicros)
{
    m_previous = Oru::SetClock(this);
}

VirtualClock::~VirtualClock()
{
    Oru::SetClock(m_previous);
}

uint64_t VirtualClock::SteadyMicros()
{
    return m_micros.load();
}

int64_t VirtualClock::WallSeconds()
{
    return m_wallBase.load() + static_cast<int64_t>((m_micros.load() - m_startMicros.load()) / 1000000ULL);
}

void VirtualClock::Sleep(const timespec& duration)
{
    uint64_t us = static_cast<uint64_t>(duration.tv_sec) * 1000000ULL + static_cast<uint64_t>(duration.tv_nsec) / 1000;
    m_micros.fetch_add(us);
    m_slept.fetch_add(us);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sleeps.push_back(static_cast<uint64_t>(duration.tv_sec));
}

void VirtualClock::Advance(uint64_t micros)
{
    m_micros.fetch_add(micros);
}

std::vector<uint64_t> VirtualClock::SleepsSeconds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sleeps;
}

LogCapture::LogCapture(int threshold)
{
    m_oldLevel = CLogger::GetInstance()->GetLogLevel();
    CLogger::GetInstance()->SetLogLevel(threshold);
    m_oldHook = CLogger::GetInstance()->SetCaptureHook([this](const LogRecord& r) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.push_back(r);
    });
}

LogCapture::~LogCapture()
{
    CLogger::GetInstance()->SetCaptureHook(m_oldHook);
    CLogger::GetInstance()->SetLogLevel(m_oldLevel);
}

std::vector<LogRecord> LogCapture::Records() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

std::vector<LogRecord> LogCapture::Find(const std::string& needle, int level) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<LogRecord> out;
    for (const auto& r : m_records) {
        if ((level < 0 || r.level == level) && r.text.find(needle) != std::string::npos) {
            out.push_back(r);
        }
    }
    return out;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

std::string LogCapture::Dump() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const auto& r : m_records) {
        out += "[" + std::to_string(r.level) + "][" + r.module + "][" + r.function + "] " + r.text + "\n";
    }
    return out;
}

ConfigOverride::~ConfigOverride()
{
    for (const auto& k : m_keys) {
        ConfigReader::ClearOverride(k.first, k.second);
    }
}

ConfigOverride& ConfigOverride::Set(const std::string& section, const std::string& key, const std::string& value)
{
    ConfigReader::SetOverride(section, key, value);
    m_keys.emplace_back(section, key);
    return *this;
}

ScriptedCommandRunner::ScriptedCommandRunner()
{
    m_previous = SetCommandRunner(this);
}

ScriptedCommandRunner::~ScriptedCommandRunner()
{
    SetCommandRunner(m_previous);
}

void ScriptedCommandRunner::Expect(const std::string& line, Reply reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_exact[line].push_back(std::move(reply));
}

void ScriptedCommandRunner::ExpectContaining(const std::string& fragment, Reply reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& p : m_partial) {
        if (p.first == fragment) {
            p.second.push_back(std::move(reply));
            return;
        }
    }
    m_partial.emplace_back(fragment, std::deque<Reply>{std::move(reply)});
}

namespace {
ScriptedCommandRunner::Reply TakeReply(std::deque<ScriptedCommandRunner::Reply>& q)
{
    ScriptedCommandRunner::Reply r = q.front();
    if (q.size() > 1) {
        q.pop_front();
    }
    return r;
}
}  // namespace

CommandResult ScriptedCommandRunner::Run(const std::string& cmdTemplate, const std::vector<std::string>& params,
                                         int /*timeoutSec*/)
{
    std::string line = CommandTemplate::Substitute(cmdTemplate, params);
    Reply reply;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(Call{cmdTemplate, params, line});
        auto it = m_exact.find(line);
        if (it != m_exact.end() && !it->second.empty()) {
            reply = TakeReply(it->second);
            found = true;
        }
        for (auto p = m_partial.begin(); !found && p != m_partial.end(); ++p) {
            if (line.find(p->first) != std::string::npos && !p->second.empty()) {
                reply = TakeReply(p->second);
                found = true;
            }
        }
        if (!found) {
            m_unexpected.push_back(line);
        }
    }
    CommandResult out;
    if (!found) {
        out.exitCode = 127;
        out.errLines.push_back("unexpected command: " + line);
        return out;
    }
    if (reply.onRun) {
        reply.onRun();
    }
    out.exitCode = reply.exitCode;
    out.outLines = reply.out;
    out.errLines = reply.err;
    return out;
}

std::vector<ScriptedCommandRunner::Call> ScriptedCommandRunner::Calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<std::string> ScriptedCommandRunner::Unexpected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unexpected;
}

void CapturedMessages::SendMessage(const std::string& topic, const std::string& body)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.emplace_back(topic, body);
}

std::vector<std::pair<std::string, std::string>> CapturedMessages::All() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

std::vector<std::string> CapturedMessages::Bodies(const std::string& topic) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& m : m_messages) {
        if (m.first == topic) {
            out.push_back(m.second);
        }
    }
    return out;
}

AlarmCapture::AlarmCapture()
{
    m_old = AlarmAPI::SetSink([this](const SentEvent& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(e);
    });
}

AlarmCapture::~AlarmCapture()
{
    AlarmAPI::SetSink(m_old);
}

std::vector<SentEvent> AlarmCapture::Events() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

}  // namespace testing_fakes
