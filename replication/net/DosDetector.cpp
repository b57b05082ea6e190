#include "replication/net/DosDetector.h"

#include <exception>

#include "foundation/LogProxy.h"
#include "host/ConfigReader.h"
#include "host/HostClock.h"

namespace {
const char MODULE_NAME[] = "DosDetector";

const std::string kSection = "Replication";
constexpr uint64_t kMicrosPerSecond = 1000000;

uint64_t Now()
{
    return Oru::GetClock().SteadyMicros();
}

// Whole seconds since `since`.
uint64_t ElapsedSeconds(uint64_t now, uint64_t since)
{
    return now > since ? (now - since) / kMicrosPerSecond : 0;
}
}  // namespace

namespace dos_keys {
const std::string kServerMaxConn = "ReplicationServerMaxConn";
const std::string kSingleIpMaxConns = "SingleIpMaxConns";
const std::string kUnitTime = "ReplicationUnitTime";
const std::string kPerUnitMaxConn = "SingleIpPerUnitMaxConn";
const std::string kRequestUnit = "SingleIpRequestUnit";
const std::string kLockMinutes = "LockIpConnectsMin";
}  // namespace dos_keys

int ReadReplicationLimit(const std::string& key, int defaultValue)
{
    int value = ConfigReader::getInt(kSection, key, true);
    DosDetector::CheckParam(value, defaultValue);
    return value;
}

std::mutex DosDetector::s_mutex;
DosDetector* DosDetector::s_connectLimitMgr = nullptr;

DosDetector* DosDetector::GetInstance()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_connectLimitMgr == nullptr) {
        try {
            s_connectLimitMgr = new DosDetector();
        } catch (const std::exception& e) {
            LOG_STREAM(4) << "New DosDetector failed.Exception is " << e.what();
            return nullptr;
        }
    }
    return s_connectLimitMgr;
}

int DosDetector::AddNewConnCheck(std::string ip, const std::string& fd, int type)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    LOG_STREAM(1) << "Enter AddNewConnCheck ip: " << ip << ",fd: " << fd << ",type: " << type;
    const uint64_t now = Now();
    const int maxConn = ReadReplicationLimit(dos_keys::kServerMaxConn, 200);
    if (m_totalVppConnNum >= maxConn || m_totalTcpConnNum >= maxConn) {
        LOG_STREAM(4) << "The connections are more than max: " << maxConn << ",totalVppConnNum: " << m_totalVppConnNum
                      << ",totalTcpConnNum: " << m_totalTcpConnNum;
        return 1;
    }
    auto found = m_mapConnectStat.find(ip);
    if (found == m_mapConnectStat.end()) {
        ConnectIpInfo& info = m_mapConnectStat[ip];
        info.ip = ip;
        info.curConnectNum = 1;
        info.unitStartTime = now;
        info.maxConnLockTime = now;
        info.perUnitLockTime = now;
        RecordConnection(info, ip, fd, type, now);
        return 0;
    }
    ConnectIpInfo& info = found->second;
    int r = CheckPerIpMaxConn(info, type, now);
    if (r != 0) {
        return r;
    }
    r = CheckPreIpConnPerUnitLimit(info, now);
    if (r != 0) {
        return r;
    }
    RecordConnection(info, ip, fd, type, now);
    LOG_STREAM(1) << "Exit AddNewConnCheck";
    return 0;
}

int DosDetector::CheckPerIpMaxConn(ConnectIpInfo& info, int type, uint64_t now)
{
    const int lockMinutes = ReadReplicationLimit(dos_keys::kLockMinutes, 60);
    if (!info.maxConnNotLocked) {
        const uint64_t elapsedMin = ElapsedSeconds(now, info.maxConnLockTime) / 60;
        if (elapsedMin < static_cast<uint64_t>(lockMinutes)) {
            LOG_STREAM(4) << info.ip << " has been locked " << ",These are: " << (lockMinutes - elapsedMin)
                          << " minutes left";
            return 4;
        }
        info.maxConnNotLocked = true;
        info.maxConnLockTime = now;
        LOG_STREAM(1) << elapsedMin << "min exceed per lock time: " << lockMinutes << " minutes,unlock the ip= "
                      << info.ip;
    }
    const int maxConns = ReadReplicationLimit(dos_keys::kSingleIpMaxConns, 100);
    const size_t total = info.vecTcpLinkReqs.size() + info.vecVppLinkReqs.size();
    if (total < static_cast<size_t>(maxConns)) {
        return 0;
    }
    const size_t ofKind = type == kTcpConn ? info.vecTcpLinkReqs.size() : info.vecVppLinkReqs.size();
    LOG_STREAM(4) << info.ip << " connects more then max,current: " << ofKind << ", max conn: " << maxConns
                  << ", ntype: " << type;
    info.maxConnNotLocked = false;
    info.maxConnLockTime = now;
    return 2;
}

