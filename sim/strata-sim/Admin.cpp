#include "Admin.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <random>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "ChunkFiles.h"
#include "Tools.h"

namespace sim {
namespace {

const char kHelp[] =
    "usage: strata-sim [--root DIR] admin <command> [arguments]\n"
    "The root is --root, else $DATAMOVER_ROOT, else the parent of the program's directory.\n"
    "Sizes and offsets take the suffixes K, M, G, T (powers of 1024).\n"
    "\n"
    "  volume create NAME SIZE          a sparse volume of SIZE bytes (a multiple of 512)\n"
    "  volume delete NAME [--force]     --force detaches it first\n"
    "  volume list                      JSON array of every volume, snapshot and bitmap\n"
    "  write NAME [--offset N] (--file PATH [--length N] | --pattern BYTE --length N |\n"
    "        --text TEXT | --random SEED --length N)\n"
    "                                   writes into a volume's backing file\n"
    "  snapshot create VOLUME SNAPSHOT  a copy of the volume with its chunk digests\n"
    "  snapshot delete SNAPSHOT\n"
    "  path NAME                        the backing file of a volume, snapshot or bitmap\n"
    "  state                            JSON: volumes, attachments, registrations, calls\n"
    "                                   counted per operation, faults, settings, agent\n"
    "  calls                            JSON array of recorded tool calls (arguments as received)\n"
    "  config set KEY VALUE             block_size (bytes per bitmap bit, default 1048576),\n"
    "                                   bitmap_pending_queries (queries answered with status 7\n"
    "                                   before 0, default 0), attach_mode (link | loop),\n"
    "                                   require_agent (0 | 1: tool calls need the agent running)\n"
    "  config get KEY\n"
    "  fault add --op OP [--nth N] [--persistent] ACTION\n"
    "        OP: create query delete attach detach reg unreg; N counts the calls of OP\n"
    "        from now on (1 = the next); ACTION: --code C | --busy | --drop KEY |\n"
    "        --garbage | --stall MS | --status S\n"
    "  fault list | fault clear\n"
    "  agent install | start | stop | status | uninstall\n"
    "        the agent program is General/StrataAgentPath of conf/datamover.ini, else\n"
    "        /opt/strata/agent/bin/strata_agent; it runs as ./strata_agent from its directory\n"
    "  teardown                         stops the agent and releases every attached device\n";

uint64_t ParseSize(const std::string& text)
{
    if (text.empty() || text[0] == '-') {
        throw SimError("not a size: " + text);
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str()) {
        throw SimError("not a size: " + text);
    }
    std::string suffix(end);
    uint64_t mult = 1;
    if (suffix == "K" || suffix == "k") mult = 1ULL << 10;
    else if (suffix == "M" || suffix == "m") mult = 1ULL << 20;
    else if (suffix == "G" || suffix == "g") mult = 1ULL << 30;
    else if (suffix == "T" || suffix == "t") mult = 1ULL << 40;
    else if (!suffix.empty()) throw SimError("not a size: " + text);
    if (v > UINT64_MAX / mult) {
        throw SimError("size too large: " + text);
    }
    return v * mult;
}

int ParseInt(const std::string& text)
{
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < INT_MIN || v > INT_MAX) {
        throw SimError("not a number: " + text);
    }
    return static_cast<int>(v);
}

void Need(const std::vector<std::string>& a, size_t n, const std::string& usage)
{
    if (a.size() != n) {
        throw SimError("usage: strata-sim admin " + usage, 2);
    }
}

Json::Value& Volumes(SimStore& s) { return s.Doc()["volumes"]; }

Json::Value& Existing(SimStore& s, const std::string& name)
{
    if (!Volumes(s).isMember(name)) {
        throw SimError("no volume, snapshot or bitmap named " + name);
    }
    return Volumes(s)[name];
}

// ---- volumes and data --------------------------------------------------------------

int VolumeCreate(SimStore& s, const std::string& name, uint64_t size)
{
    if (name.empty()) {
        throw SimError("a volume needs a name");
    }
    if (size == 0 || size % 512 != 0) {
        throw SimError("volume size must be a positive multiple of 512");
    }
    if (Volumes(s).isMember(name)) {
        throw SimError("the name " + name + " is taken");
    }
    Json::Value v(Json::objectValue);
    v["kind"] = "volume";
    v["file"] = s.NewFileStem();
    v["size"] = Json::UInt64(size);
    CreateSparseFile(BackingPath(s, v), size);
    Volumes(s)[name] = v;
    s.Save();
    return 0;
}

int VolumeDelete(SimStore& s, const std::string& name, bool force)
{
    Json::Value& v = Existing(s, name);
    Json::Value& atts = s.Doc()["attachments"];
    if (atts.isMember(name)) {
        if (!force) {
            throw SimError(name + " is attached (use --force)");
        }
        std::string err;
        if (!ReleaseDevice(atts[name], err)) {
            throw SimError(err);
        }
        atts.removeMember(name);
    }
    unlink(BackingPath(s, v).c_str());
    unlink(DigestPath(s, v).c_str());
    Volumes(s).removeMember(name);
    s.Save();
    return 0;
}

void PwriteFull(int fd, const uint8_t* data, uint64_t len, uint64_t off)
{
    uint64_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(fd, data + done, len - done, static_cast<off_t>(off + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw SimError("write failed: " + ErrnoText(errno));
        }
        done += static_cast<uint64_t>(n);
    }
}

int Write(SimStore& s, const std::vector<std::string>& a)
{
    if (a.size() < 2) {
        throw SimError("usage: strata-sim admin write NAME [--offset N] SOURCE", 2);
    }
    const std::string& name = a[1];
    uint64_t offset = 0;
    uint64_t length = 0;
    bool haveLength = false;
    std::string source;
    std::string value;
    for (size_t i = 2; i < a.size(); i += 2) {
        if (i + 1 >= a.size()) {
            throw SimError("option " + a[i] + " lacks its value", 2);
        }
        const std::string& opt = a[i];
        if (opt == "--offset") {
            offset = ParseSize(a[i + 1]);
        } else if (opt == "--length") {
            length = ParseSize(a[i + 1]);
            haveLength = true;
        } else if (opt == "--file" || opt == "--pattern" || opt == "--text" || opt == "--random") {
            if (!source.empty()) {
                throw SimError("give one data source", 2);
            }
            source = opt;
            value = a[i + 1];
        } else {
            throw SimError("unknown option " + opt, 2);
        }
    }
    if (source.empty()) {
        throw SimError("give a data source: --file, --pattern, --text or --random", 2);
    }
    const Json::Value& v = Existing(s, name);
    if (v["kind"].asString() != "volume") {
        throw SimError(name + " is a " + v["kind"].asString() + "; only volumes take writes");
    }
    std::string fileData;
    if (source == "--file") {
        std::ifstream in(value, std::ios::binary);
        if (!in) {
            throw SimError("cannot read " + value);
        }
        std::ostringstream ss;
        ss << in.rdbuf();
        fileData = ss.str();
        if (haveLength) {
            fileData.resize(std::min<uint64_t>(length, fileData.size()));
        }
        length = fileData.size();
    } else if (source == "--text") {
        fileData = value;
        length = fileData.size();
    } else if (!haveLength) {
        throw SimError(source + " needs --length", 2);
    }
    const uint64_t size = v["size"].asUInt64();
    if (offset > size || length > size - offset) {
        throw SimError("the write ends beyond the volume's " + std::to_string(size) + " bytes");
    }
    int fd = open(BackingPath(s, v).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        throw SimError("cannot open the backing file: " + ErrnoText(errno));
    }
    try {
        if (!fileData.empty()) {
            PwriteFull(fd, reinterpret_cast<const uint8_t*>(fileData.data()), length, offset);
        } else if (length > 0) {
            std::vector<uint8_t> buf(std::min<uint64_t>(length, 4u << 20));
            std::mt19937_64 rng(source == "--random" ? std::strtoull(value.c_str(), nullptr, 0) : 0);
            if (source == "--pattern") {
                std::fill(buf.begin(), buf.end(), static_cast<uint8_t>(std::strtoul(value.c_str(), nullptr, 0)));
            }
            uint64_t done = 0;
            while (done < length) {
                uint64_t piece = std::min<uint64_t>(buf.size(), length - done);
                if (source == "--random") {
                    for (uint64_t i = 0; i < piece; i += 8) {
                        uint64_t r = rng();
                        std::memcpy(buf.data() + i, &r, std::min<uint64_t>(8, piece - i));
                    }
                }
                PwriteFull(fd, buf.data(), piece, offset + done);
                done += piece;
            }
        }
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
    return 0;
}

int SnapshotCreate(SimStore& s, const std::string& volume, const std::string& snap)
{
    const Json::Value& v = Existing(s, volume);
    if (v["kind"].asString() != "volume") {
        throw SimError(volume + " is not a volume");
    }
    if (snap.empty() || Volumes(s).isMember(snap)) {
        throw SimError("the name " + snap + " is taken or empty");
    }
    Json::Value sn(Json::objectValue);
    sn["kind"] = "snapshot";
    sn["file"] = s.NewFileStem();
    sn["lineage"] = v["file"];
    sn["parent"] = volume;
    sn["size"] = v["size"];
    const std::string path = BackingPath(s, sn);
    SparseCopy(BackingPath(s, v), path);
    // Digests now, so that a later bitmap costs a pass over chunks, not over bytes.
    ChunkDigests d = ComputeDigests(path, s.BlockSize());
    SaveDigests(DigestPath(s, sn), d);
    sn["block_size"] = Json::UInt64(d.chunkSize);
    Volumes(s)[snap] = sn;
    s.Save();
    return 0;
}

int SnapshotDelete(SimStore& s, const std::string& snap)
{
    const Json::Value& v = Existing(s, snap);
    if (v["kind"].asString() != "snapshot") {
        throw SimError(snap + " is not a snapshot");
    }
    if (s.Doc()["attachments"].isMember(snap)) {
        throw SimError(snap + " is attached");
    }
    unlink(BackingPath(s, v).c_str());
    unlink(DigestPath(s, v).c_str());
    Volumes(s).removeMember(snap);
    s.Save();
    return 0;
}

// ---- views ----------------------------------------------------------------------------

Json::Value VolumeList(SimStore& s)
{
    Json::Value out(Json::arrayValue);
    for (const auto& name : Volumes(s).getMemberNames()) {
        const Json::Value& v = Volumes(s)[name];
        Json::Value e(Json::objectValue);
        e["name"] = name;
        e["kind"] = v["kind"];
        e["size"] = v["size"];
        e["backing"] = BackingPath(s, v);
        if (v.isMember("parent")) e["parent"] = v["parent"];
        if (v["kind"].asString() == "bitmap") {
            e["from"] = v["from"];
            e["block_size"] = v["block_size"];
            e["pending"] = v["pending"];
        }
        out.append(e);
    }
    return out;
}

Json::Value AgentView(SimStore& s)
{
    Json::Value a(Json::objectValue);
    const std::string program = AgentProgramPath(s.Root());
    long pid = AgentPid(s);
    a["program"] = program;
    a["installed"] = PathExists(program);
    a["running"] = pid != 0;
    a["pid"] = Json::Int64(pid);
    return a;
}

Json::Value StateView(SimStore& s)
{
    Json::Value out(Json::objectValue);
    out["volumes"] = VolumeList(s);
    Json::Value atts(Json::arrayValue);
    for (const auto& name : s.Doc()["attachments"].getMemberNames()) {
        Json::Value e = s.Doc()["attachments"][name];
        e["name"] = name;
        atts.append(e);
    }
    out["attachments"] = atts;
    out["registrations"] = s.Doc()["registrations"];
    out["counters"] = s.Doc()["counters"];
    out["faults"] = s.Doc()["faults"];
    out["config"] = s.Doc()["config"];
    out["agent"] = AgentView(s);
    return out;
}

Json::Value CallsView(SimStore& s)
{
    Json::Value out(Json::arrayValue);
    std::istringstream in(ReadWholeFile(s.Path("calls.jsonl")));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            out.append(ParseJsonText(line));
        }
    }
    return out;
}

