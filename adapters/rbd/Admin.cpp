#include "Admin.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include <json/json.h>

#include "Cluster.h"
#include "Tools.h"
#include "Util.h"

extern char** environ;
namespace fs = std::filesystem;

namespace rbdtool {

namespace {

struct AdminError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr uint64_t kPiece = 4ULL << 20;

uint64_t Number(const std::string& s)
{
    size_t used = 0;
    uint64_t v = 0;
    try {
        v = std::stoull(s, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != s.size()) throw AdminError("not a number: '" + s + "'");
    return v;
}

std::string Pool(const std::vector<std::string>& a, size_t& i)
{
    // An optional "--pool P" anywhere; the configuration's default otherwise.
    for (size_t k = 0; k + 1 < a.size(); ++k) {
        if (a[k] == "--pool") {
            i = k;
            return a[k + 1];
        }
    }
    i = a.size();
    return "rbd";
}

struct Session {
    Settings settings;
    Cluster cluster;
    std::string pool;
    Session(const std::string& root, const std::string& p) : pool(p)
    {
        std::string err;
        if (!Settings::Load(root, settings, err) || cluster.Open(settings, pool, err) != 0) throw AdminError(err);
    }
};

void Check(int r, const std::string& what)
{
    if (r < 0) throw AdminError(what + ": " + strerror(-r));
}

// splitmix64: the same seed always gives the same bytes.
void Fill(std::vector<char>& buf, uint64_t& state)
{
    for (size_t i = 0; i + 8 <= buf.size(); i += 8) {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        std::memcpy(&buf[i], &z, 8);
    }
}

void Write(Session& s, const std::vector<std::string>& a)
{
    // write NAME --offset N --length N (--random SEED | --pattern BYTE)
    if (a.size() < 2) throw AdminError("usage: write NAME --offset N --length N --random SEED|--pattern BYTE");
    uint64_t offset = 0, length = 0, seed = 0;
    int pattern = -1;
    for (size_t i = 2; i + 1 < a.size(); i += 2) {
        if (a[i] == "--offset") offset = Number(a[i + 1]);
        else if (a[i] == "--length") length = Number(a[i + 1]);
        else if (a[i] == "--random") seed = Number(a[i + 1]);
        else if (a[i] == "--pattern") pattern = static_cast<int>(Number(a[i + 1]) & 255);
        else if (a[i] != "--pool") throw AdminError("unknown option " + a[i]);
    }
    librbd::Image img;
    Check(s.cluster.OpenImage(a[1], img), "cannot open '" + a[1] + "'");
    std::vector<char> buf(kPiece, static_cast<char>(pattern < 0 ? 0 : pattern));
    for (uint64_t done = 0; done < length;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, length - done));
        if (pattern < 0) Fill(buf, seed);
        ceph::bufferlist bl;
        bl.append(buf.data(), static_cast<unsigned>(n));
        ssize_t w = img.write(offset + done, n, bl);
        if (w < 0) Check(static_cast<int>(w), "write to '" + a[1] + "' failed");
        done += n;
    }
}

// Copies an image or a snapshot into a file of the root (what `rbd export` would write).
std::string Export(const std::string& root, Session& s, const std::string& name)
{
    librbd::Image img;
    std::string image = name, snap;
    int r = s.cluster.OpenImage(name, img, nullptr, true);
    if (r != 0) {
        SnapRef ref;
        std::string why;
        Lookup l = s.cluster.FindSnapshot(name, ref, why);
        if (l != Lookup::kFound) throw AdminError(l == Lookup::kAmbiguous ? why : "no volume or snapshot '" + name + "'");
        image = ref.image;
        snap = ref.snap;
        Check(s.cluster.OpenImage(image, img, snap.c_str(), true), "cannot open '" + name + "'");
    }
    uint64_t size = 0;
    img.size(&size);
    fs::create_directories(root + "/var/rbd/export");
    const std::string path = root + "/var/rbd/export/" + ShortHash(name) + ".img";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (uint64_t done = 0; done < size; done += kPiece) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, size - done));
        ceph::bufferlist bl;
        ssize_t got = img.read(done, n, bl);
        if (got < 0) Check(static_cast<int>(got), "read of '" + name + "' failed");
        out.write(bl.c_str(), static_cast<std::streamsize>(bl.length()));
    }
    if (!out) throw AdminError("cannot write " + path);
    return path;
}