int DosDetector::CheckPreIpConnPerUnitLimit(ConnectIpInfo& info, uint64_t now)
{
    const int lockMinutes = ReadReplicationLimit(dos_keys::kLockMinutes, 60);
    if (!info.perUnitNotLocked) {
        const uint64_t elapsedMin = ElapsedSeconds(now, info.perUnitLockTime) / 60;
        if (elapsedMin < static_cast<uint64_t>(lockMinutes)) {
            LOG_STREAM(4) << info.ip << " has been locked these are " << (lockMinutes - elapsedMin) << " minutes left";
            return 4;
        }
        info.perUnitNotLocked = true;
        info.perUnitLockTime = now;
        LOG_STREAM(1) << elapsedMin << " minutes exceed per lock time: " << lockMinutes << " minutes,unlock the ip= "
                      << info.ip;
    }
    const int unit = ReadReplicationLimit(dos_keys::kUnitTime, 60);
    const uint64_t elapsed = ElapsedSeconds(now, info.unitStartTime);
    if (elapsed > static_cast<uint64_t>(unit)) {
        info.curConnectNum = 0;
        info.unitStartTime = now;
        LOG_STREAM(0) << "Exit CheckPreIpConnPerUnitLimit " << elapsed << " is exceeds the unitTme " << unit
                      << "s, ip= " << info.ip;
        return 0;
    }
    const int maxPerUnit = ReadReplicationLimit(dos_keys::kPerUnitMaxConn, 100);
    if (info.curConnectNum < static_cast<uint64_t>(maxPerUnit)) {
        LOG_STREAM(0) << " curConnectNum= " << info.curConnectNum << ",totalSecond= " << elapsed;
        ++info.curConnectNum;
        return 0;
    }
    LOG_STREAM(4) << info.ip << " connects more then max per unitTime= " << unit
                  << "s ,current conns: " << info.curConnectNum << ",maxconn: " << maxPerUnit;
    info.perUnitNotLocked = false;
    info.perUnitLockTime = now;
    return 3;
}

void DosDetector::RecordConnection(ConnectIpInfo& info, const std::string& ip, const std::string& fd, int type,
                                   uint64_t now)
{
    ConnectLink link;
    link.ip = ip;
    link.fd = fd;
    link.unitStartTime = now;
    // A connection identifier names one connection: registered again, under
    // either kind or another address, it replaces its earlier registration.
    // Counting it twice would leave it counted after its one removal.
    UnlinkFd(fd, ip);
    auto& links = type == kTcpConn ? info.vecTcpLinkReqs : info.vecVppLinkReqs;
    links[fd] = std::move(link);
    ++(type == kTcpConn ? m_totalTcpConnNum : m_totalVppConnNum);
    m_mapIpAndFds[fd] = ip;
}

bool DosDetector::UnlinkFd(const std::string& fd, const std::string& keepIp)
{
    auto owner = m_mapIpAndFds.find(fd);
    if (owner == m_mapIpAndFds.end()) {
        return false;
    }
    auto stat = m_mapConnectStat.find(owner->second);
    if (stat != m_mapConnectStat.end()) {
        ConnectIpInfo& info = stat->second;
        m_totalVppConnNum -= static_cast<int>(info.vecVppLinkReqs.erase(fd));
        m_totalTcpConnNum -= static_cast<int>(info.vecTcpLinkReqs.erase(fd));
        // The address being recorded to keeps its state even when this was
        // its only link; the caller holds a reference to it.
        if (info.vecTcpLinkReqs.empty() && info.vecVppLinkReqs.empty() && stat->first != keepIp) {
            m_mapConnectStat.erase(stat);
        }
    }
    m_mapIpAndFds.erase(owner);
    return true;
}

DosDetector::Lookup DosDetector::FindLink(const std::string& fd, ConnectIpInfo*& info, ConnectLink*& link, int& kind)
{
    auto owner = m_mapIpAndFds.find(fd);
    if (owner == m_mapIpAndFds.end()) {
        return Lookup::NoConnection;
    }
    auto stat = m_mapConnectStat.find(owner->second);
    if (stat == m_mapConnectStat.end()) {
        return Lookup::NoConnection;
    }
    info = &stat->second;
    auto vpp = info->vecVppLinkReqs.find(fd);
    if (vpp != info->vecVppLinkReqs.end()) {
        kind = kVppConn;
        link = &vpp->second;
        return Lookup::Found;
    }
    auto tcp = info->vecTcpLinkReqs.find(fd);
    if (tcp != info->vecTcpLinkReqs.end()) {
        kind = kTcpConn;
        link = &tcp->second;
        return Lookup::Found;
    }
    return Lookup::NoKind;
}

