// "datamover clean": releases what crashed tasks left on the storage. Each
// task's cached task data (kept under <root>/var/cache by its message sink) is
// handed to a fresh descriptor's CleanLeftovers until it names nothing; a
// round that releases nothing stops with an error, so a storage that keeps
// refusing cannot loop forever. Tasks whose process still runs are skipped.
// With --repo, backups of idle chains that the chain journal shows never
// completed are removed too; other unreadable backups are reported and kept.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>
#include <iostream>
#include <set>

#include "apps/datamover/repository/format2/ChainJournal.h"
#include "apps/datamover/commands/DataCommands.h"
#include "apps/datamover/repository/format2/RepoFormat.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/session/RestoreRecord.h"
#include "apps/datamover/session/StorageUrl.h"
#include "apps/datamover/session/Task.h"
#include "foundation/CachedTaskData.h"
#include "apps/datamover/commands/Format3Commands.h"
#include "apps/datamover/repository/cli/Format3Repo.h"
#include "foundation/JsonUtils.h"
#include "host/SnapStore.h"
#include "host/StrataCleanFile.h"
#include "proto/chain.pb.h"

namespace {

struct CleanOptions {
    std::string taskId;
    std::string repoPath;
    int waitSeconds = 60;
};

const char* const kBackupKeys[] = {CacheKey::BITMAP_VOLUMES_ATTACHED, CacheKey::BITMAP_VOLUMES_CREATED,
                                   CacheKey::SNAPSHOT_VOLUMES_ATTACHED};
const char* const kRestoreKeys[] = {CacheKey::DATA_VOLUME_KEYS_REGISTERED, CacheKey::DATA_VOLUMES_ATTACHED};

size_t CountNames(const Json::Value& doc, const char* key)
{
    const Json::Value& v = doc.isObject() && doc.isMember(key) ? doc[key] : Json::Value();
    return v.isArray() ? v.size() : 0;
}

template <size_t N>
size_t CountNames(const Json::Value& doc, const char* const (&keys)[N])
{
    size_t n = 0;
    for (const char* key : keys) n += CountNames(doc, key);
    return n;
}

std::set<std::string> KnownTasks(const std::string& root)
{
    std::set<std::string> ids;
    auto scan = [&ids](const std::string& dir, const std::string& prefix, const std::string& suffix) {
        std::error_code ec;
        for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                std::string id = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
                if (StrataCleanFile::ValidCacheId(id)) ids.insert(id);
            }
        }
    };
    scan(dmtask::Task::TasksDir(root), "", ".json");
    scan(StrataCleanFile::CacheDirectory(), "task-", ".taskdata");
    return ids;
}

struct TaskOutcome {
    std::string state;  // "cleaned", "nothing", "running", "failed"
    size_t released = 0;
    size_t remaining = 0;
    std::string error;
};

class TaskCleaner {
public:
    TaskCleaner(const CommandContext& ctx, std::string id, int waitSeconds)
        : m_ctx(ctx), m_id(std::move(id)), m_waitSeconds(waitSeconds)
    {
    }
    ~TaskCleaner()
    {
        if (m_lockFd >= 0) ::close(m_lockFd);
    }
    TaskOutcome Run();

private:
    bool Lock();
    bool CleanRound(Json::Value& doc, bool backup, std::string& error);
    void Forget(const Json::Value& doc);

    const CommandContext& m_ctx;
    std::string m_id;
    int m_waitSeconds;
    Json::Value m_journal;
    int m_lockFd = -1;
};

bool TaskCleaner::Lock()
{
    std::string path = dmtask::Task::TasksDir(m_ctx.root) + "/" + m_id + ".lock";
    m_lockFd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (m_lockFd < 0) return true;  // no lock file: no live task holds it
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) == 0) return true;
    // Held. A live owner means a running task; a dead owner means storage
    // commands it started are still in flight: wait for them to end.
    pid_t owner = m_journal["pid"].isInt() ? static_cast<pid_t>(m_journal["pid"].asInt()) : 0;
    if (owner > 0 && (::kill(owner, 0) == 0 || errno == EPERM)) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_waitSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (::flock(m_lockFd, LOCK_EX | LOCK_NB) == 0) return true;
    }
    return false;
}