Json::Value State(const std::string& root, Session& s)
{
    Json::Value st(Json::objectValue);
    Json::Value vols(Json::arrayValue);
    for (const std::string& name : s.cluster.Images()) {
        librbd::Image img;
        if (s.cluster.OpenImage(name, img, nullptr, true) != 0) continue;
        Json::Value v(Json::objectValue);
        uint64_t size = 0;
        std::string kind;
        img.size(&size);
        img.metadata_get(kKindKey, &kind);
        v["name"] = name;
        v["kind"] = kind.empty() ? "volume" : kind;
        v["size"] = static_cast<Json::UInt64>(size);
        std::vector<librbd::snap_info_t> snaps;
        img.snap_list(snaps);
        Json::Value sn(Json::arrayValue);
        for (const auto& x : snaps) sn.append(x.name);
        v["snapshots"] = sn;
        vols.append(v);
    }
    st["volumes"] = vols;
    Json::Value mounts(Json::arrayValue);
    for (const std::string& m : FuseMountsUnder(MountRoot(root))) mounts.append(m);
    st["attachments"] = mounts;
    return st;
}

std::string AgentPath(const std::string& root)
{
    std::ifstream in(root + "/conf/datamover.ini");
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && line.find("StrataAgentPath") != std::string::npos &&
            line.find("StrataAgentPath") < eq) {
            std::string v = line.substr(eq + 1);
            v.erase(0, v.find_first_not_of(" \t"));
            v.erase(v.find_last_not_of(" \t\r") + 1);
            return v;
        }
    }
    return "/opt/strata/agent/bin/strata_agent";
}

void AgentStart(const std::string& root)
{
    const fs::path agent = AgentPath(root);
    const std::string state = root + "/var/rbd";
    fs::create_directories(state);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, agent.parent_path().c_str());
    for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", O_RDWR, 0);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    std::string prog = "./strata_agent", flag = "--agent-of";
    char* argv[] = {prog.data(), flag.data(), const_cast<char*>(state.c_str()), nullptr};
    pid_t pid = -1;
    int r = posix_spawn(&pid, agent.c_str(), &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (r != 0) throw AdminError("cannot start the agent " + agent.string() + ": " + strerror(r));
    std::ofstream(state + "/agent.pid") << pid << "\n";
}

void AgentStop(const std::string& root)
{
    std::ifstream in(root + "/var/rbd/agent.pid");
    pid_t pid = 0;
    if (in >> pid && pid > 0) ::kill(pid, SIGTERM);
    fs::remove(root + "/var/rbd/agent.pid");
}

void Configure(const std::string& root, const std::string& self, const std::vector<std::string>& a)
{
    std::ostringstream conf;
    for (size_t i = 1; i + 1 < a.size(); i += 2) {
        const std::string k = a[i].substr(a[i].rfind('-') + 1);
        if (k != "conf" && k != "user" && k != "keyring" && k != "timeout") throw AdminError("unknown option " + a[i]);
        conf << (k == "conf" ? "ceph_conf" : k) << " = " << a[i + 1] << "\n";
    }
    fs::create_directories(root + "/conf");
    std::ofstream(root + "/conf/rbd.conf") << conf.str();
    const std::pair<const char*, const char*> scripts[] = {
        {"qbctool/qrmQBCTool.sh", "qrm"}, {"bin/security_sudo_qbc_cli.sh", "cli"}, {"script/reg_qs.sh", "reg"}};
    for (const auto& sc : scripts) {
        const std::string path = root + "/" + sc.first;
        fs::create_directories(fs::path(path).parent_path());
        fs::remove(path);
        std::ofstream(path) << "#!/bin/sh\n# The storage tool on Ceph: every argument goes to rbd-tool unchanged.\n"
                            << "root=$(CDPATH= cd -- \"$(dirname -- \"$0\")/..\" && pwd) || exit 127\n"
                            << "exec \"$root/bin/rbd-tool\" --root \"$root\" --as " << sc.second << " -- \"$@\"\n";
        fs::permissions(path, fs::perms(0755));
    }
    const std::string tool = root + "/bin/rbd-tool";
    if (fs::absolute(self) != fs::absolute(tool)) {
        fs::remove(tool);
        fs::create_symlink(fs::canonical(self), tool);
    }
}

