// Fault injection through the admin interface, seen through the real tool command lines.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/sim/SimToolHelpers.h"
#include "tests/support/WaitFor.h"

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

// Rules count calls from the moment they are added and fire once or (persistent)
// until cleared; a refused call does nothing.
TEST_F(SimFaults, RulesFireOnTheirCallsAndRefusalsDoNothing)
{
    RunSteps(root, {{"attach", "vol", "", "", "0"}, {"detach", "vol", "", "", "0"}});
    root.InjectFault(SimFault::FailWith("attach", 50150005, 2));
    RunSteps(root, {{"attach", "vol", "", "", "0"},
                    {"detach", "vol", "", "", "0"},
                    {"attach", "vol", "", "", "50150005"}});
    EXPECT_FALSE(root.State().IsAttached("vol"));
    RunSteps(root, {{"attach", "vol", "", "", "0"}, {"create", "", "s1", "bm", "0"}});

    root.InjectFault(SimFault::FailWith("delete", 12345, 1, true));
    RunSteps(root, {{"delete", "bm", "", "", "12345"}, {"delete", "bm", "", "", "12345"}});
    EXPECT_TRUE(root.State().Has("bm"));
    root.ClearFaults();
    root.InjectFault(SimFault::Busy("delete"));
    root.InjectFault(SimFault::Busy("detach"));
    RunSteps(root, {{"delete", "bm", "", "", "50151006"},
                    {"delete", "bm", "", "", "0"},
                    {"detach", "vol", "", "", "50151006"}});
    EXPECT_TRUE(root.State().IsAttached("vol"));
    EXPECT_EQ(4, root.State().calls.at("delete"));

    // Several rules on one call: the first wins.
    RunSteps(root, {{"detach", "vol", "", "", "0"}});
    root.InjectFault(SimFault::FailWith("attach", 111));
    root.InjectFault(SimFault::FailWith("attach", 222));
    RunSteps(root, {{"attach", "vol", "", "", "111"}, {"attach", "vol", "", "", "0"}});
    std::vector<SimCall> calls = root.Calls();
    EXPECT_EQ(111, calls[calls.size() - 2].result);
    EXPECT_EQ(0, calls.back().result);
}

TEST_F(SimFaults, DroppedKeysGarbageAndStatusShapeTheAnswer)
{
    root.InjectFault(SimFault::DropKey("attach", "dev_addr"));
    ToolResult a = Attach(root, "vol");
    EXPECT_EQ("0", a["ret_code"]);
    EXPECT_FALSE(a.Has("dev_addr"));
    EXPECT_TRUE(root.State().IsAttached("vol"));  // the operation was done
    root.InjectFault(SimFault::DropKey("create", "blockSize"));
    EXPECT_EQ((std::vector<std::string>{"ResultCode", "snapSize", "bitmapSize"}),
              CreateBitmap(root, "", "s1", "bm").keyOrder);
    EXPECT_TRUE(root.State().Has("bm"));

    root.InjectFault(SimFault::Garbage("create"));
    ToolResult c = CreateBitmap(root, "", "s1", "bm2");
    EXPECT_NE(0, c.exitStatus);
    EXPECT_FALSE(c.lines.empty());
    for (const auto& line : c.lines) {
        EXPECT_EQ(std::string::npos, line.find_first_of("=:")) << line;
    }
    EXPECT_FALSE(root.State().Has("bm2"));

    root.InjectFault(SimFault::Status(3));
    EXPECT_EQ("3", QueryBitmap(root, "bm")["status"]);
    EXPECT_EQ("0", QueryBitmap(root, "bm")["status"]);
}

// A stall delays the answer; clearing the faults lets a held call go at once.
TEST_F(SimFaults, StallDelaysTheAnswerUntilTheFaultsAreCleared)
{
    root.InjectFault(SimFault::Stall("query", 40));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("50150005", QueryBitmap(root, "nothing")["ResultCode"]);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));

    root.InjectFault(SimFault::Stall("query", 60000));
    std::string code;
    std::thread held([&] { code = QueryBitmap(root, "nothing")["ResultCode"]; });
    const bool counted = testwait::WaitFor([&] { return root.State().calls["query"] == 2; }, std::chrono::seconds(20));
    root.ClearFaults();
    held.join();
    EXPECT_TRUE(counted);
    EXPECT_EQ("50150005", code);
}

TEST_F(SimFaults, KeyScriptFailsWithTheCodeAsExitStatus)
{
    const std::string dev = Attach(root, "vol")["dev_addr"];
    root.InjectFault(SimFault::FailWith("reg", 3));
    RunSteps(root, {{"reg", dev, "", "", "3"}});
    EXPECT_TRUE(root.State().registrations.empty());
    root.InjectFault(SimFault::FailWith("unreg", 256));  // low byte 0 still fails
    RunSteps(root, {{"reg", dev, "", "", "0"}, {"unreg", dev, "", "", "1"}});
    EXPECT_EQ(1u, root.State().registrations.size());
    RunSteps(root, {{"unreg", dev, "", "", "0"}});
    EXPECT_TRUE(root.State().registrations.empty());
}

}  // namespace
