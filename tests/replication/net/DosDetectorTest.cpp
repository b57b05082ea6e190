// Flood protection with a virtual clock: server ceiling, per-address ceiling
// and rate with their locks, per-connection request units, removal, and the
// alarms the refusal codes raise.
#include <gtest/gtest.h>

#include <thread>

#include "host/testing/Fakes.h"
#include "replication/net/DosDetector.h"
#include "replication/net/EventLoopSingleton.h"
#include "replication/net/NetworkFlowManager.h"
#include "replication/net/ReplicationServerAlarm.h"

namespace {

constexpr int kTcp = 1;
constexpr int kVpp = 0;

class DosDetectorTest : public ::testing::Test {
protected:
    void Minutes(uint64_t m) { clock.AdvanceSeconds(m * 60); }
    testing_fakes::VirtualClock clock;
    testing_fakes::ConfigOverride cfg;
    testing_fakes::LogCapture logs;
    DosDetector dos;
};

}  // namespace

TEST_F(DosDetectorTest, ServerCeilingCountsEachKindAndDefaultsBelowOne)
{
    cfg.Set("Replication", "SingleIpMaxConns", 1000).Set("Replication", "SingleIpPerUnitMaxConn", 1000);
    for (int bad : {0, -3}) {
        cfg.Set("Replication", "ReplicationServerMaxConn", bad);
        DosDetector d;
        for (int i = 0; i < 200; ++i) {
            ASSERT_EQ(0, d.AddNewConnCheck("10.0.0." + std::to_string(i % 7), "t" + std::to_string(i), kTcp)) << i;
        }
        // 200 TCP connections: even a VPP connection is refused.
        EXPECT_EQ(1, d.AddNewConnCheck("10.9.9.9", "v1", kVpp));
        EXPECT_TRUE(logs.Contains("The connections are more than max: 200,totalVppConnNum: 0,totalTcpConnNum: 200", 4));
        d.RemoveConnection("t0");
        EXPECT_EQ(0, d.AddNewConnCheck("10.9.9.9", "v1", kVpp));
    }
    cfg.Set("Replication", "ReplicationServerMaxConn", 2);
    DosDetector d;
    ASSERT_EQ(0, d.AddNewConnCheck("1.1.1.1", "a", 7));  // any other kind is VPP
    ASSERT_EQ(0, d.AddNewConnCheck("1.1.1.2", "b", kVpp));
    EXPECT_EQ(1, d.AddNewConnCheck("1.1.1.3", "c", kTcp));
}

// Both address locks: the refusal that sets one, 4 while it lasts (the
// configured minutes), and the first check after it, which lifts it.
TEST_F(DosDetectorTest, AddressLocksLastTheConfiguredMinutes)
{
    struct Case {
        const char* name;
        const char* limitKey;
        int admitted;  // connections admitted before the refusal
        int lockMinutes;  // 0: the default 60
        int refusal;
        std::string refusedText, lockedText, unlockedText;
        int afterLift;  // the ceiling still counts; the rate unit has passed
    };
    const Case cases[] = {
        {"ceiling", "SingleIpMaxConns", 1, 0, 2, "1.2.3.4 connects more then max,current: 1, max conn: 1, ntype: 1",
         "1.2.3.4 has been locked ,These are: 1 minutes left",
         "60min exceed per lock time: 60 minutes,unlock the ip= 1.2.3.4", 2},
        {"ceiling, 5 minutes", "SingleIpMaxConns", 1, 5, 2, "connects more then max,current: 1",
         "1.2.3.4 has been locked ,These are: 1 minutes left", "5min exceed per lock time: 5 minutes", 2},
        {"rate", "SingleIpPerUnitMaxConn", 3, 0, 3,
         "1.2.3.4 connects more then max per unitTime= 60s ,current conns: 3,maxconn: 3",
         "1.2.3.4 has been locked these are 1 minutes left",
         "60 minutes exceed per lock time: 60 minutes,unlock the ip= 1.2.3.4", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_fakes::ConfigOverride local;
        local.Set("Replication", c.limitKey, c.admitted);
        if (c.lockMinutes != 0) {
            local.Set("Replication", "LockIpConnectsMin", c.lockMinutes);
        }
        const int minutes = c.lockMinutes != 0 ? c.lockMinutes : 60;
        DosDetector d;
        int fd = 0;
        for (int i = 0; i < c.admitted; ++i) {
            ASSERT_EQ(0, d.AddNewConnCheck("1.2.3.4", std::to_string(++fd), kTcp));  // a first one never refused
        }
        EXPECT_EQ(c.refusal, d.AddNewConnCheck("1.2.3.4", std::to_string(++fd), kTcp));
        EXPECT_TRUE(logs.Contains(c.refusedText, 4)) << logs.Dump();
        Minutes(minutes - 1);
        EXPECT_EQ(4, d.AddNewConnCheck("1.2.3.4", std::to_string(++fd), kTcp));
        EXPECT_TRUE(logs.Contains(c.lockedText, 4)) << logs.Dump();
        EXPECT_EQ(0, d.AddNewConnCheck("5.6.7.8", std::to_string(++fd), kTcp));  // other addresses are free
        Minutes(1);
        EXPECT_EQ(c.afterLift, d.AddNewConnCheck("1.2.3.4", std::to_string(++fd), kTcp));
        EXPECT_TRUE(logs.Contains(c.unlockedText, 1)) << logs.Dump();
        if (c.refusal == 3) {
            // That one opened a new unit uncounted; the limit applies afresh.
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(0, d.AddNewConnCheck("1.2.3.4", std::to_string(++fd), kTcp));
            }
            EXPECT_EQ(3, d.AddNewConnCheck("1.2.3.4", std::to_string(++fd), kTcp));
        }
        logs.Clear();
    }
}

