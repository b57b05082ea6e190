// Removal of chunks no index references, safe against backups running at the
// same moment. A backup holds a BackupClaim (object pending/<backup-id>) from
// before its first chunk lookup until its index has landed; the collector holds
// locks/gc and deletes nothing while any claim exists. Each side writes its own
// object before looking for the other's, so at least one of them sees the other.
#pragma once
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "apps/datamover/repository/ChunkStore.h"
#include "apps/datamover/repository/Index.h"
#include "apps/datamover/repository/Lease.h"

namespace repo3 {

extern const char kPendingPrefix[];  // "pending/"
extern const char kGcLockObject[];   // "locks/gc": the collection lease
extern const char kGcEpochObject[];  // "gc/epoch": replaced before a collection deletes

// A running backup's claim, renewed while held (see Lease.h). Throws
// RepositoryBusy (leaving no claim behind) when a live collection holds the
// lease; the claim goes when released or destroyed.
class BackupClaim {
public:
    BackupClaim(ObjectStore& store, const std::string& backupId);
    ~BackupClaim();
    BackupClaim(const BackupClaim&) = delete;
    BackupClaim& operator=(const BackupClaim&) = delete;
    // Throws RepositoryBusy when the claim may have been judged expired (not
    // renewed for half a lease time, or gone): a collection could then have
    // deleted chunks this backup found present, so its index must not be written.
    void Check() const;
    void Release();

private:
    void Renew();
    ObjectStore& m_store;
    std::string m_name;
    HolderRecord m_record;
    bool m_held = false;
    std::atomic<int64_t> m_renewedAt{0};
    std::atomic<bool> m_lost{false};
    std::unique_ptr<Renewer> m_renewer;
};

struct GcOptions {
    bool dryRun = false;  // count, delete nothing (takes no lock)
    Lease* lease = nullptr;  // the collection lease, already taken by the caller (prune); else taken here
};

struct GcReport {
    size_t indexes = 0;
    size_t referenced = 0;  // distinct chunk ids the indexes name
    size_t chunks = 0;      // chunks present before the collection
    std::vector<ChunkId> unreferenced;
    size_t deleted = 0;
    bool deferred = false;          // a backup was running: nothing deleted
    std::vector<std::string> claims;  // the claims that deferred it
    std::vector<std::string> expiredClaims;  // claims past their expiry: removed, deferred nothing
    std::vector<ChunkId> missing;   // referenced yet absent: damage, reported only
};

// One collection. Every index must read cleanly, or nothing is deleted (the
// error names the index): an unreadable index may reference any chunk.
GcReport CollectGarbage(ObjectStore& store, const RepoKeys& keys, const GcOptions& options = {});

// Claims and the collection lease left by processes that are gone: past their
// expiry, or of this host with a pid not alive or written before the last
// boot; removes them and returns their names. A live record of another host is
// left for its owner (or expires).
// Not for two processes at once: one could remove a lock the other's new
// collection has just taken in the stale one's place.
std::vector<std::string> BreakStaleClaims(ObjectStore& store);

}  // namespace repo3
