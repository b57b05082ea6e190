#include "foundation/LogProxy.h"

#include "host/ConfigReader.h"
#include "host/Logger.h"

std::string GetFunctionName(const std::string& prettyFunction)
{
    size_t paren = prettyFunction.find('(');
    if (paren == std::string::npos) {
        return prettyFunction;
    }
    std::string head = prettyFunction.substr(0, paren);
    size_t blank = head.rfind(' ');
    if (blank != std::string::npos) {
        head = head.substr(blank + 1);
    }
    return head + "()";
}

bool LogLevelEnabled(int level)
{
    return CLogger::GetInstance()->GetLogLevel() <= level;
}

namespace {
void Emit(int level, const std::string& module, uint64_t requestId, const std::string& function, int line,
          std::string text)
{
    for (char& c : text) {
        if (c == '%') {
            c = ' ';
        }
    }
    CLogger::GetInstance()->LogEx(level, module, requestId, function, line, text);
}
}  // namespace

LogProxy::LogProxy(int level, std::string module, uint64_t requestId, std::string function, int line)
    : m_level(level), m_module(std::move(module)), m_requestId(requestId), m_function(std::move(function)),
      m_line(line)
{
}

LogProxy::~LogProxy()
{
    try {
        if (CLogger::GetInstance()->GetLogLevel() > m_level) {
            return;
        }
        Emit(m_level, m_module, m_requestId, m_function, m_line, str());
    } catch (...) {
        // A log statement never takes its caller down.
    }
}

SelectiveLogProxy::SelectiveLogProxy(int level, std::string module, uint64_t requestId, std::string function,
                                     int line)
    : m_level(level), m_module(std::move(module)), m_requestId(requestId), m_function(std::move(function)),
      m_line(line),
      m_debug(ConfigReader::getInt("Replication", "ReplicationCommunicationDebug", true) == 1)
{
}

SelectiveLogProxy::~SelectiveLogProxy()
{
    try {
        if (m_level > 1 || m_debug) {
            Emit(m_level, m_module, m_requestId, m_function, m_line, str());
        }
    } catch (...) {
    }
}
