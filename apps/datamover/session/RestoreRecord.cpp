#include "apps/datamover/session/RestoreRecord.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "apps/datamover/repository/format2/RepoFormat.h"
#include "apps/datamover/session/StorageUrl.h"
#include "apps/datamover/session/Task.h"
#include "foundation/JsonUtils.h"
#include "storage_access/StrataApi.h"

namespace dmtask {

namespace {
// Records older versions kept inside the repository.
std::string OldRestoresDir(const std::string& repoRoot)
{
    return repoRoot + "/restores";
}

std::string RestoresDir(const std::string& root)
{
    return root + "/var/restores";
}

std::string CompletedDir(const std::string& root)
{
    return RestoresDir(root) + "/completed";
}

std::string RealPathOf(const std::string& path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

int64_t WallMicros()
{
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count());
}

// A file name of fixed length whatever the target's name (FNV-1a).
std::string TargetFileName(const std::string& key)
{
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : key) h = (h ^ c) * 1099511628211ULL;
    char name[24];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(h));
    return name;
}

void ReadRecords(const std::string& dir, const std::string& repo, std::vector<RestoreRecord>& out)
{
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 6 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
        RestoreRecord r;
        r.path = dir + "/" + name;
        std::string text, error;
        Json::Value v;
        if (!repo::ReadWholeFile(r.path, text, error) || !CJsonUtils::StringToJson(text, v) || !v.isObject()) continue;
        r.taskId = v["task_id"].asString();
        r.url = v["url"].asString();
        r.backupId = v["backup_id"].asString();
        r.repo = v["repo"].asString();
        r.startedAt = v["started_at"].asInt64();
        r.startedAtMicros = v["started_at_us"].asInt64();
        if (!repo.empty() && r.repo != repo) continue;
        out.push_back(r);
    }
    ::closedir(d);
}

// When a restore into `key` last completed (wall microseconds), 0 if never.
int64_t CompletedAt(const std::string& root, const std::string& key)
{
    std::string text, error;
    Json::Value v;
    if (!repo::ReadWholeFile(CompletedDir(root) + "/" + TargetFileName(key) + ".json", text, error) ||
        !CJsonUtils::StringToJson(text, v) || !v.isObject() || v["url"].asString() != key) {
        return 0;
    }
    return v["completed_at_us"].asInt64();
}
}  // namespace

std::string RestoreTargetKey(const std::string& url)
{
    StrataUrl u;
    std::string error;
    if (url.compare(0, 9, "strata://") != 0 || !ParseStrataUrl(url, u, error)) return url;
    const std::string manager = u.manager.find(':') != u.manager.rfind(':') ? "[" + u.manager + "]" : u.manager;
    return "strata://" + NormalVolumeId(manager) + "/" + u.pool + "/" + u.name;
}

bool WriteRestoreRecord(const std::string& root, const std::string& repoRoot, const std::string& taskId,
                        const std::string& url, const std::string& backupId, std::string& path, std::string& error)
{
    if (!MakeDirs(RestoresDir(root))) {
        error = "cannot create " + RestoresDir(root) + ": " + std::strerror(errno);
        return false;
    }
    const int64_t now = WallMicros();
    Json::Value v(Json::objectValue);
    v["task_id"] = taskId;
    v["url"] = url;
    v["backup_id"] = backupId;
    v["repo"] = RealPathOf(repoRoot);
    v["started_at"] = Json::Int64(now / 1000000);
    v["started_at_us"] = Json::Int64(now);
    std::string file = RestoresDir(root) + "/" + taskId + ".json";
    if (!repo::WriteFileAtomic(file, CJsonUtils::JsonToString(v) + "\n", error)) return false;
    path = file;
    return true;
}

std::vector<RestoreRecord> ListRestoreRecords(const std::string& root, const std::string& repoRoot)
{
    std::vector<RestoreRecord> out;
    ReadRecords(RestoresDir(root), RealPathOf(repoRoot), out);
    ReadRecords(OldRestoresDir(repoRoot), "", out);
    return out;
}

void RestoreCompleted(const std::string& root, const std::string& repoRoot, const std::string& url)
{
    const std::string key = RestoreTargetKey(url);
    std::vector<RestoreRecord> records;
    ReadRecords(RestoresDir(root), "", records);
    ReadRecords(OldRestoresDir(repoRoot), "", records);
    for (const RestoreRecord& r : records) {
        if (RestoreTargetKey(r.url) == key) ::unlink(r.path.c_str());
    }
    // Records of other repositories, or in one that cannot be written, are
    // settled by this note when clean next looks at them.
    Json::Value v(Json::objectValue);
    v["url"] = key;
    v["completed_at_us"] = Json::Int64(WallMicros());
    std::string error;
    if (MakeDirs(CompletedDir(root))) {
        repo::WriteFileAtomic(CompletedDir(root) + "/" + TargetFileName(key) + ".json",
                              CJsonUtils::JsonToString(v) + "\n", error);
    }
}

bool RestoreRecordSettled(const std::string& root, const RestoreRecord& r, std::string& why)
{
    const std::string key = RestoreTargetKey(r.url);
    ObjectLock lock;
    std::string error;
    if (!lock.Acquire(root, key, "clean", error)) return false;  // a restore writes it now
    // Older records carry seconds only: a completion in the same second may be the earlier.
    const int64_t started = r.startedAtMicros > 0 ? r.startedAtMicros : (r.startedAt + 1) * 1000000;
    const int64_t completed = CompletedAt(root, key);
    if (completed > started) {
        why = "a later restore into it completed";
        return true;
    }
    std::string path;
    if (key.compare(0, 7, "file://") == 0) {
        path = key.substr(7);
    } else if (!key.empty() && key[0] == '/') {
        path = key;
    }
    if (!path.empty()) {
        struct stat st {};
        // A relative path of an older record depends on a directory nobody knows now.
        if (path[0] == '/' && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
            why = path + " no longer exists";
            return true;
        }
        return false;
    }
    StrataUrl u;
    if (!ParseStrataUrl(key, u, error)) return false;
    // The storage's query answers "no such volume" for a volume it does not
    // have, and something else for any it has (bitmap or not): nothing changes.
    StrataApi api(u.manager, u.pool);
    BitmapVolumeInfo info;
    info.volName = u.name;
    if (api.QueryBitmapVol(info, error) == STRATA_VOLUME_NOT_EXIST) {
        why = "the storage no longer has volume " + u.name;
        return true;
    }
    return false;
}

std::string RestoreRecordText(const RestoreRecord& r)
{
    return "restore into " + r.url + " was interrupted; its content is incomplete";
}

}  // namespace dmtask
