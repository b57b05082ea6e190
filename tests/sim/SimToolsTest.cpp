// The tool personalities through the installed scripts: output keys, result codes,
// idempotent outcomes, bad command lines, key registration and the test root.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "host/ConfigReader.h"
#include "host/RootPath.h"
#include "tests/sim/SimToolHelpers.h"

using namespace simtest;

namespace {

class SimTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        root.CreateVolume("vol1", 16u << 20);
        root.WriteRandom("vol1", 0, 3u << 20, 11);
        root.Snapshot("vol1", "snap1");
        root.WritePattern("vol1", 5u << 20, 100, 0x5a);
        root.Snapshot("vol1", "snap2");
    }
    SimRoot root;
};

TEST_F(SimTools, AnswersCarryExactlyTheirKeys)
{
    ToolResult c = CreateBitmap(root, "snap1", "snap2", "bm1");
    EXPECT_EQ(0, c.exitStatus);
    EXPECT_EQ((std::vector<std::string>{"ResultCode", "snapSize", "blockSize", "bitmapSize"}), c.keyOrder);
    EXPECT_EQ("16", c["snapSize"]);  // MiB of the snapshot
    EXPECT_EQ("1048576", c["blockSize"]);
    EXPECT_EQ("4096", c["bitmapSize"]);  // one padded block
    ToolResult q = QueryBitmap(root, "bm1");
    EXPECT_EQ((std::vector<std::string>{"ResultCode", "snapSize", "blockSize", "volSize", "status"}), q.keyOrder);
    EXPECT_EQ("0", q["status"]);
    EXPECT_EQ("4096", q["volSize"]);
    ToolResult missing = QueryBitmap(root, "no-such");
    EXPECT_EQ((std::vector<std::string>{"ResultCode"}), missing.keyOrder);
    EXPECT_NE(0, missing.exitStatus);
    ASSERT_EQ("0", Attach(root, "bm1")["ret_code"]);
    EXPECT_EQ((std::vector<std::string>{"ResultCode"}), DeleteVolume(root, "bm1").keyOrder);

    ToolResult a = Attach(root, "snap2");
    EXPECT_EQ((std::vector<std::string>{"ret_code", "ret_desc", "dev_addr"}), a.keyOrder);
    const std::string dev = a["dev_addr"];
    ToolResult again = Attach(root, "snap2");
    EXPECT_EQ(dev, again["dev_addr"]);
    EXPECT_EQ("The volume has been attached !", again["ret_desc"]);
    EXPECT_FALSE(Attach(root, "no-such").Has("dev_addr"));
    EXPECT_EQ((std::vector<std::string>{"ret_code", "ret_desc"}), Detach(root, "snap2").keyOrder);
    struct stat st {};
    EXPECT_NE(0, lstat(dev.c_str(), &st));
}

TEST_F(SimTools, ResultCodesOfEachOperation)
{
    root.CreateVolume("other", 16u << 20);
    root.Snapshot("other", "otherSnap");
    RunSteps(root, {
        {"create", "gone", "snap2", "bm1", "50150006"},
        {"create", "vol1", "snap2", "bm1", "50150006"},  // a volume is no snapshot
        {"create", "snap1", "gone", "bm1", "50151404"},
        {"create", "snap1", "otherSnap", "bm1", "50153007"},
        {"query", "bm1", "", "", "50150005"},
        // The same request again (a retried create) is answered as the first; another is refused.
        {"create", "snap1", "snap2", "bm1", "0"},
        {"create", "snap1", "snap2", "bm1", "0"},
        {"create", "", "snap2", "bm1", "50151007"},
        {"create", "", "snap2", "snap1", "50151007"},
        // A bitmap is deleted only when detached; snapshots never through the tool.
        {"attach", "bm1", "", "", "0"},
        {"delete", "bm1", "", "", "50151402"},
        {"detach", "bm1", "", "", "0"},
        {"delete", "bm1", "", "", "0"},
        {"delete", "bm1", "", "", "50150005"},
        {"delete", "snap1", "", "", "50150005"},
        {"attach", "snap2", "", "", "0"},
        {"attach", "snap2", "", "", "50151401"},
        {"attach", "no-such", "", "", "50150005"},
        {"detach", "snap2", "", "", "0"},
        {"detach", "snap2", "", "", "50151601"},
        {"detach", "no-such", "", "", "50151404"},
    });
    SimState s = root.State();
    EXPECT_FALSE(s.Has("bm1"));
    EXPECT_TRUE(s.Has("snap1"));
    EXPECT_TRUE(s.attachments.empty());
}

