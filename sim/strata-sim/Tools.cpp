#include "Tools.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utility>

#include "ChunkFiles.h"

namespace sim {
namespace {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// What a call answers: ordered key=value lines (or free lines) and an exit status.
struct Answer {
    int code = 0;
    KeyValues keys;
    std::vector<std::string> lines;  // reg/unreg and garbage: printed as they are
    int exitStatus = 0;
};

struct Fired {
    int stallMs = 0;
    bool refuse = false;   // Code, Busy or Garbage: the operation is not performed
    std::string refuseKind;
    int refuseCode = 0;
    std::vector<std::string> dropKeys;
    bool setStatus = false;
    int status = 0;
};

const std::map<int, std::string>& Messages()
{
    static const std::map<int, std::string> table = {
        {kOk, "OK"},
        {kAgentMissing, "Strata agent is not be installed !"},
        {kSnapshotMissing, "The snapshot is not exist !"},
        {kVolumeMissing, "The volume is not exitst !"},
        {kAlreadyAttached, "The volume has been attached !"},
        {kAlreadyDetached, "The volume has been detached !"},
        {kNotFound, "The volume or snapshot ist not exist !"},
        {kDifferentBranch, "The from snap and to volume of bitmap volume are different branch!"},
        {kBusy, "The storage is busy, try again later !"},
        {kVolumeInUse, "The volume is attached and cannot be deleted !"},
        {kAlreadyExists, "A volume of that name already exists !"},
    };
    return table;
}

std::string Message(int code)
{
    auto it = Messages().find(code);
    return it == Messages().end() ? "Unknown error !" : it->second;
}

std::string Sanitized(const std::string& name)
{
    std::string out;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '_' || c == '.';
        out += ok ? c : '_';
        if (out.size() >= 64) {
            break;
        }
    }
    return out;
}

std::string Canonical(const std::string& path)
{
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf) == nullptr) {
        return std::string();
    }
    return buf;
}

