// "datamover list": the chains of a repository, their backups and sizes.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <iostream>

#include "apps/datamover/repository/format2/ChainJournal.h"
#include "apps/datamover/commands/DataCommands.h"
#include "apps/datamover/commands/Format3Commands.h"
#include "apps/datamover/repository/cli/Format3Repo.h"
#include "apps/datamover/repository/format2/RepoFormat.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/session/RestoreRecord.h"

namespace {

// Bytes the backup really occupies (holes of the sparse image do not count).
uint64_t AllocatedBytes(const std::string& dir)
{
    uint64_t total = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (::stat(it->path().c_str(), &st) == 0) total += static_cast<uint64_t>(st.st_blocks) * 512;
    }
    return total;
}

std::string TimeText(int64_t t)
{
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%SZ", &tm);
    return buf;
}

// "2026-12-07T15:31:54.123Z": the creation instant to the millisecond.
std::string IsoTime(int64_t micros)
{
    std::time_t tt = static_cast<std::time_t>(micros / 1000000);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[48];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03dZ", static_cast<int>((micros / 1000) % 1000));
    return std::string(buf) + ms;
}

int RunList(CommandContext& ctx, const std::string& repoPath, const std::string& passwordFile)
{
    if (dmrepo3::IsFormat3(repoPath)) return dmcmd3::List(ctx, repoPath, passwordFile);
    repo::Repository r;
    std::string error;
    if (!r.Open(repoPath, false, error)) {
        PrintError(ctx, dmout::ErrorCode::NotFound, error);
        return 2;
    }
    Json::Value chains(Json::arrayValue);
    for (const std::string& volumeId : r.ListChains()) {
        std::vector<repo::BackupInfo> backups = r.ListBackups(volumeId);
        Json::Value chain(Json::objectValue);
        chain["volume_id"] = volumeId;
        Json::Value list(Json::arrayValue);
        Json::Value interrupted(Json::arrayValue);
        uint64_t chainBytes = 0;
        if (!ctx.json) std::cout << "chain " << volumeId << "\n";
        for (const repo::BackupInfo& b : backups) {
            const repo::Manifest& m = b.manifest;
            uint64_t allocated = AllocatedBytes(b.dir);
            chainBytes += allocated;
            Json::Value item(Json::objectValue);
            item["backup_id"] = m.backupId;
            item["kind"] = m.kind;
            item["snapshot"] = m.snapshot;
            item["parent_backup"] = m.parentBackup;
            item["created_at"] = Json::Int64(m.createdAt);
            item["created"] = IsoTime(m.createdAtMicros);
            item["snapshot_url"] = m.snapshotUrl;
            item["data_offset"] = Json::UInt64(m.dataOffset);
            if (!m.snapshotIdentity.empty()) item["snapshot_identity"] = m.snapshotIdentity;
            item["volume_size"] = Json::UInt64(m.volumeSize);
            item["changed_bytes"] = Json::UInt64(m.changedBytes);
            item["used_full"] = m.usedFull;
            item["stored_bytes"] = Json::UInt64(m.storedBytes);
            item["disk_bytes"] = Json::UInt64(allocated);
            list.append(item);
            if (!ctx.json) {
                std::string kind = m.usedFull ? m.kind + " (full read)" : m.kind;
                std::cout << "  " << std::left << std::setw(28) << m.backupId << std::setw(12) << kind << " "
                          << std::setw(20) << m.snapshot << TimeText(m.createdAt) << "  read "
                          << std::setw(10) << dmtask::HumanBytes(m.changedBytes) << " on disk "
                          << dmtask::HumanBytes(allocated) << "\n";
            }
        }
        if (!ctx.json) {
            std::cout << "  " << backups.size() << " backup(s), " << dmtask::HumanBytes(chainBytes) << " on disk\n";
        }
        chain["backups"] = list;
        Json::Value damaged(Json::arrayValue);
        for (const dmjournal::Unfinished& u : dmjournal::Classify(r, volumeId)) {
            Json::Value item(Json::objectValue);
            item["backup_id"] = u.backup.backupId;
            item["state"] = u.removable ? "interrupted" : "damaged";
            item["text"] = u.text;
            (u.removable ? interrupted : damaged).append(item);
            if (!ctx.json) std::cout << "  " << std::left << std::setw(28) << u.backup.backupId << u.text << "\n";
        }
        chain["damaged"] = damaged;
        chain["interrupted"] = interrupted;
        chain["disk_bytes"] = Json::UInt64(chainBytes);
        chains.append(chain);
    }
    Json::Value restores(Json::arrayValue);
    for (const dmtask::RestoreRecord& rec : dmtask::ListRestoreRecords(ctx.root, r.Root())) {
        restores.append(dmtask::RestoreRecordText(rec));
        if (!ctx.json) std::cout << "note: " << dmtask::RestoreRecordText(rec) << "\n";
    }
    if (ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = true;
        out["chains"] = chains;
        out["interrupted_restores"] = restores;
        dmtask::PrintJson(out);
    } else if (chains.empty()) {
        std::cout << "no backups in " << r.Root() << std::endl;
    }
    return 0;
}

}  // namespace

void RegisterListCommand(CLI::App& app, CommandContext& ctx)
{
    auto repoPath = std::make_shared<std::string>();
    auto passwordFile = std::make_shared<std::string>();
    CLI::App* sub = app.add_subcommand("list", "List the chains of a repository, their backups and sizes");
    sub->add_option("--repo", *repoPath, "Backup repository")->required();
    AddPasswordFileOption(sub, *passwordFile);
    sub->callback([&ctx, repoPath, passwordFile]() { ctx.exitStatus = RunList(ctx, *repoPath, *passwordFile); });
}
