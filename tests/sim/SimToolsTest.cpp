// The tool personalities through the installed scripts: output keys, result codes,
// idempotent outcomes, bad command lines and names no shell should ever see.
#include <gtest/gtest.h>

#include <fcntl.h>
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

std::vector<std::string> Keys(const ToolResult& r) { return r.keyOrder; }

TEST_F(SimTools, CreateAndQueryAnswerExactlyTheirKeys)
{
    ToolResult c = CreateBitmap(root, "snap1", "snap2", "bm1");
    EXPECT_EQ(0, c.exitStatus);
    EXPECT_EQ((std::vector<std::string>{"ResultCode", "snapSize", "blockSize", "bitmapSize"}), Keys(c));
    EXPECT_EQ("0", c["ResultCode"]);
    EXPECT_EQ("16", c["snapSize"]);       // MiB of the snapshot
    EXPECT_EQ("1048576", c["blockSize"]);
    EXPECT_EQ("4096", c["bitmapSize"]);   // one padded block

    ToolResult q = QueryBitmap(root, "bm1");
    EXPECT_EQ(0, q.exitStatus);
    EXPECT_EQ((std::vector<std::string>{"ResultCode", "snapSize", "blockSize", "volSize", "status"}), Keys(q));
    EXPECT_EQ("0", q["status"]);
    EXPECT_EQ("4096", q["volSize"]);

    ToolResult missing = QueryBitmap(root, "no-such");
    EXPECT_EQ((std::vector<std::string>{"ResultCode"}), Keys(missing));
    EXPECT_EQ("50150005", missing["ResultCode"]);
    EXPECT_NE(0, missing.exitStatus);
}

TEST_F(SimTools, CreationReportsStatusSevenForTheConfiguredQueries)
{
    root.SetSimConfig("bitmap_pending_queries", "3");
    ASSERT_EQ("0", CreateBitmap(root, "snap1", "snap2", "bm1")["ResultCode"]);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ("7", QueryBitmap(root, "bm1")["status"]) << "query " << i;
    }
    EXPECT_EQ("0", QueryBitmap(root, "bm1")["status"]);
    EXPECT_EQ("0", QueryBitmap(root, "bm1")["status"]);
}

TEST_F(SimTools, CreateRefusals)
{
    EXPECT_EQ("50150006", CreateBitmap(root, "gone", "snap2", "bm1")["ResultCode"]);
    EXPECT_EQ("50150006", CreateBitmap(root, "vol1", "snap2", "bm1")["ResultCode"]);  // a volume is no snapshot
    EXPECT_EQ("50151404", CreateBitmap(root, "snap1", "gone", "bm1")["ResultCode"]);
    root.CreateVolume("other", 16u << 20);
    root.Snapshot("other", "otherSnap");
    EXPECT_EQ("50153007", CreateBitmap(root, "snap1", "otherSnap", "bm1")["ResultCode"]);
    EXPECT_FALSE(root.State().Has("bm1"));

    // The same request again (a retried create) is answered as the first; another is refused.
    ToolResult first = CreateBitmap(root, "snap1", "snap2", "bm1");
    ToolResult again = CreateBitmap(root, "snap1", "snap2", "bm1");
    EXPECT_EQ(first.keys, again.keys);
    EXPECT_EQ("50151007", CreateBitmap(root, "", "snap2", "bm1")["ResultCode"]);
    EXPECT_EQ("50151007", CreateBitmap(root, "", "snap2", "snap1")["ResultCode"]);
}

TEST_F(SimTools, AgentAddressMustMatchTheManagerFamily)
{
    EXPECT_EQ("1000", CreateBitmap(root, "snap1", "snap2", "bm1", "fe80::1", "127.0.0.1")["ResultCode"]);
    EXPECT_EQ("1000", CreateBitmap(root, "snap1", "snap2", "bm1", "10.0.0.1", "::1")["ResultCode"]);
    EXPECT_EQ("1000", CreateBitmap(root, "snap1", "snap2", "bm1", "10.0.0.1", "10.0.0.1")["ResultCode"]);
    EXPECT_EQ("0", CreateBitmap(root, "snap1", "snap2", "bm1", "fe80::1", "::1")["ResultCode"]);
    EXPECT_EQ("1000", QueryBitmap(root, "bm1", "fe80::1", "127.0.0.1")["ResultCode"]);
    EXPECT_EQ("0", QueryBitmap(root, "bm1", "fe80::1", "::1")["ResultCode"]);
}

