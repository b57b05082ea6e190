#include "host/ConfigReader.h"
#include "host/ConfigVersion.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>


namespace {

struct State {
    std::mutex mutex;
    std::string path;
    ConfigReader::Table file;
    ConfigReader::Table overrides;
    timespec mtime{};
    off_t size = -1;
    uint64_t lastCheckMicros = 0;
    bool checked = false;
    // Lock-free fast path: every change that may alter a lookup's answer bumps
    // `version`, which invalidates the per-thread caches below.
    std::atomic<uint64_t> version{1};
    std::atomic<bool> hasPath{false};
    std::atomic<uint64_t> nextCheckMicros{0};
};

// Never destroyed: threads still running at exit (detached event loops) may
// read the configuration after static destructors have run.
State& GetState()
{
    static State* state = new State;
    return *state;
}

// Every change that may alter an answer goes through here, under the state
// lock, so that the inline version read never runs ahead of the state.
void Bump(State& st)
{
    const uint64_t v = st.version.fetch_add(1, std::memory_order_acq_rel) + 1;
    ConfigReaderVersion::g_withoutFile.store(st.hasPath.load(std::memory_order_relaxed) ? 0 : v,
                                             std::memory_order_release);
}

// A cheap monotonic reading for the 200 ms file check (a vDSO call, no syscall).
uint64_t CoarseMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000ULL;
}

// One answered integer read, valid while the state's version is unchanged.
// Plain data, so the per-thread array needs no construction guard.
struct CachedInt {
    static const size_t kMaxSection = 32;
    static const size_t kMaxKey = 48;
    uint64_t version = 0;  // 0: empty
    size_t sectionLen = 0;
    size_t keyLen = 0;
    int value = 0;
    char section[kMaxSection];
    char key[kMaxKey];

    bool Matches(uint64_t v, const std::string& s, const std::string& k) const
    {
        return version == v && keyLen == k.size() && sectionLen == s.size() &&
               std::memcmp(key, k.data(), keyLen) == 0 && std::memcmp(section, s.data(), sectionLen) == 0;
    }
};

// Per-thread answers of getInt, so that reading an unchanged configuration
// takes no lock and allocates nothing.
constexpr size_t kCachedInts = 16;
struct IntCache {
    CachedInt entries[kCachedInts];
    size_t next = 0;
};

// The fast path reaches its cache through one pointer in the static TLS block
// (no __tls_get_addr call from this shared library); the owner, a regular
// thread_local touched only once per thread, frees it at thread exit.
__attribute__((tls_model("initial-exec"))) thread_local IntCache* t_intCache = nullptr;

struct IntCacheOwner {
    IntCache* cache = nullptr;
    ~IntCacheOwner()
    {
        t_intCache = nullptr;
        delete cache;
    }
};
thread_local IntCacheOwner t_intCacheOwner;

IntCache& ThreadIntCache()
{
    IntCache* c = t_intCache;
    if (c == nullptr) {
        c = new IntCache;
        t_intCacheOwner.cache = c;
        t_intCache = c;
    }
    return *c;
}


std::string Trim(const std::string& s)
{
    const char* ws = " \t\r\n";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) {
        return "";
    }
    size_t e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

// Re-parses the file when it changed. Caller holds the state lock.
void RefreshLocked(State& st)
{
    if (st.path.empty()) {
        return;
    }
    uint64_t now = CoarseMicros();
    if (st.checked && now - st.lastCheckMicros < 200000) {
        return;
    }
    st.checked = true;
    st.lastCheckMicros = now;
    st.nextCheckMicros.store(now + 200000, std::memory_order_release);
    struct stat sb{};
    if (::stat(st.path.c_str(), &sb) != 0) {
        if (!st.file.empty() || st.size != -1) {
            st.file.clear();
            st.size = -1;
            st.mtime = {};
            Bump(st);
        }
        return;
    }
    if (sb.st_mtim.tv_sec == st.mtime.tv_sec && sb.st_mtim.tv_nsec == st.mtime.tv_nsec && sb.st_size == st.size) {
        return;
    }
    std::ifstream in(st.path);
    std::stringstream text;
    text << in.rdbuf();
    st.file = ConfigReader::ParseIni(text.str());
    st.mtime = sb.st_mtim;
    st.size = sb.st_size;
    Bump(st);
}

// The answer of the file, overrides and defaults. Caller holds the state lock.
bool LookupLocked(State& st, const std::string& section, const std::string& key, std::string& value)
{
    auto k = std::make_pair(section, key);
    auto o = st.overrides.find(k);
    if (o != st.overrides.end()) {
        value = o->second;
        return true;
    }
    RefreshLocked(st);
    auto f = st.file.find(k);
    if (f != st.file.end()) {
        value = f->second;
        return true;
    }
    const ConfigReader::Table& defaults = ConfigReader::DefaultValues();
    auto d = defaults.find(k);
    if (d != defaults.end()) {
        value = d->second;
        return true;
    }
    return false;
}

