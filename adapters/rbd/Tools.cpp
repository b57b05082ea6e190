#include "Tools.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include <json/json.h>

#include "Bitmap.h"
#include "Cluster.h"
#include "Util.h"

namespace fs = std::filesystem;

namespace rbdtool {

namespace {

constexpr int kNoAgent = 1000;
constexpr int kConfFault = 1003;
constexpr int kVolMissing = 50150005;
constexpr int kSnapMissing = 50150006;
constexpr int kAttached = 50151401;
constexpr int kAttachedDelete = 50151402;
constexpr int kNotExist = 50151404;
constexpr int kDetached = 50151601;
constexpr int kBusy = 50151006;
constexpr int kNameTaken = 50151007;
constexpr int kOtherBranch = 50153007;
constexpr int kAmbiguous = 50151409;  // ours: a name that more than one image or snapshot answers to
constexpr uint64_t kMiB = 1048576;

struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "--key value" pairs (or "-k value"), each allowed once and only from `known`.
std::map<std::string, std::string> ParseOptions(const std::vector<std::string>& args, const std::set<std::string>& known)
{
    std::map<std::string, std::string> o;
    for (size_t i = 0; i < args.size(); i += 2) {
        if (known.count(args[i]) == 0) throw Usage("unknown option '" + args[i] + "'");
        if (i + 1 >= args.size()) throw Usage("option " + args[i] + " needs a value");
        if (!o.emplace(args[i], args[i + 1]).second) throw Usage("option " + args[i] + " given twice");
    }
    return o;
}

std::string Get(const std::map<std::string, std::string>& o, const std::string& k)
{
    auto it = o.find(k);
    return it == o.end() ? std::string() : it->second;
}

// Opens the cluster for a tool call; on failure prints the reason on standard error and
// gives the code to answer: a configuration fault (no configuration, no such pool) or -1.
int Connect(const std::string& root, const std::string& pool, Cluster& c, std::string& err)
{
    Settings s;
    if (!Settings::Load(root, s, err)) return kConfFault;
    if (pool.empty()) {
        err = "no pool given";
        return kConfFault;
    }
    int r = c.Open(s, pool, err);
    if (r == 0) return 0;
    return r == -ENOENT ? kConfFault : -1;
}

void Fail(const std::string& tool, const std::string& text)
{
    std::cerr << "rbd-tool " << tool << ": " << text << std::endl;
}

int QrmAnswer(int code, const std::vector<std::pair<std::string, std::string>>& keys = {})
{
    std::cout << "ResultCode=" << code << "\n";
    for (const auto& k : keys) std::cout << k.first << "=" << k.second << "\n";
    std::cout.flush();
    return code == 0 ? 0 : 1;
}

int DiffCb(uint64_t offset, size_t length, int /*exists*/, void* arg)
{
    // A discarded extent changed too: it reads as zeros now.
    static_cast<BitmapBuilder*>(arg)->Mark(offset, length);
    return 0;
}

// A snapshot for the qrm personality: the code to answer when there is none (or several).
int SnapshotFor(Cluster& c, const std::string& name, SnapRef& ref, int missing)
{
    std::string why;
    Lookup l = c.FindSnapshot(name, ref, why);
    if (l == Lookup::kFound) return 0;
    Fail("qrm", l == Lookup::kAmbiguous ? why : "no snapshot '" + name + "' in the pool");
    return l == Lookup::kAmbiguous ? kAmbiguous : missing;
}

std::string LocksDir(const std::string& root)
{
    return root + "/var/rbd/locks";
}

// A bitmap is built under this name and renamed to its own when complete, so its own name never
// holds an unfinished one. Derived from the name, so whoever asks about the name finds it.
std::string TmpBitmapName(const std::string& name)
{
    return std::string(kTmpPrefix) + ShortHash(name);
}

// Removes what a killed create left under the temporary name (also a half-created image that
// cannot be opened). 0 when there was none, 1 when one was removed, or a negative errno.
int RemoveUnfinished(Cluster& c, const std::string& name)
{
    const std::string tmp = TmpBitmapName(name);
    // Never librbd's removal by a name the directory does not list: after a rename killed half-way
    // its id object names the published image.
    if (!c.Listed(tmp)) return c.RemoveOrphanId(tmp) ? 1 : 0;
    // The caller holds the name's lock, so a watcher of the unfinished image is a killed create.
    c.EvictWatchers(tmp);
    int r = c.RemoveImage(tmp);
    if (r == -EBUSY) r = c.RemoveWatchedImage(tmp);
    if (r == -ENOENT) return 0;
    return r < 0 ? r : 1;
}

int CreateBitmap(const std::string& root, Cluster& c, const std::map<std::string, std::string>& o)
{
    const std::string name = Get(o, "--volName"), from = Get(o, "--snapNameFrom"), to = Get(o, "--snapNameTo");
    if (name.empty() || to.empty()) {
        Fail("qrm", "createBitmapVolume needs --volName and --snapNameTo");
        return QrmAnswer(kNotExist);
    }
    SnapRef newer, older;
    if (int code = SnapshotFor(c, to, newer, kNotExist)) return QrmAnswer(code);
    if (!from.empty()) {
        // A bare older name is looked up on the newer one's image; one on another image is another branch.
        const bool qualified = from.find('@') != std::string::npos;
        std::string why;
        Lookup l = c.FindSnapshot(qualified ? from : newer.image + "@" + from, older, why);
        if (l == Lookup::kFound && older.imageId != newer.imageId) l = Lookup::kMissing, why = "other";
        if (l != Lookup::kFound) {
            SnapRef other;
            bool elsewhere = why == "other" || (!qualified && c.FindSnapshot(from, other, why) != Lookup::kMissing);
            Fail("qrm", elsewhere ? "snapshot '" + from + "' belongs to another image" : "no snapshot '" + from + "'");
            return QrmAnswer(elsewhere ? kOtherBranch : kSnapMissing);
        }
    }
    const std::string fromId = from.empty() ? std::string() : older.Identity(), toId = newer.Identity();
    librbd::Image snap;
    librbd::image_info_t info{};
    int r = c.OpenImage(newer.image, snap, newer.snap.c_str(), true);
    if (r == 0) r = snap.stat(info, sizeof info);
    if (r < 0) {
        Fail("qrm", "cannot open " + newer.image + "@" + newer.snap + ": " + strerror(-r));
        return QrmAnswer(-1);
    }
    const uint64_t block = BitmapBlockSize(info.obj_size);
    const std::string snapSize = std::to_string((newer.size + kMiB - 1) / kMiB);
    FileLock lock(LocksDir(root), "bitmap-" + ShortHash(name));
    if ((r = RemoveUnfinished(c, name)) < 0) {
        Fail("qrm", "cannot remove the unfinished bitmap of '" + name + "': " + strerror(-r));
        return QrmAnswer(-1);
    }
    c.RemoveOrphanId(name);  // a rename to this name killed half-way
    if (c.ImageExists(name)) {
        // A retried create answers as the first one did; any other image of that name is not ours to touch.
        bool same = c.Meta(name, kKindKey) == "bitmap" && c.Meta(name, kReadyKey) == "1" &&
                    c.Meta(name, kFromKey) == fromId && c.Meta(name, kToKey) == toId;
        if (!same) {
            Fail("qrm", "an image named '" + name + "' exists with other content");
            return QrmAnswer(kNameTaken);
        }
        librbd::Image old;
        uint64_t size = 0;
        if (c.OpenImage(name, old, nullptr, true) == 0) old.size(&size);
        return QrmAnswer(0, {{"snapSize", snapSize}, {"blockSize", std::to_string(block)}, {"bitmapSize", std::to_string(size)}});
    }
    BitmapBuilder bits(newer.size, block);
    if (from.empty()) {
        bits.MarkAll();
    } else if ((r = snap.diff_iterate2(older.snap.c_str(), 0, newer.size, true, true, DiffCb, &bits)) < 0) {
        Fail("qrm", "diff from '" + from + "' failed: " + strerror(-r));
        return QrmAnswer(-1);
    }
    const std::vector<uint8_t>& bytes = bits.Bytes();
    const std::string tmp = TmpBitmapName(name);
    if ((r = c.CreateImage(tmp, bytes.size())) < 0) {
        Fail("qrm", "cannot create the bitmap image '" + name + "': " + strerror(-r));
        return QrmAnswer(-1);
    }
    CrashPoint("bitmap-created");
    librbd::Image img;
    r = c.OpenImage(tmp, img);
    if (r == 0) r = img.metadata_set(kKindKey, "bitmap");
    if (r == 0) r = img.metadata_set(kFinalKey, name);
    if (r == 0) r = img.metadata_set(kFromKey, fromId);
    if (r == 0) r = img.metadata_set(kToKey, toId);
    if (r == 0) r = img.metadata_set(kBlockKey, std::to_string(block));
    if (r == 0) r = img.metadata_set(kSnapSizeKey, snapSize);
    CrashPoint("bitmap-tagged");
    if (r == 0) {
        ceph::bufferlist bl;
        bl.append(reinterpret_cast<const char*>(bytes.data()), static_cast<unsigned>(bytes.size()));
        ssize_t w = img.write(0, bytes.size(), bl);
        r = w < 0 ? static_cast<int>(w) : 0;
    }
    if (r == 0) r = img.flush();
    CrashPoint("bitmap-written");
    if (r == 0) r = img.metadata_set(kReadyKey, "1");
    img.close();
    CrashPoint("bitmap-ready");
    // Published in one step: the name appears only with the complete bitmap behind it.
    if (r == 0) r = librbd::RBD().rename(c.Io(), tmp.c_str(), name.c_str());
    if (r < 0) {
        c.RemoveImage(tmp);
        Fail("qrm", "cannot write the bitmap image '" + name + "': " + strerror(-r));
        return QrmAnswer(-1);
    }
    CrashPoint("bitmap-published");
    return QrmAnswer(0, {{"snapSize", snapSize}, {"blockSize", std::to_string(block)},
                         {"bitmapSize", std::to_string(bytes.size())}});
}

int QueryBitmap(Cluster& c, const std::map<std::string, std::string>& o)
{
    const std::string name = Get(o, "--volName");
    librbd::Image img;
    uint64_t size = 0;
    if (name.empty() || c.OpenImage(name, img, nullptr, true) != 0) return QrmAnswer(kVolMissing);
    std::string kind, block, snapSize, ready;
    img.metadata_get(kKindKey, &kind);
    if (kind != "bitmap") {
        Fail("qrm", "'" + name + "' is not a bitmap volume");
        return QrmAnswer(-1);
    }
    img.metadata_get(kBlockKey, &block);
    img.metadata_get(kSnapSizeKey, &snapSize);
    img.size(&size);
    // Creation is synchronous: an unfinished bitmap under its own name was left by a killed
    // create and will never finish, so it is a failure, not "still being built".
    bool done = img.metadata_get(kReadyKey, &ready) == 0 && ready == "1";
    if (!done) Fail("qrm", "'" + name + "' is an unfinished bitmap (its create was interrupted)");
    return QrmAnswer(0, {{"snapSize", snapSize}, {"blockSize", block}, {"volSize", std::to_string(size)},
                         {"status", done ? "0" : "1"}});
}

int QueryIdentity(Cluster& c, const std::map<std::string, std::string>& o)
{
    SnapRef ref;
    if (int code = SnapshotFor(c, Get(o, "--snapName"), ref, kSnapMissing)) return QrmAnswer(code);
    return QrmAnswer(0, {{"snapIdentity", ref.Identity()}, {"volName", ref.image}, {"snapName", ref.snap}});
}

int DeleteVolume(const std::string& root, Cluster& c, const std::map<std::string, std::string>& o)
{
    const std::string name = Get(o, "--volName");
    if (name.empty()) return QrmAnswer(kVolMissing);
    FileLock lock(LocksDir(root), "bitmap-" + ShortHash(name));
    int removed = RemoveUnfinished(c, name);
    if (removed < 0) {
        Fail("qrm", "cannot remove the unfinished bitmap of '" + name + "': " + strerror(-removed));
        return QrmAnswer(removed == -EBUSY ? kBusy : -1);
    }
    if (c.RemoveOrphanId(name)) removed = 1;
    librbd::Image img;
    if (c.OpenImage(name, img, nullptr, true) != 0) {
        lock.Remove();
        return QrmAnswer(removed == 1 ? 0 : kVolMissing);
    }
    std::string kind, id;
    img.metadata_get(kKindKey, &kind);
    img.get_id(&id);
    img.close();
    if (kind != "bitmap") {
        Fail("qrm", "'" + name + "' was not made by the data mover; it is left alone");
        return QrmAnswer(-1);
    }
    if (IsMounted(MountRoot(root) + "/" + SnapRef{name, "", 0, c.PoolId(), id, 0}.Key())) {
        return QrmAnswer(kAttachedDelete);
    }
    int r = c.RemoveImage(name);
    if (r == -EBUSY) {
        // Not attached, and only our tools open a bitmap under its lock: the watcher is a create
        // killed inside its rename (librbd opens the image to rename it), whose watch would hold
        // the name for the watch timeout.
        c.EvictWatchers(name);
        r = c.RemoveImage(name);
        if (r == -EBUSY) r = c.RemoveWatchedImage(name);
    }
    if (r == -ENOENT) return QrmAnswer(kVolMissing);
    if (r == -EBUSY) return QrmAnswer(kBusy);
    if (r < 0) {
        Fail("qrm", "cannot delete '" + name + "': " + strerror(-r));
        return QrmAnswer(-1);
    }
    lock.Remove();
    return QrmAnswer(0);
}

int CliAnswer(int code, const std::string& desc, const std::string& dev = std::string())
{
    std::cout << "ret_code=" << code << "\nret_desc=" << desc << "\n";
    if (!dev.empty()) std::cout << "dev_addr=" << dev << "\n";
    std::cout.flush();
    if (code != 0 && code != kAttached && code != kDetached) Fail("cli", desc);
    return code == 0 ? 0 : 1;
}

// Waits until nobody watches the image (rbd-fuse closes it after its unmount): a removal before
// that fails with EBUSY.
void WaitUnwatched(Cluster& c, const std::string& image, int timeoutSec)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    while (std::chrono::steady_clock::now() < until) {
        librbd::Image img;
        std::list<librbd::image_watcher_t> w;
        if (c.OpenImage(image, img, nullptr, true) != 0 || img.list_watchers(w) < 0 || w.empty()) return;
        img.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Removes an attach clone and unprotects its parent snapshot when the attach protected it.
int DropClone(Cluster& c, const std::string& clone, int timeoutSec)
{
    const std::string parent = c.Meta(clone, kFromKey);
    const bool protectedByUs = c.Meta(clone, kProtectedKey) == "1";
    WaitUnwatched(c, clone, timeoutSec);
    int r = c.RemoveImage(clone);
    if (r < 0 && r != -ENOENT) return r;
    size_t at = parent.find('@');
    if (protectedByUs && at != std::string::npos) {
        librbd::Image img;
        if (c.OpenImage(parent.substr(0, at), img) == 0) img.snap_unprotect(parent.substr(at + 1).c_str());
    }
    return 0;
}

int MakeClone(Cluster& c, const SnapRef& snap, const std::string& clone, std::string& desc)
{
    librbd::Image parent;
    int r = c.OpenImage(snap.image, parent);
    bool isProtected = false;
    if (r == 0) r = parent.snap_is_protected(snap.snap.c_str(), &isProtected);
    bool protect = r == 0 && !isProtected;
    if (protect) r = parent.snap_protect(snap.snap.c_str());
    parent.close();
    int order = 22;
    // Object map and fast-diff make the removal of a large clone cheap (no walk over every object).
    const uint64_t features = RBD_FEATURE_LAYERING | RBD_FEATURE_EXCLUSIVE_LOCK | RBD_FEATURE_OBJECT_MAP |
                              RBD_FEATURE_FAST_DIFF;
    if (r == 0) {
        r = librbd::RBD().clone(c.Io(), snap.image.c_str(), snap.snap.c_str(), c.Io(), clone.c_str(), features, &order);
    }
    librbd::Image img;
    if (r == 0) r = c.OpenImage(clone, img);
    if (r == 0) r = img.metadata_set(kKindKey, "clone");
    if (r == 0) r = img.metadata_set(kFromKey, snap.image + "@" + snap.snap);
    if (r == 0) r = img.metadata_set(kProtectedKey, protect ? "1" : "0");
    img.close();
    if (r < 0) {
        desc = "cannot clone " + snap.image + "@" + snap.snap + ": " + strerror(-r);
        c.RemoveImage(clone);
        if (protect && c.OpenImage(snap.image, parent) == 0) parent.snap_unprotect(snap.snap.c_str());
    }
    return r;
}

std::string HoldsDir(const std::string& root)
{
    return root + "/var/rbd/holds";
}

// This process and its ancestors.
std::set<long> Lineage()
{
    std::set<long> pids;
    for (long pid = ::getpid(); pid > 1 && pids.insert(pid).second;) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(in, line);
        const size_t close = line.rfind(')');  // the command name may hold blanks
        std::istringstream rest(close == std::string::npos ? std::string() : line.substr(close + 1));
        std::string state;
        long ppid = 0;
        if (!(rest >> state >> ppid)) break;
        pid = ppid;
    }
    return pids;
}

// The tasks a tool call works for: the data mover's task locks held by this process or one of its
// ancestors (the task that runs the plug-in, or `clean`, which claims a dead task's lock). Found
// in /proc/locks rather than among inherited descriptors, which sudo or a close-on-exec drop.
// "-" for a caller outside any task (a person, a script).
std::vector<std::string> CallerTasks(const std::string& root)
{
    const std::set<long> mine = Lineage();
    std::set<std::string> held;  // "MAJ:MIN:INODE" of flock locks taken by `mine`
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream l(line);
        std::string n, type, mode, access, id;
        long pid = 0;
        if (l >> n >> type) {
            if (type == "->") l >> type;  // a waiter's line
            if (type == "FLOCK" && l >> mode >> access >> pid >> id && mine.count(pid) != 0) held.insert(id);
        }
    }
    std::vector<std::string> tasks;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root + "/var/tasks", ec)) {
        const std::string path = e.path().string();
        struct stat st{};
        if (path.size() < 5 || path.compare(path.size() - 5, 5, ".lock") != 0 || ::stat(path.c_str(), &st) != 0) continue;
        char id[64];
        std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev), static_cast<unsigned long>(st.st_ino));
        if (held.count(id) != 0) tasks.push_back(path);
    }
    std::sort(tasks.begin(), tasks.end());
    if (tasks.empty()) tasks.push_back("-");
    return tasks;
}

