// "datamover restore": writes one backup point into a volume. The chain from
// the full backup to the chosen point is resolved and its block tables checked
// before the volume is touched; every block is read from the newest backup of
// the chain that holds it and its checksum verified before it is written.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include "apps/datamover/DataCommands.h"
#include "apps/datamover/RepoFormat.h"
#include "apps/datamover/TaskSupport.h"

namespace {

struct RestoreOptions {
    std::string repoPath;
    std::string backupId;
    std::string volumeUrl;
    std::string volumeId;
    int depth = 4;
};

// Where one block of the restored volume comes from.
struct BlockSource {
    int file = -1;  // index into the open data files; -1: never written (zeros)
    uint64_t position = 0;
    uint32_t length = 0;
    uint32_t crc = 0;
};

class RestoreJob {
public:
    RestoreJob(CommandContext& ctx, const RestoreOptions& o) : m_ctx(ctx), m_o(o), m_task(ctx, "restore") {}
    ~RestoreJob()
    {
        for (int fd : m_files) ::close(fd);
    }
    int Run();

private:
    bool Plan(std::string& error);
    bool WriteAll(std::string& error);
    int Fail(const std::string& text);

    CommandContext& m_ctx;
    RestoreOptions m_o;
    dmtask::Task m_task;
    dmtask::StrataUrl m_url;
    repo::Repository m_repo;
    repo::BackupInfo m_target;
    std::vector<repo::BackupInfo> m_chain;
    std::vector<int> m_files;
    std::vector<BlockSource> m_plan;
    uint64_t m_totalBytes = 0;
    std::atomic<uint64_t> m_doneBytes{0};
    std::shared_ptr<CDiskDescriptor> m_disk;
    bool m_diskOpen = false;
};

bool RestoreJob::Plan(std::string& error)
{
    if (!m_repo.ResolveChain(m_target, m_chain, error)) return false;
    const repo::Manifest& top = m_target.manifest;
    uint64_t count = repo::BlockCount(top.volumeSize, top.blockSize);
    m_plan.assign(count, BlockSource{});
    for (const repo::BackupInfo& b : m_chain) {
        std::vector<repo::BlockEntry> entries;
        uint32_t crc = 0;
        if (!repo::ReadTable(b.dir + "/" + repo::kTableFile, entries, crc, error)) return false;
        if (crc != b.manifest.tableCrc || entries.size() != b.manifest.blocks) {
            error = "the block table of backup " + b.manifest.backupId + " does not match its manifest";
            return false;
        }
        std::string dataPath = b.dir + "/" + b.manifest.dataFile;
        int fd = ::open(dataPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot open " + dataPath + ": " + std::strerror(errno);
            return false;
        }
        m_files.push_back(fd);
        bool full = b.manifest.kind == "full";
        for (size_t k = 0; k < entries.size(); ++k) {
            const repo::BlockEntry& e = entries[k];
            if (e.index >= count || e.length != repo::BlockLength(e.index, top.volumeSize, top.blockSize)) {
                error = "backup " + b.manifest.backupId + " names block " + std::to_string(e.index) +
                        " outside the volume";
                return false;
            }
            uint64_t position = full ? e.index * top.blockSize : k * top.blockSize;
            m_plan[e.index] = BlockSource{static_cast<int>(m_files.size() - 1), position, e.length, e.crc};
        }
    }
    for (uint64_t i = 0; i < count; ++i) {
        if (m_plan[i].file < 0) {
            error = "block " + std::to_string(i) + " is in no backup of the chain";
            return false;
        }
        m_totalBytes += m_plan[i].length;
    }
    return true;
}

bool RestoreJob::WriteAll(std::string& error)
{
    const uint64_t blockSize = m_target.manifest.blockSize;
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<int> running{m_o.depth};
    std::mutex errorMutex;
    auto worker = [&]() {
        std::vector<char> buffer(blockSize);
        std::string err;
        while (err.empty() && !stop.load()) {
            size_t index = next++;
            if (index >= m_plan.size()) break;
            const BlockSource& src = m_plan[index];
            int fd = m_files[static_cast<size_t>(src.file)];
            size_t done = 0;
            while (done < src.length) {
                ssize_t n = ::pread(fd, buffer.data() + done, src.length - done,
                                    static_cast<off_t>(src.position + done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ::posix_fadvise(fd, static_cast<off_t>(src.position), src.length, POSIX_FADV_DONTNEED);
            if (done != src.length) {
                err = "cannot read block " + std::to_string(index) + " from the repository";
                break;
            }
            if (repo::BlockCrc(buffer.data(), src.length) != src.crc) {
                err = "block " + std::to_string(index) + " fails its checksum; the volume is only partly restored";
                break;
            }
            uint64_t offset = index * blockSize;
            uint64_t length = src.length;
            EnvProxyResult r = m_disk->WriteBlocks(offset, length, buffer.data());
            if (r._GetCompleteCode() != ENV_PROXY_SUCCESS) {
                err = dmtask::DescribeFailure("writing block " + std::to_string(index), r);
                break;
            }
            // Push the written block out of the page cache as it goes, so the
            // final flush does not find the whole volume dirty.
            m_disk->ReleaseBufferCache(offset, length);
            m_doneBytes += src.length;
        }
        if (!err.empty()) {
            std::lock_guard<std::mutex> lock(errorMutex);
            if (error.empty()) error = err;
            stop = true;
        }
        --running;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < m_o.depth; ++i) threads.emplace_back(worker);
    dmtask::Progress progress(m_ctx, "restore", m_totalBytes);
    while (running.load() > 0) {
        if (dmtask::Interrupted()) {
            stop = true;
            std::lock_guard<std::mutex> lock(errorMutex);
            if (error.empty()) error = "interrupted; the volume is only partly restored";
        }
        progress.Update(m_doneBytes.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (auto& t : threads) t.join();
    progress.Finish();
    std::lock_guard<std::mutex> lock(errorMutex);
    return error.empty();
}

int RestoreJob::Fail(const std::string& text)
{
    if (m_diskOpen) {
        m_disk->CloseDisk();
        m_diskOpen = false;
    }
    m_disk.reset();
    dmtask::SetAbortTarget(nullptr);
    bool leftovers = m_task.HasLeftovers();
    m_task.End();
    std::string line = text;
    if (leftovers) line += " (storage leftovers remain: run 'datamover clean --task " + m_task.Id() + "')";
    PrintError(m_ctx, line);
    return 1;
}

int RestoreJob::Run()
{
    std::string error;
    if (!dmtask::ParseStrataUrl(m_o.volumeUrl, m_url, error)) {
        PrintError(m_ctx, error);
        return 2;
    }
    if (!m_o.volumeId.empty() && !dmtask::ValidVolumeId(m_o.volumeId)) {
        PrintError(m_ctx, "bad volume id '" + m_o.volumeId + "': expected a UUID");
        return 2;
    }
    if (m_o.depth < 1 || m_o.depth > 64) {
        PrintError(m_ctx, "bad --depth " + std::to_string(m_o.depth) + ": 1 to 64");
        return 2;
    }
    if (!m_repo.Open(m_o.repoPath, false, error) || !m_repo.FindBackup(m_o.backupId, m_target, error) ||
        !Plan(error)) {
        PrintError(m_ctx, error);
        return 2;
    }
    dmtask::InstallPauseDivisorFromEnvironment();
    dmtask::InstallSignalHandlers();
    dmtask::SetAbortTarget(&m_task.AbortFlag());
    uint64_t started = dmtask::NowMicros();
    const repo::Manifest& m = m_target.manifest;
    std::string volumeId = m_o.volumeId.empty() ? m.volumeId : m_o.volumeId;
    Json::Value journal(Json::objectValue);
    journal["volume_id"] = volumeId;
    journal["url"] = m_o.volumeUrl;
    journal["storage_type"] = m.storageType;
    journal["offset_kib"] = static_cast<Json::Int>(m.dataOffset / 1024);
    journal["volume_size"] = Json::UInt64(m.volumeSize);
    journal["repo"] = m_repo.Root();
    journal["backup_id"] = m.backupId;
    if (!m_task.Begin(journal, error)) return Fail(error);
    VolumeParas paras = dmtask::MakeParas(m_task, volumeId, m.volumeSize, m.storageType,
                                          static_cast<int>(m.dataOffset / 1024), false, m_o.volumeUrl, "");
    if (!dmtask::CreateDescriptor(paras, m_disk, error)) return Fail(error);
    EnvProxyResult opened = m_disk->OpenDisk(false);
    if (opened._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        return Fail(dmtask::DescribeFailure("opening volume " + m_url.name, opened));
    }
    m_diskOpen = true;
    double openSeconds = static_cast<double>(dmtask::NowMicros() - started) / 1e6;
    uint64_t writeStarted = dmtask::NowMicros();
    if (!WriteAll(error)) return Fail(error);
    EnvProxyResult flushed = m_disk->FlushDisk();
    if (flushed._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        return Fail(dmtask::DescribeFailure("flushing volume " + m_url.name, flushed));
    }
    double writeSeconds = static_cast<double>(dmtask::NowMicros() - writeStarted) / 1e6;
    EnvProxyResult closed = m_disk->CloseDisk();
    m_diskOpen = false;
    m_disk.reset();
    dmtask::SetAbortTarget(nullptr);
    bool leftovers = m_task.HasLeftovers();
    m_task.End();
    if (closed._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        PrintError(m_ctx, dmtask::DescribeFailure("closing volume " + m_url.name, closed) +
                              (leftovers ? "; run 'datamover clean --task " + m_task.Id() + "'" : ""));
        return 1;
    }
    double seconds = static_cast<double>(dmtask::NowMicros() - started) / 1e6;
    if (m_ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = true;
        out["backup_id"] = m.backupId;
        out["volume"] = m_url.name;
        out["chain_length"] = static_cast<Json::UInt>(m_chain.size());
        out["bytes_written"] = Json::UInt64(m_totalBytes);
        out["seconds"] = seconds;
        out["open_seconds"] = openSeconds;
        out["write_seconds"] = writeSeconds;
        dmtask::PrintJson(out);
    } else {
        std::cout << "restored backup " << m.backupId << " (chain of " << m_chain.size() << ") into " << m_url.name
                  << ": " << dmtask::HumanBytes(m_totalBytes) << " in " << dmtask::HumanDuration(seconds) << " ("
                  << dmtask::HumanBytes(seconds > 0 ? static_cast<uint64_t>(m_totalBytes / seconds) : 0) << "/s)"
                  << std::endl;
    }
    return 0;
}

}  // namespace

void RegisterRestoreCommand(CLI::App& app, CommandContext& ctx)
{
    auto opts = std::make_shared<RestoreOptions>();
    CLI::App* sub = app.add_subcommand("restore", "Write a backup point (full or incremental) into a volume");
    sub->add_option("--repo", opts->repoPath, "Backup repository")->required();
    sub->add_option("--backup", opts->backupId, "Backup id (see 'datamover list')")->required();
    sub->add_option("--volume-url", opts->volumeUrl, "strata://MANAGER/POOL/VOLUME to write into")->required();
    sub->add_option("--volume-id", opts->volumeId, "UUID of the target volume (default: the backed-up volume's)");
    sub->add_option("--depth", opts->depth, "Writer threads")->capture_default_str();
    sub->callback([&ctx, opts]() {
        RestoreJob job(ctx, *opts);
        ctx.exitStatus = job.Run();
    });
}