TEST_F(SimTools, CreationPendsForTheConfiguredQueries)
{
    root.SetSimConfig("bitmap_pending_queries", "3");
    ASSERT_EQ("0", CreateBitmap(root, "snap1", "snap2", "bm1")["ResultCode"]);
    for (const char* status : {"7", "7", "7", "0", "0"}) {
        EXPECT_EQ(status, QueryBitmap(root, "bm1")["status"]);
    }
}

TEST_F(SimTools, TheAgentMustAnswerInTheManagersFamilyAndRunWhenRequired)
{
    EXPECT_EQ("1000", CreateBitmap(root, "snap1", "snap2", "bm1", "fe80::1", "127.0.0.1")["ResultCode"]);
    EXPECT_EQ("1000", CreateBitmap(root, "snap1", "snap2", "bm1", "10.0.0.1", "::1")["ResultCode"]);
    EXPECT_EQ("1000", CreateBitmap(root, "snap1", "snap2", "bm1", "10.0.0.1", "10.0.0.1")["ResultCode"]);
    EXPECT_EQ("0", CreateBitmap(root, "snap1", "snap2", "bm1", "fe80::1", "::1")["ResultCode"]);
    EXPECT_EQ("1000", QueryBitmap(root, "bm1", "fe80::1", "127.0.0.1")["ResultCode"]);
    EXPECT_EQ("0", QueryBitmap(root, "bm1", "fe80::1", "::1")["ResultCode"]);
    root.SetSimConfig("require_agent", "1");
    EXPECT_EQ("1000", QueryBitmap(root, "anything")["ResultCode"]);
    root.StartAgent();
    EXPECT_EQ("50150005", QueryBitmap(root, "anything")["ResultCode"]);
    root.StopAgent();
    EXPECT_EQ("1000", QueryBitmap(root, "anything")["ResultCode"]);
}

TEST_F(SimTools, UnusableCommandLinesAnswerNoKeys)
{
    const std::vector<std::pair<std::string, std::vector<std::string>>> bad = {
        {root.QrmTool(), {}},
        {root.QrmTool(), {"--op", "createBitmapVolume"}},
        {root.QrmTool(), {"--op", "queryBitmapVolume", "--staIp"}},
        {root.QrmTool(), {"--op", "frobnicate", "--staIp", "127.0.0.1"}},
        {root.QrmTool(), {"--op", "queryBitmapVolume", "--staIp", "127.0.0.1", "--strataFloatIP", "1.2.3.4",
                          "--volName", "v", "--poolId", "p", "--bogus", "x"}},
        {root.QrmTool(), {"--op", "queryBitmapVolume", "--staIp", "127.0.0.1", "--strataFloatIP", "1.2.3.4",
                          "--volName", "v", "--volName", "w", "--poolId", "p"}},
        // An option of another operation (the snapshot identity's).
        {root.QrmTool(), {"--op", "queryBitmapVolume", "--staIp", "127.0.0.1", "--strataFloatIP", "1.2.3.4",
                          "--volName", "v", "--poolId", "p", "--snapName", "s1"}},
        {root.CliTool(), {"-c", "attachwithip", "-v", "snap1"}},
        {root.CliTool(), {"-c", "explode", "-v", "x", "-i", "y", "-p", "z"}},
        {root.RegScript(), {"reg"}},
        {root.RegScript(), {"register", "/dev/null"}},
    };
    for (const auto& b : bad) {
        ToolResult r = RunTool(b.first, b.second);
        EXPECT_EQ(2, r.exitStatus);
        EXPECT_TRUE(r.keys.empty());
    }
    // Each is recorded as an unusable call, and no operation was counted.
    int unusable = 0;
    for (const auto& c : root.Calls()) {
        unusable += c.op.empty() ? 1 : 0;
    }
    EXPECT_EQ(11, unusable);
    EXPECT_TRUE(root.State().calls.empty());
}

