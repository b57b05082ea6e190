// Removal of chunks no index references, safe against backups running at the
// same moment. A backup holds a BackupClaim (object pending/<backup-id>) from
// before its first chunk lookup until its index has landed; the collector holds
// locks/gc and deletes nothing while any claim exists. Each side writes its own
// object before looking for the other's, so at least one of them sees the other.
#pragma once
#include <stdexcept>
#include <string>
#include <vector>

#include "apps/datamover/repository/ChunkStore.h"
#include "apps/datamover/repository/Index.h"

namespace repo3 {

extern const char kPendingPrefix[];  // "pending/"
extern const char kGcLockObject[];   // "locks/gc"

// The other side holds the repository: a collection is deleting, or another collection runs.
class RepositoryBusy : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A running backup's claim. Throws RepositoryBusy (leaving no claim behind)
// when a collection is deleting; the claim goes when released or destroyed.
class BackupClaim {
public:
    BackupClaim(ObjectStore& store, const std::string& backupId);
    ~BackupClaim();
    BackupClaim(const BackupClaim&) = delete;
    BackupClaim& operator=(const BackupClaim&) = delete;
    void Release();

private:
    ObjectStore& m_store;
    std::string m_name;
    bool m_held = false;
};

struct GcOptions {
    bool dryRun = false;  // count, delete nothing (takes no lock)
};

struct GcReport {
    size_t indexes = 0;
    size_t referenced = 0;  // distinct chunk ids the indexes name
    size_t chunks = 0;      // chunks present before the collection
    std::vector<ChunkId> unreferenced;
    size_t deleted = 0;
    bool deferred = false;          // a backup was running: nothing deleted
    std::vector<std::string> claims;  // the claims that deferred it
    std::vector<ChunkId> missing;   // referenced yet absent: damage, reported only
};

// One collection. Every index must read cleanly, or nothing is deleted (the
// error names the index): an unreadable index may reference any chunk.
GcReport CollectGarbage(ObjectStore& store, const RepoKeys& keys, const GcOptions& options = {});

// Claims and the collection lock left by processes of this host that are gone
// (pid not alive, or written before the last boot); removes them and returns
// their names. Anything from another host is left for its owner or an operator.
// Not for two processes at once: one could remove a lock the other's new
// collection has just taken in the stale one's place.
std::vector<std::string> BreakStaleClaims(ObjectStore& store);

}  // namespace repo3
