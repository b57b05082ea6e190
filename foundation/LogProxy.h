// The library's log layer: one record per statement, emitted by the proxy's
// destructor through the host logger. Proxies are stack objects of the logging
// thread. Each source file defines MODULE_NAME before using LOG_STREAM.
#pragma once
#include <cstdint>
#include <sstream>
#include <string>

#include "host/OruTSP.h"

// "bool QSRestApi::Init()" -> "QSRestApi::Init()"; text without "(" unchanged.
std::string GetFunctionName(const std::string& prettyFunction);

class LogProxy : public std::ostringstream {
public:
    LogProxy(int level, std::string module, uint64_t requestId, std::string function, int line);
    ~LogProxy() override;

private:
    int m_level;
    std::string m_module;
    uint64_t m_requestId;
    std::string m_function;
    int m_line;
};

// Like LogProxy, but for per-connection detail: written when the level is
// above 1 or "ReplicationCommunicationDebug" is 1, whatever the logger threshold.
class SelectiveLogProxy : public std::ostringstream {
public:
    SelectiveLogProxy(int level, std::string module, uint64_t requestId, std::string function, int line);
    ~SelectiveLogProxy() override;
    bool DebugOn() const { return m_debug; }

private:
    int m_level;
    std::string m_module;
    uint64_t m_requestId;
    std::string m_function;
    int m_line;
    bool m_debug;
};

// Cheap test done before a record is built, so that filtered records cost little.
bool LogLevelEnabled(int level);

// LOG_STREAM(level) << "text";  uses the file's MODULE_NAME.
// LOG_STREAM_M(level, "Module") << "text";  for the statements with a fixed name.
#define LOG_STREAM_M(level, module)                                                                      \
    if (!LogLevelEnabled(level)) {                                                                       \
    } else                                                                                               \
        LogProxy((level), (module), *OruTSP::get(TSP_RequestID), GetFunctionName(__PRETTY_FUNCTION__), \
                 __LINE__)
#define LOG_STREAM(level) LOG_STREAM_M(level, MODULE_NAME)
#define SLOG_STREAM(level)                                                                               \
    SelectiveLogProxy((level), MODULE_NAME, *OruTSP::get(TSP_RequestID), GetFunctionName(__PRETTY_FUNCTION__), \
                      __LINE__)
