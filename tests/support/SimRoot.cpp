#include "tests/support/SimRoot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "host/ConfigReader.h"
#include "host/RootPath.h"

extern char** environ;
namespace fs = std::filesystem;

namespace simtest {
namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << data)) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string Chomp(std::string s)
{
    while (!s.empty() && s.back() == '\n') {
        s.pop_back();
    }
    return s;
}

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

uint64_t U64(const Json::Value& v) { return v.isNull() ? 0 : v.asUInt64(); }

// Reads a pipe to its end.
std::string Drain(int fd)
{
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(fd);
    return text;
}

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

SimRoot::SimRoot() : SimRoot(Options()) {}

SimRoot::SimRoot(const Options& options)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/simroot.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    }
    m_root = pattern;
    try {
        Build(options);
    } catch (...) {
        std::error_code ec;
        fs::remove_all(m_root, ec);
        throw;
    }
}

void SimRoot::Build(const Options& options)
{
    for (const char* d : {"lib", "bin", "qbctool", "script", "conf", "var/log", "var/cache", "var/strata-sim"}) {
        fs::create_directories(m_root + "/" + d);
    }
    fs::create_symlink(DM_STRATA_SIM_BINARY, SimBinary());
    // Copies, not links: the scripts find the root from their own location.
    const std::string scripts = DM_SIM_SCRIPTS_DIR;
    fs::copy_file(scripts + "/qrmQBCTool.sh", QrmTool());
    fs::copy_file(scripts + "/security_sudo_qbc_cli.sh", CliTool());
    fs::copy_file(scripts + "/reg_qs.sh", RegScript());
    for (const std::string& tool : {QrmTool(), CliTool(), RegScript()}) {
        fs::permissions(tool, fs::perms(0755));
    }
    // Whatever shared libraries the build produced (plug-ins, host library).
    for (const auto& e : fs::directory_iterator(DM_BUILD_LIB_DIR)) {
        if (e.path().filename().string().find(".so") != std::string::npos) {
            fs::create_symlink(e.path(), m_root + "/lib/" + e.path().filename().string());
        }
    }
    // The project's configuration with the extra keys appended: the host's reader
    // takes a key's last value, and sections may repeat.
    auto hostConfig = options.hostConfig;
    hostConfig[{kAgentPathSection, kAgentPathKey}] = AgentProgram();
    std::string conf = ReadFile(DM_CONF_FILE) + "\n";
    for (const auto& kv : hostConfig) {
        conf += "[" + kv.first.first + "]\n" + kv.first.second + " = " + kv.second + "\n";
    }
    WriteFile(ConfigFile(), conf);

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
    std::error_code ec;
    fs::remove_all(m_root, ec);
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
    if (int rc = RunAdmin(args, &out, &err)) {
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
    // Any bytes, NULs included, so they go through a file.
    const std::string path = m_root + "/var/write.tmp";
    WriteFile(path, bytes);
    struct Remove {
        const std::string& p;
        ~Remove() { unlink(p.c_str()); }
    } remove{path};
    Admin({"write", volume, "--offset", std::to_string(offset), "--file", path});
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

std::string SimRoot::BackingPath(const std::string& name) const { return Chomp(Admin({"path", name})); }

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

SimState SimRoot::State() const
{
    SimState s;
    s.raw = Parse(Admin({"state"}));
    for (const auto& v : s.raw["volumes"]) {
        s.volumes[v["name"].asString()] = {v["name"].asString(),        v["kind"].asString(),
                                           U64(v["size"]),              v.get("parent", "").asString(),
                                           v.get("from", "").asString(), U64(v["block_size"]),
                                           v["backing"].asString()};
    }
    for (const auto& a : s.raw["attachments"]) {
        s.attachments[a["name"].asString()] = {a["name"].asString(), a["device"].asString(), a["mode"].asString()};
    }
    for (const auto& r : s.raw["registrations"]) {
        s.registrations.push_back({r["device"].asString(), r["resolved"].asString(), r["volume"].asString()});
    }
    for (const auto& op : s.raw["counters"].getMemberNames()) {
        s.calls[op] = s.raw["counters"][op].asInt();
    }
    return s;
}

std::vector<SimCall> SimRoot::Calls() const
{
    std::vector<SimCall> out;
    for (const auto& c : Parse(Admin({"calls"}))) {
        SimCall call{c["as"].asString(), {}, c["op"].asString(), c["result"].asInt()};
        for (const auto& a : c["args"]) {
            call.args.push_back(a.asString());
        }
        out.push_back(call);
    }
    return out;
}

void SimRoot::StartAgent() const { Admin({"agent", "start"}); }
void SimRoot::StopAgent() const { Admin({"agent", "stop"}); }
void SimRoot::UninstallAgent() const { Admin({"agent", "uninstall"}); }
bool SimRoot::AgentRunning() const { return Parse(Admin({"agent", "status"}))["running"].asBool(); }

bool SimRoot::LoopDevicesUsable()
{
    // Asked once per process: attach a small file and open the device for direct reads.
    static const bool usable = [] {
        char path[] = "/tmp/simloop.XXXXXX";
        int fd = mkstemp(path);
        std::string dev;
        bool ok = fd >= 0 && ftruncate(fd, 1 << 20) == 0 &&
                  RunProgram({"losetup", "--find", "--show", path}, &dev) == 0 && dev.compare(0, 5, "/dev/") == 0;
        if (ok) {
            dev = Chomp(dev);
            int d = open(dev.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
            ok = d >= 0 && close(d) == 0;
            RunProgram({"losetup", "--detach", dev});
        }
        if (fd >= 0) {
            close(fd);
            unlink(path);
        }
        return ok;
    }();
    return usable;
}

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
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

}  // namespace simtest
