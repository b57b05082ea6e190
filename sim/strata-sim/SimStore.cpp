#include "SimStore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

std::string ErrnoText(int err)
{
    char buf[256];
    return std::string(strerror_r(err, buf, sizeof(buf)));
}

void MakeDirs(const std::string& path)
{
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    if (!path.empty() && path[0] == '/') {
        cur = "/";
    }
    while (std::getline(ss, part, '/')) {
        if (part.empty()) {
            continue;
        }
        cur += part;
        if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) {
            throw SimError("cannot create directory " + cur + ": " + ErrnoText(errno));
        }
        cur += "/";
    }
}

bool PathExists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::string();
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFileAtomic(const std::string& path, const std::string& data)
{
    const std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw SimError("cannot write " + tmp + ": " + ErrnoText(errno));
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            int err = errno;
            close(fd);
            throw SimError("cannot write " + tmp + ": " + ErrnoText(err));
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        throw SimError("cannot rename " + tmp + ": " + ErrnoText(errno));
    }
}

std::string ToJsonText(const Json::Value& value, bool pretty)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = pretty ? "  " : "";
    // Names may hold any bytes; keep them as they are rather than re-encoding.
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

Json::Value ParseJsonText(const std::string& text)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        throw SimError("state document is not valid JSON: " + errors);
    }
    return value;
}

SimStore::SimStore(const std::string& root) : m_root(root), m_dir(root + "/var/strata-sim")
{
    MakeDirs(m_dir + "/volumes");
    MakeDirs(m_dir + "/dev");
}

SimStore::~SimStore()
{
    Unlock();
}

void SimStore::Lock()
{
    if (m_lockFd >= 0) {
        return;
    }
    int fd = open(Path("lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw SimError("cannot open the state lock: " + ErrnoText(errno));
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            int err = errno;
            close(fd);
            throw SimError("cannot lock the state: " + ErrnoText(err));
        }
    }
    m_lockFd = fd;
    const std::string text = ReadWholeFile(Path("state.json"));
    m_doc = text.empty() ? Json::Value(Json::objectValue) : ParseJsonText(text);
    for (const char* key : {"volumes", "attachments", "config", "counters", "faults_base"}) {
        if (!m_doc.isMember(key)) {
            m_doc[key] = Json::Value(Json::objectValue);
        }
    }
    for (const char* key : {"registrations", "faults"}) {
        if (!m_doc.isMember(key)) {
            m_doc[key] = Json::Value(Json::arrayValue);
        }
    }
}

void SimStore::Unlock()
{
    if (m_lockFd >= 0) {
        close(m_lockFd);  // drops the flock
        m_lockFd = -1;
    }
}

void SimStore::Save()
{
    if (m_lockFd < 0) {
        throw SimError("state saved without the lock");
    }
    WriteFileAtomic(Path("state.json"), ToJsonText(m_doc, true) + "\n");
}

std::string SimStore::NewFileStem()
{
    Json::UInt64 next = m_doc.get("next_id", 1).asUInt64();
    m_doc["next_id"] = next + 1;
    return "v" + std::to_string(next);
}

uint64_t SimStore::BlockSize() const
{
    uint64_t bs = m_doc["config"].get("block_size", Json::UInt64(kDefaultBlockSize)).asUInt64();
    return bs == 0 ? kDefaultBlockSize : bs;
}

int SimStore::PendingQueries() const
{
    return m_doc["config"].get("bitmap_pending_queries", 0).asInt();
}

std::string SimStore::AttachMode() const
{
    return m_doc["config"].get("attach_mode", "link").asString();
}

bool SimStore::RequireAgent() const
{
    return m_doc["config"].get("require_agent", false).asBool();
}

void SimStore::RecordCall(const Json::Value& call)
{
    int fd = open(Path("calls.jsonl").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;  // the record is a convenience for tests; the call itself goes on
    }
    const std::string line = ToJsonText(call, false) + "\n";
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

std::string AgentProgramPath(const std::string& root)
{
    // A minimal INI read: [General] StrataAgentPath = value.
    std::istringstream in(ReadWholeFile(root + "/conf/datamover.ini"));
    std::string line;
    std::string section;
    auto trim = [](std::string s) {
        const char* ws = " \t\r";
        s.erase(0, s.find_first_not_of(ws));
        size_t end = s.find_last_not_of(ws);
        s.erase(end == std::string::npos ? 0 : end + 1);
        return s;
    };
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            section = trim(line.substr(1, line.find(']') == std::string::npos ? std::string::npos : line.find(']') - 1));
            continue;
        }
        size_t eq = line.find('=');
        if (section == "General" && eq != std::string::npos && trim(line.substr(0, eq)) == "StrataAgentPath") {
            std::string value = trim(line.substr(eq + 1));
            if (!value.empty()) {
                return value;
            }
        }
    }
    return kAgentDefaultPath;
}

long AgentPid(const SimStore& store)
{
    const std::string text = ReadWholeFile(store.Path("agent.pid"));
    long pid = std::atol(text.c_str());
    if (pid <= 0 || kill(static_cast<pid_t>(pid), 0) != 0) {
        return 0;
    }
    // A zombie (nobody reaped it yet) or a recycled PID is not our agent.
    std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z') {
        return 0;
    }
    std::string cmdline = ReadWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
    if (cmdline.compare(0, 14, "./strata_agent") != 0) {
        return 0;
    }
    return pid;
}

}  // namespace sim