bool TaskCleaner::CleanRound(Json::Value& doc, bool backup, std::string& error)
{
    const Json::Value ip = doc.isObject() ? doc.get(CacheKey::IP, Json::Value()) : Json::Value();
    const Json::Value poolId = doc.isObject() ? doc.get(CacheKey::POOL_ID, Json::Value()) : Json::Value();
    std::string manager = ip.isString() ? ip.asString() : "";
    std::string pool = poolId.isString() ? poolId.asString() : "";
    dmtask::StrataUrl url;
    std::string ignored;
    if ((manager.empty() || pool.empty()) && m_journal["url"].isString() &&
        dmtask::ParseStrataUrl(m_journal["url"].asString(), url, ignored)) {
        if (manager.empty()) manager = url.manager;
        if (pool.empty()) pool = url.pool;
    }
    if (manager.empty() || pool.empty()) {
        error = "the cached data of task " + m_id + " names no storage manager and pool";
        return false;
    }
    if (manager.find(':') != std::string::npos) manager = "[" + manager + "]";
    std::string volumeId = m_journal["volume_id"].isString() ? m_journal["volume_id"].asString() : "";
    if (!dmtask::ValidVolumeId(volumeId)) volumeId = "00000000-0000-0000-0000-000000000000";

    // The clean-up is this task's: its sink keeps the shrinking document.
    HostMessageSink sink(m_id);
    VolumeParas paras;
    paras.volumeID = volumeId;
    paras.volumeName = volumeId;
    paras.isBackup = backup;
    std::string target = "strata://" + manager + "/" + pool + "/leftovers";
    (backup ? paras.currentSnapshotURL : paras.volumeURL) = target;
    paras.productStorageType = QRM_STRATA;
    paras.msgNotify = &sink;
    auto flag = std::make_shared<boost::atomics::atomic<bool>>(false);
    paras.abortFun = [flag]() -> boost::atomics::atomic<bool>& { return *flag; };
    std::shared_ptr<CDiskDescriptor> disk;
    if (!dmtask::CreateDescriptor(paras, disk, error)) return false;
    std::string before = CJsonUtils::JsonToString(doc);
    EnvProxyResult r;
    std::string firstError;
    {
        dmtask::FirstErrorCapture capture;
        r = disk->CleanLeftovers(before);
        firstError = capture.LastText();
    }
    disk.reset();
    std::string after = sink.LatestCacheData();
    Json::Value next;
    if (!after.empty() && CJsonUtils::StringToJson(after, next)) doc = next;
    if (r._GetCompleteCode() != ENV_PROXY_SUCCESS || after.empty() || after == before) {
        error = dmtask::DescribeFailure("cleaning the leftovers of task " + m_id, r);
        if (!firstError.empty()) error += ": " + firstError;
        return false;
    }
    return true;
}

void TaskCleaner::Forget(const Json::Value& doc)
{
    HostMessageSink::ForgetTaskCacheData(m_id);
    const Json::Value uuid = doc.isObject() ? doc.get(CacheKey::CACHE_UUID, Json::Value()) : Json::Value();
    if (uuid.isString()) {
        StrataCleanFile().RemoveCacheFile(uuid.asString());
    }
    std::string dir = dmtask::Task::TasksDir(m_ctx.root);
    ::unlink((dir + "/" + m_id + ".json").c_str());
    ::unlink((dir + "/" + m_id + ".lock").c_str());
}

TaskOutcome TaskCleaner::Run()
{
    TaskOutcome out;
    std::string text;
    std::string error;
    if (repo::ReadWholeFile(dmtask::Task::TasksDir(m_ctx.root) + "/" + m_id + ".json", text, error)) {
        CJsonUtils::StringToJson(text, m_journal);
    }
    if (!Lock()) {
        out.state = "running";
        return out;
    }
    Json::Value doc;
    std::string cached = HostMessageSink::LoadTaskCacheData(m_id);
    if (!cached.empty() && !CJsonUtils::StringToJson(cached, doc)) {
        out.state = "failed";
        out.error = "the cached data of task " + m_id + " is not valid JSON";
        return out;
    }
    size_t initial = CountNames(doc, kBackupKeys) + CountNames(doc, kRestoreKeys);
    for (int round = 0; round < 256; ++round) {
        bool backup = CountNames(doc, kBackupKeys) > 0;
        if (!backup && CountNames(doc, kRestoreKeys) == 0) break;
        if (!CleanRound(doc, backup, out.error)) break;
    }
    out.remaining = CountNames(doc, kBackupKeys) + CountNames(doc, kRestoreKeys);
    out.released = initial > out.remaining ? initial - out.remaining : 0;
    if (out.remaining == 0) {
        Forget(doc);
        out.state = initial == 0 ? "nothing" : "cleaned";
        out.error.clear();
    } else {
        out.state = "failed";
        if (out.error.empty()) out.error = "task " + m_id + " still names volumes";
    }
    return out;
}

