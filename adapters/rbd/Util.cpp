#include "Util.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <iterator>

extern char** environ;

namespace rbdtool {

int RunProgram(const std::vector<std::string>& args, std::string* out)
{
    return RunProgramIn(args, out, std::string(), {});
}

int RunProgramIn(const std::vector<std::string>& args, std::string* out, const std::string& cwd,
                 const std::vector<std::string>& env)
{
    int fds[2] = {-1, -1};
    if (out != nullptr && ::pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    }
    // rbd-fuse stays as a daemon: it must not keep the caller's descriptors (a task's lock file
    // held by it would make a killed task look alive to the leftover cleaning). After the dup2s,
    // which need the pipe still open.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (out != nullptr) {
        ::close(fds[1]);
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
        ::close(fds[0]);
    }
    if (rc != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string Hex(const std::string& s)
{
    static const char digits[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) {
        h += digits[c >> 4];
        h += digits[c & 15];
    }
    return h;
}

std::string ShortHash(const std::string& s, size_t chars)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(s.data(), s.size(), md, &len, EVP_sha256(), nullptr);
    std::string h = Hex(std::string(reinterpret_cast<const char*>(md), len));
    return h.substr(0, chars);
}

void CrashPoint(const char* name)
{
    // "POINT" dies every time; "POINT@FILE" only while FILE can be created (once).
    const char* at = std::getenv("RBD_TOOL_CRASH_AT");
    if (at == nullptr) return;
    const std::string v = at;
    const size_t sep = v.find('@');
    if (v.substr(0, sep) != name) return;
    if (sep != std::string::npos) {
        int fd = ::open(v.substr(sep + 1).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return;
        ::close(fd);
    }
    ::kill(::getpid(), SIGKILL);
}

FileLock::FileLock(const std::string& dir, const std::string& name) : m_path(dir + "/" + name + ".lock")
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    for (int tries = 0; tries < 100; ++tries) {
        m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) return;
        struct stat held{}, named{};
        if (::flock(m_fd, LOCK_EX) == 0 && ::fstat(m_fd, &held) == 0 && ::stat(m_path.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            return;
        }
        // The holder before us removed the file: lock the one the path names now.
        ::close(m_fd);
        m_fd = -1;
    }
}

void FileLock::Remove()
{
    if (m_fd >= 0) ::unlink(m_path.c_str());
}

FileLock::~FileLock()
{
    if (m_fd >= 0) ::close(m_fd);
}

bool ProcessAlive(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(in, line)) return false;
    const size_t close = line.rfind(')');  // the command name may hold blanks
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

std::vector<int> ProcessesWithArg(const std::string& arg)
{
    std::vector<int> pids;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(e.path() / "cmdline", std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream args(all);
        for (std::string a; std::getline(args, a, '\0');) {
            if (a == arg) {
                const int pid = std::atoi(name.c_str());
                if (ProcessAlive(pid)) pids.push_back(pid);
                break;
            }
        }
    }
    return pids;
}

namespace {
// /proc/mounts escapes blanks, tabs, newlines and backslashes as octal.
std::string Unescape(const std::string& s)
{
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            r += static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            r += s[i];
        }
    }
    return r;
}

std::vector<std::pair<std::string, std::string>> Mounts()
{
    std::vector<std::pair<std::string, std::string>> m;
    std::ifstream in("/proc/mounts");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        std::string dev, point, type;
        l >> dev >> point >> type;
        m.emplace_back(Unescape(point), type);
    }
    return m;
}
}  // namespace

bool IsMounted(const std::string& mountPoint)
{
    for (const auto& m : Mounts()) {
        if (m.first == mountPoint) return true;
    }
    return false;
}

std::vector<std::string> FuseMountsUnder(const std::string& dir)
{
    std::vector<std::string> r;
    for (const auto& m : Mounts()) {
        if (m.second.rfind("fuse", 0) == 0 && m.first.rfind(dir + "/", 0) == 0) r.push_back(m.first);
    }
    return r;
}

}  // namespace rbdtool