// A task holds its lock while it lives; a killed one's lock is free (or its file gone).
bool TaskAlive(const std::string& lockPath)
{
    if (lockPath == "-") return true;  // an anonymous holder stays until an anonymous detach
    int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// The tasks an attachment serves, one a line ("-": a caller outside any task); the dead ones dropped.
std::vector<std::string> LoadHolders(const std::string& root, const std::string& key)
{
    std::vector<std::string> live;
    std::ifstream in(HoldsDir(root) + "/" + key);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && TaskAlive(l)) live.push_back(l);
    }
    return live;
}

void SaveHolders(const std::string& root, const std::string& key, const std::vector<std::string>& holders)
{
    const std::string path = HoldsDir(root) + "/" + key;
    std::error_code ec;
    if (holders.empty()) {
        fs::remove(path, ec);
        return;
    }
    fs::create_directories(HoldsDir(root), ec);
    {
        std::ofstream out(path + ".tmp", std::ios::trunc);
        for (const std::string& h : holders) out << h << "\n";
    }
    fs::rename(path + ".tmp", path, ec);
}

std::string HolderNames(const std::vector<std::string>& holders)
{
    std::string names;
    for (const std::string& h : holders) {
        names += (names.empty() ? "" : ", ") + (h == "-" ? std::string("a caller outside any task") : "task " + fs::path(h).stem().string());
    }
    return names;
}