struct RepoOutcome {
    size_t removed = 0;
    std::vector<std::string> notes;  // damage kept, restores interrupted, chains in use
    std::vector<std::string> restoreNotesDropped;  // "<target>: <why>"
};

// Removes the backups the journal shows never completed, in chains that no
// task holds; reports (and keeps) every other backup without a readable manifest.
RepoOutcome CleanRepository(const std::string& root, const std::string& repoPath, std::string& error)
{
    RepoOutcome out;
    repo::Repository r;
    if (!r.Open(repoPath, false, error)) return out;
    for (const std::string& volumeId : r.ListChains()) {
        if (r.ListPartial(volumeId).empty() && dmjournal::OrphanRangeFiles(r.ChainDir(volumeId)).empty()) continue;
        SnapStore store;
        dmout::ErrorCode code = dmout::ErrorCode::InUse;
        std::string why;
        if (!dmjournal::LockChain(r, volumeId, store, code, why)) {
            out.notes.push_back(why + (code == dmout::ErrorCode::InUse ? "; nothing of it was removed" : ""));
            continue;
        }
        for (const std::string& path : dmjournal::OrphanRangeFiles(r.ChainDir(volumeId))) {
            if (::unlink(path.c_str()) == 0) ++out.removed;
        }
        // Classified under the chain lock: no live task writes this chain now.
        for (const dmjournal::Unfinished& u : dmjournal::Classify(r, volumeId, true)) {
            std::string why;
            if (!u.removable) {
                out.notes.push_back("backup " + u.backup.backupId + " kept: " + u.text);
            } else if (dmjournal::RemoveInterrupted(u, why)) {
                ++out.removed;
            } else {
                out.notes.push_back(why);
            }
        }
    }
    // A note whose target is gone, or was restored whole since, tells nobody anything.
    for (const dmtask::RestoreRecord& rec : dmtask::ListRestoreRecords(root, r.Root())) {
        std::string why;
        if (dmtask::RestoreRecordSettled(root, rec, why) && ::unlink(rec.path.c_str()) == 0) {
            out.restoreNotesDropped.push_back(rec.url + ": " + why);
        } else {
            out.notes.push_back(dmtask::RestoreRecordText(rec));
        }
    }
    return out;
}

