// The storage tools' personalities on a Ceph cluster: the same command lines, output keys and
// result codes as the simulated storage (qrm: bitmap volumes; cli: attach, detach; reg: keys).
// Each call is one process; it holds no state outside the cluster and the FUSE mounts.
#pragma once
#include <string>
#include <vector>

namespace rbdtool {

class Cluster;

int RunQrm(const std::string& root, const std::vector<std::string>& args);
int RunCli(const std::string& root, const std::vector<std::string>& args);
int RunReg(const std::string& root, const std::vector<std::string>& args);

// Attach and detach, shared with the admin interface's teardown. `desc` gets the tool's text.
int AttachVolume(const std::string& root, const std::string& pool, const std::string& name, std::string& dev,
                 std::string& desc);
int DetachVolume(const std::string& root, const std::string& pool, const std::string& name, std::string& desc);
// Unmounts the attachment `key` (SnapRef::Key) and removes its clone, whatever tasks hold it.
int ReleaseAttachment(Cluster& c, const std::string& root, const std::string& key, int timeoutSec, std::string& desc);
std::string MountRoot(const std::string& root);
// Keys of the attachments served by a qemu-storage-daemon or rbd-fuse of this root (live or left by a kill).
std::vector<std::string> DaemonAttachments(const std::string& root);

}  // namespace rbdtool
