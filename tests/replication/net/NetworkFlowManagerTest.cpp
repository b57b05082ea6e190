// Bandwidth budgets with a virtual clock: unit sizing, the grant pattern,
// clamping, replacement, and concurrent senders.
#include <gtest/gtest.h>

#include <thread>

#include "host/testing/Fakes.h"
#include "replication/net/NetworkFlowManager.h"

namespace {

class FlowTest : public ::testing::Test {
protected:
    ReplicationMaxBandwidth Register(const std::string& id, uint64_t kb)
    {
        ReplicationMaxBandwidth rec{id, kb};
        EXPECT_TRUE(flow.RegisterRegionBandwidth(rec));
        return rec;
    }
    std::shared_ptr<ReplicateBand> Band(const std::string& id)
    {
        std::shared_ptr<ReplicateBand> band;
        EXPECT_TRUE(flow.RegionExist(id, band));
        return band;
    }
    testing_fakes::VirtualClock clock;
    NetworkFlowManager flow;
};

}  // namespace

// Units of one second for regions faster than one 2 MiB block per second;
// slower ones get one block per longer unit.
TEST_F(FlowTest, UnitSizing)
{
    const struct {
        uint64_t kb, unitTime, blocksPerUnit;
    } cases[] = {
        {10240, 1000, 5}, {1024, 2000, 1}, {1, 2048000, 1},
        {3000, 1000, 1},  // 3,072,000 bytes/s: one block per second
        {2048, 1000, 1},  // exactly one block per second: the slow rule
        {1000, 2048, 1},  // 1,024,000 bytes/s
        {1500, 1366, 1},  // 1365.33 ms rounded up: never faster than configured
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kb);
        Register("r" + std::to_string(c.kb), c.kb);
        auto band = Band("r" + std::to_string(c.kb));
        EXPECT_EQ(c.unitTime, band->unitTime);
        EXPECT_EQ(c.blocksPerUnit, band->blocksPerUnitTime);
        EXPECT_EQ(c.kb * 1024, band->maxBandwidth);
    }
}

TEST_F(FlowTest, GrantPatternOfFastAndSlowRegions)
{
    Register("r", 10240);
    uint64_t waitMs = 12345;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(flow.SendControl("r", waitMs)) << i;
    }
    EXPECT_EQ(12345u, waitMs);  // written only on refusal
    clock.Advance(300000);
    EXPECT_FALSE(flow.SendControl("r", waitMs));
    EXPECT_EQ(700u, waitMs);
    clock.Advance(700000);
    EXPECT_TRUE(flow.SendControl("r", waitMs));  // a new unit; this block is its first
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(flow.SendControl("r", waitMs));
    }
    EXPECT_FALSE(flow.SendControl("r", waitMs));
    EXPECT_EQ(1000u, waitMs);

    Register("one-mib", 1024);
    EXPECT_TRUE(flow.SendControl("one-mib", waitMs));
    clock.Advance(100000);
    EXPECT_FALSE(flow.SendControl("one-mib", waitMs));
    EXPECT_EQ(1900u, waitMs);
}

TEST_F(FlowTest, UnlimitedAndUnregisteredRegionsAlwaysGrant)
{
    testing_fakes::LogCapture logs;
    Register("free", 0);
    uint64_t kb = 99;
    flow.GetRegionBandwidth("free", kb);
    EXPECT_EQ(0u, kb);
    kb = 99;
    flow.GetRegionBandwidth("nowhere", kb);
    EXPECT_EQ(0u, kb);
    uint64_t waitMs = 7;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(flow.SendControl("free", waitMs));
        ASSERT_TRUE(flow.SendControl("nowhere", waitMs));
        ASSERT_TRUE(flow.SendControl("", waitMs));
    }
    EXPECT_EQ(7u, waitMs);
    EXPECT_TRUE(logs.Contains("no regionID set, no network flow control", 1));
    EXPECT_TRUE(logs.Contains("regionID not registered,regionID:nowhere,no network flow control", 1));
    EXPECT_TRUE(logs.Contains("regionID noLimit is true,regionID:free,no network flow control", 0));
    Register("limited", 4096);
    flow.GetRegionBandwidth("limited", kb);
    EXPECT_EQ(4096u, kb);
}

TEST_F(FlowTest, OversizedBandwidthIsClampedInTheCallersRecord)
{
    testing_fakes::LogCapture logs;
    ReplicationMaxBandwidth rec = Register("huge", 1ULL << 60);
    EXPECT_EQ(18014398509481982ULL, rec.bandwidth);
    EXPECT_TRUE(logs.Contains("The input bandwidth:1152921504606846976 is out of range. ", 3));
    auto band = Band("huge");
    EXPECT_EQ(18014398509481982ULL * 1024, band->maxBandwidth);
    EXPECT_EQ(1000u, band->unitTime);
    // The largest value that fits is kept as given.
    EXPECT_EQ(18014398509481983ULL, Register("edge", 18014398509481983ULL).bandwidth);
}

TEST_F(FlowTest, ReRegistrationReplacesAndUnregistrationSucceedsAlways)
{
    Register("r", 2048);
    uint64_t waitMs = 0;
    ASSERT_TRUE(flow.SendControl("r", waitMs));
    ASSERT_FALSE(flow.SendControl("r", waitMs));
    auto held = Band("r");
    Register("r", 2048);
    EXPECT_NE(held, Band("r"));
    EXPECT_EQ(0u, Band("r")->sentBlocks);
    EXPECT_TRUE(flow.SendControl("r", waitMs));
    ReplicationMaxBandwidth rec{"r", 0};
    EXPECT_TRUE(flow.UnRegisterRegionBandwidth(rec));
    EXPECT_TRUE(flow.UnRegisterRegionBandwidth(rec));
    std::shared_ptr<ReplicateBand> none;
    EXPECT_FALSE(flow.RegionExist("r", none));
    EXPECT_EQ(nullptr, none);
    EXPECT_TRUE(held);  // a budget still held stays valid
}

TEST_F(FlowTest, ConcurrentSendersOnTwoRegionsStayWithinBudget)
{
    Register("a", 10240);  // 5 blocks per unit
    Register("b", 20480);  // 10 blocks per unit
    std::atomic<uint64_t> grantedA{0};
    std::atomic<uint64_t> grantedB{0};
    auto sender = [&](const std::string& id, std::atomic<uint64_t>& granted) {
        for (int i = 0; i < 2000; ++i) {
            uint64_t waitMs = 0;
            if (flow.SendControl(id, waitMs)) {
                ++granted;
            }
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(sender, "a", std::ref(grantedA));
    threads.emplace_back(sender, "a", std::ref(grantedA));
    threads.emplace_back(sender, "b", std::ref(grantedB));
    threads.emplace_back([&] {
        ReplicationMaxBandwidth rec{"c", 1};
        for (int i = 0; i < 200; ++i) {
            flow.RegisterRegionBandwidth(rec);
            flow.UnRegisterRegionBandwidth(rec);
        }
    });
    for (auto& t : threads) {
        t.join();
    }
    // The clock did not move: exactly one unit's budget per region.
    EXPECT_EQ(5u, grantedA.load());
    EXPECT_EQ(10u, grantedB.load());
}