void DosDetector::RemoveConnection(const std::string& fd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    LOG_STREAM(1) << "Enter RemoveConnection fd: " << fd;
    ConnectIpInfo* info = nullptr;
    ConnectLink* link = nullptr;
    int kind = -1;
    if (FindLink(fd, info, link, kind) != Lookup::Found) {
        return;
    }
    LOG_STREAM(1) << "RemoveConnectionInner fd: " << fd << "type: " << kind;
    LOG_STREAM(1) << "vecTcpLinkReqs: " << info->vecTcpLinkReqs.size() << ",vecVppLinkReqs: "
                  << info->vecVppLinkReqs.size() << ",m_totalTcpConnNum: " << m_totalTcpConnNum
                  << ",m_totalVppConnNum: " << m_totalVppConnNum << ",curConnectNum: " << info->curConnectNum;
    // Both maps, so that a removal always matches what its admission counted.
    m_totalVppConnNum -= static_cast<int>(info->vecVppLinkReqs.erase(fd));
    m_totalTcpConnNum -= static_cast<int>(info->vecTcpLinkReqs.erase(fd));
    if (info->curConnectNum > 0) {
        --info->curConnectNum;
    }
    info->unitStartTime = Now();
    const size_t tcpLeft = info->vecTcpLinkReqs.size();
    const size_t vppLeft = info->vecVppLinkReqs.size();
    const uint64_t connectNum = info->curConnectNum;
    if (tcpLeft == 0 && vppLeft == 0) {
        m_mapConnectStat.erase(m_mapIpAndFds[fd]);
    }
    LOG_STREAM(1) << "After delete fd vecTcpLinkReqs: " << tcpLeft << ",vecVppLinkReqs: " << vppLeft
                  << ",m_totalTcpConnNum: " << m_totalTcpConnNum << ",m_totalVppConnNum: " << m_totalVppConnNum
                  << ",curConnectNum: " << connectNum;
    m_mapIpAndFds.erase(fd);
    LOG_STREAM(1) << "Exit RemoveConnection fd: " << fd << ",m_mapIpAndFds: " << m_mapIpAndFds.size();
}

int DosDetector::CheckPerIpReqPerUnitLimit(const std::string& fd, std::string& ip)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    LOG_STREAM(0) << "Enter CheckPerIpReqPerUnitLimit";
    ConnectIpInfo* info = nullptr;
    ConnectLink* link = nullptr;
    int kind = -1;
    Lookup found = FindLink(fd, info, link, kind);
    if (found == Lookup::NoConnection) {
        LOG_STREAM(3) << fd << " is not found ";
        return 0;
    }
    if (found == Lookup::NoKind) {
        LOG_STREAM(3) << fd << " is not found in ConnectIpInfo";
        return 0;
    }
    ip = link->ip;
    if (!CheckAndUpdateLink(*link, Now())) {
        LOG_STREAM(4) << "CheckAndUpdateLink check failed";
        return 5;
    }
    LOG_STREAM(0) << "Exit CheckPerIpReqPerUnitLimit";
    return 0;
}

bool DosDetector::CheckAndUpdateLink(ConnectLink& link, uint64_t now)
{
    if (link.curReceivedReqs == 0) {
        link.curReceivedReqs = 1;
        link.unitStartTime = now;
        return true;
    }
    const int unit = ReadReplicationLimit(dos_keys::kUnitTime, 60);
    const uint64_t elapsed = ElapsedSeconds(now, link.unitStartTime);
    if (elapsed > static_cast<uint64_t>(unit)) {
        link.curReceivedReqs = 0;
        link.unitStartTime = now;
        LOG_STREAM(1) << "Exceed the unitTime " << unit << ", it has elapsed " << elapsed << "s";
        return true;
    }
    const int maxReqs = ReadReplicationLimit(dos_keys::kRequestUnit, 3000);
    if (link.curReceivedReqs >= static_cast<uint64_t>(maxReqs)) {
        LOG_STREAM(4) << "Check unormal: perUnitTime= " << unit << "s,curReceivedReqs: " << link.curReceivedReqs
                      << ",MaxReqPreUnit:" << maxReqs << ", ip= " << link.ip << ",fd= " << link.fd;
        return false;
    }
    LOG_STREAM(0) << "Check normal: perUnitTime= " << unit << "s,curReceivedReqs: " << link.curReceivedReqs
                  << ",MaxReqPreUnit:" << maxReqs << ", ip= " << link.ip << ",fd= " << link.fd
                  << ",elapses time= " << elapsed;
    ++link.curReceivedReqs;
    return true;
}
