#include "Cluster.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

namespace rbdtool {

namespace {
std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Little-endian integers, as the rbd object class encodes them.
uint64_t Le64(const char* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

uint32_t Le32(const char* p)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

ceph::bufferlist EncodeSnapId(uint64_t id)
{
    char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(id >> (8 * i));
    ceph::bufferlist bl;
    bl.append(b, sizeof b);
    return bl;
}

// Reads of image header objects through the rbd object class, many in flight. Each job is one
// compound read of one object; Run answers once all have completed.
struct HeaderReads {
    struct Job {
        std::string oid;
        librados::ObjectReadOperation op;
        std::vector<ceph::bufferlist> out;
        std::vector<int> rval;
        int r = -EIO;
        // One exec of `method` (input `in`) whose answer lands in out[i].
        void Exec(const char* method, ceph::bufferlist in)
        {
            methods.push_back(method);
            out.emplace_back();
            rval.push_back(0);
            ins.push_back(std::move(in));
        }
        std::vector<ceph::bufferlist> ins;
        std::vector<const char*> methods;
    };
    std::vector<std::unique_ptr<Job>> jobs;

    Job& Add(const std::string& oid)
    {
        jobs.push_back(std::make_unique<Job>());
        jobs.back()->oid = oid;
        return *jobs.back();
    }
    void Run(librados::IoCtx& io)
    {
        constexpr size_t kInFlight = 64;
        for (size_t first = 0; first < jobs.size(); first += kInFlight) {
            const size_t n = std::min(kInFlight, jobs.size() - first);
            std::vector<librados::AioCompletion*> done(n, nullptr);
            for (size_t i = 0; i < n; ++i) {
                Job& j = *jobs[first + i];
                for (size_t k = 0; k < j.out.size(); ++k) j.op.exec("rbd", j.methods[k], j.ins[k], &j.out[k], &j.rval[k]);
                done[i] = librados::Rados::aio_create_completion();
                if (io.aio_operate(j.oid, done[i], &j.op, nullptr) < 0) {
                    done[i]->release();
                    done[i] = nullptr;
                }
            }
            for (size_t i = 0; i < n; ++i) {
                if (done[i] == nullptr) continue;
                done[i]->wait_for_complete();
                jobs[first + i]->r = done[i]->get_return_value();
                done[i]->release();
            }
        }
    }
};
}  // namespace

bool Settings::Load(const std::string& root, Settings& s, std::string& err)
{
    const std::string path = root + "/conf/rbd.conf";
    std::ifstream in(path);
    if (!in) {
        err = path + " is missing: the root is not configured for Ceph";
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        std::string k = Trim(line.substr(0, eq)), v = Trim(line.substr(eq + 1));
        if (k == "ceph_conf") s.cephConf = v;
        else if (k == "user") s.user = v;
        else if (k == "keyring") s.keyring = v;
        else if (k == "timeout") s.timeoutSec = std::max(1, std::atoi(v.c_str()));
        else if (k == "rbd_fuse") s.rbdFuse = v;
        else if (k == "qemu_storage_daemon") s.qsd = v;
        else if (k == "snapshot_exposure") s.snapshotsByQsd = v != "rbd-fuse";
    }
    if (s.cephConf.empty()) {
        err = path + " names no ceph_conf";
        return false;
    }
    return true;
}

Cluster::~Cluster()
{
    m_io.close();
    if (m_connected) m_rados.shutdown();
}

int Cluster::Open(const Settings& s, const std::string& pool, std::string& err)
{
    int r = m_rados.init(s.user.c_str());
    if (r < 0) {
        err = "cannot initialise the Ceph client: " + std::string(strerror(-r));
        return r;
    }
    m_connected = true;
    if ((r = m_rados.conf_read_file(s.cephConf.c_str())) < 0) {
        err = "cannot read the Ceph configuration " + s.cephConf + ": " + strerror(-r);
        return r;
    }
    const std::string t = std::to_string(s.timeoutSec);
    m_rados.conf_set("client_mount_timeout", t.c_str());
    m_rados.conf_set("rados_mon_op_timeout", t.c_str());
    m_rados.conf_set("rados_osd_op_timeout", t.c_str());
    m_rados.conf_set("log_to_stderr", "false");
    m_rados.conf_set("err_to_stderr", "false");
    if (!s.keyring.empty()) m_rados.conf_set("keyring", s.keyring.c_str());
    if ((r = m_rados.connect()) < 0) {
        err = "the Ceph cluster of " + s.cephConf + " does not answer: " + strerror(-r);
        return r == -ENOENT ? -EIO : r;
    }
    m_pool = pool;
    if ((r = m_rados.ioctx_create(pool.c_str(), m_io)) < 0) {
        err = r == -ENOENT ? "the pool '" + pool + "' does not exist" : "cannot open the pool '" + pool + "': " + strerror(-r);
        return r;
    }
    return 0;
}

bool Cluster::ImageExists(const std::string& name)
{
    librbd::Image img;
    return OpenImage(name, img, nullptr, true) == 0;
}

std::vector<std::string> Cluster::Images()
{
    std::vector<librbd::image_spec_t> images;
    std::vector<std::string> names;
    if (librbd::RBD().list2(m_io, &images) < 0) return names;
    for (const auto& s : images) names.push_back(s.name);
    return names;
}

std::string SnapRef::Key() const
{
    return std::to_string(poolId) + "-" + imageId + "-" + (snap.empty() ? std::string("head") : std::to_string(snapId));
}

std::string SnapRef::Identity() const
{
    return "rbd:" + std::to_string(poolId) + ":" + imageId + ":" + std::to_string(snapId);
}

Lookup Cluster::FindSnapshot(const std::string& name, SnapRef& ref, std::string& why)
{
    std::vector<std::string> images;
    std::string snap = name;
    const size_t at = name.find('@');
    if (at != std::string::npos) {
        images.push_back(name.substr(0, at));
        snap = name.substr(at + 1);
    } else {
        images = Images();
    }
    std::vector<SnapRef> found;
    if (snap.empty()) return Lookup::kMissing;
    std::vector<std::string> unread;
    found = SnapshotsFromHeaders(images, snap, unread);
    // An image whose header did not answer the class reads (an old format, a half-made image):
    // opened as librbd opens it.
    for (const std::string& image : unread) {
        librbd::Image img;
        std::vector<librbd::snap_info_t> snaps;
        if (OpenImage(image, img, nullptr, true) != 0 || img.snap_list(snaps) < 0) continue;
        for (const auto& s : snaps) {
            if (s.name != snap) continue;
            SnapRef r{image, snap, s.size, PoolId(), std::string(), s.id};
            if (img.get_id(&r.imageId) == 0) found.push_back(r);
        }
    }
    const bool alsoImage = at == std::string::npos && ImageExists(name);
    if (found.size() == 1 && !alsoImage) {
        ref = found[0];
        return Lookup::kFound;
    }
    if (found.empty()) return Lookup::kMissing;
    why = "the name '" + name + "' is ambiguous in pool '" + m_pool + "', candidates:";
    if (alsoImage) why += " image " + name;
    for (const SnapRef& r : found) why += " snapshot " + r.image + "@" + r.snap;
    why += "; name the snapshot as IMAGE@SNAPSHOT";
    return Lookup::kAmbiguous;
}

std::vector<SnapRef> Cluster::SnapshotsFromHeaders(const std::vector<std::string>& images, const std::string& snap,
                                                   std::vector<std::string>& unread)
{
    std::vector<SnapRef> found;
    // Image ids from the pool's directory, one read for all.
    std::vector<librbd::image_spec_t> listed;
    std::map<std::string, std::string> ids;
    if (images.size() > 1 && librbd::RBD().list2(m_io, &listed) == 0) {
        for (const auto& entry : listed) ids[entry.name] = entry.id;
    }
    std::vector<std::string> named;
    HeaderReads contexts;
    for (const std::string& image : images) {
        std::string id = ids.count(image) != 0 ? ids[image] : ImageId(image);
        if (id.empty()) {
            unread.push_back(image);
            continue;
        }
        named.push_back(image);
        contexts.Add("rbd_header." + id).Exec("get_snapcontext", ceph::bufferlist());
    }
    contexts.Run(m_io);
    // Every snapshot's name, one compound read per image that has snapshots.
    HeaderReads names;
    std::vector<std::pair<size_t, std::vector<uint64_t>>> asked;  // index into `named`, snapshot ids
    for (size_t i = 0; i < named.size(); ++i) {
        const auto& j = *contexts.jobs[i];
        const ceph::bufferlist& out = j.out[0];
        if (j.r < 0 || j.rval[0] < 0 || out.length() < 12) {
            unread.push_back(named[i]);
            continue;
        }
        const std::string raw = out.to_str();  // seq (u64), count (u32), ids (u64 each)
        const uint32_t count = Le32(raw.data() + 8);
        if (raw.size() < 12 + 8ull * count) {
            unread.push_back(named[i]);
            continue;
        }
        if (count == 0) continue;
        std::vector<uint64_t> snapIds;
        auto& job = names.Add(j.oid);
        for (uint32_t k = 0; k < count; ++k) {
            snapIds.push_back(Le64(raw.data() + 12 + 8 * k));
            job.Exec("get_snapshot_name", EncodeSnapId(snapIds.back()));
        }
        asked.emplace_back(i, std::move(snapIds));
    }
    names.Run(m_io);
    // The size of each match, as librbd's snapshot list gives it.
    HeaderReads sizes;
    std::vector<SnapRef> matches;
    for (size_t a = 0; a < asked.size(); ++a) {
        const auto& j = *names.jobs[a];
        const std::string& image = named[asked[a].first];
        if (j.r < 0) {
            unread.push_back(image);
            continue;
        }
        for (size_t k = 0; k < j.out.size(); ++k) {
            const ceph::bufferlist& out = j.out[k];
            if (j.rval[k] < 0 || out.length() < 4) continue;  // removed meanwhile
            const std::string raw = out.to_str();
            const uint32_t len = Le32(raw.data());
            if (raw.size() < 4ull + len || raw.compare(4, len, snap) != 0 || len != snap.size()) continue;
            matches.push_back(SnapRef{image, snap, 0, PoolId(), j.oid.substr(std::strlen("rbd_header.")), asked[a].second[k]});
            sizes.Add(j.oid).Exec("get_size", EncodeSnapId(asked[a].second[k]));
        }
    }
    sizes.Run(m_io);
    for (size_t m = 0; m < matches.size(); ++m) {
        const auto& j = *sizes.jobs[m];
        const ceph::bufferlist& out = j.out[0];  // order (u8), size (u64)
        if (j.r < 0 || j.rval[0] < 0 || out.length() < 9) continue;
        matches[m].size = Le64(out.to_str().data() + 1);
        found.push_back(matches[m]);
    }
    return found;
}

Lookup Cluster::Resolve(const std::string& name, SnapRef& ref, std::string& why)
{
    librbd::Image img;
    if (name.find('@') != std::string::npos || OpenImage(name, img, nullptr, true) != 0) {
        return FindSnapshot(name, ref, why);
    }
    // A bitmap image is attached only by the plug-in, which means it: no search over every image's
    // snapshots (the cost of a pool-wide search on each bitmap attach).
    std::string kind;
    const bool ours = img.metadata_get(kKindKey, &kind) == 0 && kind == "bitmap";
    SnapRef snap;
    if (!ours && FindSnapshot(name, snap, why) != Lookup::kMissing) {
        // An image of that name exists too (FindSnapshot already named it among the candidates).
        if (why.empty()) why = "the name '" + name + "' is ambiguous in pool '" + m_pool + "', candidates: image " + name +
                               " snapshot " + snap.image + "@" + snap.snap + "; name the snapshot as IMAGE@SNAPSHOT";
        return Lookup::kAmbiguous;
    }
    ref = SnapRef{name, std::string(), 0, PoolId(), std::string(), 0};
    img.size(&ref.size);
    if (img.get_id(&ref.imageId) < 0) return Lookup::kMissing;
    return Lookup::kFound;
}

std::string Cluster::Meta(const std::string& image, const char* key)
{
    librbd::Image img;
    std::string v;
    if (OpenImage(image, img, nullptr, true) != 0 || img.metadata_get(key, &v) < 0) return std::string();
    return v;
}

int Cluster::OpenImage(const std::string& name, librbd::Image& img, const char* snap, bool readOnly)
{
    librbd::RBD rbd;
    return readOnly ? rbd.open_read_only(m_io, img, name.c_str(), snap) : rbd.open(m_io, img, name.c_str(), snap);
}

int Cluster::CreateImage(const std::string& name, uint64_t size)
{
    int order = 22;
    const uint64_t features = RBD_FEATURE_LAYERING | RBD_FEATURE_EXCLUSIVE_LOCK | RBD_FEATURE_OBJECT_MAP |
                              RBD_FEATURE_FAST_DIFF;
    return librbd::RBD().create2(m_io, name.c_str(), size, features, &order);
}

std::string Cluster::ImageId(const std::string& image)
{
    ceph::bufferlist idObject;
    if (m_io.read(std::string("rbd_id.") + image, idObject, 4096, 0) < 4) return std::string();
    uint32_t len = 0;
    std::memcpy(&len, idObject.c_str(), 4);  // a length-prefixed string (little-endian)
    if (len == 0 || len + 4 > idObject.length()) return std::string();
    return std::string(idObject.c_str() + 4, len);
}

void Cluster::EvictWatchers(const std::string& image)
{
    // From the header object itself: an image half made by a killed create may not open, and
    // its header may still be watched.
    const std::string id = ImageId(image);
    std::list<obj_watch_t> watchers;
    if (id.empty() || m_io.list_watchers("rbd_header." + id, &watchers) < 0) return;
    const int64_t self = static_cast<int64_t>(m_rados.get_instance_id());
    for (const auto& w : watchers) {
        if (w.watcher_id != self) m_rados.blocklist_add(w.addr, 600);
    }
}

int Cluster::RemoveWatchedImage(const std::string& image)
{
    const std::string id = ImageId(image);
    librbd::Image img;
    librbd::image_info_t info{};
    if (!id.empty() && OpenImage(image, img, nullptr, true) == 0 && img.stat(info, sizeof info) == 0) {
        img.close();
        const uint64_t objects = info.obj_size == 0 ? 0 : (info.size + info.obj_size - 1) / info.obj_size;
        for (uint64_t i = 0; i < objects; ++i) {
            char suffix[20];
            std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(i));
            m_io.remove(std::string(info.block_name_prefix) + suffix);
        }
    }
    if (!id.empty()) {
        m_io.remove("rbd_object_map." + id);
        m_io.remove("rbd_header." + id);
    }
    return RemoveImage(image);
}

bool Cluster::Listed(const std::string& name)
{
    const std::vector<std::string> names = Images();
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool Cluster::RemoveOrphanId(const std::string& name)
{
    uint64_t size = 0;
    time_t mtime = 0;
    if (m_io.stat(std::string("rbd_id.") + name, &size, &mtime) != 0 || Listed(name)) return false;
    return m_io.remove(std::string("rbd_id.") + name) == 0;
}

int Cluster::RemoveImage(const std::string& name)
{
    return librbd::RBD().remove(m_io, name.c_str());
}

}  // namespace rbdtool