// Runs a program without a shell; standard output is returned, standard error dropped.
int RunProgram(const std::vector<std::string>& argv, std::string& out)
{
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(pipefd[0]);
        close(pipefd[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(pipefd[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 2);
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipefd[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof(buf))) != 0) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    close(pipefd[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

uint64_t MiBCeil(uint64_t bytes) { return (bytes + 1048575) / 1048576; }

// ---- argument parsing -------------------------------------------------------

struct Call {
    std::string op;   // counted operation name
    std::map<std::string, std::string> params;
};

// "--name value" (qrm) or "-x value" (cli) pairs; every value is taken as given,
// even one that starts with '-'.
bool ParsePairs(const std::vector<std::string>& args, const std::vector<std::string>& allowed,
                std::map<std::string, std::string>& params, std::string& err)
{
    if (args.size() % 2 != 0) {
        err = "an option lacks its value";
        return false;
    }
    for (size_t i = 0; i < args.size(); i += 2) {
        bool known = false;
        for (const auto& a : allowed) {
            known = known || a == args[i];
        }
        if (!known) {
            err = "unknown option " + args[i];
            return false;
        }
        if (params.count(args[i]) != 0) {
            err = "option given twice: " + args[i];
            return false;
        }
        params[args[i]] = args[i + 1];
    }
    return true;
}

bool Require(const std::map<std::string, std::string>& params, const std::vector<std::string>& names,
             std::string& err)
{
    for (const auto& n : names) {
        if (params.count(n) == 0) {
            err = "missing option " + n;
            return false;
        }
    }
    return true;
}

bool ParseCall(const std::string& personality, const std::vector<std::string>& args, Call& call, std::string& err)
{
    if (personality == "qrm") {
        if (!ParsePairs(args, {"--op", "--staIp", "--snapNameFrom", "--snapNameTo", "--strataFloatIP", "--volName",
                               "--poolId", "--snapName"},
                        call.params, err) ||
            !Require(call.params, {"--op"}, err)) {
            return false;
        }
        const std::string& op = call.params["--op"];
        if (op == "createBitmapVolume") {
            call.op = "create";
            return Require(call.params,
                           {"--staIp", "--snapNameFrom", "--snapNameTo", "--strataFloatIP", "--volName", "--poolId"},
                           err);
        }
        if (call.params.count("--snapName") != 0 && op != "querySnapshotIdentity") {
            err = "option not taken by " + op;
            return false;
        }
        if (op == "querySnapshotIdentity") {
            call.op = "identity";
            return Require(call.params, {"--staIp", "--strataFloatIP", "--snapName", "--poolId"}, err);
        }
        if (op == "queryBitmapVolume" || op == "deleteVolume") {
            call.op = op == "deleteVolume" ? "delete" : "query";
            if (call.params.count("--snapNameFrom") || call.params.count("--snapNameTo")) {
                err = "option not taken by " + op;
                return false;
            }
            return Require(call.params, {"--staIp", "--strataFloatIP", "--volName", "--poolId"}, err);
        }
        err = "unknown operation " + op;
        return false;
    }
    if (personality == "cli") {
        if (!ParsePairs(args, {"-c", "-v", "-i", "-p"}, call.params, err) ||
            !Require(call.params, {"-c", "-v", "-i", "-p"}, err)) {
            return false;
        }
        const std::string& cmd = call.params["-c"];
        if (cmd == "attachwithip") {
            call.op = "attach";
        } else if (cmd == "detachwithip") {
            call.op = "detach";
        } else {
            err = "unknown command " + cmd;
            return false;
        }
        return true;
    }
    if (personality == "reg") {
        if (args.size() != 2 || (args[0] != "reg" && args[0] != "unreg")) {
            err = "usage: reg_qs.sh reg|unreg DEVICE";
            return false;
        }
        call.op = args[0];
        call.params["device"] = args[1];
        return true;
    }
    err = "unknown personality " + personality;
    return false;
}

// ---- faults -------------------------------------------------------------------

Fired MatchFaults(SimStore& store, const std::string& op, Json::Int64 count)
{
    Fired fired;
    for (const auto& rule : store.Doc()["faults"]) {
        if (rule["op"].asString() != op) {
            continue;
        }
        Json::Int64 rel = count - rule["base"].asInt64();
        Json::Int64 nth = rule["nth"].asInt64();
        if (!(rel == nth || (rule["persistent"].asBool() && rel >= nth))) {
            continue;
        }
        const std::string kind = rule["kind"].asString();
        if (kind == "stall") {
            fired.stallMs += rule["stall_ms"].asInt();
        } else if (kind == "drop") {
            fired.dropKeys.push_back(rule["key"].asString());
        } else if (kind == "status") {
            fired.setStatus = true;
            fired.status = rule["status"].asInt();
        } else if (!fired.refuse) {
            fired.refuse = true;
            fired.refuseKind = kind;
            fired.refuseCode = kind == "busy" ? int(kBusy) : rule["code"].asInt();
        }
    }
    return fired;
}

// ---- the storage operations ------------------------------------------------------

Answer QrmAnswer(int code)
{
    Answer a;
    a.code = code;
    a.keys.emplace_back("ResultCode", std::to_string(code));
    a.exitStatus = code == 0 ? 0 : 1;
    return a;
}

Answer CliAnswer(int code, const std::string& desc)
{
    Answer a;
    a.code = code;
    a.keys.emplace_back("ret_code", std::to_string(code));
    a.keys.emplace_back("ret_desc", desc);
    a.exitStatus = code == 0 ? 0 : 1;
    return a;
}

// The agent is reached on loopback, in the family of the manager address.
int CheckAgent(SimStore& store, const Call& call)
{
    const std::string& sta = call.params.at("--staIp");
    const bool v6 = call.params.at("--strataFloatIP").find(':') != std::string::npos;
    if (sta != (v6 ? "::1" : "127.0.0.1")) {
        return kAgentMissing;
    }
    if (store.RequireAgent() && AgentPid(store) == 0) {
        return kAgentMissing;
    }
    return kOk;
}

// Identity of a volume's content history: the stem of the volume it belongs to.
std::string Lineage(const Json::Value& vol)
{
    return vol["kind"].asString() == "snapshot" ? vol["lineage"].asString() : vol["file"].asString();
}

// "VOLUME@SNAPSHOT" names the snapshot SNAPSHOT of VOLUME (empty when it is not one); any other
// name is taken as it is (names are unique over volumes and snapshots here).
std::string Resolved(const Json::Value& vols, const std::string& name)
{
    const size_t at = name.find('@');
    if (at == std::string::npos) {
        return name;
    }
    const std::string snap = name.substr(at + 1);
    if (!vols.isMember(snap) || vols[snap]["kind"].asString() != "snapshot" ||
        vols[snap]["parent"].asString() != name.substr(0, at)) {
        return std::string();
    }
    return snap;
}

// The storage's identity of a snapshot: its backing file's stem comes from a counter that never
// goes back, so a snapshot deleted and re-created under its name gets another.
Answer SnapshotIdentity(SimStore& store, const Call& call)
{
    if (int c = CheckAgent(store, call)) {
        return QrmAnswer(c);
    }
    const Json::Value& vols = store.Doc()["volumes"];
    const std::string name = Resolved(vols, call.params.at("--snapName"));
    if (name.empty() || !vols.isMember(name) || vols[name]["kind"].asString() != "snapshot") {
        return QrmAnswer(kSnapshotMissing);
    }
    const Json::Value& v = vols[name];
    Answer a = QrmAnswer(kOk);
    a.keys.emplace_back("snapIdentity", "sim:" + v["lineage"].asString() + ":" + v["file"].asString());
    a.keys.emplace_back("volName", v["parent"].asString());
    a.keys.emplace_back("snapName", name);
    return a;
}

ChunkDigests DigestsOf(SimStore& store, const Json::Value& vol, uint64_t bs)
{
    ChunkDigests d;
    if (vol["kind"].asString() == "snapshot" && LoadDigests(DigestPath(store, vol), d) && d.chunkSize == bs) {
        return d;
    }
    return ComputeDigests(BackingPath(store, vol), bs);
}

Answer CreateBitmap(SimStore& store, const Call& call)
{
    if (int c = CheckAgent(store, call)) {
        return QrmAnswer(c);
    }
    Json::Value& vols = store.Doc()["volumes"];
    const std::string& name = call.params.at("--volName");
    const std::string& fromGiven = call.params.at("--snapNameFrom");
    const std::string from = Resolved(vols, fromGiven);
    const std::string to = Resolved(vols, call.params.at("--snapNameTo"));
    if (name.empty()) {
        return QrmAnswer(kUnknown);
    }
    auto fileOf = [&vols](const std::string& n) { return vols.isMember(n) ? vols[n]["file"].asString() : std::string(); };
    if (vols.isMember(name)) {
        const Json::Value& v = vols[name];
        // Asking again for the same bitmap (a retried create) is answered as the first time; the
        // snapshots' files tell one re-created under its name from the one the bitmap was made of.
        if (v["kind"].asString() == "bitmap" && v["from"].asString() == from && v["parent"].asString() == to &&
            v.get("from_file", "").asString() == fileOf(from) && v.get("to_file", "").asString() == fileOf(to)) {
            Answer a = QrmAnswer(kOk);
            a.keys.emplace_back("snapSize", v["snap_size"].asString());
            a.keys.emplace_back("blockSize", v["block_size"].asString());
            a.keys.emplace_back("bitmapSize", v["size"].asString());
            return a;
        }
        return QrmAnswer(kAlreadyExists);
    }
    if (!vols.isMember(to) || vols[to]["kind"].asString() == "bitmap") {
        return QrmAnswer(kNotFound);
    }
    const Json::Value& toVol = vols[to];
    if (!fromGiven.empty()) {
        if (from.empty() || !vols.isMember(from) || vols[from]["kind"].asString() != "snapshot") {
            return QrmAnswer(kSnapshotMissing);
        }
        if (Lineage(vols[from]) != Lineage(toVol)) {
            return QrmAnswer(kDifferentBranch);
        }
    }
    const uint64_t bs = store.BlockSize();
    ChunkDigests toDigests = DigestsOf(store, toVol, bs);
    std::vector<uint8_t> bits;
    if (from.empty()) {
        bits = DiffBitmap(nullptr, toDigests);
    } else {
        ChunkDigests fromDigests = DigestsOf(store, vols[from], bs);
        bits = DiffBitmap(&fromDigests, toDigests);
        // A fault of change tracking, as storages have had: the first run of
        // changed chunks goes missing from the bitmap. For tests of the checks
        // that compare a backup with its snapshot.
        if (store.Doc()["config"].get("bitmap_drop_changed_run", false).asBool()) {
            uint64_t i = 0;
            const uint64_t n = bits.size() * 8;
            while (i < n && (bits[i / 8] & (1u << (i % 8))) == 0) ++i;
            for (; i < n && (bits[i / 8] & (1u << (i % 8))) != 0; ++i) bits[i / 8] &= static_cast<uint8_t>(~(1u << (i % 8)));
        }
    }
    Json::Value v(Json::objectValue);
    v["kind"] = "bitmap";
    v["file"] = store.NewFileStem();
    v["from"] = from;
    v["parent"] = to;
    v["from_file"] = fileOf(from);
    v["to_file"] = fileOf(to);
    v["block_size"] = Json::UInt64(bs);
    v["snap_size"] = Json::UInt64(MiBCeil(toDigests.volumeSize));
    v["size"] = Json::UInt64(BitmapFileSize(toDigests.digests.size()));
    v["pending"] = store.PendingQueries();
    v["pool"] = call.params.at("--poolId");
    WriteBitmapFile(BackingPath(store, v), bits);
    vols[name] = v;
    Answer a = QrmAnswer(kOk);
    a.keys.emplace_back("snapSize", v["snap_size"].asString());
    a.keys.emplace_back("blockSize", v["block_size"].asString());
    a.keys.emplace_back("bitmapSize", v["size"].asString());
    return a;
}

Answer QueryBitmap(SimStore& store, const Call& call)
{
    if (int c = CheckAgent(store, call)) {
        return QrmAnswer(c);
    }
    Json::Value& vols = store.Doc()["volumes"];
    const std::string& name = call.params.at("--volName");
    if (!vols.isMember(name)) {
        return QrmAnswer(kVolumeMissing);
    }
    Json::Value& v = vols[name];
    int status = 0;
    if (v["kind"].asString() == "bitmap" && v["pending"].asInt() > 0) {
        status = 7;
        v["pending"] = v["pending"].asInt() - 1;
    }
    Answer a = QrmAnswer(kOk);
    const bool bitmap = v["kind"].asString() == "bitmap";
    a.keys.emplace_back("snapSize", bitmap ? v["snap_size"].asString() : std::to_string(MiBCeil(v["size"].asUInt64())));
    a.keys.emplace_back("blockSize", bitmap ? v["block_size"].asString() : std::to_string(store.BlockSize()));
    a.keys.emplace_back("volSize", v["size"].asString());
    a.keys.emplace_back("status", std::to_string(status));
    return a;
}

Answer DeleteVolume(SimStore& store, const Call& call)
{
    if (int c = CheckAgent(store, call)) {
        return QrmAnswer(c);
    }
    Json::Value& vols = store.Doc()["volumes"];
    const std::string& name = call.params.at("--volName");
    if (!vols.isMember(name) || vols[name]["kind"].asString() == "snapshot") {
        return QrmAnswer(kVolumeMissing);
    }
    if (store.Doc()["attachments"].isMember(name)) {
        return QrmAnswer(kVolumeInUse);
    }
    unlink(BackingPath(store, vols[name]).c_str());
    unlink(DigestPath(store, vols[name]).c_str());
    vols.removeMember(name);
    return QrmAnswer(kOk);
}

Answer Attach(SimStore& store, const Call& call)
{
    Json::Value& vols = store.Doc()["volumes"];
    Json::Value& atts = store.Doc()["attachments"];
    const std::string name = Resolved(vols, call.params.at("-v"));
    if (name.empty() || !vols.isMember(name)) {
        return CliAnswer(kVolumeMissing, Message(kVolumeMissing));
    }
    if (atts.isMember(name)) {
        Answer a = CliAnswer(kAlreadyAttached, Message(kAlreadyAttached));
        a.keys.emplace_back("dev_addr", atts[name]["device"].asString());
        return a;
    }
    const Json::Value& vol = vols[name];
    const std::string backing = BackingPath(store, vol);
    Json::Value att(Json::objectValue);
    att["ip"] = call.params.at("-i");
    att["pool"] = call.params.at("-p");
    att["file"] = vol["file"];
    if (store.AttachMode() == "loop") {
        std::string out;
        std::vector<std::string> argv = {"losetup", "--find", "--show", "--direct-io=on"};
        if (vol["kind"].asString() != "volume") {
            argv.push_back("--read-only");  // snapshots and bitmaps are never written
        }
        argv.push_back(backing);
        int rc = RunProgram(argv, out);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
            out.pop_back();
        }
        if (rc == 0 && out.compare(0, 5, "/dev/") == 0) {
            att["mode"] = "loop";
            att["device"] = out;
        } else {
            // The machine does not allow loop devices: fall back to a link, and say so.
            att["loop_error"] = "losetup exited with " + std::to_string(rc);
        }
    }
    if (!att.isMember("mode")) {
        const std::string dev = store.Path("dev/" + vol["file"].asString() + "_" + Sanitized(name));
        unlink(dev.c_str());
        if (symlink(backing.c_str(), dev.c_str()) != 0) {
            return CliAnswer(kUnknown, "cannot create the device node: " + ErrnoText(errno));
        }
        att["mode"] = "link";
        att["device"] = dev;
    }
    atts[name] = att;
    // Only a new attachment makes the caller wait for the device to settle;
    // benchmarks count these apart from repeated (idempotent) attach calls.
    Json::Value& counters = store.Doc()["counters"];
    counters["attach_new"] = counters.get("attach_new", 0).asInt64() + 1;
    Answer a = CliAnswer(kOk, "attach volume success");
    a.keys.emplace_back("dev_addr", att["device"].asString());
    return a;
}

Answer Detach(SimStore& store, const Call& call)
{
    Json::Value& vols = store.Doc()["volumes"];
    Json::Value& atts = store.Doc()["attachments"];
    const std::string name = Resolved(vols, call.params.at("-v"));
    if (!atts.isMember(name)) {
        int code = vols.isMember(name) ? kAlreadyDetached : kNotFound;
        return CliAnswer(code, Message(code));
    }
    std::string err;
    if (!ReleaseDevice(atts[name], err)) {
        return CliAnswer(kBusy, err);
    }
    atts.removeMember(name);
    // A key lives on its device: it goes when the device does, so a later device
    // at the same path starts without one.
    Json::Value kept(Json::arrayValue);
    for (const auto& r : store.Doc()["registrations"]) {
        if (r["volume"].asString() != name) {
            kept.append(r);
        }
    }
    store.Doc()["registrations"] = kept;
    return CliAnswer(kOk, "detach volume success");
}

Answer Answered(int exitStatus, const std::string& line)
{
    Answer a;
    a.exitStatus = exitStatus;
    a.code = exitStatus;
    a.lines.push_back(line);
    return a;
}

Answer RegKey(SimStore& store, const Call& call)
{
    const std::string& dev = call.params.at("device");
    const std::string resolved = Canonical(dev);
    struct stat st {};
    if (resolved.empty() || stat(dev.c_str(), &st) != 0) {
        return Answered(1, "register key failed: no such device");
    }
    Json::Value& regs = store.Doc()["registrations"];
    for (const auto& r : regs) {
        if (r["resolved"].asString() == resolved) {
            return Answered(0, "key already registered");
        }
    }
    std::string volume;
    for (const auto& name : store.Doc()["attachments"].getMemberNames()) {
        const Json::Value& att = store.Doc()["attachments"][name];
        if (att["device"].asString() == dev || Canonical(att["device"].asString()) == resolved) {
            volume = name;
        }
    }
    Json::Value r(Json::objectValue);
    r["device"] = dev;
    r["resolved"] = resolved;
    r["volume"] = volume;
    regs.append(r);
    return Answered(0, "register key success");
}

Answer UnregKey(SimStore& store, const Call& call)
{
    const std::string& dev = call.params.at("device");
    std::string resolved = Canonical(dev);
    if (resolved.empty()) {
        resolved = dev;
    }
    // The key may be removed under the attach path or under its canonical path.
    Json::Value kept(Json::arrayValue);
    bool removed = false;
    for (const auto& r : store.Doc()["registrations"]) {
        if (r["device"].asString() == dev || r["resolved"].asString() == resolved) {
            removed = true;
        } else {
            kept.append(r);
        }
    }
    store.Doc()["registrations"] = kept;
    return Answered(0, removed ? "remove key success" : "no key registered");
}

Answer Perform(SimStore& store, const Call& call)
{
    if (call.op == "create") return CreateBitmap(store, call);
    if (call.op == "query") return QueryBitmap(store, call);
    if (call.op == "delete") return DeleteVolume(store, call);
    if (call.op == "attach") return Attach(store, call);
    if (call.op == "detach") return Detach(store, call);
    if (call.op == "reg") return RegKey(store, call);
    if (call.op == "identity") return SnapshotIdentity(store, call);
    return UnregKey(store, call);
}

Answer Refused(const std::string& personality, const Fired& f)
{
    if (f.refuseKind == "garbage") {
        Answer a;
        a.code = kUnknown;
        a.exitStatus = 1;
        a.lines = {"Exception in thread main java.lang.IllegalStateException",
                   "\tat com.strata.qbc.Tool.run(Tool.java 42)", "#### connection reset ####"};
        return a;
    }
    if (personality == "qrm") {
        return QrmAnswer(f.refuseCode);
    }
    if (personality == "cli") {
        return CliAnswer(f.refuseCode, Message(f.refuseCode));
    }
    int status = f.refuseCode & 255;
    return Answered(status == 0 ? 1 : status, "key operation failed with " + std::to_string(f.refuseCode));
}

Json::Value ArgsJson(const std::vector<std::string>& args)
{
    Json::Value a(Json::arrayValue);
    for (const auto& s : args) {
        a.append(s);
    }
    return a;
}

void SleepMs(int ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Sleeps up to `ms`. Clearing the faults ends the stall early, so a test can hold
// a call at a point it knows and let it go once it has looked.
void Stall(SimStore& store, int ms)
{
    for (int left = ms; left > 0; left -= 20) {
        SleepMs(left < 20 ? left : 20);
        store.Lock();
        const bool cleared = store.Doc()["faults"].empty();
        store.Unlock();
        if (cleared) {
            return;
        }
    }
}

}  // namespace

std::string BackingPath(const SimStore& store, const Json::Value& vol)
{
    return store.Path("volumes/" + vol["file"].asString() + ".img");
}

std::string DigestPath(const SimStore& store, const Json::Value& vol)
{
    return store.Path("volumes/" + vol["file"].asString() + ".dig");
}

bool ReleaseDevice(const Json::Value& att, std::string& err)
{
    const std::string dev = att["device"].asString();
    if (att["mode"].asString() == "loop") {
        std::string out;
        int rc = RunProgram({"losetup", "--detach", dev}, out);
        if (rc != 0) {
            err = "losetup --detach " + dev + " exited with " + std::to_string(rc);
            return false;
        }
        return true;
    }
    if (unlink(dev.c_str()) != 0 && errno != ENOENT) {
        err = "cannot remove " + dev + ": " + ErrnoText(errno);
        return false;
    }
    return true;
}

int RunTool(SimStore& store, const std::string& personality, const std::vector<std::string>& args)
{
    Call call;
    std::string err;
    const bool parsed = ParseCall(personality, args, call, err);
    Json::Value record(Json::objectValue);
    record["as"] = personality;
    record["args"] = ArgsJson(args);
    record["op"] = parsed ? call.op : "";
    if (!parsed) {
        store.Lock();
        record["result"] = -1;
        store.RecordCall(record);
        store.Unlock();
        std::cerr << "strata-sim: " << err << std::endl;
        return 2;
    }

    // Count the call and see which faults it meets, then stall outside the lock so a
    // stalled call does not hold up the others.
    store.Lock();
    Json::Value& counters = store.Doc()["counters"];
    const Json::Int64 count = counters.get(call.op, 0).asInt64() + 1;
    counters[call.op] = count;
    Fired fired = MatchFaults(store, call.op, count);
    store.Save();
    store.Unlock();
    if (fired.stallMs > 0) {
        Stall(store, fired.stallMs);
    }

    store.Lock();
    Answer answer = fired.refuse ? Refused(personality, fired) : Perform(store, call);
    if (!fired.refuse) {
        for (auto& kv : answer.keys) {
            if (fired.setStatus && kv.first == "status") {
                kv.second = std::to_string(fired.status);
            }
        }
        for (const auto& drop : fired.dropKeys) {
            KeyValues kept;
            for (const auto& kv : answer.keys) {
                if (kv.first != drop) {
                    kept.push_back(kv);
                }
            }
            answer.keys = kept;
        }
    }
    record["result"] = answer.code;
    store.Save();
    store.RecordCall(record);
    store.Unlock();

    for (const auto& kv : answer.keys) {
        std::cout << kv.first << "=" << kv.second << "\n";
    }
    for (const auto& line : answer.lines) {
        std::cout << line << "\n";
    }
    std::cout.flush();
    return answer.exitStatus;
}

}  // namespace sim