int ResolveForCli(Cluster& c, const std::string& pool, const std::string& name, SnapRef& ref, std::string& desc)
{
    std::string why;
    switch (c.Resolve(name, ref, why)) {
        case Lookup::kFound: return 0;
        case Lookup::kAmbiguous: desc = why; return kAmbiguous;
        case Lookup::kMissing: break;
    }
    desc = "no volume or snapshot '" + name + "' in pool '" + pool + "'";
    return kVolMissing;
}

std::string QsdDir(const std::string& root)
{
    return root + "/var/rbd/qsd";
}

// The daemon of attachment `key` is known by this path among its arguments.
std::string QsdPidFile(const std::string& root, const std::string& key)
{
    return QsdDir(root) + "/" + key + ".pid";
}

// A snapshot served by qemu-storage-daemon: its FUSE export mounts over this regular file.
std::string QsdExport(const std::string& point)
{
    return point + "/snapshot";
}

bool QsdRunning(const std::string& root, const std::string& key)
{
    return !ProcessesWithArg(QsdPidFile(root, key)).empty();
}

// Stops the daemon of attachment `key` (SIGTERM; SIGKILL when it has not left after `timeoutSec`,
// as on a cluster that stopped answering) and removes its pid file and monitor socket.
int StopQsd(const std::string& root, const std::string& key, int timeoutSec)
{
    const std::string pidFile = QsdPidFile(root, key);
    for (int sig : {SIGTERM, SIGKILL}) {
        std::vector<int> pids = ProcessesWithArg(pidFile);
        for (int pid : pids) ::kill(pid, sig);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(sig == SIGTERM ? timeoutSec : 5);
        while (!pids.empty() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pids.erase(std::remove_if(pids.begin(), pids.end(), [](int p) { return !ProcessAlive(p); }), pids.end());
        }
        if (pids.empty()) break;
    }
    if (QsdRunning(root, key)) return -EBUSY;
    std::error_code ec;
    fs::remove(pidFile, ec);
    fs::remove(QsdDir(root) + "/" + key + ".qmp", ec);
    return 0;
}

