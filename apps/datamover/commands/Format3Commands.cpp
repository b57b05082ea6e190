#include "apps/datamover/commands/Format3Commands.h"

#include <algorithm>
#include <iostream>
#include <map>

#include "apps/datamover/repository/cli/Format3Repo.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/repository/GarbageCollector.h"
#include "apps/datamover/repository/Verifier.h"
#include "apps/datamover/repository/backend/LocalDirStore.h"
#include "apps/datamover/repository/backend/OpenStore.h"
#include "apps/datamover/session/RestoreRecord.h"
#include "apps/datamover/session/Task.h"

namespace dmcmd3 {

namespace {

int Failed(CommandContext& ctx, dmout::ErrorCode code, const std::string& text)
{
    PrintError(ctx, code, text);
    return dmrepo3::ExitFor(code);
}

bool OpenOrSay(CommandContext& ctx, const std::string& path, const std::string& flag, dmrepo3::Repo3& r, int& rc)
{
    dmout::ErrorCode code = dmout::ErrorCode::Damaged;
    std::string error;
    if (dmrepo3::Open(path, flag, r, code, error)) return true;
    rc = Failed(ctx, code, error);
    return false;
}

struct Listed {
    std::vector<repo3::IndexMeta> readable;  // oldest first within each volume
    std::vector<std::pair<repo3::IndexName, std::string>> unreadable;
};

Listed ReadAll(const dmrepo3::Repo3& r)
{
    Listed out;
    for (const repo3::IndexName& n : r.indexes->List()) {
        try {
            out.readable.push_back(r.indexes->Read(n.volumeId, n.backupId).meta);
        } catch (const std::exception& e) {
            out.unreadable.emplace_back(n, e.what());
        }
    }
    std::stable_sort(out.readable.begin(), out.readable.end(), [](const repo3::IndexMeta& a, const repo3::IndexMeta& b) {
        return a.volumeId != b.volumeId ? a.volumeId < b.volumeId : a.createdAtMicros < b.createdAtMicros;
    });
    return out;
}

Json::Value GcJson(const repo3::GcReport& g)
{
    Json::Value v(Json::objectValue);
    v["indexes"] = Json::UInt64(g.indexes);
    v["chunks"] = Json::UInt64(g.chunks);
    v["unreferenced"] = Json::UInt64(g.unreferenced.size());
    v["deleted"] = Json::UInt64(g.deleted);
    v["deferred"] = g.deferred;
    Json::Value claims(Json::arrayValue);
    for (const std::string& c : g.claims) claims.append(c);
    v["claims"] = claims;
    v["missing"] = Json::UInt64(g.missing.size());
    v["expired_claims"] = Json::UInt64(g.expiredClaims.size());
    return v;
}

std::string GcText(const repo3::GcReport& g)
{
    if (g.deferred) {
        return "chunk collection deferred: a backup is running (" + std::to_string(g.claims.size()) +
               " claim(s)); the next forget or prune collects them ('datamover clean --repo' breaks claims of "
               "backups that died)";
    }
    return std::to_string(g.deleted) + " unreferenced chunk(s) removed, " +
           std::to_string(g.chunks - g.deleted) + " kept" +
           (g.expiredClaims.empty() ? ""
                                    : "; " + std::to_string(g.expiredClaims.size()) +
                                          " expired backup claim(s) removed");
}

// Removes the named indexes, then collects; prints the outcome.
int RemoveAndCollect(CommandContext& ctx, dmrepo3::Repo3& r, const std::vector<repo3::IndexName>& names,
                     Json::Value out)
{
    Json::Value removed(Json::arrayValue);
    // The collection lease covers the removals too: one prune or forget at a
    // time, and none while a collection deletes.
    std::unique_ptr<repo3::Lease> lease;
    try {
        lease = std::make_unique<repo3::Lease>(*r.store, repo3::kGcLockObject, "prune or forget");
    } catch (const repo3::RepositoryBusy& e) {
        return Failed(ctx, dmout::ErrorCode::InUse, std::string(e.what()) + "; nothing was removed");
    } catch (const repo3::StorageError& e) {
        return Failed(ctx, dmrepo3::StorageCode(e), e.what());
    } catch (const std::exception& e) {
        return Failed(ctx, dmout::ErrorCode::Io, e.what());
    }
    try {
        for (const repo3::IndexName& n : names) {
            lease->Check("removing backups");
            r.indexes->Remove(n.volumeId, n.backupId);
            removed.append(n.backupId);
            if (!ctx.json) std::cout << "removed backup " << n.backupId << std::endl;
            dmtask::CrashPoint("forget3-index-removed");
        }
    } catch (const std::exception& e) {
        return Failed(ctx, dmout::ErrorCode::Io, std::string("removing a backup's index: ") + e.what());
    }
    repo3::GcReport g;
    try {
        repo3::GcOptions options;
        options.lease = lease.get();
        g = repo3::CollectGarbage(*r.store, r.keys, options);
    } catch (const repo3::RepositoryBusy& e) {
        g.deferred = true;
        g.claims.push_back(e.what());
    } catch (const std::exception& e) {
        // The indexes are gone; nothing was deleted that any index still names.
        return Failed(ctx, dmout::ErrorCode::Damaged,
                      "backup(s) removed, but no chunk was collected: " + std::string(e.what()));
    }
    if (ctx.json) {
        out["ok"] = true;
        out["removed"] = removed;
        out["gc"] = GcJson(g);
        dmtask::PrintJson(out);
    } else {
        std::cout << GcText(g) << std::endl;
    }
    return 0;
}

// Opens the repository and reads every index; false with the exit status in `rc` (said already).
bool OpenAndRead(CommandContext& ctx, const std::string& repoPath, const std::string& passwordFlag,
                 dmrepo3::Repo3& r, Listed& all, int& rc)
{
    if (!OpenOrSay(ctx, repoPath, passwordFlag, r, rc)) return false;
    try {
        all = ReadAll(r);
    } catch (const std::exception& e) {
        rc = Failed(ctx, dmout::ErrorCode::Io, e.what());
        return false;
    }
    return true;
}

}  // namespace

int List(CommandContext& ctx, const std::string& repoPath, const std::string& passwordFlag)
{
    dmrepo3::Repo3 r;
    Listed all;
    int rc = 1;
    if (!OpenAndRead(ctx, repoPath, passwordFlag, r, all, rc)) return rc;
    std::map<std::string, Json::Value> chains;
    for (const repo3::IndexMeta& m : all.readable) {
        Json::Value& chain = chains[m.volumeId];
        if (chain.isNull()) {
            chain["volume_id"] = m.volumeId;
            chain["backups"] = Json::Value(Json::arrayValue);
            chain["damaged"] = Json::Value(Json::arrayValue);
            if (!ctx.json) std::cout << "volume " << m.volumeId << "\n";
        }
        Json::Value item(Json::objectValue);
        item["backup_id"] = m.backupId;
        item["kind"] = m.parentBackup.empty() ? "full" : "incremental";
        item["snapshot"] = m.snapshot;
        item["parent_backup"] = m.parentBackup;
        item["created_at"] = Json::Int64(m.createdAtMicros / 1000000);
        item["snapshot_url"] = m.snapshotUrl;
        item["data_offset"] = Json::UInt64(m.dataOffset);
        if (!m.snapshotIdentity.empty()) item["snapshot_identity"] = m.snapshotIdentity;
        item["volume_size"] = Json::UInt64(m.volumeSize);
        chain["backups"].append(item);
        if (!ctx.json) {
            std::cout << "  " << m.backupId << "  " << item["kind"].asString() << "  " << m.snapshot << "  "
                      << dmtask::HumanBytes(m.volumeSize) << "\n";
        }
    }
    for (const auto& u : all.unreadable) {
        Json::Value& chain = chains[u.first.volumeId];
        if (chain.isNull()) {
            chain["volume_id"] = u.first.volumeId;
            chain["backups"] = Json::Value(Json::arrayValue);
            chain["damaged"] = Json::Value(Json::arrayValue);
        }
        Json::Value item(Json::objectValue);
        item["backup_id"] = u.first.backupId;
        item["state"] = "damaged";
        item["text"] = u.second;
        chain["damaged"].append(item);
        if (!ctx.json) std::cout << "  " << u.first.backupId << "  damaged: " << u.second << "\n";
    }
    if (ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = true;
        out["format"] = repo3::kRepositoryFormat;
        out["encryption"] = r.keys.Encrypted() ? "repokey" : "none";
        Json::Value list(Json::arrayValue);
        for (auto& c : chains) list.append(c.second);
        out["chains"] = list;
        Json::Value restores(Json::arrayValue);
        for (const dmtask::RestoreRecord& rec : dmtask::ListRestoreRecords(ctx.root, r.store->Describe())) {
            restores.append(dmtask::RestoreRecordText(rec));
        }
        out["interrupted_restores"] = restores;
        dmtask::PrintJson(out);
    } else {
        if (chains.empty()) std::cout << "no backups in " << r.store->Describe() << std::endl;
        for (const dmtask::RestoreRecord& rec : dmtask::ListRestoreRecords(ctx.root, r.store->Describe())) {
            std::cout << "note: " << dmtask::RestoreRecordText(rec) << "\n";
        }
    }
    return 0;
}

int Verify(CommandContext& ctx, const std::string& repoPath, const std::string& passwordFlag,
           const std::string& subsetText)
{
    repo3::VerifySubset subset;
    std::string error;
    if (!subsetText.empty() && !repo3::ParseSubset(subsetText, subset, error)) {
        return Failed(ctx, dmout::ErrorCode::BadArgument, "bad --read-data-subset '" + subsetText + "': " + error);
    }
    dmrepo3::Repo3 r;
    int rc = 1;
    if (!OpenOrSay(ctx, repoPath, passwordFlag, r, rc)) return rc;
    repo3::VerifyReport v;
    try {
        v = repo3::VerifyRepository(*r.store, r.keys, subset);
    } catch (const std::exception& e) {
        return Failed(ctx, dmout::ErrorCode::Io, e.what());
    }
    Json::Value damaged(Json::arrayValue);
    std::vector<std::string> lines;
    for (const repo3::DamagedIndex& d : v.damagedIndexes) {
        Json::Value item(Json::objectValue);
        item["backup_id"] = d.name.backupId;
        item["volume_id"] = d.name.volumeId;
        item["error"] = d.error;
        damaged.append(item);
        lines.push_back("backup " + d.name.backupId + ": " + d.error);
    }
    Json::Value chunks(Json::arrayValue);
    for (const repo3::DamagedChunk& d : v.damagedChunks) {
        Json::Value item(Json::objectValue);
        item["chunk"] = repo3::ChunkIdHex(d.id);
        item["error"] = d.error;
        Json::Value users(Json::arrayValue);
        std::string names;
        for (const repo3::IndexName& n : d.usedBy) {
            users.append(n.backupId);
            names += (names.empty() ? "" : ", ") + n.backupId;
        }
        item["used_by"] = users;
        chunks.append(item);
        lines.push_back(d.error + "; used by backup(s) " + names);
    }
    if (ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = v.Clean();
        out["indexes"] = Json::UInt64(v.indexes);
        out["chunks_referenced"] = Json::UInt64(v.referenced);
        out["chunks_read"] = Json::UInt64(v.chunksRead);
        out["damaged_backups"] = damaged;
        out["damaged_chunks"] = chunks;
        if (!v.Clean()) {
            out["error"] = dmout::ErrorObject(dmout::ErrorCode::Damaged, lines.front());
        }
        dmtask::PrintJson(out);
    } else {
        std::cout << v.indexes << " backup(s), " << v.chunksRead << " of " << v.referenced << " chunk(s) read"
                  << std::endl;
        for (const std::string& l : lines) std::cerr << "datamover: " << l << std::endl;
    }
    return v.Clean() ? 0 : 1;
}

int Forget(CommandContext& ctx, const std::string& repoPath, const std::string& passwordFlag,
           const std::string& backupId, bool dryRun)
{
    if (!repo3::ValidIndexId(backupId)) {
        return Failed(ctx, dmout::ErrorCode::BadArgument, "bad backup id '" + backupId + "'");
    }
    dmrepo3::Repo3 r;
    int rc = 1;
    if (!OpenOrSay(ctx, repoPath, passwordFlag, r, rc)) return rc;
    std::vector<repo3::IndexName> names;
    try {
        for (const repo3::IndexName& n : r.indexes->List()) {
            if (n.backupId == backupId) names.push_back(n);
        }
    } catch (const std::exception& e) {
        return Failed(ctx, dmout::ErrorCode::Io, e.what());
    }
    if (names.empty()) {
        PrintError(ctx, dmout::ErrorCode::NotFound, "no backup " + backupId + " in " + r.store->Describe());
        return 2;
    }
    Json::Value out(Json::objectValue);
    out["backup_id"] = backupId;
    if (dryRun) {
        out["ok"] = true;
        out["dry_run"] = true;
        if (ctx.json) {
            dmtask::PrintJson(out);
        } else {
            std::cout << "would remove backup " << backupId << " (every backup is complete on its own)" << std::endl;
        }
        return 0;
    }
    return RemoveAndCollect(ctx, r, names, out);
}

int Prune(CommandContext& ctx, const std::string& repoPath, const std::string& passwordFlag,
          const std::string& volumeId, const retention::Policy& policy, bool dryRun)
{
    dmrepo3::Repo3 r;
    Listed all;
    int rc = 1;
    if (!OpenAndRead(ctx, repoPath, passwordFlag, r, all, rc)) return rc;
    std::map<std::string, std::vector<retention::Item>> byVolume;
    for (const repo3::IndexMeta& m : all.readable) {
        if (!volumeId.empty() && m.volumeId != volumeId) continue;
        // Every index is complete: no backup needs another, so none is kept for a child's sake.
        byVolume[m.volumeId].push_back({m.backupId, "", m.createdAtMicros / 1000000, m.createdAtMicros});
    }
    std::vector<repo3::IndexName> remove;
    Json::Value decisions(Json::arrayValue);
    for (const auto& v : byVolume) {
        for (const retention::Decision& d : retention::Decide(v.second, policy)) {
            Json::Value item(Json::objectValue);
            item["backup_id"] = d.id;
            item["volume_id"] = v.first;
            item["keep"] = d.keep;
            item["reason"] = d.reason;
            decisions.append(item);
            if (!ctx.json) std::cout << (d.keep ? "keep   " : "remove ") << d.id << "  " << d.reason << "\n";
            if (!d.keep) remove.push_back({v.first, d.id});
        }
    }
    Json::Value out(Json::objectValue);
    out["decisions"] = decisions;
    if (dryRun) {
        out["ok"] = true;
        out["dry_run"] = true;
        if (ctx.json) dmtask::PrintJson(out);
        return 0;
    }
    return RemoveAndCollect(ctx, r, remove, out);
}

CleanOutcome Clean(const std::string& repoPath)
{
    CleanOutcome out;
    try {
        std::unique_ptr<repo3::ObjectStore> store = repo3::OpenObjectStore(repoPath);
        out.claimsBroken = repo3::BreakStaleClaims(*store);
        // A bucket has no temporaries: an unfinished upload never becomes an object.
        if (auto* local = dynamic_cast<repo3::LocalDirStore*>(store.get())) {
            out.temporariesRemoved = local->RemoveDeadTemporaries();
        }
    } catch (const std::exception& e) {
        out.error = e.what();
    }
    return out;
}

}  // namespace dmcmd3
