// "datamover forget" and "datamover prune": remove backups at the user's word,
// one by id or by a retention policy. Neither ever removes a backup that a
// kept backup's restore reads; both run under the chain lock, so no backup of
// the chain is written meanwhile, and both can show what they would do first.
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <iostream>
#include <map>

#include "apps/datamover/commands/Format3Commands.h"
#include "apps/datamover/repository/cli/Format3Repo.h"
#include "apps/datamover/repository/format2/ChainJournal.h"
#include "apps/datamover/commands/DataCommands.h"
#include "apps/datamover/repository/format2/RepoFormat.h"
#include "apps/datamover/repository/Retention.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/session/StorageUrl.h"
#include "foundation/JsonUtils.h"
#include "host/SnapStore.h"
#include "proto/chain.pb.h"

namespace {

struct ForgetOptions {
    std::string repoPath;
    std::string backupId;
    std::string volumeId;
    retention::Policy policy;
    bool dryRun = false;
    std::string passwordFile;
};

// One chain's complete backups, locked against every other writer.
struct LockedChain {
    SnapStore store;
    std::vector<repo::BackupInfo> backups;
    std::map<std::string, const repo::BackupInfo*> byId;
};

bool LockChain(const repo::Repository& r, const std::string& volumeId, LockedChain& chain, dmout::ErrorCode& code,
               std::string& error)
{
    if (!dmjournal::LockChain(r, volumeId, chain.store, code, error)) return false;
    if (!dmjournal::JournalReadable(r.ChainDir(volumeId), error)) {
        code = dmout::ErrorCode::Damaged;
        error += "; nothing was removed";
        return false;
    }
    // Listed under the lock: what it shows cannot change until we let go.
    chain.backups = r.ListBackups(volumeId);
    for (const repo::BackupInfo& b : chain.backups) chain.byId[b.manifest.backupId] = &b;
    return true;
}

std::vector<retention::Item> Items(const LockedChain& chain)
{
    std::vector<retention::Item> items;
    for (const repo::BackupInfo& b : chain.backups) {
        items.push_back({b.manifest.backupId, b.manifest.parentBackup, b.manifest.createdAt, b.manifest.createdAtMicros});
    }
    return items;
}

// Removes `order` (children first); stops at the first failure, which leaves
// every backup not yet reached whole.
bool RemoveAll(const LockedChain& chain, const std::vector<std::string>& order, Json::Value& removed,
               const CommandContext& ctx, std::string& error)
{
    for (const std::string& id : order) {
        if (!dmjournal::ForgetBackup(*chain.byId.at(id), error)) return false;
        removed.append(id);
        if (!ctx.json) std::cout << "removed backup " << id << std::endl;
    }
    return true;
}

std::string Describe(const repo::BackupInfo& b)
{
    char when[32] = "?";
    std::time_t t = static_cast<std::time_t>(b.manifest.createdAt);
    std::tm tm {};
    if (::gmtime_r(&t, &tm) != nullptr) std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%SZ", &tm);
    return b.manifest.backupId + "  " + b.manifest.kind + "  " + b.manifest.snapshot + "  " + when;
}

int RunForget(CommandContext& ctx, const ForgetOptions& o)
{
    if (dmrepo3::IsFormat3(o.repoPath)) return dmcmd3::Forget(ctx, o.repoPath, o.passwordFile, o.backupId, o.dryRun);
    repo::Repository r;
    repo::BackupInfo target;
    std::string error;
    if (!repo::ValidBackupId(o.backupId)) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, "bad backup id '" + o.backupId + "'");
        return 2;
    }
    if (!r.Open(o.repoPath, false, error)) {
        PrintError(ctx, dmout::ErrorCode::NotFound, error);
        return 2;
    }
    bool missing = false;
    if (!r.FindBackup(o.backupId, target, error, &missing)) {
        PrintError(ctx, missing ? dmout::ErrorCode::NotFound : dmout::ErrorCode::Damaged,
                   error + (missing ? "" : "; nothing was removed ('datamover verify' says more)"));
        return missing ? 2 : 1;
    }
    LockedChain chain;
    dmout::ErrorCode code = dmout::ErrorCode::InUse;
    if (!LockChain(r, target.manifest.volumeId, chain, code, error)) {
        PrintError(ctx, code, error);
        return 1;
    }
    std::vector<std::string> children;
    for (const repo::BackupInfo& b : chain.backups) {
        if (b.manifest.parentBackup == o.backupId) children.push_back(b.manifest.backupId);
    }
    if (!children.empty()) {
        std::string names;
        for (const std::string& c : children) names += (names.empty() ? "" : ", ") + c;
        PrintError(ctx, dmout::ErrorCode::Refused, "backup " + o.backupId + " is needed to restore " + names +
                            "; forget those first, or let 'datamover prune' keep what they need (nothing was removed)");
        return 1;
    }
    Json::Value removed(Json::arrayValue);
    if (o.dryRun) {
        removed.append(o.backupId);
    } else if (!RemoveAll(chain, {o.backupId}, removed, ctx, error)) {
        PrintError(ctx, dmout::ErrorCode::Io, error);
        return 1;
    }
    if (ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = true;
        out["dry_run"] = o.dryRun;
        out[o.dryRun ? "would_remove" : "removed"] = removed;
        dmtask::PrintJson(out);
    } else if (o.dryRun) {
        std::cout << "would remove backup " << Describe(target) << " (dry run: nothing was removed)" << std::endl;
    }
    return 0;
}