// Serves snapshot `ref` read-only at `file` through qemu-storage-daemon's rbd driver: the snapshot
// itself, so no clone and no protection. The daemon detaches once its export is mounted.
int ExposeByQsd(const std::string& root, const Settings& s, const std::string& pool, const SnapRef& ref,
                const std::string& key, const std::string& file, std::string& desc)
{
    std::error_code ec;
    fs::create_directories(QsdDir(root), ec);
    fs::create_directories(fs::path(file).parent_path(), ec);
    std::ofstream(file).close();
    Json::Value dev(Json::objectValue), exp(Json::objectValue);
    dev["driver"] = "rbd";
    dev["node-name"] = "snap";
    dev["pool"] = pool;
    dev["image"] = ref.image;
    dev["snapshot"] = ref.snap;
    dev["conf"] = s.cephConf;
    dev["user"] = s.user;
    dev["read-only"] = true;
    exp["type"] = "fuse";
    exp["id"] = "exp";
    exp["node-name"] = "snap";
    exp["mountpoint"] = file;
    exp["writable"] = false;
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    // JSON, not key=value: names may hold commas. The socket path is relative to QsdDir (the
    // daemon starts there) so that a long root stays within a socket path's 108 bytes.
    const std::vector<std::string> argv = {
        s.qsd, "--daemonize", "--pidfile", QsdPidFile(root, key),
        "--chardev", "socket,id=qmp,path=" + key + ".qmp,server=on,wait=off", "--monitor", "chardev=qmp",
        "--blockdev", Json::writeString(w, dev), "--export", Json::writeString(w, exp)};
    std::vector<std::string> env;
    // Its rbd driver takes no keyring option; librados reads this variable.
    if (!s.keyring.empty()) env.push_back("CEPH_KEYRING=" + s.keyring);
    std::string out;
    const int rc = RunProgramIn(argv, &out, QsdDir(root), env);
    struct stat st{};
    if (rc == 0 && IsMounted(file) && ::stat(file.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == ref.size) {
        return 0;
    }
    desc = "qemu-storage-daemon could not expose " + ref.image + "@" + ref.snap + " (exit " + std::to_string(rc) +
           "): " + out.substr(0, out.find('\n'));
    if (IsMounted(file)) ::umount2(file.c_str(), MNT_DETACH);
    StopQsd(root, key, s.timeoutSec);
    fs::remove(file, ec);
    ::rmdir(fs::path(file).parent_path().c_str());
    return -1;
}

// Longest wait for rbd-fuse to write its cache out after an unmount (up to 32 MiB of dirty data).
constexpr int kFlushWaitSec = 120;

// fsync of an exposed file: 0, or the errno of the open or the flush.
int FlushFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err == EINVAL || err == ENOSYS ? 0 : err;  // a read-only exposure has nothing to flush
}

