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
#include <vector>

#include "apps/datamover/DataCommands.h"
#include "apps/datamover/RepoFormat.h"
#include "apps/datamover/TaskSupport.h"
#include "storage_access/DirtyRanges.h"

namespace {

struct VerifyOptions {
    std::string repoPath;
    std::string backupId;
};

// Checks one backup; returns the problems found (empty: sound).
std::vector<std::string> VerifyBackup(const repo::Repository& r, const repo::BackupInfo& b, uint64_t& bytesChecked)
{
    std::vector<std::string> problems;
    const repo::Manifest& m = b.manifest;
    std::string error;
    std::vector<repo::BackupInfo> chain;
    if (!r.ResolveChain(b, chain, error)) problems.push_back(error);

    std::vector<repo::BlockEntry> entries;
    uint32_t tableCrc = 0;
    if (!repo::ReadTable(b.dir + "/" + repo::kTableFile, entries, tableCrc, error)) {
        problems.push_back(error);
        return problems;
    }
    if (tableCrc != m.tableCrc || entries.size() != m.blocks) {
        problems.push_back("the block table does not match the manifest");
        return problems;
    }
    uint64_t count = repo::BlockCount(m.volumeSize, m.blockSize);
    bool full = m.kind == "full";
    uint64_t covered = 0;
    for (size_t k = 0; k < entries.size(); ++k) {
        const repo::BlockEntry& e = entries[k];
        bool ordered = k == 0 || entries[k - 1].index < e.index;
        if (e.index >= count || !ordered || e.length != repo::BlockLength(e.index, m.volumeSize, m.blockSize) ||
            (full && e.index != k)) {
            problems.push_back("the block table is inconsistent at entry " + std::to_string(k));
            return problems;
        }
        covered += e.length;
    }
    if (full && entries.size() != count) problems.push_back("the full backup does not cover the volume");
    if (covered != m.changedBytes) problems.push_back("the block table covers other bytes than the manifest says");

    std::string dataPath = b.dir + "/" + m.dataFile;
    int fd = ::open(dataPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        problems.push_back("cannot open " + dataPath + ": " + std::strerror(errno));
        return problems;
    }
    std::vector<char> buffer(m.blockSize);
    size_t bad = 0;
    for (size_t k = 0; k < entries.size(); ++k) {
        const repo::BlockEntry& e = entries[k];
        uint64_t position = full ? e.index * m.blockSize : k * m.blockSize;
        size_t done = 0;
        while (done < e.length) {
            ssize_t n = ::pread(fd, buffer.data() + done, e.length - done, static_cast<off_t>(position + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::posix_fadvise(fd, static_cast<off_t>(position), e.length, POSIX_FADV_DONTNEED);
        if (done != e.length || repo::BlockCrc(buffer.data(), e.length) != e.crc) {
            if (bad++ < 3) problems.push_back("block " + std::to_string(e.index) + " fails its checksum");
        }
        bytesChecked += done;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && !entries.empty()) {
        uint64_t expected = full ? m.volumeSize : (entries.size() - 1) * m.blockSize + entries.back().length;
        if (static_cast<uint64_t>(st.st_size) != expected) problems.push_back(dataPath + " has a wrong length");
    }
    ::close(fd);
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
                for (; !it.End(); it.FindNextBlock()) {
                    if (it.BlockIndex() >= count) break;
                    if (blocks.empty() || blocks.back() < it.BlockIndex()) blocks.push_back(it.BlockIndex());
                }
                bool same = !it.Failed() && blocks.size() == entries.size();
                for (size_t k = 0; same && k < blocks.size(); ++k) same = blocks[k] == entries[k].index;
                if (!same) problems.push_back("the stored blocks differ from the changed ranges of " + path);
            }
        }
    }
    return problems;
}

int RunVerify(CommandContext& ctx, const VerifyOptions& o)
{
    repo::Repository r;
    std::string error;
    if (!r.Open(o.repoPath, false, error)) {
        PrintError(ctx, error);
        return 2;
    }
    std::vector<repo::BackupInfo> backups;
    if (!o.backupId.empty()) {
        repo::BackupInfo b;
        if (!r.FindBackup(o.backupId, b, error)) {
            PrintError(ctx, error);
            return 2;
        }
        backups.push_back(b);
    } else {
        backups = r.ListBackups();
    }
    Json::Value out(Json::objectValue);
    Json::Value items(Json::arrayValue);
    size_t damaged = 0;
    uint64_t bytes = 0;
    for (const repo::BackupInfo& b : backups) {
        std::vector<std::string> problems = VerifyBackup(r, b, bytes);
        damaged += problems.empty() ? 0 : 1;
        Json::Value item(Json::objectValue);
        item["backup_id"] = b.manifest.backupId;
        item["ok"] = problems.empty();
        Json::Value list(Json::arrayValue);
        for (const std::string& p : problems) list.append(p);
        item["problems"] = list;
        items.append(item);
        if (!ctx.json) {
            std::cout << (problems.empty() ? "ok       " : "DAMAGED  ") << b.manifest.backupId << " ("
                      << b.manifest.kind << ", " << b.manifest.blocks << " blocks)";
            for (const std::string& p : problems) std::cout << "\n         " << p;
            std::cout << "\n";
        }
    }
    std::vector<repo::PartialBackup> partial = o.backupId.empty() ? r.ListPartial() : std::vector<repo::PartialBackup>{};
    Json::Value ignored(Json::arrayValue);
    for (const repo::PartialBackup& p : partial) {
        ignored.append(p.backupId);
        if (!ctx.json) std::cout << "ignored  " << p.backupId << " (incomplete: no manifest)\n";
    }
    if (ctx.json) {
        out["ok"] = damaged == 0;
        out["backups"] = items;
        out["incomplete"] = ignored;
        out["bytes_checked"] = Json::UInt64(bytes);
        dmtask::PrintJson(out);
    } else {
        std::cout << backups.size() - damaged << " of " << backups.size() << " backups sound, "
                  << dmtask::HumanBytes(bytes) << " checked";
        if (!partial.empty()) std::cout << ", " << partial.size() << " incomplete ignored";
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
    sub->add_option("--backup", opts->backupId, "Check this backup only");
    sub->callback([&ctx, opts]() { ctx.exitStatus = RunVerify(ctx, *opts); });
}
