#include "apps/datamover/repository/GarbageCollector.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "apps/datamover/repository/Crypto.h"

namespace repo3 {

const char kPendingPrefix[] = "pending/";
const char kGcLockObject[] = "locks/gc";
const char kGcEpochObject[] = "gc/epoch";

namespace {

bool Less(const ChunkId& a, const ChunkId& b)
{
    return a < b;
}

// The record under `name`, when there is a readable one.
bool ReadHolder(const ObjectStore& store, const std::string& name, HolderRecord& r, std::string* text = nullptr)
{
    std::string t;
    if (!store.Get(name, t) || !ParseHolder(t, r)) return false;
    if (text != nullptr) *text = t;
    return true;
}

std::string NewEpoch()
{
    uint8_t b[16];
    RandomBytes(b, sizeof b);
    return ToHex(b, sizeof b) + "\n";
}

}  // namespace

BackupClaim::BackupClaim(ObjectStore& store, const std::string& backupId)
    : m_store(store), m_record(NewHolder("backup " + backupId))
{
    if (!ValidIndexId(backupId)) {
        throw std::invalid_argument("invalid backup id: " + backupId);
    }
    m_name = std::string(kPendingPrefix) + backupId;
    if (m_store.PutIfAbsent(m_name, FormatHolder(m_record))) {
        throw RepositoryBusy("backup " + backupId + " is already running (" + m_name + " exists)");
    }
    m_held = true;
    m_renewedAt = SteadyMillis();
    // Claim first, then look: a collection that took its lease before our claim
    // may already have listed the claims and be deleting. One whose lease
    // expired has stopped deleting (it checks its lease before each deletion).
    m_renewer = std::make_unique<Renewer>([this] { Renew(); }, static_cast<double>(LeaseSeconds()) / 4);
    // A live lease may belong to a collection that listed the claims before
    // ours landed and is deleting now: wait for that holding to end (released,
    // expired, or replaced by a new holder, which lists after our claim and so
    // defers). Backups of other volumes thus only pause while a prune runs.
    // A record without an expiry (an older writer) may never end: refuse.
    HolderRecord gc;
    if (!ReadHolder(m_store, kGcLockObject, gc) || Expired(gc, NowSeconds()) || HolderIsGone(gc)) return;
    const std::string first = gc.owner;
    const int64_t giveUp = NowSeconds() + LeaseSeconds();
    double pause = 0.05;
    while (gc.expiresAt > 0 && NowSeconds() < giveUp) {
        std::this_thread::sleep_for(std::chrono::duration<double>(pause));
        pause = std::min(pause * 2, 1.0);
        if (!ReadHolder(m_store, kGcLockObject, gc) || Expired(gc, NowSeconds()) || HolderIsGone(gc) ||
            gc.owner != first) {
            return;
        }
    }
    Release();
    throw RepositoryBusy("garbage collection is running: " + DescribeHolder(gc, NowSeconds()));
}

BackupClaim::~BackupClaim()
{
    try {
        Release();
    } catch (...) {
        // A claim left behind expires, or BreakStaleClaims finds it.
    }
}

void BackupClaim::Renew()
{
    // Lost when a collection may have judged it expired and removed it; Check() fails then.
    if (!m_lost && !RenewHolder(m_store, m_name, m_record, m_renewedAt)) m_lost = true;
}

void BackupClaim::Check() const
{
    if (!m_held) throw RepositoryBusy("the backup's claim " + m_name + " is not held");
    if (m_lost || !RenewedInTime(m_renewedAt.load())) {
        throw RepositoryBusy("the backup's claim " + m_name +
                             " could not be renewed in time: a collection may have removed chunks it found present, "
                             "so no index was written; run the backup again");
    }
}

void BackupClaim::Release()
{
    if (m_renewer) m_renewer->Stop();
    if (m_held) {
        m_held = false;
        m_store.Delete(m_name);
    }
}

GcReport CollectGarbage(ObjectStore& store, const RepoKeys& keys, const GcOptions& options)
{
    GcReport report;
    std::unique_ptr<Lease> own;
    Lease* lease = options.lease;
    if (!options.dryRun && lease == nullptr) {
        own = std::make_unique<Lease>(store, kGcLockObject, "garbage collection");
        lease = own.get();
    }
    // Lease first, then look for claims (the mirror of BackupClaim). A claim
    // past its expiry belongs to a backup that died or lost its claim (it
    // then writes no index): it defers nothing and is removed.
    const int64_t now = NowSeconds();
    for (const std::string& name : store.List(kPendingPrefix)) {
        HolderRecord r;
        std::string text;
        if (!options.dryRun && ReadHolder(store, name, r, &text) && Expired(r, now)) {
            std::string again;
            if (store.Get(name, again) && again == text) store.Delete(name);
            report.expiredClaims.push_back(name);
            continue;
        }
        report.claims.push_back(name);
    }
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
    if (!report.unreferenced.empty()) {
        lease->Check("collecting");
        // Before the first deletion: a writer's cache of present chunks is
        // trusted only while this epoch is unchanged.
        store.Replace(kGcEpochObject, NewEpoch());
    }
    for (const ChunkId& id : report.unreferenced) {
        lease->Check("deleting unreferenced chunks");
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
    const int64_t now = NowSeconds();
    for (const std::string& name : names) {
        HolderRecord r;
        std::string text, again;
        if (ReadHolder(store, name, r, &text) && (HolderIsGone(r) || Expired(r, now)) && store.Get(name, again) &&
            again == text && store.Delete(name)) {
            removed.push_back(name);
        }
    }
    return removed;
}

}  // namespace repo3