// A task killed while it kept its cached data leaves the temporary file of
// that write ("task-<id>.taskdata.tmp.<pid>"); once its writer is gone it
// holds nothing anyone reads.
size_t RemoveDeadCacheTemporaries()
{
    size_t removed = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(StrataCleanFile::CacheDirectory(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const size_t mark = name.rfind(".taskdata.tmp.");
        if (name.rfind("task-", 0) != 0 || mark == std::string::npos) continue;
        const std::string pid = name.substr(mark + std::strlen(".taskdata.tmp."));
        if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (::kill(static_cast<pid_t>(std::stol(pid)), 0) == 0 || errno != ESRCH) continue;
        removed += ::unlink(it->path().c_str()) == 0 ? 1 : 0;
    }
    return removed;
}

int RunClean(CommandContext& ctx, const CleanOptions& o)
{
    dmtask::InstallPauseDivisorFromEnvironment();
    RemoveDeadCacheTemporaries();
    std::set<std::string> ids;
    if (!o.taskId.empty()) {
        if (!StrataCleanFile::ValidCacheId(o.taskId) || KnownTasks(ctx.root).count(o.taskId) == 0) {
            PrintError(ctx, dmout::ErrorCode::NotFound,
                       "no task " + o.taskId + " with cached data under " + ctx.root + "/var");
            return 2;
        }
        ids.insert(o.taskId);
    } else {
        ids = KnownTasks(ctx.root);
    }
    std::string repoError;
    const bool chunked = dmrepo3::IsFormat3(o.repoPath);
    if (!o.repoPath.empty() && !chunked) {
        repo::Repository r;
        if (!r.Open(o.repoPath, false, repoError)) {
            PrintError(ctx, dmout::ErrorCode::NotFound, repoError);
            return 2;
        }
    }
    Json::Value tasks(Json::arrayValue);
    size_t failed = 0;
    size_t released = 0;
    size_t remaining = 0;
    std::string firstError;
    for (const std::string& id : ids) {
        TaskOutcome out = TaskCleaner(ctx, id, o.waitSeconds).Run();
        bool bad = out.state == "failed" || (out.state == "running" && !o.taskId.empty());
        failed += bad ? 1 : 0;
        released += out.released;
        remaining += out.remaining;
        if (bad && firstError.empty()) {
            firstError = out.state == "running" ? "task " + id + " is still running" : out.error;
        }
        Json::Value item(Json::objectValue);
        item["task_id"] = id;
        item["state"] = out.state;
        item["released"] = static_cast<Json::UInt>(out.released);
        item["remaining"] = static_cast<Json::UInt>(out.remaining);
        if (!out.error.empty()) item["error"] = out.error;
        tasks.append(item);
        if (!ctx.json) {
            std::cout << "task " << id << ": " << out.state;
            if (out.released > 0) std::cout << ", " << out.released << " volume name(s) released";
            if (out.remaining > 0) std::cout << ", " << out.remaining << " remaining";
            std::cout << "\n";
        }
    }
    RepoOutcome repoOut;
    dmcmd3::CleanOutcome chunkedOut;
    if (chunked) {
        chunkedOut = dmcmd3::Clean(o.repoPath);
        for (const std::string& c : chunkedOut.claimsBroken) repoOut.notes.push_back("removed the stale " + c);
        for (const std::string& t : chunkedOut.temporariesRemoved) {
            repoOut.notes.push_back("removed the dead temporary " + t);
        }
        if (!chunkedOut.error.empty()) {
            ++failed;
            if (firstError.empty()) firstError = chunkedOut.error;
        }
    } else if (!o.repoPath.empty()) {
        repoOut = CleanRepository(ctx.root, o.repoPath, repoError);
    }
    size_t pruned = repoOut.removed;
    if (ctx.json) {
        Json::Value outJson(Json::objectValue);
        outJson["ok"] = failed == 0;
        outJson["tasks"] = tasks;
        outJson["released"] = static_cast<Json::UInt>(released);
        outJson["remaining"] = static_cast<Json::UInt>(remaining);
        outJson["incomplete_backups_removed"] = static_cast<Json::UInt>(pruned);
        if (chunked) {
            outJson["stale_claims_broken"] = static_cast<Json::UInt>(chunkedOut.claimsBroken.size());
            outJson["dead_temporaries_removed"] = static_cast<Json::UInt>(chunkedOut.temporariesRemoved.size());
        }
        Json::Value notes(Json::arrayValue);
        for (const std::string& n : repoOut.notes) notes.append(n);
        outJson["repository_notes"] = notes;
        Json::Value dropped(Json::arrayValue);
        for (const std::string& d : repoOut.restoreNotesDropped) dropped.append(d);
        outJson["restore_notes_dropped"] = dropped;
        if (!firstError.empty()) outJson["error"] = dmout::ErrorObject(dmout::ErrorCode::Storage, firstError);
        dmtask::PrintJson(outJson);
    } else {
        std::cout << ids.size() << " task(s) examined, " << released << " leftover(s) released, " << remaining
                  << " remaining";
        if (chunked) {
            std::cout << ", " << chunkedOut.claimsBroken.size() << " stale backup claim(s) broken";
        } else if (!o.repoPath.empty()) {
            std::cout << ", " << pruned << " interrupted backup(s) removed";
        }
        std::cout << std::endl;
        for (const std::string& d : repoOut.restoreNotesDropped) std::cout << "dropped the note of a restore into " << d << "\n";
        for (const std::string& n : repoOut.notes) std::cout << "note: " << n << "\n";
        if (failed > 0) std::cerr << "datamover: " << firstError << std::endl;
    }
    return failed == 0 ? 0 : 1;
}

}  // namespace

void RegisterCleanCommand(CLI::App& app, CommandContext& ctx)
{
    auto opts = std::make_shared<CleanOptions>();
    CLI::App* sub = app.add_subcommand("clean", "Release the storage leftovers of crashed tasks (all, or --task)");
    sub->add_option("--task", opts->taskId, "Task id (as printed by a failed backup or restore)");
    sub->add_option("--repo", opts->repoPath, "Also remove the backups this repository's journals show never "
                                              "completed, and report damaged ones and interrupted restores (dropping the notes of restores whose target is gone or was restored since)");
    sub->add_option("--wait", opts->waitSeconds,
                    "Seconds to wait for storage commands a dead task left running")
        ->capture_default_str()
        ->check(CLI::Range(0, 3600));
    sub->callback([&ctx, opts]() { ctx.exitStatus = RunClean(ctx, *opts); });
}
