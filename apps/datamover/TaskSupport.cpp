#include "apps/datamover/TaskSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/uuid/random_generator.hpp>
#include <algorithm>
#include <cctype>
#include <boost/uuid/uuid_io.hpp>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "apps/datamover/RepoFormat.h"
#include "factory/DiskDescriptorFactory.h"
#include "foundation/JsonUtils.h"
#include "host/HostClock.h"
#include "host/RootPath.h"
#include "storage_access/StrataApi.h"

namespace dmtask {

namespace {

volatile sig_atomic_t g_interrupted = 0;
std::atomic<boost::atomics::atomic<bool>*> g_abortTarget{nullptr};

void OnSignal(int)
{
    g_interrupted = 1;
    boost::atomics::atomic<bool>* flag = g_abortTarget.load();
    if (flag != nullptr) {
        flag->store(true);  // lock-free: safe in a handler
    }
}

bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool MakeDirs(const std::string& dir)
{
    std::string partial;
    for (size_t pos = 0; pos != std::string::npos;) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

const char* const kVolumeKeys[] = {"snapshot_volumes_attached", "data_volumes_attached", "bitmap_volumes_created",
                                   "bitmap_volumes_attached"};

}  // namespace

bool ValidStorageName(const std::string& name)
{
    // IMAGE@SNAPSHOT names one snapshot of one image where a bare name could match several.
    const size_t at = name.find('@');
    if (at != std::string::npos) {
        const std::string snap = name.substr(at + 1);
        return snap.find('@') == std::string::npos && ValidStorageName(name.substr(0, at)) && ValidStorageName(snap);
    }
    if (name.empty() || name.size() > 128) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool CheckStorageName(const std::string& what, const std::string& name, std::string& error)
{
    if (ValidStorageName(name)) return true;
    const std::string head = "bad " + what + " '" + (name.size() > 40 ? name.substr(0, 40) + "..." : name) + "': ";
    if (name.empty()) {
        error = head + "it is empty";
    } else if (name.size() > 128) {
        error = head + "it is " + std::to_string(name.size()) + " characters long; at most 128";
    } else {
        error = head + "must be letters, digits, '.', '_' or '-' (a snapshot may be named IMAGE@SNAPSHOT)";
    }
    return false;
}

std::string NormalVolumeId(const std::string& id)
{
    std::string out = id;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool ValidVolumeId(const std::string& id)
{
    if (id.size() != 36) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : !IsHex(id[i])) return false;
    }
    return true;
}

bool ParseStrataUrl(const std::string& url, StrataUrl& out, std::string& error)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t slash = url.find('/', start);
        fields.push_back(url.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    size_t scheme = url.find("://");
    if (scheme != std::string::npos && url.compare(0, scheme, "strata") != 0) {
        error = "bad URL '" + url + "': scheme '" + url.substr(0, scheme) +
                "' is not supported; expected strata://MANAGER/POOL/NAME";
        return false;
    }
    if (fields.size() != 5 || fields[0] != "strata:" || !fields[1].empty()) {
        error = "bad URL '" + url + "': expected strata://MANAGER/POOL/NAME";
        return false;
    }
    std::string manager = fields[2];
    if (manager.size() > 2 && manager.front() == '[' && manager.back() == ']') {
        manager = manager.substr(1, manager.size() - 2);
    }
    bool managerOk = !manager.empty() && manager.size() <= 253;
    for (char c : manager) {
        managerOk = managerOk && (IsHex(c) || (c >= 'g' && c <= 'z') || (c >= 'G' && c <= 'Z') || c == '.' ||
                                  c == ':' || c == '-');
    }
    if (!managerOk) {
        error = "bad URL '" + url + "': '" + fields[2] + "' is not a manager address";
        return false;
    }
    // HOST:PORT (one colon; an IPv6 address has several): the port must be one.
    size_t colon = manager.find(':');
    if (colon != std::string::npos && manager.find(':', colon + 1) == std::string::npos) {
        const std::string port = manager.substr(colon + 1);
        bool digits = !port.empty() && port.size() <= 5 &&
                      std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || std::stoul(port) < 1 || std::stoul(port) > 65535 || colon == 0) {
            error = "bad URL '" + url + "': '" + fields[2] + "' is not HOST:PORT with a port from 1 to 65535";
            return false;
        }
    }
    std::string why;
    if (fields[3].find('@') != std::string::npos) {
        why = "bad pool '" + fields[3] + "': must be letters, digits, '.', '_' or '-'";
    }
    if (!why.empty() || !CheckStorageName("pool", fields[3], why) || !CheckStorageName("name", fields[4], why)) {
        error = "bad URL '" + url.substr(0, 200) + (url.size() > 200 ? "..." : "") + "': " + why;
        return false;
    }
    out.manager = manager;
    out.pool = fields[3];
    out.name = fields[4];
    return true;
}

std::string WithName(const std::string& url, const std::string& name)
{
    size_t slash = url.rfind('/');
    return slash == std::string::npos ? url : url.substr(0, slash + 1) + name;
}

bool ParseSize(const std::string& text, uint64_t& out)
{
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    size_t pos = 0;
    unsigned long long v = 0;
    try {
        v = std::stoull(text, &pos, 10);
    } catch (const std::exception&) {
        return false;
    }
    std::string suffix = text.substr(pos);
    uint64_t mult = 1;
    if (suffix == "K" || suffix == "k") mult = 1ULL << 10;
    else if (suffix == "M" || suffix == "m") mult = 1ULL << 20;
    else if (suffix == "G" || suffix == "g") mult = 1ULL << 30;
    else if (suffix == "T" || suffix == "t") mult = 1ULL << 40;
    else if (!suffix.empty()) return false;
    if (v > UINT64_MAX / mult) return false;
    out = v * mult;
    return true;
}

std::string HumanBytes(uint64_t bytes)
{
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024.0 && u < 4) {
        v /= 1024.0;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
    return buf;
}

std::string HumanDuration(double seconds)
{
    if (seconds < 0) seconds = 0;
    unsigned s = static_cast<unsigned>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%u:%02u:%02u", s / 3600, (s / 60) % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%u:%02u", s / 60, s % 60);
    }
    return buf;
}

void InstallSignalHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void SetAbortTarget(boost::atomics::atomic<bool>* flag)
{
    g_abortTarget.store(flag);
    if (flag != nullptr && g_interrupted != 0) {
        flag->store(true);
    }
}

bool Interrupted()
{
    return g_interrupted != 0;
}

namespace {
class DividedClock : public Oru::Clock {
public:
    explicit DividedClock(long divisor) : m_divisor(divisor) {}
    uint64_t SteadyMicros() override { return m_system.SteadyMicros(); }
    int64_t WallSeconds() override { return m_system.WallSeconds(); }
    void Sleep(const timespec& duration) override
    {
        long double ns = (static_cast<long double>(duration.tv_sec) * 1e9L + duration.tv_nsec) / m_divisor;
        timespec scaled{static_cast<time_t>(ns / 1e9L), static_cast<long>(std::fmod(ns, 1e9L))};
        m_system.Sleep(scaled);
    }

private:
    Oru::SystemClock m_system;
    long m_divisor;
};
}  // namespace

void InstallPauseDivisorFromEnvironment()
{
    const char* text = std::getenv("DATAMOVER_PAUSE_DIVISOR");
    if (text == nullptr) return;
    char* end = nullptr;
    long divisor = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || divisor <= 1 || divisor > 1000000) return;
    static DividedClock clock(divisor);  // lives until exit, as the clock must
    Oru::SetClock(&clock);
}

uint64_t NowMicros()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

double SecondsSince(uint64_t startMicros)
{
    return static_cast<double>(NowMicros() - startMicros) / 1e6;
}

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