TEST_F(SimTools, RequireAgentRefusesWhileTheAgentIsDown)
{
    root.SetSimConfig("require_agent", "1");
    EXPECT_EQ("1000", QueryBitmap(root, "anything")["ResultCode"]);
    root.StartAgent();
    EXPECT_EQ("50150005", QueryBitmap(root, "anything")["ResultCode"]);
    root.StopAgent();
    EXPECT_EQ("1000", QueryBitmap(root, "anything")["ResultCode"]);
}

TEST_F(SimTools, DeleteIsRefusedWhileAttachedAndAnswersMissingAfterwards)
{
    ASSERT_EQ("0", CreateBitmap(root, "snap1", "snap2", "bm1")["ResultCode"]);
    ASSERT_EQ("0", Attach(root, "bm1")["ret_code"]);
    ToolResult busy = DeleteVolume(root, "bm1");
    EXPECT_EQ((std::vector<std::string>{"ResultCode"}), Keys(busy));
    EXPECT_EQ("50151402", busy["ResultCode"]);
    ASSERT_EQ("0", Detach(root, "bm1")["ret_code"]);
    const std::string backing = root.State().volumes.at("bm1").backing;
    EXPECT_EQ("0", DeleteVolume(root, "bm1")["ResultCode"]);
    EXPECT_EQ("50150005", DeleteVolume(root, "bm1")["ResultCode"]);
    EXPECT_FALSE(root.State().Has("bm1"));
    EXPECT_NE(0, access(backing.c_str(), F_OK));
    // Snapshots are not deleted through the tool.
    EXPECT_EQ("50150005", DeleteVolume(root, "snap1")["ResultCode"]);
    EXPECT_TRUE(root.State().Has("snap1"));
}

TEST_F(SimTools, AttachAndDetachCodes)
{
    ToolResult a = Attach(root, "snap2");
    EXPECT_EQ(0, a.exitStatus);
    EXPECT_EQ((std::vector<std::string>{"ret_code", "ret_desc", "dev_addr"}), Keys(a));
    EXPECT_EQ("0", a["ret_code"]);
    const std::string dev = a["dev_addr"];
    ASSERT_FALSE(dev.empty());
    // The device reads as the snapshot.
    int fd = open(dev.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[100];
    ASSERT_EQ(100, pread(fd, buf, 100, 5u << 20));
    close(fd);
    EXPECT_EQ(std::string(100, '\x5a'), std::string(buf, 100));

    ToolResult again = Attach(root, "snap2");
    EXPECT_EQ("50151401", again["ret_code"]);
    EXPECT_EQ(dev, again["dev_addr"]);
    EXPECT_EQ("The volume has been attached !", again["ret_desc"]);

    ToolResult missing = Attach(root, "no-such");
    EXPECT_EQ("50150005", missing["ret_code"]);
    EXPECT_FALSE(missing.Has("dev_addr"));

    ToolResult d = Detach(root, "snap2");
    EXPECT_EQ((std::vector<std::string>{"ret_code", "ret_desc"}), Keys(d));
    EXPECT_EQ("0", d["ret_code"]);
    struct stat st {};
    EXPECT_NE(0, lstat(dev.c_str(), &st));
    EXPECT_EQ("50151601", Detach(root, "snap2")["ret_code"]);
    EXPECT_EQ("50151404", Detach(root, "no-such")["ret_code"]);
    EXPECT_TRUE(root.State().attachments.empty());
}

TEST_F(SimTools, UnusableCommandLinesAnswerNoKeys)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--op", "createBitmapVolume"},
        {"--op", "queryBitmapVolume", "--staIp"},
        {"--op", "frobnicate", "--staIp", "127.0.0.1"},
        {"--op", "queryBitmapVolume", "--staIp", "127.0.0.1", "--strataFloatIP", "1.2.3.4", "--volName", "v",
         "--poolId", "p", "--bogus", "x"},
        {"--op", "queryBitmapVolume", "--staIp", "127.0.0.1", "--strataFloatIP", "1.2.3.4", "--volName", "v",
         "--volName", "w", "--poolId", "p"},
    };
    for (const auto& args : bad) {
        ToolResult r = RunTool(root.QrmTool(), args);
        EXPECT_EQ(2, r.exitStatus);
        EXPECT_TRUE(r.keys.empty());
    }
    EXPECT_EQ(2, RunTool(root.CliTool(), {"-c", "attachwithip", "-v", "snap1"}).exitStatus);
    EXPECT_EQ(2, RunTool(root.CliTool(), {"-c", "explode", "-v", "x", "-i", "y", "-p", "z"}).exitStatus);
    EXPECT_EQ(2, RunTool(root.RegScript(), {"reg"}).exitStatus);
    EXPECT_EQ(2, RunTool(root.RegScript(), {"register", "/dev/null"}).exitStatus);
    // Each is recorded as an unusable call, and no operation was counted.
    int unusable = 0;
    for (const auto& c : root.Calls()) {
        unusable += c.op.empty() ? 1 : 0;
    }
    EXPECT_EQ(10, unusable);
    EXPECT_TRUE(root.State().calls.empty());
}

