#include "host/Logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

namespace {
const char* const kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};
std::atomic<int> g_level{2};

void WriteAll(int fd, const std::string& s)
{
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) {
            return;  // a logger never fails its caller
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}
}  // namespace

CLogger* CLogger::GetInstance()
{
    static CLogger instance;
    return &instance;
}

CLogger::CLogger() = default;

CLogger::~CLogger()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

int CLogger::GetLogLevel() const
{
    return g_level.load(std::memory_order_relaxed);
}

void CLogger::SetLogLevel(int level)
{
    g_level.store(level, std::memory_order_relaxed);
}

void CLogger::SetStderrLevel(int level)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stderrLevel = level;
}

CLogger::Hook CLogger::SetCaptureHook(Hook hook)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Hook old = std::move(m_hook);
    m_hook = std::move(hook);
    return old;
}

bool CLogger::SetLogDirectory(const std::string& dir, uint64_t maxBytes, int keep)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_dir = dir;
    m_path.clear();
    m_maxBytes = maxBytes;
    m_keep = keep < 0 ? 0 : keep;
    if (dir.empty()) {
        return true;
    }
    m_path = dir + "/datamover.log";
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (m_fd < 0) {
        m_path.clear();
        return false;
    }
    struct stat st{};
    m_size = (::fstat(m_fd, &st) == 0) ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

std::string CLogger::GetLogFilePath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

void CLogger::RotateLocked()
{
    ::close(m_fd);
    m_fd = -1;
    for (int i = m_keep; i >= 1; --i) {
        std::string from = (i == 1) ? m_path : m_path + "." + std::to_string(i - 1);
        std::string to = m_path + "." + std::to_string(i);
        ::rename(from.c_str(), to.c_str());
    }
    if (m_keep == 0) {
        ::unlink(m_path.c_str());
    }
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0640);
    m_size = 0;
}

std::string CLogger::FormatLine(const LogRecord& rec)
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char stamp[64];
    snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%06ld", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<long>(tv.tv_usec));
    const char* lvl = (rec.level >= 0 && rec.level <= 4) ? kLevelNames[rec.level] : "?";
    std::string line;
    line.reserve(rec.text.size() + 128);
    line += stamp;
    line += " [";
    line += lvl;
    line += "] [";
    line += rec.module;
    line += "] [";
    line += std::to_string(rec.requestId);
    line += "] [";
    line += rec.function;
    line += ":";
    line += std::to_string(rec.line);
    line += "] ";
    line += rec.text;
    line += '\n';
    return line;
}

void CLogger::LogEx(int level, const std::string& module, uint64_t requestId, const std::string& function, int line,
                    const std::string& text)
{
    LogRecord rec{level, module, requestId, function, line, text};
    std::string formatted = FormatLine(rec);
    Hook hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_fd >= 0) {
            if (m_maxBytes > 0 && m_size + formatted.size() > m_maxBytes) {
                RotateLocked();
            }
            if (m_fd >= 0) {
                WriteAll(m_fd, formatted);
                m_size += formatted.size();
            }
        }
        if (level >= m_stderrLevel) {
            WriteAll(STDERR_FILENO, formatted);
        }
        hook = m_hook;
    }
    if (hook) {
        hook(rec);
    }
}