// Waits until no process has `arg` among its arguments (the rbd-fuse serving a mount point).
bool WaitForExit(const std::string& arg, int timeoutSec)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    while (!ProcessesWithArg(arg).empty()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

std::string MountRoot(const std::string& root)
{
    return root + "/var/rbd/mnt";
}

std::vector<std::string> DaemonAttachments(const std::string& root)
{
    std::set<std::string> keys;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(QsdDir(root), ec)) {
        const std::string ext = e.path().extension().string();
        if (ext == ".pid" || ext == ".qmp") keys.insert(e.path().stem().string());
    }
    for (const auto& e : fs::directory_iterator(MountRoot(root), ec)) {
        // An rbd-fuse mount too: its release flushes and waits for rbd-fuse to leave.
        const std::string point = e.path().string();
        if (IsMounted(QsdExport(point)) || IsMounted(point) || !ProcessesWithArg(point).empty()) {
            keys.insert(e.path().filename().string());
        }
    }
    return std::vector<std::string>(keys.begin(), keys.end());
}

int AttachVolume(const std::string& root, const std::string& pool, const std::string& name, std::string& dev,
                 std::string& desc)
{
    Cluster c;
    Settings s;
    int r = Connect(root, pool, c, desc);
    if (r != 0) return r;
    Settings::Load(root, s, desc);
    SnapRef ref;
    if ((r = ResolveForCli(c, pool, name, ref, desc)) != 0) return r;
    const std::string key = ref.Key();
    FileLock lock(LocksDir(root), key);
    const std::string point = MountRoot(root) + "/" + key;
    const std::string image = ref.snap.empty() ? ref.image : kClonePrefix + key;
    const std::string me = CallerTasks(root).front();
    std::vector<std::string> holders = LoadHolders(root, key);
    const bool held = std::find(holders.begin(), holders.end(), me) != holders.end();
    const std::string qsdFile = QsdExport(point);
    const bool byQsd = !ref.snap.empty() && s.snapshotsByQsd;
    if (IsMounted(point) || IsMounted(qsdFile)) {
        // One task at a time: rbd-fuse fails opens of one file made at the same moment (ENOENT,
        // 317 of 800 opens from four threads here), so an exposure is never shared between tasks,
        // and one task's detach can never release it under another.
        if (!held && !holders.empty()) {
            desc = "attached for another running task (" + HolderNames(holders) +
                   "); one exposure is never shared between tasks: try again when it has ended";
            return kBusy;
        }
        SaveHolders(root, key, {me});
        dev = IsMounted(qsdFile) ? qsdFile : point + "/" + image;
        desc = "already attached";
        return kAttached;
    }
    // Recorded before the mount, so that a killed attach leaves a holder that is seen as dead.
    SaveHolders(root, key, {me});
    if (byQsd) {
        // A daemon left by a killed attach whose export never mounted.
        StopQsd(root, key, s.timeoutSec);
        if (ExposeByQsd(root, s, pool, ref, key, qsdFile, desc) != 0) {
            SaveHolders(root, key, {});
            return -1;
        }
        CrashPoint("attach-exposed");
        dev = qsdFile;
        desc = "attached";
        return 0;
    }
    if (!ref.snap.empty() && !c.ImageExists(image) && MakeClone(c, ref, image, desc) < 0) {
        SaveHolders(root, key, {});
        return -1;
    }
    // A clone left by a killed attach is reused; the snapshot itself cannot be exposed by rbd-fuse.
    fs::create_directories(point);
    std::vector<std::string> argv = {s.rbdFuse, "-c", s.cephConf, "--id", s.user};
    if (!s.keyring.empty()) argv.insert(argv.end(), {"--keyring", s.keyring});
    if (ref.snap.empty()) {
        // A restore target. Without librbd's writeback cache rbd-fuse turns each 4 MiB O_DIRECT
        // write into 32 synchronous 128 KiB writes (13.5 MB/s here, 2 GiB in 107 s; with it 5.9 s
        // against rbd import's 4.8 s). Nothing is lost by it: the plug-in's fsync flushes the
        // cache (rbd-fuse's fsync is rbd_flush), and a detach flushes again and waits for rbd-fuse,
        // whose close of the image writes what is left, to exit before it answers.
        argv.insert(argv.end(), {"--rbd_cache=true", "--rbd_cache_writethrough_until_flush=false"});
    }
    argv.insert(argv.end(), {"-p", pool, "-r", image, point});
    std::string out;
    int rc = RunProgram(argv, &out);
    struct stat st{};
    // rbd-fuse mounts before it detaches from us, so the file is there once it has returned.
    if (rc != 0 || !IsMounted(point) || ::stat((point + "/" + image).c_str(), &st) != 0) {
        desc = "rbd-fuse could not expose '" + image + "' (exit " + std::to_string(rc) + "): " + out.substr(0, out.find('\n'));
        if (IsMounted(point)) ::umount2(point.c_str(), MNT_DETACH);
        ::rmdir(point.c_str());
        if (!ref.snap.empty()) DropClone(c, image, s.timeoutSec);
        SaveHolders(root, key, {});
        return -1;
    }
    CrashPoint("attach-exposed");
    dev = point + "/" + image;
    desc = "attached";
    return 0;
}