TEST_F(SimTools, KeyRegistrationFollowsTheCanonicalPath)
{
    const std::string dev = Attach(root, "vol1")["dev_addr"];
    RunSteps(root, {{"reg", dev, "", "", "0"}, {"reg", dev, "", "", "0"}});  // once only
    SimState s = root.State();
    ASSERT_EQ(1u, s.registrations.size());
    EXPECT_EQ(dev, s.registrations[0].device);
    EXPECT_EQ("vol1", s.registrations[0].volume);
    // The close path removes the key under the resolved path; a key removed after
    // the detach is matched by the path it was given.
    RunSteps(root, {{"unreg", s.registrations[0].resolved, "", "", "0"},
                    {"unreg", dev, "", "", "0"},  // nothing left: still fine
                    {"reg", root.Root() + "/no/such/device", "", "", "1"},
                    {"reg", dev, "", "", "0"},
                    {"detach", "vol1", "", "", "0"},
                    {"unreg", dev, "", "", "0"}});
    EXPECT_TRUE(root.State().Clean());
}

// The installed tools and the simulator's own settings are what every other
// test here runs on; this checks what the host sees and what is left after.
TEST(SimRootLayout, PointsTheHostAtATemporaryRootWithItsSettingsAndRemovesIt)
{
    std::string rootPath;
    {
        SimRoot root;
        rootPath = root.Root();
        EXPECT_EQ(rootPath, GetCorvaneRootPath("test", 0));
        EXPECT_EQ(root.ConfigFile(), ConfigReader::GetConfigFile());
        EXPECT_EQ(root.AgentProgram(), ConfigReader::getString(kAgentPathSection, kAgentPathKey));
        EXPECT_EQ(3600, ConfigReader::getInt("General", "CreateBitmapTimeoutSec", true));  // the project's keys
    }
    EXPECT_NE(0, access(rootPath.c_str(), F_OK));
    EXPECT_NE(rootPath, GetCorvaneRootPath("test", 0));

    SimRoot::Options o;
    o.hostConfig[{"General", "CreateBitmapTimeoutSec"}] = "7";
    o.hostConfig[{"NewSection", "Key"}] = "v";
    o.installAgent = false;
    SimRoot root(o);
    EXPECT_EQ(7, ConfigReader::getInt("General", "CreateBitmapTimeoutSec", true));
    EXPECT_EQ("v", ConfigReader::getString("NewSection", "Key"));
    EXPECT_NE(0, access(root.AgentProgram().c_str(), F_OK));
}

TEST(SimAdmin, RefusesBadRequests)
{
    SimRoot root;
    root.CreateVolume("v", 1u << 20);
    root.Snapshot("v", "s");
    const std::vector<std::vector<std::string>> bad = {
        {"volume", "create", "v", "4096"},  // name taken
        {"volume", "create", "w", "1000"},  // not a multiple of 512
        {"volume", "create", "w", "-4096"},
        {"write", "v", "--offset", "1048000", "--pattern", "1", "--length", "1000"},
        {"write", "v", "--pattern", "1"},  // no length
        {"snapshot", "create", "nope", "s2"},
        {"snapshot", "create", "v", "s"},
        {"write", "s", "--pattern", "1", "--length", "1"},  // snapshots are fixed
        {"fault", "add", "--op", "explode", "--busy"},
        {"fault", "add", "--op", "attach"},
        {"fault", "add", "--op", "attach", "--status", "3"},
        {"config", "set", "attach_mode", "teleport"},
        {"config", "set", "block_size", "0"},
    };
    for (const auto& args : bad) {
        EXPECT_NE(0, root.RunAdmin(args)) << args[0] << " " << args[1];
    }
    EXPECT_EQ(0, root.RunAdmin({"--help"}));
    // The last byte is writable; the write lands where asked.
    root.Write("v", (1u << 20) - 3, "xyz");
    EXPECT_EQ("xyz", root.Read("v", (1u << 20) - 3, 10));
    EXPECT_EQ(1u << 20, root.State().volumes.at("v").size);
}

}  // namespace
