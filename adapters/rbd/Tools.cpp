#include "Tools.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <thread>

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

int CreateBitmap(Cluster& c, const std::map<std::string, std::string>& o)
{
    const std::string name = Get(o, "--volName"), from = Get(o, "--snapNameFrom"), to = Get(o, "--snapNameTo");
    if (name.empty() || to.empty()) {
        Fail("qrm", "createBitmapVolume needs --volName and --snapNameTo");
        return QrmAnswer(kNotExist);
    }
    auto newer = c.FindSnapshot(to);
    if (!newer) {
        Fail("qrm", "no snapshot '" + to + "' in the pool");
        return QrmAnswer(kNotExist);
    }
    if (!from.empty() && !c.FindSnapshot(newer->image + "@" + from)) {
        bool elsewhere = c.FindSnapshot(from).has_value();
        Fail("qrm", elsewhere ? "snapshot '" + from + "' belongs to another image" : "no snapshot '" + from + "'");
        return QrmAnswer(elsewhere ? kOtherBranch : kSnapMissing);
    }
    librbd::Image snap;
    librbd::image_info_t info{};
    int r = c.OpenImage(newer->image, snap, newer->snap.c_str(), true);
    if (r == 0) r = snap.stat(info, sizeof info);
    if (r < 0) {
        Fail("qrm", "cannot open " + newer->image + "@" + newer->snap + ": " + strerror(-r));
        return QrmAnswer(-1);
    }
    const uint64_t block = BitmapBlockSize(info.obj_size);
    const std::string snapSize = std::to_string((newer->size + kMiB - 1) / kMiB);
    if (c.ImageExists(name)) {
        // A retried create answers as the first one did; any other image of that name is not ours to touch.
        bool same = c.Meta(name, kKindKey) == "bitmap" && c.Meta(name, kFromKey) == from && c.Meta(name, kToKey) == to;
        if (!same) {
            Fail("qrm", "an image named '" + name + "' exists with other content");
            return QrmAnswer(kNameTaken);
        }
        librbd::Image old;
        uint64_t size = 0;
        if (c.OpenImage(name, old, nullptr, true) == 0) old.size(&size);
        return QrmAnswer(0, {{"snapSize", snapSize}, {"blockSize", std::to_string(block)}, {"bitmapSize", std::to_string(size)}});
    }
    BitmapBuilder bits(newer->size, block);
    if (from.empty()) {
        bits.MarkAll();
    } else if ((r = snap.diff_iterate2(from.c_str(), 0, newer->size, true, true, DiffCb, &bits)) < 0) {
        Fail("qrm", "diff from '" + from + "' failed: " + strerror(-r));
        return QrmAnswer(-1);
    }
    const std::vector<uint8_t>& bytes = bits.Bytes();
    if ((r = c.CreateImage(name, bytes.size())) < 0) {
        Fail("qrm", "cannot create the bitmap image '" + name + "': " + strerror(-r));
        return QrmAnswer(-1);
    }
    // Marked first, so that a tool killed half-way leaves an image the leftover cleaning may delete.
    librbd::Image img;
    r = c.OpenImage(name, img);
    if (r == 0) r = img.metadata_set(kKindKey, "bitmap");
    if (r == 0) r = img.metadata_set(kFromKey, from);
    if (r == 0) r = img.metadata_set(kToKey, to);
    if (r == 0) r = img.metadata_set(kBlockKey, std::to_string(block));
    if (r == 0) r = img.metadata_set(kSnapSizeKey, snapSize);
    if (r == 0) {
        ceph::bufferlist bl;
        bl.append(reinterpret_cast<const char*>(bytes.data()), static_cast<unsigned>(bytes.size()));
        ssize_t w = img.write(0, bytes.size(), bl);
        r = w < 0 ? static_cast<int>(w) : 0;
    }
    if (r == 0) r = img.metadata_set("datamover.ready", "1");
    img.close();
    if (r < 0) {
        c.RemoveImage(name);
        Fail("qrm", "cannot write the bitmap image '" + name + "': " + strerror(-r));
        return QrmAnswer(-1);
    }
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
    bool done = img.metadata_get("datamover.ready", &ready) == 0 && ready == "1";
    return QrmAnswer(0, {{"snapSize", snapSize}, {"blockSize", block}, {"volSize", std::to_string(size)},
                         {"status", done ? "0" : "7"}});
}

int DeleteVolume(const std::string& root, Cluster& c, const std::map<std::string, std::string>& o)
{
    const std::string name = Get(o, "--volName");
    if (name.empty() || !c.ImageExists(name)) return QrmAnswer(kVolMissing);
    const std::string kind = c.Meta(name, kKindKey);
    if (kind != "bitmap") {
        Fail("qrm", "'" + name + "' was not made by the data mover; it is left alone");
        return QrmAnswer(-1);
    }
    if (IsMounted(MountRoot(root) + "/" + Hex(name))) return QrmAnswer(kAttachedDelete);
    int r = c.RemoveImage(name);
    if (r == -ENOENT) return QrmAnswer(kVolMissing);
    if (r == -EBUSY) return QrmAnswer(kBusy);
    if (r < 0) {
        Fail("qrm", "cannot delete '" + name + "': " + strerror(-r));
        return QrmAnswer(-1);
    }
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
    const uint64_t features = RBD_FEATURE_LAYERING | RBD_FEATURE_EXCLUSIVE_LOCK;
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

}  // namespace

