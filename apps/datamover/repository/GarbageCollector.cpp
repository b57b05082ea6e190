#include "apps/datamover/repository/GarbageCollector.h"

#include <json/json.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>

namespace repo3 {

const char kPendingPrefix[] = "pending/";
const char kGcLockObject[] = "locks/gc";

namespace {

std::string HostName()
{
    char buf[256] = {0};
    if (::gethostname(buf, sizeof buf - 1) != 0) {
        return "";
    }
    return buf;
}

std::string BootId()
{
    std::ifstream f("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(f, id);
    return id;
}

// Who holds a claim or the lock, so that a leftover can be judged on certainty.
std::string HolderText(const std::string& what)
{
    Json::Value v;
    v["holder"] = what;
    v["host"] = HostName();
    v["boot_id"] = BootId();
    v["pid"] = static_cast<Json::Int64>(::getpid());
    v["created_at"] = static_cast<Json::Int64>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return Json::writeString(b, v) + "\n";
}

bool ParseHolder(const std::string& text, Json::Value& v)
{
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string err;
    return r->parse(text.data(), text.data() + text.size(), &v, &err) && v.isObject();
}

std::string DescribeHolder(ObjectStore& store, const std::string& name)
{
    std::string text;
    Json::Value v;
    if (!store.Get(name, text) || !ParseHolder(text, v)) {
        return name;
    }
    return name + " (host " + v["host"].asString() + ", pid " + v["pid"].asString() + ")";
}

// True only when this host's records prove the holder gone.
bool HolderIsGone(const Json::Value& v)
{
    if (!v["host"].isString() || v["host"].asString() != HostName() || !v["pid"].isInt64()) {
        return false;
    }
    const std::string boot = BootId();
    if (!boot.empty() && v["boot_id"].isString() && v["boot_id"].asString() != boot) {
        return true;  // written before this host last booted
    }
    const pid_t pid = static_cast<pid_t>(v["pid"].asInt64());
    if (pid <= 0 || pid == ::getpid()) {
        return false;
    }
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

class LockGuard {
public:
    explicit LockGuard(ObjectStore& store) : m_store(store) {}
    ~LockGuard()
    {
        try {
            m_store.Delete(kGcLockObject);
        } catch (...) {
            // A lock that cannot be removed stays: backups then wait, which is safe.
        }
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    ObjectStore& m_store;
};

bool Less(const ChunkId& a, const ChunkId& b)
{
    return a < b;
}

}  // namespace

BackupClaim::BackupClaim(ObjectStore& store, const std::string& backupId) : m_store(store)
{
    if (!ValidIndexId(backupId)) {
        throw std::invalid_argument("invalid backup id: " + backupId);
    }
    m_name = std::string(kPendingPrefix) + backupId;
    if (m_store.PutIfAbsent(m_name, HolderText("backup " + backupId))) {
        throw RepositoryBusy("backup " + backupId + " is already running (" + m_name + " exists)");
    }
    m_held = true;
    // Claim first, then look: a collection that took its lock before our claim
    // may already have listed the claims and be deleting.
    if (m_store.Exists(kGcLockObject)) {
        const std::string holder = DescribeHolder(m_store, kGcLockObject);
        Release();
        throw RepositoryBusy("garbage collection is running: " + holder);
    }
}

BackupClaim::~BackupClaim()
{
    try {
        Release();
    } catch (...) {
        // A claim left behind only defers collections; BreakStaleClaims finds it.
    }
}

void BackupClaim::Release()
{
    if (m_held) {
        m_held = false;
        m_store.Delete(m_name);
    }
}

GcReport CollectGarbage(ObjectStore& store, const RepoKeys& keys, const GcOptions& options)
{
    GcReport report;
    std::unique_ptr<LockGuard> guard;
    if (!options.dryRun) {
        if (store.PutIfAbsent(kGcLockObject, HolderText("garbage collection"))) {
            throw RepositoryBusy("another garbage collection is running: " + DescribeHolder(store, kGcLockObject));
        }
        guard = std::make_unique<LockGuard>(store);
    }
    // Lock first, then look for claims (the mirror of BackupClaim).
    report.claims = store.List(kPendingPrefix);
    if (!report.claims.empty() && !options.dryRun) {
        report.deferred = true;
        return report;
    }

    IndexStore indexes(store, keys);
    std::vector<IndexName> names;
    for (const std::string& object : store.List(kIndexesPrefix)) {
        IndexName n;
        // Anything under indexes/ that is not an index name could still be one
        // we cannot read: no certainty, no deletion.
        if (!IndexStore::ParseObjectName(object, n)) {
            throw IndexError("object " + object + " is not an index name; nothing deleted");
        }
        names.push_back(n);
    }
    std::vector<ChunkId> referenced;
    for (const IndexName& n : names) {
        BackupIndex index;
        try {
            index = indexes.Read(n.volumeId, n.backupId);  // throws: nothing deleted
        } catch (const IndexError&) {
            if (!store.Exists(IndexStore::ObjectName(n.volumeId, n.backupId))) {
                // Removed since the listing (a forget running): start again rather than guess.
                throw RepositoryBusy("index " + n.volumeId + "/" + n.backupId +
                                     " was removed during the collection; nothing deleted");
            }
            throw;
        }
        for (const auto& b : index.blocks) {
            if (b) {
                referenced.push_back(*b);
            }
        }
    }
    report.indexes = names.size();
    std::sort(referenced.begin(), referenced.end(), Less);
    referenced.erase(std::unique(referenced.begin(), referenced.end()), referenced.end());
    report.referenced = referenced.size();

    ChunkStore chunks(store, keys);
    std::vector<ChunkId> present = chunks.List();
    std::sort(present.begin(), present.end(), Less);
    report.chunks = present.size();
    std::set_difference(present.begin(), present.end(), referenced.begin(), referenced.end(),
                        std::back_inserter(report.unreferenced), Less);
    std::set_difference(referenced.begin(), referenced.end(), present.begin(), present.end(),
                        std::back_inserter(report.missing), Less);
    if (options.dryRun) {
        return report;
    }
    for (const ChunkId& id : report.unreferenced) {
        if (chunks.Remove(id)) {
            ++report.deleted;
        }
    }
    return report;
}

std::vector<std::string> BreakStaleClaims(ObjectStore& store)
{
    std::vector<std::string> names = store.List(kPendingPrefix);
    names.push_back(kGcLockObject);
    std::vector<std::string> removed;
    for (const std::string& name : names) {
        std::string text;
        Json::Value v;
        if (store.Get(name, text) && ParseHolder(text, v) && HolderIsGone(v) && store.Delete(name)) {
            removed.push_back(name);
        }
    }
    return removed;
}

}  // namespace repo3