// A unit ends only when more than its whole seconds have passed.
TEST_F(DosDetectorTest, UnitEndsOnlyAfterMoreThanUnitSeconds)
{
    cfg.Set("Replication", "SingleIpPerUnitMaxConn", 2).Set("Replication", "ReplicationUnitTime", 10);
    for (auto step : {std::make_pair(10000000ULL, 3), std::make_pair(10999999ULL, 3), std::make_pair(11000000ULL, 0)}) {
        SCOPED_TRACE(step.first);
        DosDetector d;
        ASSERT_EQ(0, d.AddNewConnCheck("2.2.2.2", "1", kTcp));
        ASSERT_EQ(0, d.AddNewConnCheck("2.2.2.2", "2", kTcp));
        clock.Advance(step.first);
        EXPECT_EQ(step.second, d.AddNewConnCheck("2.2.2.2", "3", kTcp));
    }
    EXPECT_TRUE(logs.Contains("is exceeds the unitTme 10s, ip= 2.2.2.2", 0));
}

TEST_F(DosDetectorTest, ClosingEachConnectionFirstIsNeverRateLimited)
{
    cfg.Set("Replication", "SingleIpPerUnitMaxConn", 2);
    ASSERT_EQ(0, dos.AddNewConnCheck("3.3.3.3", "keep", kTcp));
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(0, dos.AddNewConnCheck("3.3.3.3", "c" + std::to_string(i), kVpp)) << i;
        dos.RemoveConnection("c" + std::to_string(i));
    }
}

TEST_F(DosDetectorTest, LastRemovalForgetsTheAddressAndItsLocks)
{
    cfg.Set("Replication", "SingleIpMaxConns", 1);
    ASSERT_EQ(0, dos.AddNewConnCheck("4.4.4.4", "1", kTcp));
    ASSERT_EQ(2, dos.AddNewConnCheck("4.4.4.4", "2", kTcp));
    ASSERT_EQ(4, dos.AddNewConnCheck("4.4.4.4", "2", kTcp));
    // The refused connection was not recorded: removing it changes nothing.
    dos.RemoveConnection("2");
    std::string ip = "unchanged";
    EXPECT_EQ(0, dos.CheckPerIpReqPerUnitLimit("2", ip));
    EXPECT_EQ("unchanged", ip);
    EXPECT_TRUE(logs.Contains("2 is not found ", 3));
    dos.RemoveConnection("1");
    EXPECT_TRUE(logs.Contains("After delete fd vecTcpLinkReqs: 0,vecVppLinkReqs: 0", 1));
    EXPECT_TRUE(logs.Contains("Exit RemoveConnection fd: 1,m_mapIpAndFds: 0", 1));
    EXPECT_EQ(0, dos.AddNewConnCheck("4.4.4.4", "3", kTcp));  // a first connection again
    dos.RemoveConnection("never-added");
}