namespace {
// Times are seconds with a fraction; a millisecond is finer than anything a
// caller compares, and 17 digits of noise would only hide the value.
Json::Value RoundReals(const Json::Value& v)
{
    if (v.isArray() || v.isObject()) {
        Json::Value out(v.type());
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (v.isArray()) {
                out.append(RoundReals(*it));
            } else {
                out[it.name()] = RoundReals(*it);
            }
        }
        return out;
    }
    if (v.type() == Json::realValue) return Json::Value(std::round(v.asDouble() * 1000.0) / 1000.0);
    return v;
}
}  // namespace

void PrintJson(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["precision"] = 3;
    builder["precisionType"] = "decimal";
    std::cout << Json::writeString(builder, RoundReals(value)) << std::endl;
}

ObjectLock::~ObjectLock()
{
    if (m_fd >= 0) ::close(m_fd);
}

bool ObjectLock::Acquire(const std::string& root, const std::string& object, const std::string& taskId,
                         std::string& error)
{
    const std::string dir = root + "/var/locks";
    if (!MakeDirs(dir)) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    // FNV-1a of the name: a file name of fixed length whatever the object's.
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : object) h = (h ^ c) * 1099511628211ULL;
    char name[32];
    std::snprintf(name, sizeof name, "/%016llx.lock", static_cast<unsigned long long>(h));
    const std::string path = dir + name;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char holder[256] = {0};
        ssize_t n = ::pread(fd, holder, sizeof holder - 1, 0);
        std::string who = n > 0 ? std::string(holder, static_cast<size_t>(n)) : std::string("another task");
        while (!who.empty() && (who.back() == '\n' || who.back() == ' ')) who.pop_back();
        ::close(fd);
        error = object + " is in use by " + who + "; try again when it has finished";
        return false;
    }
    const std::string me = "task " + taskId + " (pid " + std::to_string(::getpid()) + ")\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, me.data(), me.size(), 0) != static_cast<ssize_t>(me.size())) {
        // The lock holds all the same; only the holder's name is missing.
    }
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
    return true;
}

bool CacheNamesVolumes(const std::string& document)
{
    Json::Value doc;
    if (document.empty() || !CJsonUtils::StringToJson(document, doc) || !doc.isObject()) {
        return false;
    }
    for (const char* key : kVolumeKeys) {
        const Json::Value& v = doc[key];
        if (v.isArray() && !v.empty()) return true;
        if (v.isString() && !v.asString().empty()) return true;
    }
    return false;
}

std::string Task::TasksDir(const std::string& root)
{
    return root + "/var/tasks";
}

Task::Task(const CommandContext& ctx, const std::string& kind)
    : m_root(ctx.root), m_kind(kind), m_id(boost::uuids::to_string(boost::uuids::random_generator()()))
{
    m_sink = std::make_unique<HostMessageSink>(m_id);
}

Task::~Task()
{
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
    }
}

bool Task::Begin(const Json::Value& details, std::string& error)
{
    std::string dir = TasksDir(m_root);
    if (!MakeDirs(dir)) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::string lockPath = dir + "/" + m_id + ".lock";
    // No O_CLOEXEC: see the header.
    m_lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0640);
    if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        error = "cannot lock " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    Json::Value journal = details;
    journal["task_id"] = m_id;
    journal["kind"] = m_kind;
    journal["pid"] = static_cast<Json::Int>(::getpid());
    journal["started_at"] = Json::Int64(std::time(nullptr));
    if (!repo::WriteFileAtomic(dir + "/" + m_id + ".json", CJsonUtils::JsonToString(journal) + "\n", error)) {
        return false;
    }
    m_begun = true;
    return true;
}

bool Task::HasLeftovers() const
{
    return CacheNamesVolumes(m_sink->LatestCacheData());
}

void Task::End()
{
    if (!m_begun || HasLeftovers()) {
        return;  // the journal and the cached data stay for "datamover clean"
    }
    HostMessageSink::ForgetTaskCacheData(m_id);
    std::string dir = TasksDir(m_root);
    ::unlink((dir + "/" + m_id + ".json").c_str());
    ::unlink((dir + "/" + m_id + ".lock").c_str());
}