// Unmounts and removes the clone of one attachment, whoever holds it (detach, teardown).
int ReleaseAttachment(Cluster& c, const std::string& root, const std::string& key, int timeoutSec, std::string& desc)
{
    const std::string point = MountRoot(root) + "/" + key;
    const std::string clone = kClonePrefix + key;
    const std::string qsdFile = QsdExport(point);
    std::error_code ec;
    // What rbd-fuse still caches of an image's writes goes to the cluster now, while a failure
    // can still be answered: the attachment then stays, its data in the cache.
    if (IsMounted(point) && !IsMounted(qsdFile)) {
        for (const auto& e : fs::directory_iterator(point, ec)) {
            if (int err = FlushFile(e.path().string())) {
                desc = "cannot write " + e.path().string() + " to the cluster: " + strerror(err) + "; still attached";
                return kBusy;
            }
        }
    }
    // Unmounted first, so that an export still open is refused (EBUSY) rather than cut off.
    for (const std::string& m : {qsdFile, point}) {
        if (IsMounted(m) && ::umount2(m.c_str(), 0) != 0) {
            desc = "cannot release " + m + ": " + strerror(errno);
            return kBusy;
        }
    }
    // rbd-fuse leaves after its unmount and writes the rest of its cache as it closes the image:
    // an image's data is on the cluster only once it has gone. Never killed: that would lose it.
    if (!WaitForExit(point, std::max(timeoutSec, kFlushWaitSec))) {
        desc = "rbd-fuse of " + point + " has not finished writing to the cluster (still running)";
        return kBusy;
    }
    if (StopQsd(root, key, timeoutSec) != 0) {
        desc = "cannot stop the qemu-storage-daemon of " + point;
        return kBusy;
    }
    fs::remove(qsdFile, ec);
    ::rmdir(point.c_str());
    int r = 0;
    if (c.ImageExists(clone) && c.Meta(clone, kKindKey) == "clone" && (r = DropClone(c, clone, timeoutSec)) < 0) {
        desc = "cannot remove the attach clone " + clone + ": " + strerror(-r);
        return kBusy;
    }
    SaveHolders(root, key, {});
    return 0;
}