// A connection identifier registered twice (same kind, the other kind, or
// another address) is one connection: its one removal forgets it entirely.
// Leaked 200 times, the server ceiling would refuse every connection.
TEST_F(DosDetectorTest, IdentifierRegisteredTwiceIsRemovedOnce)
{
    struct Case {
        const char* name;
        int firstKind;
        int secondKind;
        bool otherAddress;
    };
    const Case cases[] = {
        {"same kind", kTcp, kTcp, false},
        {"TCP then transport", kTcp, kVpp, false},
        {"transport then TCP", kVpp, kTcp, false},
        {"another address", kTcp, kTcp, true},
        {"another address and kind", kVpp, kTcp, true},
    };
    cfg.Set("Replication", "SingleIpMaxConns", 1000).Set("Replication", "SingleIpPerUnitMaxConn", 1000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DosDetector d;
        for (int i = 0; i < 200; ++i) {
            std::string ip = "10.1.0." + std::to_string(i % 50);
            std::string fd = "fd" + std::to_string(i);
            ASSERT_EQ(0, d.AddNewConnCheck(ip, fd, c.firstKind)) << i;
            ASSERT_EQ(0, d.AddNewConnCheck(c.otherAddress ? "10.2.0.1" : ip, fd, c.secondKind)) << i;
            std::string peer;
            EXPECT_EQ(0, d.CheckPerIpReqPerUnitLimit(fd, peer));
            EXPECT_EQ(peer, c.otherAddress ? "10.2.0.1" : ip);
            d.RemoveConnection(fd);
        }
        EXPECT_EQ(0, d.AddNewConnCheck("10.9.9.9", "new-tcp", kTcp));
        EXPECT_EQ(0, d.AddNewConnCheck("10.9.9.9", "new-vpp", kVpp));
        // Nothing of the removed connections is left: neither a link that
        // answers a request nor an address that counts against its ceiling.
        std::string peer = "unset";
        EXPECT_EQ(0, d.CheckPerIpReqPerUnitLimit("fd7", peer));
        EXPECT_EQ(peer, "unset");
        cfg.Set("Replication", "SingleIpMaxConns", 1);
        EXPECT_EQ(0, d.AddNewConnCheck("10.2.0.1", "again", kTcp));  // a first connection again
        EXPECT_EQ(0, d.AddNewConnCheck("10.1.0.7", "again2", kTcp));
        cfg.Set("Replication", "SingleIpMaxConns", 1000);
    }
}

TEST_F(DosDetectorTest, RequestsPerUnit)
{
    cfg.Set("Replication", "SingleIpRequestUnit", 3000);
    ASSERT_EQ(0, dos.AddNewConnCheck("7.7.7.7", "42", kVpp));
    std::string ip;
    for (int i = 1; i <= 3000; ++i) {
        ASSERT_EQ(0, dos.CheckPerIpReqPerUnitLimit("42", ip)) << i;
    }
    EXPECT_EQ("7.7.7.7", ip);
    EXPECT_EQ(5, dos.CheckPerIpReqPerUnitLimit("42", ip));
    EXPECT_TRUE(logs.Contains("Check unormal: perUnitTime= 60s,curReceivedReqs: 3000,MaxReqPreUnit:3000, ip= 7.7.7.7,fd= 42", 4));
    EXPECT_TRUE(logs.Contains("CheckAndUpdateLink check failed", 4));
    clock.AdvanceSeconds(60);
    EXPECT_EQ(5, dos.CheckPerIpReqPerUnitLimit("42", ip));  // not yet past the unit
    clock.AdvanceSeconds(1);
    // First request after the unit: admitted, not counted, count reset to 0.
    EXPECT_EQ(0, dos.CheckPerIpReqPerUnitLimit("42", ip));
    EXPECT_TRUE(logs.Contains("Exceed the unitTime 60, it has elapsed 61s", 1));
    // Then the next request opens a unit with count 1: 3000 more pass.
    for (int i = 1; i <= 3000; ++i) {
        ASSERT_EQ(0, dos.CheckPerIpReqPerUnitLimit("42", ip)) << i;
    }
    EXPECT_EQ(5, dos.CheckPerIpReqPerUnitLimit("42", ip));
    // A request refusal locks nothing.
    EXPECT_EQ(0, dos.AddNewConnCheck("7.7.7.7", "43", kTcp));
}

