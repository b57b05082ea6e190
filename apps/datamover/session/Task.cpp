#include "apps/datamover/session/Task.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sstream>

#include "apps/datamover/repository/format2/RepoFormat.h"
#include "factory/DiskDescriptorFactory.h"
#include "foundation/JsonUtils.h"
#include "host/HostClock.h"
#include "storage_access/StrataApi.h"

namespace dmtask {

namespace {

volatile sig_atomic_t g_interrupted = 0;
std::atomic<boost::atomics::atomic<bool>*> g_abortTarget{nullptr};

void OnSignal(int)
{
    g_interrupted = 1;
    boost::atomics::atomic<bool>* flag = g_abortTarget.load();
    if (flag != nullptr) {
        flag->store(true);  // lock-free: safe in a handler
    }
}


const char* const kVolumeKeys[] = {"snapshot_volumes_attached", "data_volumes_attached", "bitmap_volumes_created",
                                   "bitmap_volumes_attached"};

}  // namespace


void InstallSignalHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void SetAbortTarget(boost::atomics::atomic<bool>* flag)
{
    g_abortTarget.store(flag);
    if (flag != nullptr && g_interrupted != 0) {
        flag->store(true);
    }
}

bool Interrupted()
{
    return g_interrupted != 0;
}

namespace {
class DividedClock : public Oru::Clock {
public:
    explicit DividedClock(long divisor) : m_divisor(divisor) {}
    uint64_t SteadyMicros() override { return m_system.SteadyMicros(); }
    int64_t WallSeconds() override { return m_system.WallSeconds(); }
    void Sleep(const timespec& duration) override
    {
        long double ns = (static_cast<long double>(duration.tv_sec) * 1e9L + duration.tv_nsec) / m_divisor;
        timespec scaled{static_cast<time_t>(ns / 1e9L), static_cast<long>(std::fmod(ns, 1e9L))};
        m_system.Sleep(scaled);
    }

private:
    Oru::SystemClock m_system;
    long m_divisor;
};
}  // namespace

void InstallPauseDivisorFromEnvironment()
{
    const char* text = std::getenv("DATAMOVER_PAUSE_DIVISOR");
    if (text == nullptr) return;
    char* end = nullptr;
    long divisor = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || divisor <= 1 || divisor > 1000000) return;
    static DividedClock clock(divisor);  // lives until exit, as the clock must
    Oru::SetClock(&clock);
}

bool MakeDirs(const std::string& dir)
{
    std::string partial;
    for (size_t pos = 0; pos != std::string::npos;) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

ObjectLock::~ObjectLock()
{
    if (m_fd >= 0) ::close(m_fd);
}

bool ObjectLock::Acquire(const std::string& root, const std::string& object, const std::string& taskId,
                         std::string& error)
{
    const std::string dir = root + "/var/locks";
    if (!MakeDirs(dir)) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    // FNV-1a of the name: a file name of fixed length whatever the object's.
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : object) h = (h ^ c) * 1099511628211ULL;
    char name[32];
    std::snprintf(name, sizeof name, "/%016llx.lock", static_cast<unsigned long long>(h));
    const std::string path = dir + name;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char holder[256] = {0};
        ssize_t n = ::pread(fd, holder, sizeof holder - 1, 0);
        std::string who = n > 0 ? std::string(holder, static_cast<size_t>(n)) : std::string("another task");
        while (!who.empty() && (who.back() == '\n' || who.back() == ' ')) who.pop_back();
        ::close(fd);
        error = object + " is in use by " + who + "; try again when it has finished";
        return false;
    }
    const std::string me = "task " + taskId + " (pid " + std::to_string(::getpid()) + ")\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, me.data(), me.size(), 0) != static_cast<ssize_t>(me.size())) {
        // The lock holds all the same; only the holder's name is missing.
    }
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
    return true;
}

bool CacheNamesVolumes(const std::string& document)
{
    Json::Value doc;
    if (document.empty() || !CJsonUtils::StringToJson(document, doc) || !doc.isObject()) {
        return false;
    }
    for (const char* key : kVolumeKeys) {
        const Json::Value& v = doc[key];
        if (v.isArray() && !v.empty()) return true;
        if (v.isString() && !v.asString().empty()) return true;
    }
    return false;
}

std::string Task::TasksDir(const std::string& root)
{
    return root + "/var/tasks";
}

Task::Task(const CommandContext& ctx, const std::string& kind)
    : m_root(ctx.root), m_kind(kind), m_id(boost::uuids::to_string(boost::uuids::random_generator()()))
{
    m_sink = std::make_unique<HostMessageSink>(m_id);
}

Task::~Task()
{
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
    }
}

