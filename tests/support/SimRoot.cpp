#include "tests/support/SimRoot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <dirent.h>

#include "host/ConfigReader.h"
#include "host/RootPath.h"

extern char** environ;

namespace simtest {
namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& data, mode_t mode = 0644)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    out.close();
    chmod(path.c_str(), mode);
}

void Mkdir(const std::string& path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    }
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    remove(path);
    return 0;
}

// The project's configuration with the extra keys appended: the host's reader
// takes a key's last value, and sections may repeat.
using HostConfig = std::map<std::pair<std::string, std::string>, std::string>;
std::string WithOverrides(const std::string& base, const HostConfig& extra)
{
    std::string out = base + "\n";
    for (const auto& kv : extra) {
        out += "[" + kv.first.first + "]\n" + kv.first.second + " = " + kv.second + "\n";
    }
    return out;
}

uint64_t U64(const Json::Value& v) { return v.isNull() ? 0 : v.asUInt64(); }

}  // namespace

std::vector<std::string> SimState::Bitmaps() const
{
    std::vector<std::string> out;
    for (const auto& kv : volumes) {
        if (kv.second.kind == "bitmap") {
            out.push_back(kv.first);
        }
    }
    return out;
}

// ---- the root -------------------------------------------------------------------------------

SimRoot::SimRoot() : SimRoot(Options()) {}

SimRoot::SimRoot(const Options& options)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/simroot.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
    }
    m_root = buf.data();
    try {
        Build(options);
    } catch (...) {
        nftw(m_root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        throw;
    }
}

void SimRoot::Build(const Options& options)
{
    for (const char* d : {"lib", "bin", "qbctool", "script", "conf", "var", "var/log", "var/cache",
                          "var/strata-sim"}) {
        Mkdir(m_root + "/" + d);
    }
    if (symlink(DM_STRATA_SIM_BINARY, SimBinary().c_str()) != 0) {
        throw std::runtime_error("cannot link strata-sim: " + std::string(std::strerror(errno)));
    }
    const std::string scripts = DM_SIM_SCRIPTS_DIR;
    WriteFile(QrmTool(), ReadFile(scripts + "/qrmQBCTool.sh"), 0755);
    WriteFile(CliTool(), ReadFile(scripts + "/security_sudo_qbc_cli.sh"), 0755);
    WriteFile(RegScript(), ReadFile(scripts + "/reg_qs.sh"), 0755);
    // Whatever shared libraries the build produced (plug-ins, host library).
    if (DIR* dir = opendir(DM_BUILD_LIB_DIR)) {
        while (dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name.find(".so") != std::string::npos) {
                std::string target = std::string(DM_BUILD_LIB_DIR) + "/" + name;
                if (symlink(target.c_str(), (m_root + "/lib/" + name).c_str()) != 0) {
                    closedir(dir);
                    throw std::runtime_error("cannot link " + target);
                }
            }
        }
        closedir(dir);
    }
    auto hostConfig = options.hostConfig;
    hostConfig[{kAgentPathSection, kAgentPathKey}] = AgentProgram();
    WriteFile(ConfigFile(), WithOverrides(ReadFile(DM_CONF_FILE), hostConfig));

    for (const auto& kv : options.simConfig) {
        SetSimConfig(kv.first, kv.second);
    }
    if (options.installAgent || options.startAgent) {
        Admin({"agent", "install"});
    }
    if (options.startAgent) {
        StartAgent();
    }
    if (options.pointHost) {
        m_previousConfig = ConfigReader::GetConfigFile();
        SetRootPath(m_root);
        ConfigReader::SetConfigFile(ConfigFile());
        m_pointedHost = true;
    }
}