// ---- settings and faults -----------------------------------------------------------------

int ConfigSet(SimStore& s, const std::string& key, const std::string& value)
{
    Json::Value& c = s.Doc()["config"];
    if (key == "block_size") {
        uint64_t bs = ParseSize(value);
        if (bs == 0 || bs % 512 != 0) {
            throw SimError("block_size must be a positive multiple of 512");
        }
        c[key] = Json::UInt64(bs);
    } else if (key == "bitmap_pending_queries") {
        int n = ParseInt(value);
        if (n < 0) {
            throw SimError("bitmap_pending_queries must not be negative");
        }
        c[key] = n;
    } else if (key == "attach_mode") {
        if (value != "link" && value != "loop") {
            throw SimError("attach_mode is link or loop");
        }
        c[key] = value;
    } else if (key == "require_agent" || key == "bitmap_drop_changed_run") {
        c[key] = ParseInt(value) != 0;
    } else {
        throw SimError("unknown setting " + key);
    }
    s.Save();
    return 0;
}

int FaultAdd(SimStore& s, const std::vector<std::string>& a)
{
    Json::Value rule(Json::objectValue);
    rule["nth"] = 1;
    rule["persistent"] = false;
    std::string kind;
    auto setKind = [&](const std::string& k) {
        if (!kind.empty()) {
            throw SimError("give one fault action", 2);
        }
        kind = k;
        rule["kind"] = k;
    };
    for (size_t i = 2; i < a.size(); ++i) {
        const std::string& opt = a[i];
        auto val = [&]() -> const std::string& {
            if (i + 1 >= a.size()) {
                throw SimError("option " + opt + " lacks its value", 2);
            }
            return a[++i];
        };
        if (opt == "--op") rule["op"] = val();
        else if (opt == "--nth") rule["nth"] = ParseInt(val());
        else if (opt == "--persistent") rule["persistent"] = true;
        else if (opt == "--code") { setKind("code"); rule["code"] = ParseInt(val()); }
        else if (opt == "--busy") setKind("busy");
        else if (opt == "--drop") { setKind("drop"); rule["key"] = val(); }
        else if (opt == "--garbage") setKind("garbage");
        else if (opt == "--stall") { setKind("stall"); rule["stall_ms"] = ParseInt(val()); }
        else if (opt == "--status") { setKind("status"); rule["status"] = ParseInt(val()); }
        else throw SimError("unknown option " + opt, 2);
    }
    static const std::vector<std::string> ops = {"create", "query", "delete", "attach", "detach", "reg", "unreg", "identity"};
    const std::string op = rule.get("op", "").asString();
    if (std::find(ops.begin(), ops.end(), op) == ops.end()) {
        throw SimError("--op must be one of create query delete attach detach reg unreg identity", 2);
    }
    if (kind.empty()) {
        throw SimError("give a fault action", 2);
    }
    if (rule["nth"].asInt() < 1) {
        throw SimError("--nth counts from 1", 2);
    }
    if (kind == "status" && op != "query") {
        throw SimError("--status applies to query only", 2);
    }
    rule["base"] = s.Doc()["counters"].get(op, 0).asInt64();
    s.Doc()["faults"].append(rule);
    s.Save();
    return 0;
}

