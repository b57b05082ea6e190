// "datamover verify": re-reads the repository and checks every manifest, block
// table, changed-range file and block checksum, and that every incremental
// backup's chain is whole and bound by id. Backups without a readable manifest
// are judged by the chain's journal, as list and clean judge them.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <sys/stat.h>
#include <vector>

#include "apps/datamover/repository/format2/BackupReader.h"
#include "apps/datamover/repository/format2/ChainJournal.h"
#include "apps/datamover/commands/DataCommands.h"
#include "apps/datamover/commands/Format3Commands.h"
#include "apps/datamover/repository/cli/Format3Repo.h"
#include "apps/datamover/repository/format2/RepoFormat.h"
#include "apps/datamover/commands/SourceCompare.h"
#include "apps/datamover/output/Console.h"
#include "storage_access/DirtyRanges.h"

namespace {

struct VerifyOptions {
    std::string repoPath;
    std::string backupId;
    bool quick = false;
    std::string againstSource;
    double samplePercent = 100.0;
    std::string readDataSubset;  // format 3 only
    std::string passwordFile;
};

// What one backup's own check found. Problems of its records make it and every
// backup above it damaged; a block failing its checksum damages a backup above
// it only where no newer backup of that one's chain holds the block again.
struct Finding {
    std::vector<std::string> problems;
    std::vector<std::string> blockLines;  // the first damaged blocks, named
    std::set<uint64_t> badBlocks;
    std::vector<uint64_t> blocks;  // what its table holds
    bool Sound() const { return problems.empty() && badBlocks.empty(); }
};

// The stored blocks of an incremental must be exactly those its changed-range file names.
void CheckRanges(const repo::BackupInfo& b, const std::vector<repo::BlockEntry>& entries,
                 std::vector<std::string>& problems)
{
    const repo::Manifest& m = b.manifest;
    std::string path = b.chainDir + "/" + m.dirtyRangesFile;
    uint32_t crc = 0;
    std::string error;
    if (!repo::FileCrc(path, crc, error)) {
        problems.push_back(error);
        return;
    }
    if (crc != m.dirtyRangesCrc) {
        problems.push_back(path + " was changed after the backup");
        return;
    }
    if (m.usedFull) return;
    DirtyRanges ranges;
    ranges.m_version = 2;
    std::string stem = m.dirtyRangesFile.substr(m.dirtyRangesFile.rfind('/') + 1);
    stem = stem.substr(0, stem.size() - std::string(".dirtyRanges").size());
    ranges.Initialize(b.chainDir, stem);
    if (!ranges.LoadFromStorage()) {
        problems.push_back(path + " cannot be loaded");
        return;
    }
    const uint64_t count = repo::BlockCount(m.volumeSize, m.blockSize);
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

// Checks one backup on its own (its chain is judged by the caller). Quick:
// tables and bindings, no data read.
Finding VerifyBackup(const repo::Repository& r, const repo::BackupInfo& b, bool quick, dmtask::Progress& progress,
                     uint64_t& bytesChecked)
{
    Finding f;
    const repo::Manifest& m = b.manifest;
    std::string error;
    std::vector<repo::BackupInfo> chain;
    if (!r.ResolveChain(b, chain, error)) f.problems.push_back(error);
    repo::BlockTable table;
    if (!repo::LoadCheckedTable(b, table, f.problems)) return f;
    for (const repo::BlockEntry& e : table.entries) f.blocks.push_back(e.index);
    if (m.kind != "full") CheckRanges(b, table.entries, f.problems);
    repo::DataFile data;
    if (quick) return f;
    if (!data.Open(b.dir + "/" + m.dataFile, error)) {
        f.problems.push_back(error);
        return f;
    }
    std::vector<char> buffer(m.blockSize);
    for (size_t k = 0; k < table.entries.size(); ++k) {
        const repo::BlockEntry& e = table.entries[k];
        if (!data.ReadChecked(repo::BlockPosition(m, k, e.index), e.length, e.crc, buffer.data(), error)) {
            f.badBlocks.insert(e.index);
            if (f.blockLines.size() < 3) f.blockLines.push_back("block " + std::to_string(e.index) + " " + error);
        }
        bytesChecked += e.length;
        progress.Update(bytesChecked);
    }
    if (f.badBlocks.size() > 3) {
        f.blockLines.push_back(std::to_string(f.badBlocks.size() - 3) + " more blocks fail their checksums");
    }
    return f;
}

// The verdict on `b` given every finding: its own problems, then what it reads
// of the backups below it. `notes` gets damage below that this backup does not read.
std::vector<std::string> Judge(const repo::Repository& r, const repo::BackupInfo& b,
                               std::map<std::string, Finding>& findings, std::vector<std::string>& notes)
{
    const Finding& own = findings[b.manifest.backupId];
    std::vector<std::string> list = own.problems;
    list.insert(list.end(), own.blockLines.begin(), own.blockLines.end());
    std::vector<repo::BackupInfo> chain;
    std::string ignored;
    if (!r.ResolveChain(b, chain, ignored)) return list;
    // Walking down from the top: the blocks a newer backup holds hide an older one's.
    std::set<uint64_t> covered(own.blocks.begin(), own.blocks.end());
    for (size_t i = chain.size() - 1; i-- > 0;) {
        const std::string& id = chain[i].manifest.backupId;
        const Finding& below = findings[id];
        if (!below.problems.empty()) {
            list.push_back("depends on damaged backup " + id);
        } else {
            std::vector<uint64_t> read;
            for (uint64_t block : below.badBlocks) {
                if (covered.count(block) == 0) read.push_back(block);
            }
            if (!read.empty()) {
                list.push_back("depends on damaged backup " + id + " (block " + std::to_string(read.front()) +
                               (read.size() > 1 ? " and " + std::to_string(read.size() - 1) + " more" : "") + ")");
            } else if (!below.badBlocks.empty()) {
                notes.push_back("backup " + id + " below it has damaged blocks, all of which a newer backup of "
                                "this chain holds again: this backup restores exactly");
            }
        }
        covered.insert(below.blocks.begin(), below.blocks.end());
    }
    return list;
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

// `verify --backup ID` of a backup without a readable manifest: the journal's
// word, as a full verify and list give it.
int ReportUnreadable(CommandContext& ctx, const repo::Repository& r, const std::string& id, const std::string& error)
{
    for (const dmjournal::Unfinished& u : dmjournal::Classify(r)) {
        if (u.backup.backupId != id) continue;
        const bool live = u.text.rfind("in progress", 0) == 0;
        const dmout::ErrorCode code = live         ? dmout::ErrorCode::InUse
                                      : u.removable ? dmout::ErrorCode::NotFound
                                                    : dmout::ErrorCode::Damaged;
        PrintError(ctx, code, "backup " + id + " is " + u.text);
        return 1;
    }
    PrintError(ctx, dmout::ErrorCode::Damaged, error);
    return 1;
}

int RunVerify(CommandContext& ctx, const VerifyOptions& o)
{
    if (dmrepo3::IsFormat3(o.repoPath)) {
        if (!o.backupId.empty() || o.quick || !o.againstSource.empty()) {
            PrintError(ctx, dmout::ErrorCode::BadArgument,
                       "--backup, --quick and --against-source are for format-1 and 2 repositories; a format-3 "
                       "one is checked whole, or a share of its chunks with --read-data-subset");
            return 2;
        }
        return dmcmd3::Verify(ctx, o.repoPath, o.passwordFile, o.readDataSubset);
    }
    if (!o.readDataSubset.empty()) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, "--read-data-subset is for format-3 repositories");
        return 2;
    }
    repo::Repository r;
    std::string error;
    if (!r.Open(o.repoPath, false, error)) {
        PrintError(ctx, dmout::ErrorCode::NotFound, error);
        return 2;
    }
    repo::BackupInfo one;
    bool missing = false;
    if (!o.againstSource.empty() && o.backupId.empty()) {
        // The newest backup taken of that snapshot.
        for (const repo::BackupInfo& b : r.ListBackups()) {
            if (b.manifest.snapshotUrl == o.againstSource) one = b;
        }
        if (one.manifest.backupId.empty()) {
            PrintError(ctx, dmout::ErrorCode::NotFound, "no backup of " + o.againstSource + " in " + r.Root() +
                                                            "; name one with --backup");
            return 2;
        }
        return dmverify::CompareWithSource(ctx, r, one, o.againstSource, o.samplePercent);
    }
    if (!o.backupId.empty() && !r.FindBackup(o.backupId, one, error, &missing)) {
        if (missing) {
            PrintError(ctx, dmout::ErrorCode::NotFound, error);
            return 2;
        }
        return ReportUnreadable(ctx, r, o.backupId, error);
    }
    if (!o.againstSource.empty()) return dmverify::CompareWithSource(ctx, r, one, o.againstSource, o.samplePercent);
    std::vector<repo::BackupInfo> backups = Selection(r, one, o.backupId.empty());
    uint64_t total = 0;
    for (const repo::BackupInfo& b : backups) total += o.quick ? 0 : b.manifest.changedBytes;
    std::map<std::string, Finding> findings;
    uint64_t bytes = 0;
    {
        dmtask::Progress progress(ctx, "verify", total);
        for (const repo::BackupInfo& b : backups) {
            findings[b.manifest.backupId] = VerifyBackup(r, b, o.quick, progress, bytes);
        }
    }
    Json::Value items(Json::arrayValue);
    size_t damaged = 0;
    size_t checked = 0;
    for (const repo::BackupInfo& b : backups) {
        std::vector<std::string> notes;
        const std::vector<std::string> list = Judge(r, b, findings, notes);
        if (!o.backupId.empty() && b.manifest.backupId != o.backupId && list.empty()) continue;
        ++checked;
        damaged += list.empty() ? 0 : 1;
        bool bound = b.manifest.format >= 2;
        Json::Value item(Json::objectValue);
        item["backup_id"] = b.manifest.backupId;
        item["ok"] = list.empty();
        item["bound"] = bound;
        item["problems"] = Strings(list);
        if (!notes.empty()) item["notes"] = Strings(notes);
        items.append(item);
        if (!ctx.json) {
            std::cout << (list.empty() ? "ok       " : "DAMAGED  ") << b.manifest.backupId << " (" << b.manifest.kind
                      << ", " << b.manifest.blocks << " blocks"
                      << (bound ? "" : "; format 1: table not bound to its manifest") << ")";
            for (const std::string& p : list) std::cout << "\n         " << p;
            for (const std::string& n : notes) std::cout << "\n         note: " << n;
            std::cout << "\n";
        }
    }
    Json::Value ignored(Json::arrayValue);
    Json::Value chainProblems(Json::arrayValue);
    if (o.backupId.empty()) {
        for (const dmjournal::Unfinished& u : dmjournal::Classify(r)) {
            if (u.removable || u.text.find("in progress") == 0) {
                ignored.append(u.backup.backupId);
                if (!ctx.json) std::cout << "ignored  " << u.backup.backupId << " (" << u.text << ")\n";
                continue;
            }
            ++damaged;
            ++checked;
            Json::Value item(Json::objectValue);
            item["backup_id"] = u.backup.backupId;
            item["ok"] = false;
            item["problems"] = Strings({u.text});
            items.append(item);
            if (!ctx.json) std::cout << "DAMAGED  " << u.backup.backupId << "\n         " << u.text << "\n";
        }
    }
    // A chain whose journal is gone takes no new backup and forgets none: that is damage too.
    std::set<std::string> chains;
    for (const repo::BackupInfo& b : backups) chains.insert(b.manifest.volumeId);
    for (const std::string& volumeId : chains) {
        std::string why;
        if (dmjournal::JournalReadable(r.ChainDir(volumeId), why)) continue;
        ++damaged;
        chainProblems.append(why);
        if (!ctx.json) std::cout << "DAMAGED  chain " << volumeId << "\n         " << why << "\n";
    }
    if (ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = damaged == 0;
        out["quick"] = o.quick;
        out["backups"] = items;
        out["chain_problems"] = chainProblems;
        out["incomplete"] = ignored;
        out["bytes_checked"] = Json::UInt64(bytes);
        if (damaged > 0) {
            out["error"] = dmout::ErrorObject(dmout::ErrorCode::Damaged,
                                              std::to_string(damaged) + " damaged item(s) in " + r.Root());
        }
        dmtask::PrintJson(out);
    } else {
        const size_t sound = checked >= damaged ? checked - damaged : 0;
        std::cout << sound << " of " << checked << " backups sound, "
                  << (o.quick ? std::string("tables only") : dmtask::HumanBytes(bytes) + " checked");
        if (!ignored.empty()) std::cout << ", " << ignored.size() << " interrupted ignored";
        std::cout << std::endl;
    }
    if (damaged > 0) {
        if (!ctx.json) std::cerr << "datamover: " << damaged << " damaged item(s) in " << r.Root() << std::endl;
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
    sub->add_option("--against-source", opts->againstSource,
                    "strata://MANAGER/POOL/SNAPSHOT: compare the backup point (--backup, default the newest backup "
                    "of that snapshot) block by block with the snapshot itself, naming every block that differs");
    sub->add_option("--sample", opts->samplePercent,
                    "With --against-source: compare this percentage of the blocks the diff called changed and of "
                    "those it called unchanged (at least one of each)")
        ->check(CLI::Range(0.001, 100.0))
        ->capture_default_str();
    sub->add_option("--read-data-subset", opts->readDataSubset,
                    "Format 3: read part N of T of the chunks (N/T; N = 1..T over T runs reads them all) or about P "
                    "percent of them (P%); every index is read either way");
    AddPasswordFileOption(sub, opts->passwordFile);
    sub->footer("A backup is sound when every backup its restore reads is: its records bind to each other (each "
                "parent by the id its child names), and every block it restores passes its checksum. Damage below "
                "it that a newer backup of its chain overwrites is named as a note, not counted. --against-source "
                "checks what the checksums cannot: that the storage's changed-block diff left nothing out.");
    sub->callback([&ctx, opts]() { ctx.exitStatus = RunVerify(ctx, *opts); });
}