// Removes an image, retrying while a watcher holds it (a killed client's watch lingers for about
// 30 seconds) until `waitSec` have passed.
int RemovePatiently(Cluster& c, const std::string& image, int waitSec)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(waitSec);
    for (;;) {
        int r = c.RemoveImage(image);
        if (r == -ENOENT) return 0;
        if (r != -EBUSY || std::chrono::steady_clock::now() >= until) return r;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

// Detaches what this root attached and deletes the bitmaps (finished or not) and attach clones it
// made in the pool. Every removal that fails is reported, and the command then fails.
void Teardown(const std::string& root, Session& s, int waitSec)
{
    std::vector<std::string> errors;
    for (const std::string& key : DaemonAttachments(root)) {
        std::string desc;
        if (ReleaseAttachment(s.cluster, root, key, waitSec, desc) != 0) errors.push_back(desc);
    }
    for (const std::string& m : FuseMountsUnder(MountRoot(root))) {
        std::string desc;
        if (::umount2(m.c_str(), 0) != 0) errors.push_back("cannot unmount " + m + ": " + strerror(errno));
        else ::rmdir(m.c_str());
    }
    for (const std::string& img : s.cluster.Images()) {
        const bool unfinished = img.rfind(kTmpPrefix, 0) == 0;
        const std::string kind = unfinished ? std::string() : s.cluster.Meta(img, kKindKey);
        if (kind == "clone" && img.rfind(kClonePrefix, 0) == 0) {
            std::string desc;
            if (ReleaseAttachment(s.cluster, root, img.substr(std::strlen(kClonePrefix)), waitSec, desc) != 0) {
                errors.push_back(desc);
            }
        } else if (unfinished) {
            // Only a killed create ever watched it (see Cluster::RemoveWatchedImage).
            s.cluster.EvictWatchers(img);
            int r = s.cluster.RemoveImage(img);
            if (r == -EBUSY) r = s.cluster.RemoveWatchedImage(img);
            if (r < 0 && r != -ENOENT) errors.push_back("cannot remove the unfinished bitmap image " + img + ": " + strerror(-r));
        } else if (kind == "bitmap") {
            int r = RemovePatiently(s.cluster, img, waitSec);
            if (r < 0) errors.push_back("cannot remove the bitmap image " + img + ": " + strerror(-r));
        }
    }
    std::error_code ec;
    fs::remove_all(root + "/var/rbd/holds", ec);
    AgentStop(root);
    if (!errors.empty()) {
        std::string text = std::to_string(errors.size()) + " leftover(s) could not be removed";
        for (const std::string& e : errors) text += "\n  " + e;
        throw AdminError(text);
    }
}

// Links the agent path to this program. The path may be machine-wide and serve other roots: one
// that exists and is not this program is left alone (a dangling link, whose owner is gone, is not).
void AgentInstall(const std::string& root, const std::string& self)
{
    const fs::path p = AgentPath(root);
    const fs::path mine = fs::canonical(self);
    std::error_code ec;
    const bool present = fs::exists(fs::symlink_status(p, ec));
    if (present && fs::exists(p, ec)) {
        if (fs::equivalent(p, mine, ec)) return;
        throw AdminError(p.string() + " exists and is not this rbd-tool (another installation's agent?); it is left "
                         "alone: set General/StrataAgentPath in " + root + "/conf/datamover.ini to a path of this root");
    }
    fs::create_directories(p.parent_path());
    if (present) fs::remove(p);
    fs::create_symlink(mine, p);
}

}  // namespace