int DetachVolume(const std::string& root, const std::string& pool, const std::string& name, std::string& desc)
{
    Cluster c;
    Settings s;
    int r = Connect(root, pool, c, desc);
    if (r != 0) return r;
    Settings::Load(root, s, desc);
    SnapRef ref;
    if ((r = ResolveForCli(c, pool, name, ref, desc)) != 0) return r == kVolMissing ? kNotExist : r;
    const std::string key = ref.Key();
    FileLock lock(LocksDir(root), key);
    const std::string point = MountRoot(root) + "/" + key;
    const std::string clone = kClonePrefix + key;
    const std::vector<std::string> mine = CallerTasks(root);
    std::vector<std::string> holders = LoadHolders(root, key);
    const size_t before = holders.size();
    holders.erase(std::remove_if(holders.begin(), holders.end(),
                                 [&mine](const std::string& h) {
                                     return std::find(mine.begin(), mine.end(), h) != mine.end();
                                 }),
                  holders.end());
    const bool wasHolder = holders.size() != before;
    if (!holders.empty()) {
        if (!wasHolder) {
            desc = "attached for another running task (" + HolderNames(holders) + "); not released";
            return kBusy;
        }
        SaveHolders(root, key, holders);
        desc = "detached; still attached for " + std::to_string(holders.size()) + " other task(s)";
        return 0;
    }
    const bool hasClone = !ref.snap.empty() && c.ImageExists(clone) && c.Meta(clone, kKindKey) == "clone";
    const bool hasQsd = fs::exists(QsdPidFile(root, key)) || QsdRunning(root, key) || IsMounted(QsdExport(point));
    if (!IsMounted(point) && !hasClone && !hasQsd) {
        ::rmdir(point.c_str());
        SaveHolders(root, key, {});
        desc = "not attached";
        return kDetached;
    }
    if ((r = ReleaseAttachment(c, root, key, s.timeoutSec, desc)) != 0) return r;
    if (ref.snap.empty()) WaitUnwatched(c, ref.image, s.timeoutSec);
    lock.Remove();
    desc = "detached";
    return 0;
}