// Re-reads the file when due, without the lock while it is not.
void RefreshIfDue(State& st)
{
    if (st.hasPath.load(std::memory_order_acquire) &&
        CoarseMicros() >= st.nextCheckMicros.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(st.mutex);
        RefreshLocked(st);
    }
}

}  // namespace

const ConfigReader::Table& ConfigReader::DefaultValues()
{
    static const Table table = {
        {{"General", "CreateBitmapTimeoutSec"}, "3600"},
        {{"General", "ManagementIP"}, "127.0.0.1"},
        {{"BackupNode", "rereadTryTimes"}, "3"},
        {{"BackupNode", "backupRereadInteval"}, "5"},
        {{"BackupNode", "restoreTryTimes"}, "3"},
        {{"BackupNode", "restoreRewriteInteval"}, "5"},
        {{"BackupNode", "RetryHealthStatusTimes"}, "3"},
        {{"BackupNode", "RetryHealthStatusWaitTime"}, "30"},
        {{"Replication", "ReplicationCommunicationDebug"}, "0"},
        {{"Replication", "MaxEventNumber"}, "256"},
        {{"Replication", "ReplicationServerMaxConn"}, "200"},
        {{"Replication", "SingleIpMaxConns"}, "100"},
        {{"Replication", "ReplicationUnitTime"}, "60"},
        {{"Replication", "SingleIpPerUnitMaxConn"}, "100"},
        {{"Replication", "SingleIpRequestUnit"}, "3000"},
        {{"Replication", "LockIpConnectsMin"}, "60"},
    };
    return table;
}

ConfigReader::Table ConfigReader::ParseIni(const std::string& text)
{
    Table out;
    std::istringstream in(text);
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
        std::string t = Trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') {
            continue;
        }
        if (t.front() == '[' && t.back() == ']') {
            section = Trim(t.substr(1, t.size() - 2));
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        out[{section, Trim(t.substr(0, eq))}] = Trim(t.substr(eq + 1));
    }
    return out;
}

bool ConfigReader::Lookup(const std::string& section, const std::string& key, std::string& value)
{
    State& st = GetState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return LookupLocked(st, section, key, value);
}

int ConfigReader::getInt(const std::string& section, const std::string& key, bool /*flag*/)
{
    State& st = GetState();
    RefreshIfDue(st);
    // Read before the lookup: a change racing with it leaves the entry stale.
    const uint64_t version = st.version.load(std::memory_order_acquire);
    IntCache& cache = ThreadIntCache();
    for (const CachedInt& e : cache.entries) {
        if (e.Matches(version, section, key)) {
            return e.value;
        }
    }
    std::string text;
    int value = 0;
    {
        std::lock_guard<std::mutex> lock(st.mutex);
        if (LookupLocked(st, section, key, text)) {
            value = std::atoi(text.c_str());
        }
    }
    if (section.size() <= CachedInt::kMaxSection && key.size() <= CachedInt::kMaxKey) {
        CachedInt* slot = nullptr;
        for (CachedInt& e : cache.entries) {
            if (e.keyLen == key.size() && e.sectionLen == section.size() &&
                std::memcmp(e.key, key.data(), e.keyLen) == 0 &&
                std::memcmp(e.section, section.data(), e.sectionLen) == 0) {
                slot = &e;
                break;
            }
        }
        if (slot == nullptr) {
            slot = &cache.entries[cache.next];
            cache.next = (cache.next + 1) % kCachedInts;
        }
        slot->sectionLen = section.size();
        slot->keyLen = key.size();
        std::memcpy(slot->section, section.data(), section.size());
        std::memcpy(slot->key, key.data(), key.size());
        slot->value = value;
        slot->version = version;
    }
    return value;
}

std::string ConfigReader::getString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue)
{
    std::string value;
    return Lookup(section, key, value) ? value : defaultValue;
}

std::string ConfigReader::getManagementIP()
{
    return getString("General", "ManagementIP", "127.0.0.1");
}

void ConfigReader::SetConfigFile(const std::string& path)
{
    State& st = GetState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.path = path;
    st.file.clear();
    st.mtime = {};
    st.size = -1;
    st.checked = false;
    st.hasPath.store(!path.empty(), std::memory_order_release);
    Bump(st);
    RefreshLocked(st);
}

std::string ConfigReader::GetConfigFile()
{
    State& st = GetState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return st.path;
}

void ConfigReader::SetOverride(const std::string& section, const std::string& key, const std::string& value)
{
    State& st = GetState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.overrides[{section, key}] = value;
    Bump(st);
}

void ConfigReader::ClearOverride(const std::string& section, const std::string& key)
{
    State& st = GetState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.overrides.erase({section, key});
    Bump(st);
}

void ConfigReader::ClearOverrides()
{
    State& st = GetState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.overrides.clear();
    Bump(st);
}

// Matches the state's first version, with no file set.
std::atomic<uint64_t> ConfigReaderVersion::g_withoutFile{1};

uint64_t ConfigReaderVersion::Current()
{
    State& st = GetState();
    RefreshIfDue(st);
    return st.version.load(std::memory_order_acquire);
}