SimRoot::~SimRoot()
{
    RunAdmin({"teardown"});
    if (m_pointedHost) {
        SetRootPath("");
        ConfigReader::SetConfigFile(m_previousConfig);
    }
    nftw(m_root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

int SimRoot::RunAdmin(const std::vector<std::string>& args, std::string* out, std::string* err) const
{
    std::vector<std::string> argv = {SimBinary(), "--root", m_root, "admin"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, out, err);
}

std::string SimRoot::Admin(const std::vector<std::string>& args) const
{
    std::string out;
    std::string err;
    int rc = RunAdmin(args, &out, &err);
    if (rc != 0) {
        std::string cmd;
        for (const auto& a : args) {
            cmd += " " + a;
        }
        throw std::runtime_error("strata-sim admin" + cmd + " exited with " + std::to_string(rc) + ": " + err);
    }
    return out;
}

void SimRoot::CreateVolume(const std::string& name, uint64_t size) const
{
    Admin({"volume", "create", name, std::to_string(size)});
}

void SimRoot::DeleteVolume(const std::string& name) const { Admin({"volume", "delete", name, "--force"}); }

void SimRoot::Write(const std::string& volume, uint64_t offset, const std::string& bytes) const
{
    std::string path = m_root + "/var/write.XXXXXX";
    std::vector<char> buf(path.begin(), path.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    WriteFile(buf.data(), bytes);
    try {
        Admin({"write", volume, "--offset", std::to_string(offset), "--file", buf.data()});
    } catch (...) {
        unlink(buf.data());
        throw;
    }
    unlink(buf.data());
}

void SimRoot::WritePattern(const std::string& volume, uint64_t offset, uint64_t length, uint8_t byte) const
{
    Admin({"write", volume, "--offset", std::to_string(offset), "--pattern", std::to_string(byte), "--length",
           std::to_string(length)});
}

void SimRoot::WriteRandom(const std::string& volume, uint64_t offset, uint64_t length, uint64_t seed) const
{
    Admin({"write", volume, "--offset", std::to_string(offset), "--random", std::to_string(seed), "--length",
           std::to_string(length)});
}

std::string SimRoot::BackingPath(const std::string& name) const
{
    std::string out = Admin({"path", name});
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

std::string SimRoot::Read(const std::string& name, uint64_t offset, uint64_t length) const
{
    std::ifstream in(BackingPath(name), std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open the backing file of " + name);
    }
    std::string data(length, '\0');
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(&data[0], static_cast<std::streamsize>(length));
    data.resize(static_cast<size_t>(in.gcount()));
    return data;
}

void SimRoot::Snapshot(const std::string& volume, const std::string& snapshot) const
{
    Admin({"snapshot", "create", volume, snapshot});
}

void SimRoot::DeleteSnapshot(const std::string& snapshot) const { Admin({"snapshot", "delete", snapshot}); }

void SimRoot::SetSimConfig(const std::string& key, const std::string& value) const
{
    Admin({"config", "set", key, value});
}

void SimRoot::InjectFault(const SimFault& f) const
{
    std::vector<std::string> args = {"fault", "add", "--op", f.op, "--nth", std::to_string(f.nth)};
    if (f.persistent) {
        args.push_back("--persistent");
    }
    switch (f.kind) {
    case SimFault::Kind::Code: args.insert(args.end(), {"--code", std::to_string(f.code)}); break;
    case SimFault::Kind::Busy: args.push_back("--busy"); break;
    case SimFault::Kind::DropKey: args.insert(args.end(), {"--drop", f.key}); break;
    case SimFault::Kind::Garbage: args.push_back("--garbage"); break;
    case SimFault::Kind::Stall: args.insert(args.end(), {"--stall", std::to_string(f.stallMs)}); break;
    case SimFault::Kind::Status: args.insert(args.end(), {"--status", std::to_string(f.status)}); break;
    }
    Admin(args);
}

void SimRoot::ClearFaults() const { Admin({"fault", "clear"}); }

namespace {
Json::Value Parse(const std::string& text)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) {
        throw std::runtime_error("strata-sim printed invalid JSON: " + errors);
    }
    return v;
}
}  // namespace

SimState SimRoot::State() const
{
    SimState s;
    s.raw = Parse(Admin({"state"}));
    for (const auto& v : s.raw["volumes"]) {
        SimVolume vol;
        vol.name = v["name"].asString();
        vol.kind = v["kind"].asString();
        vol.size = U64(v["size"]);
        vol.parent = v.get("parent", "").asString();
        vol.from = v.get("from", "").asString();
        vol.blockSize = U64(v["block_size"]);
        vol.backing = v["backing"].asString();
        s.volumes[vol.name] = vol;
    }
    for (const auto& a : s.raw["attachments"]) {
        SimAttachment att;
        att.name = a["name"].asString();
        att.device = a["device"].asString();
        att.mode = a["mode"].asString();
        s.attachments[att.name] = att;
    }
    for (const auto& r : s.raw["registrations"]) {
        s.registrations.push_back({r["device"].asString(), r["resolved"].asString(), r["volume"].asString()});
    }
    for (const auto& op : s.raw["counters"].getMemberNames()) {
        s.calls[op] = s.raw["counters"][op].asInt();
    }
    s.agentRunning = s.raw["agent"]["running"].asBool();
    return s;
}

std::vector<SimCall> SimRoot::Calls() const
{
    std::vector<SimCall> out;
    for (const auto& c : Parse(Admin({"calls"}))) {
        SimCall call;
        call.personality = c["as"].asString();
        for (const auto& a : c["args"]) {
            call.args.push_back(a.asString());
        }
        call.op = c["op"].asString();
        call.result = c["result"].asInt();
        out.push_back(call);
    }
    return out;
}

void SimRoot::StartAgent() const { Admin({"agent", "start"}); }
void SimRoot::StopAgent() const { Admin({"agent", "stop"}); }
void SimRoot::UninstallAgent() const { Admin({"agent", "uninstall"}); }

bool SimRoot::AgentRunning() const
{
    return Parse(Admin({"agent", "status"}))["running"].asBool();
}

bool SimRoot::LoopDevicesUsable()
{
    static int usable = -1;
    if (usable >= 0) {
        return usable == 1;
    }
    usable = 0;
    char path[] = "/tmp/simloop.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        return false;
    }
    if (ftruncate(fd, 1 << 20) == 0) {
        std::string out;
        if (RunProgram({"losetup", "--find", "--show", path}, &out) == 0 && out.compare(0, 5, "/dev/") == 0) {
            while (!out.empty() && out.back() == '\n') {
                out.pop_back();
            }
            int dev = open(out.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
            usable = dev >= 0 ? 1 : 0;
            if (dev >= 0) {
                close(dev);
            }
            RunProgram({"losetup", "--detach", out});
        }
    }
    close(fd);
    unlink(path);
    return usable == 1;
}

namespace {
std::string Drain(int fd)
{
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return text;
        }
    }
}
}  // namespace

int SimRoot::RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        return -1;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    // Both pipes drained at once, so a child filling one never blocks on the other.
    std::string errText;
    std::thread errReader([&] { errText = Drain(errPipe[0]); });
    std::string outText = Drain(outPipe[0]);
    errReader.join();
    close(outPipe[0]);
    close(errPipe[0]);
    if (rc != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (out != nullptr) {
        *out = outText;
    }
    if (err != nullptr) {
        *err = errText;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> SimRoot::Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        out.push_back(line);
    }
    return out;
}

}  // namespace simtest