VolumeParas MakeParas(Task& task, const std::string& volumeId, uint64_t dataSize, int storageType, int offsetKib,
                      bool isBackup, const std::string& url, const std::string& parentUrl)
{
    VolumeParas p;
    p.volumeID = volumeId;
    p.volumeName = volumeId;
    p.volumeSize = dataSize;
    p.isBackup = isBackup;
    if (isBackup) {
        p.currentSnapshotURL = url;
        p.parentSnapshotURL = parentUrl;
    } else {
        p.volumeURL = url;
    }
    p.productStorageType = static_cast<ProductStorageType>(storageType);
    p.msgNotify = &task.Sink();
    p.newVolumeOffsetSize = offsetKib;
    Task* t = &task;
    p.abortFun = [t]() -> boost::atomics::atomic<bool>& { return t->AbortFlag(); };
    return p;
}

std::string AttachedDevice(const StrataUrl& url)
{
    StrataApi api(url.manager, url.pool);
    std::string device, error;
    return api.AttachVolume(url.name, device, error) == 0 ? device : "";
}

bool DeviceSize(int fd, uint64_t& size)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (S_ISBLK(st.st_mode)) return ::ioctl(fd, BLKGETSIZE64, &size) == 0;
    size = static_cast<uint64_t>(st.st_size);
    return S_ISREG(st.st_mode);
}

bool AttachedDeviceSize(const StrataUrl& url, uint64_t& size, std::string& error)
{
    std::string device = AttachedDevice(url);
    int fd = device.empty() ? -1 : ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
    bool sized = fd >= 0 && DeviceSize(fd, size);
    if (fd >= 0) ::close(fd);
    if (!sized) error = "cannot learn the size of " + url.name + (device.empty() ? "" : " at " + device);
    return sized;
}

void CrashPoint(const char* name)
{
    const char* at = std::getenv("DATAMOVER_CRASH_AT");
    if (at != nullptr && std::strcmp(at, name) == 0) ::kill(::getpid(), SIGKILL);
}

bool CreateDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk, std::string& error)
{
    DiskDescriptorFactory* factory = DiskDescriptorFactory::getInstance();
    if (factory == nullptr) {
        error = "the descriptor factory could not be created";
        return false;
    }
    FirstErrorCapture capture;
    int rc = factory->CreateDiskDescriptor(paras, disk);
    if (rc != 0 || !disk) {
        std::string why = capture.Text();
        error = "cannot create a disk descriptor" + (why.empty() ? std::string() : ": " + why);
        disk.reset();
        return false;
    }
    return true;
}

std::string DescribeFailure(const std::string& what, const EnvProxyResult& result)
{
    std::ostringstream s;
    s << what << " failed (status " << static_cast<int>(result._GetCompleteCode()) << ")";
    std::string sep = ": ";
    for (const message& m : result.details) {
        for (size_t i = 1; i < m.params.size(); ++i) {  // the first parameter is the time
            if (!m.params[i].empty()) {
                s << sep << m.params[i];
                sep = ", ";
            }
        }
    }
    std::string text = s.str();
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

struct FirstErrorCapture::State {
    std::mutex mutex;
    std::string text;
    std::string last;
};

FirstErrorCapture::FirstErrorCapture() : m_state(std::make_shared<State>())
{
    std::shared_ptr<State> state = m_state;
    m_old = CLogger::GetInstance()->SetCaptureHook(nullptr);
    CLogger::Hook old = m_old;
    CLogger::GetInstance()->SetCaptureHook([state, old](const LogRecord& r) {
        if (r.level >= 4) {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->text.empty()) state->text = r.text;
            state->last = r.text;
        }
        if (old) old(r);
    });
}

FirstErrorCapture::~FirstErrorCapture()
{
    CLogger::GetInstance()->SetCaptureHook(m_old);
}

