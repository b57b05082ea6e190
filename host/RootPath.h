// The installation root and the paths the library forms from it.
// The root comes from SetRootPath (the host program's --root) or, when unset,
// from the environment variable DATAMOVER_ROOT. Thread-safe.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>

// Installation root without a trailing slash; tool paths are appended to it.
std::string GetCorvaneRootPath(const std::string& moduleName, uint64_t requestId);
// The host's binary directory (<root>/bin); "/../script/..." resolves from it.
void getCurrentFilePath(std::string& out, const std::string& moduleName, uint64_t requestId);

// Sets the root for this process (empty: fall back to DATAMOVER_ROOT).
void SetRootPath(const std::string& root);

// The host's path singleton: its first member is the installation root.
class CPath {
public:
    static CPath* GetInstance();
    std::string GetRootPath() const;
    // root + "/" + "lib"
    std::string GetLibPath() const;
    void SetRootPath(const std::string& root);

private:
    CPath() = default;
    std::string m_rootPath;
    mutable std::mutex m_mutex;
    friend std::string GetCorvaneRootPath(const std::string&, uint64_t);
};
