// "datamover demo": the whole cycle in a fresh temporary installation root
// with the simulated storage (or a Ceph cluster through rbd-tool): full backup, incremental backup after a 5 %
// change, restore and byte comparison, a backup killed half-way and the
// clean-up of its leftovers, then a table of what each step did. Every step
// runs this same program as a child process, exactly as a user would. The
// repository lives in the root, or under a location the user names (a bucket).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include "apps/datamover/commands/DataCommands.h"
#include "apps/datamover/repository/ChunkStore.h"
#include "apps/datamover/repository/GarbageCollector.h"
#include "apps/datamover/repository/backend/OpenStore.h"
#include "apps/datamover/repository/format2/RepoFormat.h"
#include "apps/datamover/output/Console.h"
#include "apps/datamover/session/StorageUrl.h"
#include "apps/datamover/session/Threads.h"
#include "foundation/JsonUtils.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMiB = 1ULL << 20;
constexpr uint64_t kDataOffset = 4096;  // the default data-area offset of storage type 0

struct DemoOptions {
    std::string workdir;
    std::string size = "1G";
    bool keep = false;
    std::string storage = "sim";  // sim, or ceph: a Ceph cluster through rbd-tool
    std::string cephConf;         // the cluster's configuration file (ceph)
    std::string pool = "pool0";   // the cluster's pool (ceph)
    int repoFormat = 3;           // 3: deduplicated, compressed, encrypted chunks; 2: the chain of files
    std::string repoBase;         // where to make the repository (a run's own sub-path); empty: in the root
};

struct Row {
    std::string step;
    std::string bytesRead = "-";
    std::string changed = "-";
    std::string time = "-";
    std::string rate = "-";
    std::string leftovers = "-";
};

class DemoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Runs a program (no shell); standard output and error are collected.
int Run(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr)
{
    char outTmpl[] = "/tmp/dm_demo_out_XXXXXX";
    char errTmpl[] = "/tmp/dm_demo_err_XXXXXX";
    int outFd = ::mkstemp(outTmpl);
    int errFd = ::mkstemp(errTmpl);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    if (rc == 0) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    std::string error;
    std::string text;
    if (out != nullptr) repo::ReadWholeFile(outTmpl, *out, error);
    if (err != nullptr) repo::ReadWholeFile(errTmpl, *err, error);
    ::close(outFd);
    ::close(errFd);
    ::unlink(outTmpl);
    ::unlink(errTmpl);
    if (rc != 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

pid_t Spawn(const std::vector<std::string>& args)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

class Demo {
public:
    Demo(CommandContext& ctx, const DemoOptions& o) : m_ctx(ctx), m_o(o) {}
    ~Demo() { TearDown(); }
    int Run();

private:
    void Layout();
    std::string Sim(const std::vector<std::string>& args);
    // The storage's admin program: the simulator's or the Ceph adapter's (same commands).
    std::string AdminTool() const { return m_o.storage == "ceph" ? "rbd-tool" : "strata-sim"; }
    std::vector<std::string> AdminArgv(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {m_root + "/bin/" + AdminTool(), "--root", m_root, "admin"};
        argv.insert(argv.end(), args.begin(), args.end());
        if (m_o.storage == "ceph") argv.insert(argv.end(), {"--pool", m_o.pool});
        return argv;
    }
    Json::Value Mover(const std::vector<std::string>& args);
    size_t Leftovers();
    bool SameData(const std::string& a, const std::string& b, uint64_t length);
    void TearDown();
    void RemoveRepository();
    void Say(const std::string& text)
    {
        if (!m_ctx.json) std::cerr << "demo: " << text << std::endl;
    }

    CommandContext& m_ctx;
    DemoOptions m_o;
    std::string m_root;
    std::string m_repo;
    bool m_made = false;
};

void Demo::Layout()
{
    const std::string src = m_ctx.root;
    const std::vector<std::pair<std::string, std::string>> scripts = {{"qbctool/qrmQBCTool.sh", "qbctool"},
                                                                      {"bin/security_sudo_qbc_cli.sh", "bin"},
                                                                      {"script/reg_qs.sh", "script"}};
    const std::string tool = AdminTool();
    for (const std::string& need : {std::string("lib/libstrata_plugin-1.0.0.so"), "bin/" + tool,
                                   std::string("conf/datamover.ini")}) {
        if (!fs::exists(src + "/" + need)) {
            throw DemoError(src + "/" + need + " is missing: run the demo from an installed root (make install)");
        }
    }
    std::string base = m_o.workdir.empty() ? (std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp")
                                           : m_o.workdir;
    std::string tmpl = base + "/datamover-demo-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) throw DemoError("cannot create a directory under " + base);
    m_root = buf.data();
    m_made = true;
    // A named location gets a sub-path of this run's name, so runs never meet there.
    std::string where = m_o.repoBase;
    while (where.size() > 1 && where.back() == '/') where.pop_back();
    m_repo = where.empty() ? m_root + "/repo" : where + "/" + fs::path(m_root).filename().string();
    for (const char* d : {"lib", "bin", "qbctool", "script", "conf", "var/log", "var/cache", "var/strata-sim"}) {
        fs::create_directories(m_root + "/" + d);
    }
    for (const auto& entry : fs::directory_iterator(src + "/lib")) {
        if (entry.path().filename().string().find(".so") != std::string::npos) {
            fs::create_symlink(fs::canonical(entry.path()), m_root + "/lib/" + entry.path().filename().string());
        }
    }
    fs::create_symlink(fs::canonical(src + "/bin/" + tool), m_root + "/bin/" + tool);
    fs::create_symlink(fs::canonical("/proc/self/exe"), m_root + "/bin/datamover");
    for (const auto& s : scripts) {
        fs::copy_file(src + "/" + s.first, m_root + "/" + s.first);
        fs::permissions(m_root + "/" + s.first, fs::perms(0755));
    }
    // The project's configuration, with the agent stand-in inside this root.
    std::ifstream in(src + "/conf/datamover.ini");
    std::ostringstream conf;
    std::string line;
    while (std::getline(in, line)) {
        conf << line << "\n";
        if (line == "[General]") conf << "StrataAgentPath = " << m_root << "/opt/strata/agent/bin/strata_agent\n";
    }
    std::ofstream(m_root + "/conf/datamover.ini") << conf.str();
    // On Ceph the adapter writes the root's storage configuration and its own tool scripts.
    if (m_o.storage == "ceph") Sim({"configure", "--conf", m_o.cephConf});
}

std::string Demo::Sim(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = AdminArgv(args);
    std::string out, err;
    if (::Run(argv, &out, &err) != 0) {
        throw DemoError(AdminTool() + " admin " + args[0] + " failed: " + FirstLine(err));
    }
    return out;
}

Json::Value Demo::Mover(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {m_root + "/bin/datamover", "--root", m_root, "--json"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out, err;
    int rc = ::Run(argv, &out, &err);
    Json::Value v;
    CJsonUtils::StringToJson(FirstLine(out), v);
    if (rc != 0) {
        const Json::Value& message = v.isObject() ? v["error"]["message"] : Json::Value();
        std::string why = message.isString() ? message.asString() : FirstLine(err);
        throw DemoError("datamover " + args[0] + " failed: " + why);
    }
    return v;
}

size_t Demo::Leftovers()
{
    Json::Value state;
    CJsonUtils::StringToJson(Sim({"state"}), state);
    size_t n = state["attachments"].size() + state["registrations"].size();
    for (const Json::Value& v : state["volumes"]) n += v["kind"].asString() == "bitmap" ? 1 : 0;
    return n;
}

// Best effort, like the rest of the teardown: what cannot be removed stays, and is named.
void Demo::RemoveRepository()
{
    try {
        if (!repo3::IsRemoteLocation(m_repo)) {
            fs::remove_all(m_repo);
            return;
        }
        std::unique_ptr<repo3::ObjectStore> store = repo3::OpenObjectStore(m_repo);
        for (const std::string& name : store->List("")) store->Delete(name);
    } catch (const std::exception& e) {
        Say("the repository " + m_repo + " was not removed: " + e.what());
    }
}

bool Demo::SameData(const std::string& a, const std::string& b, uint64_t length)
{
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    fa.seekg(static_cast<std::streamoff>(kDataOffset));
    fb.seekg(static_cast<std::streamoff>(kDataOffset));
    std::vector<char> ba(4 * kMiB), bb(4 * kMiB);
    for (uint64_t done = 0; done < length;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(ba.size(), length - done));
        fa.read(ba.data(), static_cast<std::streamsize>(n));
        fb.read(bb.data(), static_cast<std::streamsize>(n));
        if (!fa || !fb || std::memcmp(ba.data(), bb.data(), n) != 0) return false;
        done += n;
    }
    return true;
}

void Demo::TearDown()
{
    if (!m_made) return;
    m_made = false;
    std::string out;
    ::Run(AdminArgv({"teardown"}), &out, &out);
    // A cluster outlives the demo's root: take its images off it too (best effort; absent ones fail).
    if (m_o.storage == "ceph") {
        for (const char* snap : {"snap-1", "snap-2", "snap-3"}) {
            ::Run(AdminArgv({"snapshot", "delete", "demo-vol", snap}), &out, &out);
        }
        for (const char* vol : {"demo-vol", "demo-restore"}) ::Run(AdminArgv({"volume", "delete", vol}), &out, &out);
    }
    if (!m_o.keep) {
        std::error_code ec;
        fs::remove_all(m_root, ec);
        if (!m_o.repoBase.empty()) RemoveRepository();
    }
}

std::string Seconds(double s)
{
    std::ostringstream o;
    o << std::fixed << std::setprecision(1) << s << " s";
    return o.str();
}

std::string Rate(uint64_t bytes, double seconds)
{
    return seconds > 0 ? dmtask::HumanBytes(static_cast<uint64_t>(static_cast<double>(bytes) / seconds)) + "/s"
                       : "-";
}

int Demo::Run()
{
    uint64_t size = 0;
    if (!dmtask::ParseSize(m_o.size, size) || size < 64 * kMiB || size > (64ULL << 30) || size % kMiB != 0) {
        PrintError(m_ctx, dmout::ErrorCode::BadArgument, "bad --size '" + m_o.size + "': whole MiB from 64M to 64G");
        return 2;
    }
    if (m_o.repoFormat == 2 && repo3::IsRemoteLocation(m_o.repoBase)) {
        PrintError(m_ctx, dmout::ErrorCode::BadArgument,
                   "--repo-format 2 keeps its repository on a local disk; a repository in a bucket is format 3");
        return 2;
    }
    if (m_o.storage == "ceph" && m_o.cephConf.empty()) {
        PrintError(m_ctx, dmout::ErrorCode::BadArgument,
                   "--storage ceph needs --ceph-conf (the cluster's configuration file)");
        return 2;
    }
    uint64_t started = dmtask::NowMicros();
    std::vector<Row> rows;
    bool identical = false;
    size_t leftBefore = 0, leftAfter = 0;
    uint64_t changedBytes = 0;
    try {
        Layout();
        Say("root " + m_root + " on " + (m_o.storage == "ceph" ? "Ceph (" + m_o.cephConf + ", pool " + m_o.pool + ")" : std::string("the simulator")));
        Sim({"agent", "install"});
        Sim({"agent", "start"});
        const std::string volumeId = boost::uuids::to_string(boost::uuids::random_generator()());
        const std::string volSize = std::to_string(size);
        Sim({"volume", "create", "demo-vol", volSize});
        // Varied data: random stretches, repeated patterns and holes that stay zero.
        uint64_t eighth = size / 8;
        Sim({"write", "demo-vol", "--offset", "0", "--random", "1", "--length", std::to_string(2 * eighth)});
        Sim({"write", "demo-vol", "--offset", std::to_string(2 * eighth), "--pattern", "0x5a", "--length",
             std::to_string(eighth / 2)});
        Sim({"write", "demo-vol", "--offset", std::to_string(3 * eighth), "--random", "2", "--length",
             std::to_string(2 * eighth)});
        Sim({"write", "demo-vol", "--offset", std::to_string(6 * eighth), "--random", "3", "--length",
             std::to_string(eighth + eighth / 2)});
        Sim({"write", "demo-vol", "--offset", std::to_string(7 * eighth + eighth / 2), "--pattern", "0xc3",
             "--length", std::to_string(eighth / 2)});
        Sim({"snapshot", "create", "demo-vol", "snap-1"});
        const std::string url = "strata://127.0.0.1/" + m_o.pool + "/";
        if (m_o.repoFormat == 3) {
            // An encrypted repository; its passphrase in a file of the root that
            // only its owner reads, named to every step by the environment.
            const std::string passphrase = m_root + "/conf/demo-passphrase";
            const std::string secret = boost::uuids::to_string(boost::uuids::random_generator()());
            int fd = ::open(passphrase.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            bool written = fd >= 0 && ::write(fd, secret.data(), secret.size()) == static_cast<ssize_t>(secret.size());
            if (fd >= 0) ::close(fd);
            if (!written) throw DemoError("cannot write " + passphrase);
            ::setenv("DATAMOVER_PASSWORD_FILE", passphrase.c_str(), 1);
            Say("an encrypted format-3 repository at " + m_repo);
            Mover({"init", "--repo", m_repo, "--encryption", "repokey"});
        } else {
            // A backup into a new path would make format 3.
            Say("a format-2 repository at " + m_repo);
            Mover({"init", "--repo", m_repo, "--format", "2"});
        }
        Say("full backup of snap-1");
        Json::Value full = Mover({"backup", "--volume-id", volumeId, "--snapshot-url", url + "snap-1", "--repo",
                                  m_repo, "--volume-size", volSize});
        rows.push_back(Row{"full backup", dmtask::HumanBytes(full["bytes_read"].asUInt64()), "-",
                           Seconds(full["seconds"].asDouble()),
                           Rate(full["bytes_read"].asUInt64(), full["seconds"].asDouble()), "-"});

        // About 5 %: ten scattered stretches of size / 200 each.
        uint64_t piece = size / 200;
        for (int i = 0; i < 10; ++i) {
            uint64_t offset = static_cast<uint64_t>(i) * (size / 10) + 3 * kMiB + 12345;
            Sim({"write", "demo-vol", "--offset", std::to_string(offset), "--random", std::to_string(100 + i),
                 "--length", std::to_string(piece)});
            changedBytes += piece;
        }
        Sim({"snapshot", "create", "demo-vol", "snap-2"});
        Say("incremental backup of snap-2");
        Json::Value incr = Mover({"backup", "--volume-id", volumeId, "--snapshot-url", url + "snap-2",
                                  "--parent-snapshot", "snap-1", "--repo", m_repo});
        rows.push_back(Row{"incremental backup", dmtask::HumanBytes(incr["bytes_read"].asUInt64()),
                           dmtask::HumanBytes(changedBytes), Seconds(incr["seconds"].asDouble()),
                           Rate(incr["bytes_read"].asUInt64(), incr["seconds"].asDouble()), "-"});

        Say("restore of the incremental backup into demo-restore");
        Sim({"volume", "create", "demo-restore", volSize});
        Json::Value restored = Mover({"restore", "--repo", m_repo, "--backup", incr["backup_id"].asString(),
                                      "--volume-url", url + "demo-restore"});
        identical = SameData(FirstLine(Sim({"path", "snap-2"})), FirstLine(Sim({"path", "demo-restore"})),
                             size - kDataOffset);
        rows.push_back(Row{m_o.repoFormat == 3 ? "restore (incremental)" : "restore (chain of 2)", dmtask::HumanBytes(restored["bytes_written"].asUInt64()), "-",
                           Seconds(restored["seconds"].asDouble()),
                           Rate(restored["bytes_written"].asUInt64(), restored["seconds"].asDouble()), "-"});

        Say("a backup killed half-way, then clean");
        Sim({"write", "demo-vol", "--offset", "0", "--random", "200", "--length", std::to_string(piece)});
        Sim({"snapshot", "create", "demo-vol", "snap-3"});
        // Chunks only the new snapshot has: when one is stored, the backup is under way.
        std::unique_ptr<repo3::ObjectStore> store;
        if (m_o.repoFormat == 3) store = repo3::OpenObjectStore(m_repo);
        const size_t chunksBefore = store ? store->List(repo3::kChunksPrefix).size() : 0;
        uint64_t killStart = dmtask::NowMicros();
        pid_t pid = Spawn({m_root + "/bin/datamover", "--root", m_root, "backup", "--volume-id", volumeId,
                           "--snapshot-url", url + "snap-3", "--repo", m_repo, "--volume-size", volSize});
        if (pid < 0) throw DemoError("cannot start the backup to kill");
        // Kill it once it has begun to store blocks (after the attach), half-way.
        bool reading = false;
        int status = 0;
        bool exited = false;
        for (int i = 0; i < 600 && !reading && !exited; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            exited = ::waitpid(pid, &status, WNOHANG) == pid;
            if (m_o.repoFormat == 3) {
                // Its claim is held and new chunks are in: the index never will be.
                reading = !store->List(repo3::kPendingPrefix).empty() &&
                          store->List(repo3::kChunksPrefix).size() > chunksBefore;
                continue;
            }
            repo::Repository r;
            std::string e;
            if (r.Open(m_repo, false, e)) {
                for (const repo::PartialBackup& p : r.ListPartial()) {
                    reading = reading || fs::exists(p.dir + "/" + repo::kFullDataFile);
                }
            }
        }
        if (!exited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        // A backup that ended before the kill is said to have, not shown as killed.
        const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        double killSeconds = static_cast<double>(dmtask::NowMicros() - killStart) / 1e6;
        leftBefore = Leftovers();
        Json::Value verify = Mover({"verify", "--repo", m_repo});
        // Format 3 has no partial backup to see: the killed one left only chunks no index names.
        if (!verify["ok"].asBool() || (m_o.repoFormat == 2 && killed && verify["incomplete"].size() != 1)) {
            throw DemoError("the repository does not verify after the kill");
        }
        Json::Value clean = Mover({"clean", "--repo", m_repo});
        leftAfter = Leftovers();
        rows.push_back(Row{killed ? "backup killed (SIGKILL)" : "backup ended before kill", killed ? "partial" : "all",
                           "-", Seconds(killSeconds), "-", std::to_string(leftBefore) + " before clean"});
        rows.push_back(Row{"clean", "-", "-", "-", "-", std::to_string(leftAfter)});
        Json::Value final = Mover({"verify", "--repo", m_repo});
        if (!final["ok"].asBool() || (m_o.repoFormat == 2 && final["incomplete"].size() != 0)) {
            throw DemoError("the repository does not verify after clean");
        }
    } catch (const std::exception& e) {
        PrintError(m_ctx, dmout::ErrorCode::Internal, std::string("demo: ") + e.what());
        return 1;
    }
    double total = static_cast<double>(dmtask::NowMicros() - started) / 1e6;
    bool ok = identical && leftAfter == 0;
    if (m_ctx.json) {
        Json::Value out(Json::objectValue);
        out["ok"] = ok;
        out["restore_identical"] = identical;
        out["repository"] = m_repo;
        out["leftovers_before_clean"] = static_cast<Json::UInt>(leftBefore);
        out["leftovers_after_clean"] = static_cast<Json::UInt>(leftAfter);
        out["seconds"] = total;
        Json::Value table(Json::arrayValue);
        for (const Row& r : rows) {
            Json::Value item(Json::objectValue);
            item["step"] = r.step;
            item["bytes_read"] = r.bytesRead;
            item["changed_bytes"] = r.changed;
            item["time"] = r.time;
            item["throughput"] = r.rate;
            item["leftovers"] = r.leftovers;
            table.append(item);
        }
        out["steps"] = table;
        dmtask::PrintJson(out);
    } else {
        std::cout << std::left << std::setw(26) << "step" << std::setw(13) << "bytes read" << std::setw(15)
                  << "changed bytes" << std::setw(10) << "time" << std::setw(14) << "throughput"
                  << "leftovers after clean\n";
        for (const Row& r : rows) {
            std::cout << std::left << std::setw(26) << r.step << std::setw(13) << r.bytesRead << std::setw(15)
                      << r.changed << std::setw(10) << r.time << std::setw(14) << r.rate << r.leftovers << "\n";
        }
        std::cout << "restored volume " << (identical ? "identical to" : "DIFFERS from") << " snap-2; "
                  << "leftovers after clean: " << leftAfter << "; demo took " << Seconds(total) << std::endl;
    }
    if (!ok) PrintError(m_ctx, dmout::ErrorCode::Internal,
                        identical ? "leftovers remain after clean" : "the restored volume differs");
    return ok ? 0 : 1;
}

}  // namespace

void RegisterDemoCommand(CLI::App& app, CommandContext& ctx)
{
    auto opts = std::make_shared<DemoOptions>();
    CLI::App* sub = app.add_subcommand("demo", "Run the whole cycle against the simulated storage (or Ceph) in a "
                                               "fresh temporary root and print what each step did");
    sub->add_option("--workdir", opts->workdir, "Where to make the temporary root (default: $TMPDIR or /tmp)");
    sub->add_option("--size", opts->size, "Volume size")->capture_default_str();
    sub->add_flag("--keep", opts->keep, "Keep the temporary root for inspection");
    sub->add_option("--storage", opts->storage, "sim (the simulator) or ceph (a Ceph cluster, needs --ceph-conf)")
        ->check(CLI::IsMember({"sim", "ceph"}))
        ->capture_default_str();
    sub->add_option("--ceph-conf", opts->cephConf, "The Ceph cluster's configuration file (scripts/ceph-cluster.sh conf)")
        ->check(CLI::ExistingFile);
    sub->add_option("--repo-format", opts->repoFormat,
                    "Repository format: 3 (deduplicated, compressed, encrypted) or 2 (a chain of files)")
        ->check(CLI::IsMember({2, 3}))
        ->capture_default_str();
    sub->add_option("--repo", opts->repoBase,
                    "Make the repository under this location instead of the temporary root: a directory, or "
                    "s3://HOST[:PORT]/BUCKET[/PREFIX] (s3+http:// for plain HTTP; credentials as for any S3 "
                    "repository); each run takes a sub-path of its own and removes it unless --keep");
    sub->add_option("--pool", opts->pool, "The pool of the storage URLs (on Ceph: an existing RBD pool)")
        ->capture_default_str();
    sub->callback([&ctx, opts]() {
        Demo demo(ctx, *opts);
        ctx.exitStatus = demo.Run();
    });
}
