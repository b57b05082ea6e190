// Fault injection through the admin interface, seen through the real tool command lines.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/sim/SimToolHelpers.h"

using namespace simtest;

namespace {

class SimFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.CreateVolume("vol", 4u << 20);
        root.Snapshot("vol", "s1");
    }
    SimRoot root;
};

TEST_F(SimFaults, NthCallFailsOnceThenWorks)
{
    ASSERT_EQ("0", Attach(root, "vol")["ret_code"]);  // calls before the rule do not count
    ASSERT_EQ("0", Detach(root, "vol")["ret_code"]);
    root.InjectFault(SimFault::FailWith("attach", 50150005, 2));
    EXPECT_EQ("0", Attach(root, "vol")["ret_code"]);
    ASSERT_EQ("0", Detach(root, "vol")["ret_code"]);
    ToolResult failed = Attach(root, "vol");
    EXPECT_EQ("50150005", failed["ret_code"]);
    EXPECT_TRUE(failed.Has("ret_desc"));
    EXPECT_FALSE(root.State().IsAttached("vol"));  // a refused call does nothing
    EXPECT_EQ("0", Attach(root, "vol")["ret_code"]);
}

TEST_F(SimFaults, PersistentFaultKeepsFailingUntilCleared)
{
    root.InjectFault(SimFault::FailWith("delete", 12345, 1, true));
    ASSERT_EQ("0", CreateBitmap(root, "", "s1", "bm")["ResultCode"]);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ("12345", DeleteVolume(root, "bm")["ResultCode"]);
    }
    EXPECT_TRUE(root.State().Has("bm"));
    root.ClearFaults();
    EXPECT_EQ("0", DeleteVolume(root, "bm")["ResultCode"]);
    EXPECT_EQ(4, root.State().calls.at("delete"));
}

TEST_F(SimFaults, BusyAnswersTheBusyCode)
{
    root.InjectFault(SimFault::Busy("delete", 1, false));
    ASSERT_EQ("0", CreateBitmap(root, "", "s1", "bm")["ResultCode"]);
    EXPECT_EQ("50151006", DeleteVolume(root, "bm")["ResultCode"]);
    EXPECT_EQ("0", DeleteVolume(root, "bm")["ResultCode"]);
    root.InjectFault(SimFault::Busy("detach"));
    ASSERT_EQ("0", Attach(root, "vol")["ret_code"]);
    EXPECT_EQ("50151006", Detach(root, "vol")["ret_code"]);
    EXPECT_TRUE(root.State().IsAttached("vol"));
}

TEST_F(SimFaults, DroppedKeyStillPerformsTheOperation)
{
    root.InjectFault(SimFault::DropKey("attach", "dev_addr"));
    ToolResult a = Attach(root, "vol");
    EXPECT_EQ("0", a["ret_code"]);
    EXPECT_FALSE(a.Has("dev_addr"));
    EXPECT_TRUE(root.State().IsAttached("vol"));
    root.InjectFault(SimFault::DropKey("create", "blockSize"));
    ToolResult c = CreateBitmap(root, "", "s1", "bm");
    EXPECT_EQ((std::vector<std::string>{"ResultCode", "snapSize", "bitmapSize"}), c.keyOrder);
    EXPECT_TRUE(root.State().Has("bm"));
}

TEST_F(SimFaults, GarbageHoldsNoKeyAndDoesNothing)
{
    root.InjectFault(SimFault::Garbage("create"));
    ToolResult c = CreateBitmap(root, "", "s1", "bm");
    EXPECT_NE(0, c.exitStatus);
    EXPECT_FALSE(c.lines.empty());
    for (const auto& line : c.lines) {
        EXPECT_EQ(std::string::npos, line.find('=')) << line;
        EXPECT_EQ(std::string::npos, line.find(':')) << line;
    }
    EXPECT_FALSE(root.State().Has("bm"));
}

TEST_F(SimFaults, StatusOverridesTheCreationStatus)
{
    ASSERT_EQ("0", CreateBitmap(root, "", "s1", "bm")["ResultCode"]);
    root.InjectFault(SimFault::Status(3));
    EXPECT_EQ("3", QueryBitmap(root, "bm")["status"]);
    EXPECT_EQ("0", QueryBitmap(root, "bm")["status"]);
}

TEST_F(SimFaults, StallDelaysTheAnswer)
{
    root.InjectFault(SimFault::Stall("query", 40));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("50150005", QueryBitmap(root, "nothing")["ResultCode"]);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 40);
}

TEST_F(SimFaults, KeyScriptFailsWithTheCodeAsExitStatus)
{
    const std::string dev = Attach(root, "vol")["dev_addr"];
    root.InjectFault(SimFault::FailWith("reg", 3));
    EXPECT_EQ(3, Reg(root, "reg", dev).exitStatus);
    EXPECT_TRUE(root.State().registrations.empty());
    root.InjectFault(SimFault::FailWith("unreg", 256));  // low byte 0 still fails
    ASSERT_EQ(0, Reg(root, "reg", dev).exitStatus);
    EXPECT_EQ(1, Reg(root, "unreg", dev).exitStatus);
    EXPECT_EQ(1u, root.State().registrations.size());
    EXPECT_EQ(0, Reg(root, "unreg", dev).exitStatus);
    EXPECT_TRUE(root.State().registrations.empty());
}

TEST_F(SimFaults, SeveralRulesOnOneCall)
{
    root.InjectFault(SimFault::FailWith("attach", 111));
    root.InjectFault(SimFault::FailWith("attach", 222));
    EXPECT_EQ("111", Attach(root, "vol")["ret_code"]);  // the first rule wins
    EXPECT_EQ("0", Attach(root, "vol")["ret_code"]);
    std::vector<SimCall> calls = root.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(111, calls[0].result);
    EXPECT_EQ(0, calls[1].result);
}

}  // namespace
