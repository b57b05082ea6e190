#include "apps/datamover/commands/SourceCompare.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <iostream>
#include <mutex>
#include <random>
#include <vector>

#include "apps/datamover/repository/format2/BackupReader.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/session/StorageUrl.h"
#include "apps/datamover/session/Task.h"
#include "apps/datamover/session/Threads.h"

namespace dmverify {

namespace {

struct Difference {
    uint64_t block = 0;
    std::string heldBy;
    bool damaged = false;  // the repository's copy failed its checksum
    std::string text;
};

// `percent` of `from` (at least one when there is any), in ascending order.
std::vector<uint64_t> Sample(std::vector<uint64_t> from, double percent, std::mt19937_64& rng)
{
    if (percent >= 100.0 || from.empty()) return from;
    size_t want = std::max<size_t>(1, static_cast<size_t>(std::ceil(from.size() * percent / 100.0)));
    std::shuffle(from.begin(), from.end(), rng);
    from.resize(std::min(want, from.size()));
    std::sort(from.begin(), from.end());
    return from;
}

}  // namespace

int CompareWithSource(CommandContext& ctx, const repo::Repository& r, const repo::BackupInfo& point,
                      const std::string& url, double percent)
{
    const repo::Manifest& m = point.manifest;
    std::string error;
    dmtask::StrataUrl source;
    if (!dmtask::ParseStrataUrl(url, source, error)) {
        PrintError(ctx, dmout::ErrorCode::BadArgument, error);
        return 2;
    }
    repo::ChainReader reader;
    if (!reader.Open(r, point, error)) {
        PrintError(ctx, dmout::ErrorCode::Damaged, "backup " + m.backupId + " cannot be read: " + error);
        return 1;
    }
    // Blocks the newest backup stored (the diff said changed) and those it took from below (said unchanged).
    const size_t top = reader.Chain().size() - 1;
    std::vector<uint64_t> changed, unchanged;
    for (uint64_t i = 0; i < reader.Blocks(); ++i) (reader.HolderOf(i) == top ? changed : unchanged).push_back(i);
    std::random_device seed;
    std::mt19937_64 rng(seed());
    std::vector<uint64_t> blocks = Sample(changed, percent, rng);
    const std::vector<uint64_t> more = Sample(unchanged, percent, rng);
    const size_t changedCompared = blocks.size();
    blocks.insert(blocks.end(), more.begin(), more.end());

    dmtask::Task task(ctx, "verify");
    dmtask::ObjectLock lock;
    if (!lock.Acquire(ctx.root, "snapshot strata://" + source.manager + "/" + source.pool + "/" + source.name,
                      task.Id(), error)) {
        PrintError(ctx, dmout::ErrorCode::InUse, error);
        return 1;
    }
    dmtask::InstallPauseDivisorFromEnvironment();
    dmtask::InstallSignalHandlers();
    dmtask::SetAbortTarget(&task.AbortFlag());
    Json::Value journal(Json::objectValue);
    journal["volume_id"] = m.volumeId;
    journal["url"] = url;
    journal["storage_type"] = m.storageType;
    journal["offset_kib"] = static_cast<Json::Int>(m.dataOffset / 1024);
    journal["volume_size"] = Json::UInt64(m.volumeSize);
    journal["repo"] = r.Root();
    journal["backup_id"] = m.backupId;
    std::shared_ptr<CDiskDescriptor> disk;
    bool open = false;
    // Closes the snapshot and ends the task whatever happened; the text of a failure, if any.
    auto finish = [&](dmout::ErrorCode code, const std::string& text) {
        if (open) disk->CloseDisk();
        disk.reset();
        dmtask::SetAbortTarget(nullptr);
        bool leftovers = task.HasLeftovers();
        task.End();
        if (text.empty()) return 0;
        PrintError(ctx, dmtask::Interrupted() ? dmout::ErrorCode::Interrupted : code,
                   text + (leftovers ? " (storage leftovers remain: run 'datamover clean --task " + task.Id() + "')"
                                     : ""));
        return 1;
    };
    if (!task.Begin(journal, error)) return finish(dmout::ErrorCode::Io, error);
    VolumeParas paras = dmtask::MakeParas(task, m.volumeId, m.volumeSize, m.storageType,
                                          static_cast<int>(m.dataOffset / 1024), true, url, "");
    if (!dmtask::CreateDescriptor(paras, disk, error)) return finish(dmout::ErrorCode::Internal, error);
    dmtask::Status(ctx, "attaching snapshot " + source.name + " (the storage settles for a few seconds)");
    EnvProxyResult opened = disk->OpenDisk(std::make_shared<CSnapshotID>(source.name), true);
    if (opened._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        return finish(dmout::ErrorCode::Storage, dmtask::DescribeFailure("opening snapshot " + source.name, opened));
    }
    open = true;
    uint64_t size = 0;
    if (!dmtask::AttachedDeviceSize(source, size, error)) return finish(dmout::ErrorCode::Storage, error);
    if (size != m.dataOffset + m.volumeSize) {
        return finish(dmout::ErrorCode::Refused, "snapshot " + source.name + " holds " + std::to_string(size) +
                                                     " bytes, backup " + m.backupId + " " +
                                                     std::to_string(m.dataOffset + m.volumeSize) +
                                                     ": it is not the snapshot this backup was taken of");
    }

    std::mutex mutex;
    std::vector<Difference> found;
    std::atomic<uint64_t> done{0};
    uint64_t total = 0;
    for (uint64_t b : blocks) total += reader.Length(b);
    const uint64_t blockSize = m.blockSize;
    auto compare = [&](size_t k, char* buffer, std::string& err) {
        const uint64_t index = blocks[k];
        const uint32_t length = reader.Length(index);
        char* ours = buffer;
        char* theirs = buffer + blockSize;
        Difference d;
        d.block = index;
        d.heldBy = reader.Chain()[reader.HolderOf(index)].manifest.backupId;
        std::string why;
        if (!reader.Read(index, ours, why)) {
            d.damaged = true;
            d.text = why;
        }
        uint64_t got = length;
        EnvProxyResult rr = disk->ReadBlocks(index * blockSize, got, theirs);
        if (rr._GetCompleteCode() != ENV_PROXY_SUCCESS || got != length) {
            err = dmtask::DescribeFailure("reading block " + std::to_string(index) + " of " + source.name, rr);
            return false;
        }
        if (!d.damaged && std::memcmp(ours, theirs, length) != 0) {
            const bool inherited = reader.HolderOf(index) != top;
            d.text = "block " + std::to_string(index) + " differs from the snapshot (" +
                     (inherited ? "taken from backup " + d.heldBy + ": the storage's diff called it unchanged"
                                : "stored by this backup") +
                     ")";
        }
        if (!d.text.empty()) {
            std::lock_guard<std::mutex> guard(mutex);
            found.push_back(d);
        }
        done += length;
        return true;
    };
    if (!dmtask::RunOnThreads(ctx, "compare", 4, blocks.size(), 2 * blockSize, total, done, compare, error)) {
        return finish(dmout::ErrorCode::Storage, error);
    }
    finish(dmout::ErrorCode::Internal, "");
    std::sort(found.begin(), found.end(), [](const Difference& a, const Difference& b) { return a.block < b.block; });
    if (ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = found.empty();
        out["backup_id"] = m.backupId;
        out["snapshot_url"] = url;
        out["sample_percent"] = percent;
        out["blocks_in_volume"] = Json::UInt64(reader.Blocks());
        out["blocks_compared"] = Json::UInt64(blocks.size());
        out["changed_compared"] = Json::UInt64(changedCompared);
        out["unchanged_compared"] = Json::UInt64(blocks.size() - changedCompared);
        Json::Value list(Json::arrayValue);
        for (const Difference& d : found) {
            Json::Value item(Json::objectValue);
            item["block"] = Json::UInt64(d.block);
            item["held_by"] = d.heldBy;
            item["kind"] = d.damaged ? "damaged" : "differs";
            item["text"] = d.text;
            list.append(item);
        }
        out["differing"] = list;
        if (!found.empty()) {
            out["error"] = dmout::ErrorObject(dmout::ErrorCode::Damaged,
                                              std::to_string(found.size()) + " block(s) of backup " + m.backupId +
                                                  " differ from snapshot " + source.name);
        }
        dmtask::PrintJson(out);
    } else {
        for (const Difference& d : found) std::cout << "DIFFERS  " << d.text << "\n";
        std::cout << blocks.size() << " of " << reader.Blocks() << " blocks compared with " << source.name << " ("
                  << changedCompared << " the diff called changed, " << blocks.size() - changedCompared
                  << " unchanged): " << (found.empty() ? "all equal" : std::to_string(found.size()) + " differ")
                  << std::endl;
    }
    return found.empty() ? 0 : 1;
}

}  // namespace dmverify
