// The host's process-wide logger. Thread-safe: records from any thread are
// written whole, one line each, to a rotating file (once a directory is set)
// and, from a configurable level on, to standard error. Tests attach a capture
// hook that receives every record that passes the threshold.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

struct LogRecord {
    int level = 0;
    std::string module;
    uint64_t requestId = 0;
    std::string function;
    int line = 0;
    std::string text;
};

class CLogger {
public:
    static CLogger* GetInstance();

    // Records below this level are dropped by the library's log layer.
    int GetLogLevel() const;
    void SetLogLevel(int level);

    // Writes one record. `text` is taken as data, never as a format.
    void LogEx(int level, const std::string& module, uint64_t requestId, const std::string& function, int line,
               const std::string& text);

    // Sends records to <dir>/datamover.log, rotating at maxBytes and keeping
    // `keep` older files (.1 … .keep). An empty dir stops file output.
    bool SetLogDirectory(const std::string& dir, uint64_t maxBytes = 16ULL << 20, int keep = 3);
    std::string GetLogFilePath() const;
    // Records at or above this level are echoed to standard error; 5 silences it.
    void SetStderrLevel(int level);

    using Hook = std::function<void(const LogRecord&)>;
    // Installs a hook that sees every record; returns the previous one.
    Hook SetCaptureHook(Hook hook);

    ~CLogger();

private:
    CLogger();
    void RotateLocked();
    static std::string FormatLine(const LogRecord& rec);

    mutable std::mutex m_mutex;
    int m_stderrLevel = 3;
    std::string m_dir;
    std::string m_path;
    int m_fd = -1;
    uint64_t m_size = 0;
    uint64_t m_maxBytes = 16ULL << 20;
    int m_keep = 3;
    Hook m_hook;
};