int RunPrune(CommandContext& ctx, const ForgetOptions& o)
{
    if (o.policy.Empty()) {
        PrintError(ctx, dmout::ErrorCode::BadArgument,
                   "give at least one of --keep-last, --keep-daily, --keep-weekly (to remove one backup, use "
                   "'datamover forget')");
        return 2;
    }
    const std::string volume = dmtask::NormalVolumeId(o.volumeId);
    if (!o.volumeId.empty() && !dmtask::ValidVolumeId(volume)) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, "bad volume id '" + o.volumeId + "': expected a UUID");
        return 2;
    }
    if (dmrepo3::IsFormat3(o.repoPath)) {
        return dmcmd3::Prune(ctx, o.repoPath, o.passwordFile, volume, o.policy, o.dryRun);
    }
    repo::Repository r;
    std::string error;
    if (!r.Open(o.repoPath, false, error)) {
        PrintError(ctx, dmout::ErrorCode::NotFound, error);
        return 2;
    }
    std::vector<std::string> volumes = r.ListChains();
    if (!o.volumeId.empty()) {
        if (std::find(volumes.begin(), volumes.end(), volume) == volumes.end()) {
            PrintError(ctx, dmout::ErrorCode::NotFound, "no chain of volume " + o.volumeId + " in " + r.Root());
            return 2;
        }
        volumes = {volume};
    }
    Json::Value chains(Json::arrayValue);
    std::string firstError;
    dmout::ErrorCode firstCode = dmout::ErrorCode::Io;
    for (const std::string& volumeId : volumes) {
        Json::Value c(Json::objectValue);
        c["volume_id"] = volumeId;
        c["kept"] = Json::Value(Json::arrayValue);
        c["removed"] = Json::Value(Json::arrayValue);
        LockedChain chain;
        dmout::ErrorCode code = dmout::ErrorCode::InUse;
        if (!LockChain(r, volumeId, chain, code, error)) {
            c["error"] = dmout::ErrorObject(code, error);
            if (firstError.empty()) {
                firstError = error;
                firstCode = code;
            }
            chains.append(c);
            continue;
        }
        std::vector<retention::Item> items = Items(chain);
        std::vector<retention::Decision> decisions = retention::Decide(items, o.policy);
        if (!ctx.json) std::cout << "chain " << volumeId << ":" << std::endl;
        for (const retention::Decision& d : decisions) {
            if (!ctx.json) {
                std::cout << "  " << (d.keep ? "keep    " : (o.dryRun ? "would remove " : "remove  "))
                          << Describe(*chain.byId.at(d.id)) << "  (" << d.reason << ")" << std::endl;
            }
            if (d.keep) {
                Json::Value k(Json::objectValue);
                k["backup_id"] = d.id;
                k["reason"] = d.reason;
                c["kept"].append(k);
            }
        }
        std::vector<std::string> order = retention::RemovalOrder(items, decisions);
        // What an interrupted prune or backup left, the journal shows removable.
        const char* key = o.dryRun ? "would_remove" : "removed";
        c[key] = Json::Value(Json::arrayValue);
        for (const dmjournal::Unfinished& u : dmjournal::Classify(r, volumeId, true)) {
            std::string ignored;
            if (!u.removable) continue;
            if (o.dryRun) {
                c[key].append(u.backup.backupId);
                if (!ctx.json) std::cout << "  would remove " << u.backup.backupId << "  (" << u.text << ")\n";
            } else if (dmjournal::RemoveInterrupted(u, ignored)) {
                c[key].append(u.backup.backupId);
            }
        }
        for (const std::string& path : dmjournal::OrphanRangeFiles(r.ChainDir(volumeId))) {
            if (o.dryRun) {
                if (!ctx.json) std::cout << "  would remove " << path << "  (left by an interrupted removal)\n";
            } else {
                ::unlink(path.c_str());
            }
            c[o.dryRun ? "would_remove_files" : "removed_files"].append(path);
        }
        if (o.dryRun) {
            for (const std::string& id : order) c[key].append(id);
        } else if (!RemoveAll(chain, order, c["removed"], ctx, error)) {
            c["error"] = dmout::ErrorObject(dmout::ErrorCode::Io, error);
            if (firstError.empty()) firstError = error;
        }
        chains.append(c);
    }
    if (ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = firstError.empty();
        out["dry_run"] = o.dryRun;
        out["chains"] = chains;
        if (!firstError.empty()) out["error"] = dmout::ErrorObject(firstCode, firstError);
        dmtask::PrintJson(out);
    } else {
        if (o.dryRun) std::cout << "dry run: nothing was removed" << std::endl;
        if (!firstError.empty()) std::cerr << "datamover: " << firstError << std::endl;
    }
    return firstError.empty() ? 0 : 1;
}

}  // namespace

