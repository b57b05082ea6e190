#include "host/ConfigReader.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/HostClock.h"

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
};

State& GetState()
{
    static State state;
    return state;
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
    uint64_t now = Oru::SystemClock().SteadyMicros();
    if (st.checked && now - st.lastCheckMicros < 200000) {
        return;
    }
    st.checked = true;
    st.lastCheckMicros = now;
    struct stat sb{};
    if (::stat(st.path.c_str(), &sb) != 0) {
        st.file.clear();
        st.size = -1;
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
    const Table& defaults = DefaultValues();
    auto d = defaults.find(k);
    if (d != defaults.end()) {
        value = d->second;
        return true;
    }
    return false;
}

int ConfigReader::getInt(const std::string& section, const std::string& key, bool /*flag*/)
{
    std::string value;
    if (!Lookup(section, key, value)) {
        return 0;
    }
    return std::atoi(value.c_str());
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
}

void ConfigReader::ClearOverride(const std::string& section, const std::string& key)
{
    State& st = GetState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.overrides.erase({section, key});
}

void ConfigReader::ClearOverrides()
{
    State& st = GetState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.overrides.clear();
}