int RunAgent(const std::string& stateDir)
{
    // Leaves when its root is gone or another agent took over (like the simulator's stand-in).
    for (;;) {
        std::ifstream in(stateDir + "/agent.pid");
        pid_t pid = 0;
        if (!(in >> pid) || pid != ::getpid()) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

int RunAdmin(const std::string& root, const std::string& self, const std::vector<std::string>& args)
{
    try {
        if (args.empty() || args[0] == "--help") {
            std::cout << "rbd-tool admin commands (each takes an optional --pool P, default rbd):\n"
                         "  configure --conf CEPH_CONF [--user ID] [--keyring FILE] [--timeout SEC]\n"
                         "  volume create NAME SIZE | volume delete NAME\n"
                         "  write NAME --offset N --length N --random SEED|--pattern BYTE\n"
                         "  snapshot create VOLUME SNAP | snapshot delete VOLUME SNAP\n"
                         "  path NAME      export an image or snapshot into the root, print the file\n"
                         "  state          images, snapshots and attachments as JSON\n"
                         "  agent install|start|stop\n"
                         "  teardown [--wait SEC]  detach all, delete bitmaps and attach clones, stop the agent;\n"
                         "                 waits up to SEC (45) for a watched image, fails naming what stays\n"
                         "  discard NAME --offset N --length N   discard a range (it reads as zeros)\n";
            return args.empty() ? 2 : 0;
        }
        size_t poolAt = 0;
        const std::string pool = Pool(args, poolAt);
        std::vector<std::string> a(args.begin(), args.begin() + static_cast<long>(poolAt));
        if (poolAt + 2 < args.size()) a.insert(a.end(), args.begin() + static_cast<long>(poolAt) + 2, args.end());
        const std::string& cmd = a[0];
        if (cmd == "configure") {
            Configure(root, self, a);
            return 0;
        }
        if (cmd == "agent" && a.size() == 2) {
            if (a[1] == "install") {
                AgentInstall(root, self);
            } else if (a[1] == "start") {
                AgentStart(root);
            } else if (a[1] == "stop") {
                AgentStop(root);
            } else {
                throw AdminError("usage: agent install|start|stop");
            }
            return 0;
        }
        Session s(root, pool);
        if (cmd == "volume" && a.size() == 4 && a[1] == "create") {
            Check(s.cluster.CreateImage(a[2], Number(a[3])), "cannot create '" + a[2] + "'");
        } else if (cmd == "volume" && a.size() == 3 && a[1] == "delete") {
            Check(s.cluster.RemoveImage(a[2]), "cannot delete '" + a[2] + "'");
        } else if (cmd == "write") {
            Write(s, a);
        } else if (cmd == "discard" && a.size() == 6 && a[2] == "--offset" && a[4] == "--length") {
            librbd::Image img;
            Check(s.cluster.OpenImage(a[1], img), "cannot open '" + a[1] + "'");
            Check(img.discard(Number(a[3]), Number(a[5])), "discard in '" + a[1] + "'");
        } else if (cmd == "snapshot" && a.size() == 4 && (a[1] == "create" || a[1] == "delete")) {
            librbd::Image img;
            Check(s.cluster.OpenImage(a[2], img), "cannot open '" + a[2] + "'");
            Check(a[1] == "create" ? img.snap_create(a[3].c_str()) : img.snap_remove(a[3].c_str()),
                  "snapshot " + a[1] + " '" + a[3] + "'");
        } else if (cmd == "path" && a.size() == 2) {
            std::cout << Export(root, s, a[1]) << std::endl;
        } else if (cmd == "state") {
            Json::StreamWriterBuilder w;
            w["indentation"] = "";
            std::cout << Json::writeString(w, State(root, s)) << std::endl;
        } else if (cmd == "teardown" && (a.size() == 1 || (a.size() == 3 && a[1] == "--wait"))) {
            Teardown(root, s, a.size() == 3 ? static_cast<int>(Number(a[2])) : 45);
        } else {
            throw AdminError("unknown admin command (see admin --help)");
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "rbd-tool admin: " << e.what() << std::endl;
        return 1;
    }
}

}  // namespace rbdtool