// ---- the agent stand-in ----------------------------------------------------------------------

std::string SelfExe()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) {
        throw SimError("cannot find the simulator's own program");
    }
    return std::string(buf, static_cast<size_t>(n));
}

std::string DirName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

void AgentInstall(SimStore& s)
{
    const std::string program = AgentProgramPath(s.Root());
    if (PathExists(program)) {
        return;
    }
    MakeDirs(DirName(program));
    if (symlink(SelfExe().c_str(), program.c_str()) != 0) {
        throw SimError("cannot install " + program + ": " + ErrnoText(errno));
    }
}

void SleepMs(int ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

void AgentStart(SimStore& s)
{
    if (AgentPid(s) != 0) {
        return;
    }
    const std::string program = AgentProgramPath(s.Root());
    if (!PathExists(program)) {
        throw SimError("the agent program " + program + " is not installed");
    }
    const std::string pidFile = s.Path("agent.pid");
    pid_t child = fork();
    if (child < 0) {
        throw SimError("fork failed: " + ErrnoText(errno));
    }
    if (child == 0) {
        // Detach twice so the agent outlives this call and no caller waits on its output.
        setsid();
        pid_t agent = fork();
        if (agent != 0) {
            _exit(agent < 0 ? 1 : 0);
        }
        int devnull = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd) {
            dup2(devnull, fd);
        }
        for (int fd = 3; fd < 1024; ++fd) {
            close(fd);
        }
        try {
            WriteFileAtomic(pidFile, std::to_string(getpid()) + "\n");
        } catch (...) {
            _exit(1);
        }
        if (chdir(DirName(program).c_str()) != 0) {
            _exit(1);
        }
        const std::string stateDir = s.Dir();
        char* argv[] = {const_cast<char*>("./strata_agent"), const_cast<char*>("--agent-of"),
                        const_cast<char*>(stateDir.c_str()), nullptr};
        execv(program.c_str(), argv);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    // Return once `ps` shows it, so a check right after start sees the agent.
    for (int i = 0; i < 200; ++i) {
        if (AgentPid(s) != 0) {
            return;
        }
        SleepMs(10);
    }
    throw SimError("the agent did not start");
}

void AgentStop(SimStore& s)
{
    long pid = AgentPid(s);
    unlink(s.Path("agent.pid").c_str());  // the agent also leaves when it sees this
    if (pid == 0) {
        return;
    }
    kill(static_cast<pid_t>(pid), SIGTERM);
    for (int i = 0; i < 300; ++i) {
        std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        if (stat.empty() || (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z')) {
            return;
        }
        SleepMs(10);
    }
    kill(static_cast<pid_t>(pid), SIGKILL);
}

int Agent(SimStore& s, const std::vector<std::string>& a)
{
    Need(a, 2, "agent install|start|stop|status|uninstall");
    const std::string& cmd = a[1];
    if (cmd == "install") {
        AgentInstall(s);
    } else if (cmd == "start") {
        AgentStart(s);
    } else if (cmd == "stop") {
        AgentStop(s);
    } else if (cmd == "uninstall") {
        AgentStop(s);
        const std::string program = AgentProgramPath(s.Root());
        if (unlink(program.c_str()) != 0 && errno != ENOENT) {
            throw SimError("cannot remove " + program + ": " + ErrnoText(errno));
        }
    } else if (cmd == "status") {
        std::cout << ToJsonText(AgentView(s), true) << std::endl;
    } else {
        throw SimError("unknown agent command " + cmd, 2);
    }
    return 0;
}

int Teardown(SimStore& s)
{
    AgentStop(s);
    Json::Value& atts = s.Doc()["attachments"];
    int status = 0;
    for (const auto& name : atts.getMemberNames()) {
        std::string err;
        if (ReleaseDevice(atts[name], err)) {
            atts.removeMember(name);
        } else {
            std::cerr << "strata-sim: " << err << std::endl;
            status = 1;
        }
    }
    s.Save();
    return status;
}

int Dispatch(SimStore& s, const std::vector<std::string>& a)
{
    const std::string& cmd = a[0];
    auto sub = [&](size_t i) { return a.size() > i ? a[i] : std::string(); };
    if (cmd == "volume" && sub(1) == "create") {
        Need(a, 4, "volume create NAME SIZE");
        return VolumeCreate(s, a[2], ParseSize(a[3]));
    }
    if (cmd == "volume" && sub(1) == "delete") {
        if (a.size() == 4 && a[3] == "--force") return VolumeDelete(s, a[2], true);
        Need(a, 3, "volume delete NAME [--force]");
        return VolumeDelete(s, a[2], false);
    }
    if (cmd == "volume" && sub(1) == "list") {
        std::cout << ToJsonText(VolumeList(s), true) << std::endl;
        return 0;
    }
    if (cmd == "write") return Write(s, a);
    if (cmd == "snapshot" && sub(1) == "create") {
        Need(a, 4, "snapshot create VOLUME SNAPSHOT");
        return SnapshotCreate(s, a[2], a[3]);
    }
    if (cmd == "snapshot" && sub(1) == "delete") {
        Need(a, 3, "snapshot delete SNAPSHOT");
        return SnapshotDelete(s, a[2]);
    }
    if (cmd == "path") {
        Need(a, 2, "path NAME");
        std::cout << BackingPath(s, Existing(s, a[1])) << std::endl;
        return 0;
    }
    if (cmd == "state") {
        std::cout << ToJsonText(StateView(s), true) << std::endl;
        return 0;
    }
    if (cmd == "calls") {
        std::cout << ToJsonText(CallsView(s), true) << std::endl;
        return 0;
    }
    if (cmd == "config" && sub(1) == "set") {
        Need(a, 4, "config set KEY VALUE");
        return ConfigSet(s, a[2], a[3]);
    }
    if (cmd == "config" && sub(1) == "get") {
        Need(a, 3, "config get KEY");
        const Json::Value& v = s.Doc()["config"][a[2]];
        std::cout << (v.isNull() ? "" : v.asString()) << std::endl;
        return 0;
    }
    if (cmd == "fault" && sub(1) == "add") return FaultAdd(s, a);
    if (cmd == "fault" && sub(1) == "clear") {
        s.Doc()["faults"] = Json::Value(Json::arrayValue);
        s.Save();
        return 0;
    }
    if (cmd == "fault" && sub(1) == "list") {
        std::cout << ToJsonText(s.Doc()["faults"], true) << std::endl;
        return 0;
    }
    if (cmd == "agent") return Agent(s, a);
    if (cmd == "teardown") return Teardown(s);
    throw SimError("unknown admin command (see strata-sim admin --help)", 2);
}

}  // namespace

const char* AdminHelp() { return kHelp; }

int RunAdmin(SimStore& store, const std::vector<std::string>& args)
{
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::cout << kHelp;
        return args.empty() ? 2 : 0;
    }
    store.Lock();
    return Dispatch(store, args);
}

int RunAgent(const std::string& stateDir)
{
    signal(SIGHUP, SIG_IGN);
    const std::string me = std::to_string(getpid());
    for (;;) {
        std::string text = ReadWholeFile(stateDir + "/agent.pid");
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
            text.pop_back();
        }
        if (text != me) {
            return 0;  // stopped, or the root it served is gone
        }
        SleepMs(200);
    }
}

}  // namespace sim
