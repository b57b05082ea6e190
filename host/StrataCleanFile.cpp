#include "host/StrataCleanFile.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/GuardedFile.h"
#include "host/RootPath.h"

namespace {
// Running updates and final writes live under different suffixes so that a
// cleaner can tell a task that is still going from one that ended with
// volumes named; a save of one kind removes the other.
const char RUNNING_SUFFIX[] = ".cache";
const char FINISHED_SUFFIX[] = ".final";

bool MakeDirs(const std::string& dir)
{
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (partial.empty()) {
            continue;
        }
        if (::mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

bool EndsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}
}  // namespace

StrataCleanFile::StrataCleanFile() = default;
StrataCleanFile::~StrataCleanFile() = default;

std::string StrataCleanFile::CacheDirectory()
{
    return GetCorvaneRootPath("StrataCleanFile", 0) + "/var/cache";
}

bool StrataCleanFile::ValidCacheId(const std::string& cacheId)
{
    if (cacheId.empty() || cacheId.size() > 128) {
        return false;
    }
    for (char c : cacheId) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string StrataCleanFile::PathOf(const std::string& cacheId, bool finished) const
{
    return CacheDirectory() + "/" + cacheId + (finished ? FINISHED_SUFFIX : RUNNING_SUFFIX);
}

bool StrataCleanFile::SaveCacheFile(const std::string& cacheId, const std::string& document, bool running)
{
    m_error.clear();
    if (!ValidCacheId(cacheId)) {
        m_error = "invalid cache identifier";
        return false;
    }
    if (!MakeDirs(CacheDirectory())) {
        m_error = "cannot create " + CacheDirectory() + ": " + std::strerror(errno);
        return false;
    }
    const std::string path = PathOf(cacheId, !running);
    Oru::GuardedFile file;
    if (file.Open(path, "w") != 0) {
        m_error = file.GetErrorInfo();
        return false;
    }
    if (file.Write(document.data(), 1, document.size()) != document.size() || file.Flush(true) != 0) {
        m_error = file.GetErrorInfo();
        file.Close();
        return false;
    }
    if (file.Close() != 0) {
        m_error = file.GetErrorInfo();
        return false;
    }
    // Only the latest kind of document stands for the cache.
    Oru::GuardedFile other;
    other.Remove(PathOf(cacheId, running));
    return true;
}

bool StrataCleanFile::LoadCacheFile(const std::string& cacheId, std::string& document)
{
    m_error.clear();
    document.clear();
    if (!ValidCacheId(cacheId)) {
        m_error = "invalid cache identifier";
        return false;
    }
    for (bool finished : {true, false}) {
        const std::string path = PathOf(cacheId, finished);
        Oru::GuardedFile file;
        if (file.Open(path, "r") != 0) {
            continue;
        }
        char buf[4096];
        size_t n;
        while ((n = file.Read(buf, 1, sizeof buf)) > 0) {
            document.append(buf, n);
        }
        return true;
    }
    m_error = "no cache document for " + cacheId;
    return false;
}

bool StrataCleanFile::RemoveCacheFile(const std::string& cacheId)
{
    m_error.clear();
    if (!ValidCacheId(cacheId)) {
        m_error = "invalid cache identifier";
        return false;
    }
    Oru::GuardedFile file;
    bool ok = file.Remove(PathOf(cacheId, false)) == 0;
    ok = file.Remove(PathOf(cacheId, true)) == 0 && ok;
    if (!ok) {
        m_error = file.GetErrorInfo();
    }
    return ok;
}

std::vector<std::string> StrataCleanFile::ListFinishedCaches()
{
    std::vector<std::string> ids;
    DIR* dir = ::opendir(CacheDirectory().c_str());
    if (dir == nullptr) {
        return ids;
    }
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (EndsWith(name, FINISHED_SUFFIX)) {
            std::string id = name.substr(0, name.size() - std::strlen(FINISHED_SUFFIX));
            if (ValidCacheId(id)) {
                ids.push_back(id);
            }
        }
    }
    ::closedir(dir);
    return ids;
}
