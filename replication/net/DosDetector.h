// Connection flood protection of the replication server. For each new
// connection it decides admission (server-wide ceiling per kind, ceiling and
// new-connection rate per peer address, lock-out of an address that broke
// either); for each request it enforces a per-connection rate. It decides and
// records, never closes anything. Limits are read from the host configuration
// ("Replication" section) at every check. Every member is safe from any
// thread: each operation runs under one mutex.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// One admitted connection.
struct ConnectLink {
    std::string ip;
    std::string fd;
    uint64_t unitStartTime = 0;  // host steady clock, microseconds
    uint64_t curReceivedReqs = 0;
};

// One peer address with at least one admitted connection.
struct ConnectIpInfo {
    std::string ip;
    uint64_t curConnectNum = 0;
    uint64_t unitStartTime = 0;
    bool maxConnNotLocked = true;
    uint64_t maxConnLockTime = 0;
    bool perUnitNotLocked = true;
    uint64_t perUnitLockTime = 0;
    std::map<std::string, ConnectLink> vecTcpLinkReqs;
    std::map<std::string, ConnectLink> vecVppLinkReqs;
};

class DosDetector {
public:
    // Connection kinds: 1 is TCP; every other value is a VPP connection.
    static const int kTcpConn = 1;
    static const int kVppConn = 0;

    static DosDetector* GetInstance();
    // Tests and tools may own a detector of their own.
    DosDetector() = default;
    virtual ~DosDetector() = default;

    // 0 admitted (and recorded); 1 server ceiling; 2 too many connections of
    // the address (now locked); 3 too many new connections of the address in
    // the unit (now locked); 4 the address is locked.
    int AddNewConnCheck(std::string ip, const std::string& fd, int type);
    void RemoveConnection(const std::string& fd);
    // Counts one request: 0 within limits, 5 over the per-unit limit. Sets ip
    // to the connection's peer address when the connection is known.
    int CheckPerIpReqPerUnitLimit(const std::string& fd, std::string& ip);

    // Values below 1 take the default.
    static void CheckParam(int& value, int defaultValue) { value = value < 1 ? defaultValue : value; }

private:
    int CheckPerIpMaxConn(ConnectIpInfo& info, int type, uint64_t now);
    int CheckPreIpConnPerUnitLimit(ConnectIpInfo& info, uint64_t now);
    bool CheckAndUpdateLink(ConnectLink& link, uint64_t now);
    void RecordConnection(ConnectIpInfo& info, const std::string& ip, const std::string& fd, int type, uint64_t now);
    // Forgets fd's registration (its address, both kinds); erases the
    // address's state when it was its last link, unless it is `keepIp`.
    // False when fd was not registered.
    bool UnlinkFd(const std::string& fd, const std::string& keepIp);
    // The address of a registered connection and its kind; false when unknown.
    enum class Lookup { Found, NoConnection, NoKind };
    Lookup FindLink(const std::string& fd, ConnectIpInfo*& info, ConnectLink*& link, int& kind);

    int m_totalTcpConnNum = 0;
    int m_totalVppConnNum = 0;
    std::mutex m_mutex;
    std::map<std::string, ConnectIpInfo> m_mapConnectStat;
    std::map<std::string, std::string> m_mapIpAndFds;

    static std::mutex s_mutex;
    static DosDetector* s_connectLimitMgr;
};

// Reads a "Replication" limit and applies its default (shared with the alarms).
int ReadReplicationLimit(const std::string& key, int defaultValue);

namespace dos_keys {
extern const std::string kServerMaxConn;      // "ReplicationServerMaxConn", 200
extern const std::string kSingleIpMaxConns;   // "SingleIpMaxConns", 100
extern const std::string kUnitTime;           // "ReplicationUnitTime", 60 s
extern const std::string kPerUnitMaxConn;     // "SingleIpPerUnitMaxConn", 100
extern const std::string kRequestUnit;        // "SingleIpRequestUnit", 3000
extern const std::string kLockMinutes;        // "LockIpConnectsMin", 60 min
}  // namespace dos_keys
