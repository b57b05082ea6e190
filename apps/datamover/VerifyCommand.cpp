// "datamover verify": re-reads the repository and checks every manifest, block
// table, changed-range file and block checksum, and that every incremental
// backup's chain is whole. Backups without a manifest were interrupted: they
// are reported and ignored, never counted as damage.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sys/stat.h>
#include <map>
#include <vector>

#include "apps/datamover/BackupReader.h"
#include "apps/datamover/ChainJournal.h"
#include "apps/datamover/DataCommands.h"
#include "apps/datamover/RepoFormat.h"
#include "apps/datamover/TaskSupport.h"
#include "storage_access/DirtyRanges.h"

namespace {

struct VerifyOptions {
    std::string repoPath;
    std::string backupId;
    bool quick = false;
};

// Checks one backup on its own (its chain is judged by the caller); returns
// the problems found (empty: sound). Quick: tables and bindings, no data read.
std::vector<std::string> VerifyBackup(const repo::Repository& r, const repo::BackupInfo& b, bool quick,
                                      dmtask::Progress& progress, uint64_t& bytesChecked)
{
    std::vector<std::string> problems;
    const repo::Manifest& m = b.manifest;
    std::string error;
    std::vector<repo::BackupInfo> chain;
    if (!r.ResolveChain(b, chain, error)) problems.push_back(error);
    repo::BlockTable table;
    if (!repo::LoadCheckedTable(b, table, problems)) return problems;
    const std::vector<repo::BlockEntry>& entries = table.entries;
    uint64_t count = repo::BlockCount(m.volumeSize, m.blockSize);
    bool full = m.kind == "full";
    repo::DataFile data;
    if (!quick && !data.Open(b.dir + "/" + m.dataFile, error)) {
        problems.push_back(error);
        return problems;
    }
    std::vector<char> buffer(quick ? 0 : m.blockSize);
    size_t bad = 0;
    for (size_t k = 0; !quick && k < entries.size(); ++k) {
        const repo::BlockEntry& e = entries[k];
        if (!data.ReadChecked(repo::BlockPosition(m, k, e.index), e.length, e.crc, buffer.data(), error) &&
            bad++ < 3) {
            problems.push_back("block " + std::to_string(e.index) + " " + error);
        }
        bytesChecked += e.length;
        progress.Update(bytesChecked);
    }
    if (bad > 3) problems.push_back(std::to_string(bad - 3) + " more blocks fail their checksums");

    if (!full) {
        std::string path = b.chainDir + "/" + m.dirtyRangesFile;
        uint32_t crc = 0;
        if (!repo::FileCrc(path, crc, error)) {
            problems.push_back(error);
        } else if (crc != m.dirtyRangesCrc) {
            problems.push_back(path + " was changed after the backup");
        } else if (!m.usedFull) {
            // The stored blocks must be exactly those the changed ranges name.
            DirtyRanges ranges;
            ranges.m_version = 2;
            std::string stem = m.dirtyRangesFile.substr(m.dirtyRangesFile.rfind('/') + 1);
            stem = stem.substr(0, stem.size() - std::string(".dirtyRanges").size());
            ranges.Initialize(b.chainDir, stem);
            if (!ranges.LoadFromStorage()) {
                problems.push_back(path + " cannot be loaded");
            } else {
                std::vector<uint64_t> blocks;
                auto it = ranges.Begin(m.blockSize);
                it.ForEachBlock([&](uint64_t index) {
                    if (index >= count) return false;
                    if (blocks.empty() || blocks.back() < index) blocks.push_back(index);
                    return true;
                });
                bool same = !it.Failed() && blocks.size() == entries.size();
                for (size_t k = 0; same && k < blocks.size(); ++k) same = blocks[k] == entries[k].index;
                if (!same) problems.push_back("the stored blocks differ from the changed ranges of " + path);
            }
        }
    }
    return problems;
}

// The backups to check: one and the chain it needs, or every readable one.
std::vector<repo::BackupInfo> Selection(const repo::Repository& r, const repo::BackupInfo& one, bool all)
{
    if (all) return r.ListBackups();
    std::vector<repo::BackupInfo> chain;
    std::string ignored;
    if (!r.ResolveChain(one, chain, ignored)) chain = {one};
    return chain;
}

Json::Value Strings(const std::vector<std::string>& list)
{
    Json::Value out(Json::arrayValue);
    for (const std::string& s : list) out.append(s);
    return out;
}

int RunVerify(CommandContext& ctx, const VerifyOptions& o)
{
    repo::Repository r;
    std::string error;
    if (!r.Open(o.repoPath, false, error)) {
        PrintError(ctx, error);
        return 2;
    }
    repo::BackupInfo one;
    if (!o.backupId.empty() && !r.FindBackup(o.backupId, one, error)) {
        PrintError(ctx, error);
        return o.backupId.empty() || error.find("no backup") == 0 ? 2 : 1;
    }
    std::vector<repo::BackupInfo> backups = Selection(r, one, o.backupId.empty());
    uint64_t total = 0;
    for (const repo::BackupInfo& b : backups) total += o.quick ? 0 : b.manifest.changedBytes;
    std::map<std::string, std::vector<std::string>> problems;
    uint64_t bytes = 0;
    {
        dmtask::Progress progress(ctx, "verify", total);
        for (const repo::BackupInfo& b : backups) {
            problems[b.manifest.backupId] = VerifyBackup(r, b, o.quick, progress, bytes);
        }
    }
    // A backup is sound only when every backup a restore of it reads is.
    std::map<std::string, std::vector<std::string>> judged = problems;
    for (const repo::BackupInfo& b : backups) {
        std::vector<repo::BackupInfo> chain;
        std::string ignored;
        if (!r.ResolveChain(b, chain, ignored)) continue;
        for (size_t i = 0; i + 1 < chain.size(); ++i) {
            const std::string& id = chain[i].manifest.backupId;
            if (problems.count(id) != 0 && !problems[id].empty()) {
                judged[b.manifest.backupId].push_back("depends on damaged backup " + id);
            }
        }
    }
    Json::Value items(Json::arrayValue);
    size_t damaged = 0;
    for (const repo::BackupInfo& b : backups) {
        const std::vector<std::string>& list = judged[b.manifest.backupId];
        if (!o.backupId.empty() && b.manifest.backupId != o.backupId && list.empty()) continue;
        damaged += list.empty() ? 0 : 1;
        bool bound = b.manifest.format >= 2;
        Json::Value item(Json::objectValue);
        item["backup_id"] = b.manifest.backupId;
        item["ok"] = list.empty();
        item["bound"] = bound;
        item["problems"] = Strings(list);
        items.append(item);
        if (!ctx.json) {
            std::cout << (list.empty() ? "ok       " : "DAMAGED  ") << b.manifest.backupId << " (" << b.manifest.kind
                      << ", " << b.manifest.blocks << " blocks"
                      << (bound ? "" : "; format 1: table not bound to its manifest") << ")";
            for (const std::string& p : list) std::cout << "\n         " << p;
            std::cout << "\n";
        }
    }
    Json::Value ignored(Json::arrayValue);
    std::vector<dmjournal::Unfinished> unfinished =
        o.backupId.empty() ? dmjournal::Classify(r) : std::vector<dmjournal::Unfinished>{};
    for (const dmjournal::Unfinished& u : unfinished) {
        if (u.removable) {
            ignored.append(u.backup.backupId);
            if (!ctx.json) std::cout << "ignored  " << u.backup.backupId << " (" << u.text << ")\n";
            continue;
        }
        ++damaged;
        Json::Value item(Json::objectValue);
        item["backup_id"] = u.backup.backupId;
        item["ok"] = false;
        item["problems"] = Strings({u.text});
        items.append(item);
        if (!ctx.json) std::cout << "DAMAGED  " << u.backup.backupId << "\n         " << u.text << "\n";
    }
    size_t checked = items.size();
    if (ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = damaged == 0;
        out["quick"] = o.quick;
        out["backups"] = items;
        out["incomplete"] = ignored;
        out["bytes_checked"] = Json::UInt64(bytes);
        dmtask::PrintJson(out);
    } else {
        std::cout << checked - damaged << " of " << checked << " backups sound, "
                  << (o.quick ? std::string("tables only") : dmtask::HumanBytes(bytes) + " checked");
        if (!ignored.empty()) std::cout << ", " << ignored.size() << " interrupted ignored";
        std::cout << std::endl;
    }
    if (damaged > 0) {
        if (!ctx.json) std::cerr << "datamover: " << damaged << " damaged backup(s) in " << r.Root() << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

void RegisterVerifyCommand(CLI::App& app, CommandContext& ctx)
{
    auto opts = std::make_shared<VerifyOptions>();
    CLI::App* sub = app.add_subcommand("verify", "Re-read a repository and check every checksum (exit 1 on damage)");
    sub->add_option("--repo", opts->repoPath, "Backup repository")->required();
    sub->add_option("--backup", opts->backupId, "Check this backup and the backups it depends on");
    sub->add_flag("--quick", opts->quick, "Check tables, bindings and file lengths only; read no block");
    sub->callback([&ctx, opts]() { ctx.exitStatus = RunVerify(ctx, *opts); });
}