TEST_F(DosDetectorTest, ConcurrentCallersKeepCountsConsistent)
{
    cfg.Set("Replication", "SingleIpMaxConns", 100000).Set("Replication", "SingleIpPerUnitMaxConn", 100000)
        .Set("Replication", "ReplicationServerMaxConn", 100000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            std::string ip;
            for (int i = 0; i < 300; ++i) {
                std::string fd = std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(0, dos.AddNewConnCheck("8.8.8." + std::to_string(i % 3), fd, i % 2));
                EXPECT_EQ(0, dos.CheckPerIpReqPerUnitLimit(fd, ip));
                if (i % 3 != 0) {
                    dos.RemoveConnection(fd);
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    // 4 x 100 connections remain, 200 of each kind: a ceiling of 200 is reached, 201 is not.
    cfg.Set("Replication", "ReplicationServerMaxConn", 200);
    EXPECT_EQ(1, dos.AddNewConnCheck("9.0.0.1", "extra", kTcp));
    cfg.Set("Replication", "ReplicationServerMaxConn", 201);
    EXPECT_EQ(0, dos.AddNewConnCheck("9.0.0.1", "extra", kTcp));
}

// Each of the networking singletons is one object.
TEST(ReplicationNetSingletons, OneObjectEach)
{
    for (void* (*get)() : {+[]() -> void* { return DosDetector::GetInstance(); },
                           +[]() -> void* { return ReplicationServerAlarm::GetInstance(); },
                           +[]() -> void* { return NetworkFlowManager::GetInstance(); },
                           +[]() -> void* { return EventLoopSingleton::GetInstance(); }}) {
        ASSERT_NE(nullptr, get());
        EXPECT_EQ(get(), get());
    }
}

// ---- Alarms ----

TEST(ReplicationServerAlarmTest, CodesMapToEvents)
{
    testing_fakes::ConfigOverride cfg;
    testing_fakes::AlarmCapture alarms;
    testing_fakes::LogCapture logs;
    cfg.Set("General", "ManagementIP", "192.168.5.5").Set("Replication", "SingleIpMaxConns", 0)
        .Set("Replication", "ReplicationUnitTime", 30).Set("Replication", "SingleIpPerUnitMaxConn", 7)
        .Set("Replication", "SingleIpRequestUnit", -1);
    ReplicationServerAlarm alarm;
    alarm.SendAlarm(4, "10.1.1.1");
    alarm.SendAlarm(1, "10.1.1.1");
    EXPECT_TRUE(alarms.Events().empty());
    EXPECT_TRUE(logs.Contains("The return code can not send. retCode:4", 3));
    EXPECT_TRUE(logs.Contains("The return code can not send. retCode:1", 3));

    const struct {
        int code;
        std::vector<std::string> params;
        unsigned long long id;
        int type, level;
    } cases[] = {
        {2, {"192.168.5.5", "10.1.1.1", "100"}, 35256851365918ULL, 4, 3},
        {3, {"192.168.5.5", "10.1.1.1", "30", "7"}, 35256851365919ULL, 4, 3},
        {5, {"192.168.5.5", "10.1.1.1", "30", "3000"}, 35256851365920ULL, 4, 3},
        {0, {"192.168.5.5", "10.1.1.1"}, 0ULL, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        testing_fakes::AlarmCapture one;
        alarm.SendAlarm(c.code, "10.1.1.1");
        auto ev = one.Events();
        ASSERT_EQ(1u, ev.size());
        EXPECT_EQ("CopyService", ev[0].source);
        EXPECT_EQ(23, ev[0].module);
        EXPECT_EQ(0u, ev[0].params.value);
        EXPECT_EQ(c.params, ev[0].params.params);
        EXPECT_EQ(c.id, ev[0].alarmId);
        EXPECT_EQ(c.type, ev[0].type);
        EXPECT_EQ(c.level, ev[0].level);
    }
}
