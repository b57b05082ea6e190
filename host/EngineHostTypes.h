// Host types of the descriptor framework's general cache handle: the observer
// a task registers for cache changes and events, and records the handle only
// passes through. Their content is the host's.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A message of the second volume plug-in, passed through unchanged.
struct T9MapInfo {
    std::map<std::string, std::string> values;
};

// Paths of the host's working environment, passed through unchanged.
struct EnvironmentPath {
    std::string rootPath;
    std::string workPath;
};

class EnvProxyObserver {
public:
    virtual ~EnvProxyObserver() = default;
    virtual void CacheDataChanged(const std::string& json) = 0;
    virtual void SendEvent(uint64_t code, const std::vector<std::string>& params, bool flag) = 0;
    virtual void SetT9Message(T9MapInfo& info) = 0;
};
