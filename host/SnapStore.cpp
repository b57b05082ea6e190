#include "host/SnapStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "host/Logger.h"
#include "proto/chain.pb.h"

namespace fs = std::filesystem;

namespace {
const char MODULE_NAME[] = "SnapStore";
const char IDENTITY_FILE[] = "chain.id";
const char LOCK_FILE[] = "chain.lock";

void Log(int level, const std::string& text)
{
    CLogger::GetInstance()->LogEx(level, MODULE_NAME, 0, "SnapStore", 0, text);
}

bool ReadFile(const std::string& path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

// Writes through a temporary file and a rename, so readers never see half.
bool WriteFileAtomic(const std::string& path, const std::string& data, std::string& error)
{
    std::string tmp = path + ".tmp." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) && ::fsync(fd) == 0;
    if (!ok) {
        error = std::strerror(errno);
    }
    ::close(fd);
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        error = std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
    }
    return ok;
}
}  // namespace

const char SnapStore::META_DIR[] = "SNAPS_DIR";
const char SnapStore::ENTRIES_DIR[] = "backups";

SnapStore::SnapStore() = default;

SnapStore::~SnapStore()
{
    if (m_lockFd >= 0) {
        ::close(m_lockFd);  // releases the flock
    }
}

std::string SnapStore::GetMetaDir() const
{
    return m_storagePath + "/" + META_DIR;
}

bool SnapStore::Init(const std::string& storagePath, uint32_t param, const std::string& chainId)
{
    m_ready = false;
    if (storagePath.empty()) {
        m_error = "empty storage path";
        Log(4, "Init snap store failed: " + m_error);
        return false;
    }
    m_storagePath = storagePath;
    std::error_code ec;
    if ((param & SNAPSTORE_CREATE) != 0) {
        fs::create_directories(fs::path(storagePath) / META_DIR, ec);
        if (!ec) {
            fs::create_directories(fs::path(storagePath) / ENTRIES_DIR, ec);
        }
        if (ec) {
            m_error = "cannot create " + storagePath + ": " + ec.message();
            Log(4, "Init snap store failed: " + m_error);
            return false;
        }
    } else if (!fs::is_directory(fs::path(storagePath) / META_DIR, ec)) {
        m_error = storagePath + " is not a chain directory";
        Log(4, "Init snap store failed: " + m_error);
        return false;
    }
    if ((param & SNAPSTORE_EXCLUSIVE) != 0 && !TakeLock()) {
        return false;
    }
    if (!CheckIdentity(chainId)) {
        if (m_lockFd >= 0) {
            ::close(m_lockFd);
            m_lockFd = -1;
        }
        return false;
    }
    m_ready = true;
    return true;
}

bool SnapStore::TakeLock()
{
    std::string path = GetMetaDir() + "/" + LOCK_FILE;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_error = "cannot open " + path + ": " + std::strerror(errno);
        Log(4, "Init snap store failed: " + m_error);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_error = errno == EWOULDBLOCK ? "the chain at " + m_storagePath + " is in use by another task"
                                       : "cannot lock " + path + ": " + std::strerror(errno);
        ::close(fd);
        Log(4, "Init snap store failed: " + m_error);
        return false;
    }
    m_lockFd = fd;
    return true;
}

bool SnapStore::CheckIdentity(const std::string& chainId)
{
    ChainID parsed;
    if (chainId.empty() || !parsed.ParseFromString(chainId) || parsed.brick_data_size() == 0) {
        m_error = "invalid chain identity";
        Log(4, "Init snap store failed: " + m_error);
        return false;
    }
    std::string path = GetMetaDir() + "/" + IDENTITY_FILE;
    std::string stored;
    if (ReadFile(path, stored)) {
        ChainID existing;
        // Compare parsed messages: equal identities may serialize differently.
        if (!existing.ParseFromString(stored) || existing.SerializeAsString() != parsed.SerializeAsString()) {
            m_error = m_storagePath + " holds a different chain";
            Log(4, "Init snap store failed: " + m_error);
            return false;
        }
        return true;
    }
    if (!WriteFileAtomic(path, parsed.SerializeAsString(), m_error)) {
        m_error = "cannot write " + path + ": " + m_error;
        Log(4, "Init snap store failed: " + m_error);
        return false;
    }
    return true;
}

void SnapStore::setDomainUuid(const std::string& domainUuid)
{
    m_domainUuid = domainUuid;
}

bool SnapStore::ValidEntryName(const std::string& name)
{
    if (name.empty() || name.size() > 200 || name[0] == '.') {
        return false;
    }
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string SnapStore::EntryPath(const std::string& name) const
{
    return m_storagePath + "/" + ENTRIES_DIR + "/" + name;
}

bool SnapStore::CreateEntry(const std::string& name, std::string& path)
{
    if (!m_ready || !ValidEntryName(name)) {
        m_error = "invalid entry name [" + name + "]";
        return false;
    }
    path = EntryPath(name);
    if (::mkdir(path.c_str(), 0755) != 0) {
        m_error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool SnapStore::EntryExists(const std::string& name) const
{
    std::error_code ec;
    return ValidEntryName(name) && fs::is_directory(EntryPath(name), ec);
}

std::vector<std::string> SnapStore::ListEntries() const
{
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(m_storagePath) / ENTRIES_DIR, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (ValidEntryName(name) && it->is_directory(ec)) {
            out.push_back(name);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool SnapStore::RemoveEntry(const std::string& name)
{
    if (!ValidEntryName(name)) {
        m_error = "invalid entry name [" + name + "]";
        return false;
    }
    std::error_code ec;
    fs::remove_all(EntryPath(name), ec);
    if (ec) {
        m_error = ec.message();
        return false;
    }
    return true;
}