bool Task::Begin(const Json::Value& details, std::string& error)
{
    std::string dir = TasksDir(m_root);
    if (!MakeDirs(dir)) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::string lockPath = dir + "/" + m_id + ".lock";
    // No O_CLOEXEC: see the header.
    m_lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0640);
    if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        error = "cannot lock " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    Json::Value journal = details;
    journal["task_id"] = m_id;
    journal["kind"] = m_kind;
    journal["pid"] = static_cast<Json::Int>(::getpid());
    journal["started_at"] = Json::Int64(std::time(nullptr));
    if (!repo::WriteFileAtomic(dir + "/" + m_id + ".json", CJsonUtils::JsonToString(journal) + "\n", error)) {
        return false;
    }
    m_begun = true;
    return true;
}

bool Task::HasLeftovers() const
{
    return CacheNamesVolumes(m_sink->LatestCacheData());
}

void Task::End()
{
    if (!m_begun || HasLeftovers()) {
        return;  // the journal and the cached data stay for "datamover clean"
    }
    HostMessageSink::ForgetTaskCacheData(m_id);
    std::string dir = TasksDir(m_root);
    ::unlink((dir + "/" + m_id + ".json").c_str());
    ::unlink((dir + "/" + m_id + ".lock").c_str());
}

VolumeParas MakeParas(Task& task, const std::string& volumeId, uint64_t dataSize, int storageType, int offsetKib,
                      bool isBackup, const std::string& url, const std::string& parentUrl)
{
    VolumeParas p;
    p.volumeID = volumeId;
    p.volumeName = volumeId;
    p.volumeSize = dataSize;
    p.isBackup = isBackup;
    if (isBackup) {
        p.currentSnapshotURL = url;
        p.parentSnapshotURL = parentUrl;
    } else {
        p.volumeURL = url;
    }
    p.productStorageType = static_cast<ProductStorageType>(storageType);
    p.msgNotify = &task.Sink();
    p.newVolumeOffsetSize = offsetKib;
    Task* t = &task;
    p.abortFun = [t]() -> boost::atomics::atomic<bool>& { return t->AbortFlag(); };
    return p;
}

std::string AttachedDevice(const StrataUrl& url)
{
    StrataApi api(url.manager, url.pool);
    std::string device, error;
    return api.AttachVolume(url.name, device, error) == 0 ? device : "";
}

bool DeviceSize(int fd, uint64_t& size)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (S_ISBLK(st.st_mode)) return ::ioctl(fd, BLKGETSIZE64, &size) == 0;
    size = static_cast<uint64_t>(st.st_size);
    return S_ISREG(st.st_mode);
}

bool AttachedDeviceSize(const StrataUrl& url, uint64_t& size, std::string& error)
{
    std::string device = AttachedDevice(url);
    int fd = device.empty() ? -1 : ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
    bool sized = fd >= 0 && DeviceSize(fd, size);
    if (fd >= 0) ::close(fd);
    if (!sized) error = "cannot learn the size of " + url.name + (device.empty() ? "" : " at " + device);
    return sized;
}

void CrashPoint(const char* name)
{
    const char* at = std::getenv("DATAMOVER_CRASH_AT");
    if (at != nullptr && std::strcmp(at, name) == 0) ::kill(::getpid(), SIGKILL);
}

bool CreateDescriptor(const VolumeParas& paras, std::shared_ptr<CDiskDescriptor>& disk, std::string& error)
{
    DiskDescriptorFactory* factory = DiskDescriptorFactory::getInstance();
    if (factory == nullptr) {
        error = "the descriptor factory could not be created";
        return false;
    }
    FirstErrorCapture capture;
    int rc = factory->CreateDiskDescriptor(paras, disk);
    if (rc != 0 || !disk) {
        std::string why = capture.Text();
        error = "cannot create a disk descriptor" + (why.empty() ? std::string() : ": " + why);
        disk.reset();
        return false;
    }
    return true;
}

std::string DescribeFailure(const std::string& what, const EnvProxyResult& result)
{
    std::ostringstream s;
    s << what << " failed (status " << static_cast<int>(result._GetCompleteCode()) << ")";
    std::string sep = ": ";
    for (const message& m : result.details) {
        for (size_t i = 1; i < m.params.size(); ++i) {  // the first parameter is the time
            if (!m.params[i].empty()) {
                s << sep << m.params[i];
                sep = ", ";
            }
        }
    }
    std::string text = s.str();
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

struct FirstErrorCapture::State {
    std::mutex mutex;
    std::string text;
    std::string last;
};

FirstErrorCapture::FirstErrorCapture() : m_state(std::make_shared<State>())
{
    std::shared_ptr<State> state = m_state;
    m_old = CLogger::GetInstance()->SetCaptureHook(nullptr);
    CLogger::Hook old = m_old;
    CLogger::GetInstance()->SetCaptureHook([state, old](const LogRecord& r) {
        if (r.level >= 4) {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->text.empty()) state->text = r.text;
            state->last = r.text;
        }
        if (old) old(r);
    });
}

FirstErrorCapture::~FirstErrorCapture()
{
    CLogger::GetInstance()->SetCaptureHook(m_old);
}

std::string FirstErrorCapture::Text() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->text;
}

std::string FirstErrorCapture::LastText() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->last;
}

}  // namespace dmtask