void RegisterForgetCommands(CLI::App& app, CommandContext& ctx)
{
    auto f = std::make_shared<ForgetOptions>();
    CLI::App* forget = app.add_subcommand("forget", "Remove one backup that no other backup depends on");
    forget->add_option("--repo", f->repoPath, "Backup repository")->required();
    forget->add_option("--backup", f->backupId, "Backup id (see 'datamover list')")->required();
    forget->add_flag("--dry-run", f->dryRun, "Say what would be removed; remove nothing");
    AddPasswordFileOption(forget, f->passwordFile);
    forget->callback([&ctx, f]() { ctx.exitStatus = RunForget(ctx, *f); });

    auto p = std::make_shared<ForgetOptions>();
    CLI::App* prune = app.add_subcommand(
        "prune", "Apply a retention policy: keep the newest backups, per day and per week, and every backup a kept "
                 "one needs to be restored; remove the rest");
    prune->add_option("--repo", p->repoPath, "Backup repository")->required();
    prune->add_option("--volume-id", p->volumeId, "Only this volume's chain (default: every chain)");
    prune->add_option("--keep-last", p->policy.keepLast, "Keep the newest N backups")->check(CLI::Range(0, 100000));
    prune->add_option("--keep-daily", p->policy.keepDaily,
                      "Keep the newest backup of each of the last N days that have a backup (days without one do "
                      "not count)")
        ->check(CLI::Range(0, 100000));
    prune->add_option("--keep-weekly", p->policy.keepWeekly,
                      "Keep the newest backup of each of the last N weeks that have a backup (UTC, from Monday)")
        ->check(CLI::Range(0, 100000));
    prune->add_flag("--dry-run", p->dryRun, "Show the decisions; remove nothing");
    AddPasswordFileOption(prune, p->passwordFile);
    prune->callback([&ctx, p]() { ctx.exitStatus = RunPrune(ctx, *p); });
}