TEST_F(SimTools, HostileNamesArriveByteForByte)
{
    const std::vector<std::string> names = {
        "it's", "a;b", "x|y", "p&q", "$(touch pwned)", "`id`", "line\nbreak", "*", "with space", "-leading",
        "'; rm -rf / #", "\"quoted\"", "../../escape"};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        root.CreateVolume(name, 1u << 20);
        ToolResult a = Attach(root, name);
        ASSERT_EQ("0", a["ret_code"]);
        // Device nodes stay inside the state directory whatever the name.
        const std::string dev = a["dev_addr"];
        EXPECT_EQ(root.StateDir() + "/dev", dev.substr(0, dev.rfind('/')));
        EXPECT_EQ("0", Detach(root, name)["ret_code"]);
        EXPECT_EQ("0", DeleteVolume(root, name)["ResultCode"]);
    }
    std::vector<SimCall> calls = root.Calls();
    ASSERT_EQ(names.size() * 3, calls.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i], calls[i * 3].args.at(3));
        EXPECT_EQ("attach", calls[i * 3].op);
        EXPECT_EQ(names[i], calls[i * 3 + 2].args.at(7));
    }
    EXPECT_NE(0, access((root.Root() + "/pwned").c_str(), F_OK));
    EXPECT_NE(0, access((root.StateDir() + "/escape").c_str(), F_OK));
}

TEST_F(SimTools, KeyRegistrationFollowsTheCanonicalPath)
{
    ToolResult a = Attach(root, "vol1");
    const std::string dev = a["dev_addr"];
    ASSERT_EQ(0, Reg(root, "reg", dev).exitStatus);
    ASSERT_EQ(0, Reg(root, "reg", dev).exitStatus);  // once only
    SimState s = root.State();
    ASSERT_EQ(1u, s.registrations.size());
    EXPECT_EQ(dev, s.registrations[0].device);
    EXPECT_EQ("vol1", s.registrations[0].volume);
    // The close path removes the key under the resolved path of the device.
    EXPECT_EQ(0, Reg(root, "unreg", s.registrations[0].resolved).exitStatus);
    EXPECT_TRUE(root.State().registrations.empty());
    EXPECT_EQ(0, Reg(root, "unreg", dev).exitStatus);  // nothing left: still fine

    EXPECT_EQ(1, Reg(root, "reg", root.Root() + "/no/such/device").exitStatus);
    EXPECT_TRUE(root.State().registrations.empty());

    // A key removed after the detach is matched by the path it was given.
    ASSERT_EQ(0, Reg(root, "reg", dev).exitStatus);
    ASSERT_EQ("0", Detach(root, "vol1")["ret_code"]);
    EXPECT_EQ(0, Reg(root, "unreg", dev).exitStatus);
    EXPECT_TRUE(root.State().Clean());
}