int RunQrm(const std::string& root, const std::vector<std::string>& args)
{
    std::map<std::string, std::string> o;
    try {
        o = ParseOptions(args, {"--op", "--staIp", "--snapNameFrom", "--snapNameTo", "--strataFloatIP", "--volName",
                                "--poolId", "--snapName"});
    } catch (const Usage& e) {
        Fail("qrm", e.what());
        return 2;
    }
    const std::string op = Get(o, "--op");
    if (op != "createBitmapVolume" && op != "queryBitmapVolume" && op != "deleteVolume" &&
        op != "querySnapshotIdentity") {
        Fail("qrm", "unknown operation '" + op + "'");
        return 2;
    }
    const std::string mgr = Get(o, "--strataFloatIP");
    if (Get(o, "--staIp") != (mgr.find(':') != std::string::npos ? "::1" : "127.0.0.1")) {
        Fail("qrm", "the agent address does not match the manager address's family");
        return QrmAnswer(kNoAgent);
    }
    Cluster c;
    std::string err;
    int r = Connect(root, Get(o, "--poolId"), c, err);
    if (r != 0) {
        Fail("qrm", err);
        return QrmAnswer(r);
    }
    if (op == "createBitmapVolume") return CreateBitmap(root, c, o);
    if (op == "queryBitmapVolume") return QueryBitmap(c, o);
    if (op == "querySnapshotIdentity") return QueryIdentity(c, o);
    return DeleteVolume(root, c, o);
}

int RunCli(const std::string& root, const std::vector<std::string>& args)
{
    std::map<std::string, std::string> o;
    try {
        o = ParseOptions(args, {"-c", "-v", "-i", "-p"});
    } catch (const Usage& e) {
        Fail("cli", e.what());
        return 2;
    }
    const std::string cmd = Get(o, "-c");
    if (cmd != "attachwithip" && cmd != "detachwithip") {
        Fail("cli", "unknown command '" + cmd + "'");
        return 2;
    }
    std::string desc, dev;
    if (cmd == "attachwithip") {
        int r = AttachVolume(root, Get(o, "-p"), Get(o, "-v"), dev, desc);
        return CliAnswer(r, desc, dev);
    }
    return CliAnswer(DetachVolume(root, Get(o, "-p"), Get(o, "-v"), desc), desc);
}

int RunReg(const std::string& root, const std::vector<std::string>& args)
{
    if (args.size() != 2 || (args[0] != "reg" && args[0] != "unreg")) {
        Fail("reg", "usage: reg|unreg DEVICE");
        return 2;
    }
    if (args[0] == "unreg") return 0;
    // The cluster needs no per-device key: a device is good when it is one of our live mounts.
    struct stat st{};
    std::error_code ec;
    fs::path real = fs::weakly_canonical(args[1], ec);
    if (::stat(args[1].c_str(), &st) != 0 || real.string().rfind(MountRoot(root) + "/", 0) != 0) {
        Fail("reg", "'" + args[1] + "' is not an attached volume of this root");
        return 1;
    }
    return 0;
}

}  // namespace rbdtool