std::string MountRoot(const std::string& root)
{
    return root + "/var/rbd/mnt";
}

std::string CloneName(const std::string& name)
{
    return "datamover-attach-" + Hex(name);
}

int AttachVolume(const std::string& root, const std::string& pool, const std::string& name, std::string& dev,
                 std::string& desc)
{
    Cluster c;
    Settings s;
    int r = Connect(root, pool, c, desc);
    if (r != 0) return r;
    Settings::Load(root, s, desc);
    const std::string point = MountRoot(root) + "/" + Hex(name);
    std::string image = name;
    if (!c.ImageExists(name)) {
        auto snap = c.FindSnapshot(name);
        if (!snap) {
            desc = "no volume or snapshot '" + name + "' in pool '" + pool + "'";
            return kVolMissing;
        }
        image = CloneName(name);
        if (IsMounted(point)) {
            dev = point + "/" + image;
            desc = "already attached";
            return kAttached;
        }
        // A clone left by a killed attach is reused; the snapshot itself cannot be exposed by rbd-fuse.
        if (!c.ImageExists(image) && MakeClone(c, *snap, image, desc) < 0) return -1;
    } else if (IsMounted(point)) {
        dev = point + "/" + image;
        desc = "already attached";
        return kAttached;
    }
    fs::create_directories(point);
    std::vector<std::string> argv = {s.rbdFuse, "-c", s.cephConf, "--id", s.user};
    if (!s.keyring.empty()) argv.insert(argv.end(), {"--keyring", s.keyring});
    argv.insert(argv.end(), {"-p", pool, "-r", image, point});
    std::string out;
    int rc = RunProgram(argv, &out);
    struct stat st{};
    // rbd-fuse mounts before it detaches from us, so the file is there once it has returned.
    if (rc != 0 || !IsMounted(point) || ::stat((point + "/" + image).c_str(), &st) != 0) {
        desc = "rbd-fuse could not expose '" + image + "' (exit " + std::to_string(rc) + "): " + out.substr(0, out.find('\n'));
        if (IsMounted(point)) ::umount2(point.c_str(), MNT_DETACH);
        ::rmdir(point.c_str());
        if (image != name) DropClone(c, image, s.timeoutSec);
        return -1;
    }
    dev = point + "/" + image;
    desc = "attached";
    return 0;
}

int DetachVolume(const std::string& root, const std::string& pool, const std::string& name, std::string& desc)
{
    Cluster c;
    Settings s;
    int r = Connect(root, pool, c, desc);
    if (r != 0) return r;
    Settings::Load(root, s, desc);
    const std::string point = MountRoot(root) + "/" + Hex(name);
    const std::string clone = CloneName(name);
    const bool isImage = c.ImageExists(name);
    const bool hasClone = !isImage && c.ImageExists(clone) && c.Meta(clone, kKindKey) == "clone";
    const bool mounted = IsMounted(point);
    if (!mounted && !hasClone) {
        ::rmdir(point.c_str());
        if (isImage || c.FindSnapshot(name)) {
            desc = "not attached";
            return kDetached;
        }
        desc = "no volume or snapshot '" + name + "'";
        return kNotExist;
    }
    if (mounted && ::umount2(point.c_str(), 0) != 0) {
        desc = "cannot release " + point + ": " + strerror(errno);
        return kBusy;
    }
    ::rmdir(point.c_str());
    if (isImage) WaitUnwatched(c, name, s.timeoutSec);
    if (hasClone && (r = DropClone(c, clone, s.timeoutSec)) < 0) {
        desc = "cannot remove the attach clone of '" + name + "': " + strerror(-r);
        return kBusy;
    }
    desc = "detached";
    return 0;
}

int RunQrm(const std::string& root, const std::vector<std::string>& args)
{
    std::map<std::string, std::string> o;
    try {
        o = ParseOptions(args, {"--op", "--staIp", "--snapNameFrom", "--snapNameTo", "--strataFloatIP", "--volName",
                                "--poolId"});
    } catch (const Usage& e) {
        Fail("qrm", e.what());
        return 2;
    }
    const std::string op = Get(o, "--op");
    if (op != "createBitmapVolume" && op != "queryBitmapVolume" && op != "deleteVolume") {
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
    if (op == "createBitmapVolume") return CreateBitmap(c, o);
    if (op == "queryBitmapVolume") return QueryBitmap(c, o);
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