std::string FirstErrorCapture::Text() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->text;
}

std::string FirstErrorCapture::LastText() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->last;
}

AlignedBuffer::AlignedBuffer(size_t size)
{
    if (::posix_memalign(&ptr, 4096, size) != 0) ptr = nullptr;
}

AlignedBuffer::~AlignedBuffer()
{
    std::free(ptr);
}

bool RunOnThreads(const CommandContext& ctx, const char* label, int depth, size_t count, size_t bufferSize,
                  uint64_t total, const std::atomic<uint64_t>& done,
                  const std::function<bool(size_t k, char* buffer, std::string& err)>& work, std::string& error)
{
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<int> running{depth};
    std::mutex errorMutex;
    // The last worker wakes the waiter at once: a fixed poll would add up to
    // its period to every phase.
    std::mutex doneMutex;
    std::condition_variable doneCv;
    auto fail = [&](const std::string& why) {
        std::lock_guard<std::mutex> lock(errorMutex);
        if (error.empty()) error = why;
        stop = true;
    };
    auto worker = [&]() {
        AlignedBuffer buffer(bufferSize);
        std::string err = buffer.data() == nullptr ? "out of memory" : "";
        while (err.empty() && !stop.load()) {
            size_t k = next++;
            if (k >= count) break;
            if (!work(k, buffer.data(), err)) {
                if (err.empty()) err = "block " + std::to_string(k) + " failed";  // never a silent stop
                break;
            }
        }
        if (!err.empty()) fail(err);
        std::lock_guard<std::mutex> lock(doneMutex);
        --running;
        doneCv.notify_all();
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < depth; ++i) threads.emplace_back(worker);
    Progress progress(ctx, label, total);
    for (;;) {
        if (Interrupted()) fail("interrupted");
        progress.Update(done.load());
        std::unique_lock<std::mutex> lock(doneMutex);
        if (doneCv.wait_for(lock, std::chrono::milliseconds(50), [&]() { return running.load() == 0; })) break;
    }
    for (auto& t : threads) t.join();
    progress.Finish();
    std::lock_guard<std::mutex> lock(errorMutex);
    return error.empty();
}

void Status(const CommandContext& ctx, const std::string& text)
{
    if (ctx.json || (!ctx.verbose && ::isatty(STDERR_FILENO) != 1)) return;
    std::cerr << "datamover: " << text << std::endl;
}

Progress::Progress(const CommandContext& ctx, std::string label, uint64_t total)
    : m_enabled(!ctx.json && ::isatty(STDERR_FILENO) == 1), m_label(std::move(label)), m_total(total),
      m_startMicros(NowMicros())
{
}

Progress::~Progress()
{
    Finish();
}

void Progress::Update(uint64_t done)
{
    if (!m_enabled || m_finished) return;
    uint64_t now = NowMicros();
    if (now - m_lastDraw < 200000) return;
    m_lastDraw = now;
    Draw(done, false);
}

void Progress::Finish()
{
    if (!m_enabled || m_finished) return;
    m_finished = true;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

void Progress::Draw(uint64_t done, bool)
{
    double elapsed = static_cast<double>(NowMicros() - m_startMicros) / 1e6;
    double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    double frac = m_total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(m_total);
    if (frac > 1.0) frac = 1.0;
    const int width = 28;
    int filled = static_cast<int>(frac * width);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    std::string eta = rate > 0 ? HumanDuration(static_cast<double>(m_total - std::min(done, m_total)) / rate) : "?";
    std::fprintf(stderr, "\r\033[K%s [%s] %3d%% %s / %s  %s/s  %s left", m_label.c_str(), bar.c_str(),
                 static_cast<int>(frac * 100), HumanBytes(done).c_str(), HumanBytes(m_total).c_str(),
                 HumanBytes(static_cast<uint64_t>(rate)).c_str(), eta.c_str());
    std::fflush(stderr);
}

}  // namespace dmtask