TEST(SimRootLayout, PointsTheHostAtATemporaryRootAndRemovesIt)
{
    std::string rootPath;
    {
        SimRoot root;
        rootPath = root.Root();
        EXPECT_EQ(rootPath, GetCorvaneRootPath("test", 0));
        EXPECT_EQ(root.ConfigFile(), ConfigReader::GetConfigFile());
        EXPECT_EQ(root.AgentProgram(), ConfigReader::getString(kAgentPathSection, kAgentPathKey));
        // The project's keys are still there.
        EXPECT_EQ(3600, ConfigReader::getInt("General", "CreateBitmapTimeoutSec", true));
        for (const std::string& p : {root.QrmTool(), root.CliTool(), root.RegScript(), root.SimBinary()}) {
            EXPECT_EQ(0, access(p.c_str(), X_OK)) << p;
        }
        EXPECT_EQ(0, access(root.AgentProgram().c_str(), X_OK));
        EXPECT_FALSE(root.AgentRunning());
    }
    EXPECT_NE(0, access(rootPath.c_str(), F_OK));
    EXPECT_NE(rootPath, GetCorvaneRootPath("test", 0));
}

TEST(SimRootLayout, HostConfigurationOverridesLandInTheFile)
{
    SimRoot::Options o;
    o.hostConfig[{"General", "CreateBitmapTimeoutSec"}] = "7";
    o.hostConfig[{"NewSection", "Key"}] = "v";
    o.simConfig["block_size"] = "65536";
    o.installAgent = false;
    SimRoot root(o);
    EXPECT_EQ(7, ConfigReader::getInt("General", "CreateBitmapTimeoutSec", true));
    EXPECT_EQ("v", ConfigReader::getString("NewSection", "Key"));
    EXPECT_NE(0, access(root.AgentProgram().c_str(), F_OK));
    root.CreateVolume("v", 1u << 20);
    root.Snapshot("v", "s");
    EXPECT_EQ("65536", CreateBitmap(root, "", "s", "bm")["blockSize"]);
}

TEST(SimAdmin, RefusesBadRequests)
{
    SimRoot root;
    root.CreateVolume("v", 1u << 20);
    EXPECT_NE(0, root.RunAdmin({"volume", "create", "v", "4096"}));           // name taken
    EXPECT_NE(0, root.RunAdmin({"volume", "create", "w", "1000"}));           // not a multiple of 512
    EXPECT_NE(0, root.RunAdmin({"volume", "create", "w", "-4096"}));
    EXPECT_NE(0, root.RunAdmin({"write", "v", "--offset", "1048000", "--pattern", "1", "--length", "1000"}));
    EXPECT_NE(0, root.RunAdmin({"write", "v", "--pattern", "1"}));            // no length
    EXPECT_NE(0, root.RunAdmin({"snapshot", "create", "nope", "s"}));
    root.Snapshot("v", "s");
    EXPECT_NE(0, root.RunAdmin({"snapshot", "create", "v", "s"}));
    EXPECT_NE(0, root.RunAdmin({"write", "s", "--pattern", "1", "--length", "1"}));  // snapshots are fixed
    EXPECT_NE(0, root.RunAdmin({"fault", "add", "--op", "explode", "--busy"}));
    EXPECT_NE(0, root.RunAdmin({"fault", "add", "--op", "attach"}));
    EXPECT_NE(0, root.RunAdmin({"fault", "add", "--op", "attach", "--status", "3"}));
    EXPECT_NE(0, root.RunAdmin({"config", "set", "attach_mode", "teleport"}));
    EXPECT_NE(0, root.RunAdmin({"config", "set", "block_size", "0"}));
    EXPECT_EQ(0, root.RunAdmin({"--help"}));
    // The last byte is writable; the write lands where asked.
    root.Write("v", (1u << 20) - 3, "xyz");
    EXPECT_EQ("xyz", root.Read("v", (1u << 20) - 3, 10));
    EXPECT_EQ(1u << 20, root.State().volumes.at("v").size);
}

}  // namespace
