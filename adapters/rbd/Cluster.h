// A connection to the Ceph cluster an installation root is configured for, and the few
// questions the storage tools ask it (images, snapshots, bitmap metadata).
// One Cluster per tool invocation, used from one thread. Errors are negative errno values.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <rados/librados.hpp>
#include <rbd/librbd.hpp>

namespace rbdtool {

// <root>/conf/rbd.conf: key = value lines.
struct Settings {
    std::string cephConf;  // ceph_conf: the cluster's configuration file
    std::string user = "admin";  // user: the client id (client.<user>)
    std::string keyring;   // keyring: empty for `auth none` or the configuration's own
    int timeoutSec = 10;   // timeout: monitor and OSD answers; a silent cluster fails after it
    std::string rbdFuse = "rbd-fuse";
    // A snapshot is exposed read-only by qemu-storage-daemon (its rbd driver on the snapshot itself,
    // a FUSE export): three times rbd-fuse's O_DIRECT read rate, and no clone. snapshot_exposure =
    // rbd-fuse goes back to a protected-snapshot clone through rbd-fuse.
    std::string qsd = "qemu-storage-daemon";
    bool snapshotsByQsd = true;
    static bool Load(const std::string& root, Settings& s, std::string& err);
};

// Metadata keys that mark the images this adapter made, so that it never deletes a user's image.
constexpr const char kKindKey[] = "datamover.kind";  // "bitmap" or "clone"
constexpr const char kFromKey[] = "datamover.from";
constexpr const char kToKey[] = "datamover.to";
constexpr const char kBlockKey[] = "datamover.block_size";
constexpr const char kSnapSizeKey[] = "datamover.snap_size";
constexpr const char kProtectedKey[] = "datamover.protected";  // clone: we protected the parent snapshot

constexpr const char kTmpPrefix[] = "datamover-tmp-";      // bitmaps under construction
constexpr const char kClonePrefix[] = "datamover-attach-";  // attach clones of snapshots
constexpr const char kFinalKey[] = "datamover.final";  // bitmap under construction: the name it gets
constexpr const char kReadyKey[] = "datamover.ready";

// What an attach or bitmap name resolves to: an image, or one snapshot of one image. The ids are
// the cluster's own and never reused, so they, not the names, key what the adapter makes.
struct SnapRef {
    std::string image;
    std::string snap;  // empty: the image itself
    uint64_t size = 0;
    int64_t poolId = 0;
    std::string imageId;
    uint64_t snapId = 0;
    // "<pool id>-<image id>-<snap id|head>": bounded whatever the names' lengths.
    std::string Key() const;
    // "rbd:<pool id>:<image id>:<snap id>": changes when a snapshot is re-created under its name.
    std::string Identity() const;
};

// Outcome of resolving a name.
enum class Lookup { kFound, kMissing, kAmbiguous };

class Cluster {
public:
    ~Cluster();
    // Connects and opens the pool. -ENOENT: no such pool; other values: the cluster did not answer.
    int Open(const Settings& s, const std::string& pool, std::string& err);
    librados::IoCtx& Io() { return m_io; }

    bool ImageExists(const std::string& name);
    std::vector<std::string> Images();
    // A snapshot named `name` ("image@snap", or a bare name searched over every image). A bare
    // name that more than one snapshot carries, or that is also an image's name, is ambiguous:
    // `why` then names every candidate.
    Lookup FindSnapshot(const std::string& name, SnapRef& ref, std::string& why);
    // An image named `name`, else a snapshot as FindSnapshot finds it (the same ambiguity rules).
    Lookup Resolve(const std::string& name, SnapRef& ref, std::string& why);
    int64_t PoolId() { return m_io.get_id(); }
    const std::string& PoolName() const { return m_pool; }
    std::string Meta(const std::string& image, const char* key);
    int OpenImage(const std::string& name, librbd::Image& img, const char* snap = nullptr, bool readOnly = false);
    int CreateImage(const std::string& name, uint64_t size);
    int RemoveImage(const std::string& name);
    // Blocklists every other client watching `image`: only for images no live client may hold
    // (a bitmap under construction, whose creator holds its name's lock while it lives), so that a
    // killed creator's watch does not keep it for the ~30 s until the cluster notices.
    void EvictWatchers(const std::string& image);
    // Removes an image whose header a dead client still watches: the OSD kept such a watch (its
    // client killed as it set it up) for over a minute, past the watch timeout, even blocklisted,
    // and librbd refuses to remove a watched image. Removes the data objects and the header itself (which drops the watch),
    // then lets librbd remove the rest. Only for images no live client may hold (see above).
    int RemoveWatchedImage(const std::string& image);
    // Whether the pool's directory lists `name` (ImageExists also needs a readable header).
    bool Listed(const std::string& name);
    // Removes the id object of a name the directory does not list: what a create killed before
    // its directory entry, or a rename killed half-way, leaves, and which blocks the name for
    // good. True when there was one.
    bool RemoveOrphanId(const std::string& name);

private:
    // The snapshots named `snap` of `images`, read from their header objects through the rbd object
    // class (the reads the kernel client makes): no image is opened, which costs a watch and several
    // round trips each (511 images: 4.4 s a lookup). Images whose headers do not answer so go to `unread`.
    std::vector<SnapRef> SnapshotsFromHeaders(const std::vector<std::string>& images, const std::string& snap,
                                              std::vector<std::string>& unread);
    librados::Rados m_rados;
    librados::IoCtx m_io;
    std::string ImageId(const std::string& image);
    bool m_connected = false;
    std::string m_pool;
};

}  // namespace rbdtool
