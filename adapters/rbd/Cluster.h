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
    static bool Load(const std::string& root, Settings& s, std::string& err);
};

// Metadata keys that mark the images this adapter made, so that it never deletes a user's image.
constexpr const char kKindKey[] = "datamover.kind";  // "bitmap" or "clone"
constexpr const char kFromKey[] = "datamover.from";
constexpr const char kToKey[] = "datamover.to";
constexpr const char kBlockKey[] = "datamover.block_size";
constexpr const char kSnapSizeKey[] = "datamover.snap_size";
constexpr const char kProtectedKey[] = "datamover.protected";  // clone: we protected the parent snapshot

// Where a snapshot name lives.
struct SnapRef {
    std::string image;
    std::string snap;
    uint64_t size = 0;
};

class Cluster {
public:
    ~Cluster();
    // Connects and opens the pool. -ENOENT: no such pool; other values: the cluster did not answer.
    int Open(const Settings& s, const std::string& pool, std::string& err);
    librados::IoCtx& Io() { return m_io; }

    bool ImageExists(const std::string& name);
    std::vector<std::string> Images();
    // A snapshot named `name` ("image@snap", or a bare name searched over every image).
    std::optional<SnapRef> FindSnapshot(const std::string& name);
    std::string Meta(const std::string& image, const char* key);
    int OpenImage(const std::string& name, librbd::Image& img, const char* snap = nullptr, bool readOnly = false);
    int CreateImage(const std::string& name, uint64_t size);
    int RemoveImage(const std::string& name);

private:
    librados::Rados m_rados;
    librados::IoCtx m_io;
    bool m_connected = false;
};

}  // namespace rbdtool
