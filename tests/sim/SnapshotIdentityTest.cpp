// The storage's identity of a snapshot and IMAGE@SNAPSHOT names on the simulator: through the
// tool line itself and through the CLI's query of it.
#include <gtest/gtest.h>

#include "apps/datamover/session/StorageQuery.h"
#include "tests/sim/SimToolHelpers.h"

using namespace simtest;

namespace {

ToolResult Identity(const SimRoot& root, const std::string& snap, const std::string& mgr = "10.0.0.1")
{
    return RunTool(root.QrmTool(), {"--op", "querySnapshotIdentity", "--staIp", mgr.find(':') != std::string::npos ? "::1" : "127.0.0.1",
                                    "--strataFloatIP", mgr, "--snapName", snap, "--poolId", "pool0"});
}

dmtask::StrataUrl Url(const std::string& name)
{
    return dmtask::StrataUrl{"127.0.0.1", "pool0", name};
}

// A bitmap asked for again after its newer snapshot was re-created under the
// same name is not the old one either.
TEST(SimSnapshotIdentity, ChangesWhenASnapshotIsRecreatedUnderItsName)
{
    SimRoot root;
    root.CreateVolume("vol", 1 << 20);
    root.Snapshot("vol", "base");
    root.Snapshot("vol", "daily");
    ASSERT_EQ("0", CreateBitmap(root, "base", "daily", "b_BITMAP")["ResultCode"]);
    ToolResult first = Identity(root, "daily");
    ASSERT_EQ("0", first["ResultCode"]);
    EXPECT_EQ("vol", first["volName"]);
    EXPECT_EQ("daily", first["snapName"]);
    ASSERT_FALSE(first["snapIdentity"].empty());
    EXPECT_EQ(first["snapIdentity"], Identity(root, "daily")["snapIdentity"]) << "stable while the snapshot lives";
    EXPECT_EQ(first["snapIdentity"], Identity(root, "vol@daily")["snapIdentity"]);

    std::string viaCli, error;
    ASSERT_TRUE(dmtask::SnapshotIdentity(Url("daily"), viaCli, error)) << error;
    EXPECT_EQ(first["snapIdentity"], viaCli);

    root.DeleteSnapshot("daily");
    EXPECT_EQ("50150006", CreateBitmap(root, "daily", "vol", "gone_BITMAP")["ResultCode"]) << "a deleted snapshot is gone";
    root.WritePattern("vol", 0, 4096, 0x22);
    root.Snapshot("vol", "daily");
    EXPECT_EQ("50151007", CreateBitmap(root, "base", "daily", "b_BITMAP")["ResultCode"]);
    ToolResult again = Identity(root, "daily");
    ASSERT_EQ("0", again["ResultCode"]);
    EXPECT_NE(first["snapIdentity"], again["snapIdentity"]);
    ASSERT_TRUE(dmtask::SnapshotIdentity(Url("vol@daily"), viaCli, error)) << error;
    EXPECT_EQ(again["snapIdentity"], viaCli);
}

TEST(SimSnapshotIdentity, RefusesWhatIsNoSnapshotOfThatVolume)
{
    SimRoot root;
    root.CreateVolume("vol", 1 << 20);
    root.CreateVolume("other", 1 << 20);
    root.Snapshot("vol", "s1");
    for (const std::string name : {"nothing", "vol", "other@s1", "vol@", "@s1", "vol@nothing"}) {
        SCOPED_TRACE(name);
        ToolResult r = Identity(root, name);
        EXPECT_EQ("50150006", r["ResultCode"]);
        EXPECT_FALSE(r.Has("snapIdentity"));
        EXPECT_NE(0, r.exitStatus);
        std::string id = "x", error;
        EXPECT_FALSE(dmtask::SnapshotIdentity(Url(name), id, error));
        EXPECT_TRUE(id.empty());
        EXPECT_NE(std::string::npos, error.find("no snapshot " + name)) << error;
    }
    // An agent address of the wrong family is refused as for every qrm operation.
    EXPECT_EQ("1000", RunTool(root.QrmTool(), {"--op", "querySnapshotIdentity", "--staIp", "::1", "--strataFloatIP",
                                               "10.0.0.1", "--snapName", "s1", "--poolId", "pool0"})["ResultCode"]);
}

TEST(SimSnapshotIdentity, AToolAnswerWithoutIdentityIsAFailure)
{
    SimRoot root;
    root.CreateVolume("vol", 1 << 20);
    root.Snapshot("vol", "s1");
    root.InjectFault(SimFault::Garbage("identity"));
    std::string id, error;
    EXPECT_FALSE(dmtask::SnapshotIdentity(Url("s1"), id, error));
    EXPECT_NE(std::string::npos, error.find("no identity")) << error;
    root.InjectFault(SimFault::DropKey("identity", "snapIdentity"));
    EXPECT_FALSE(dmtask::SnapshotIdentity(Url("s1"), id, error));
    EXPECT_TRUE(id.empty());
    EXPECT_TRUE(dmtask::SnapshotIdentity(Url("s1"), id, error)) << error;
}

// IMAGE@SNAPSHOT works wherever the plug-in passes a snapshot name, and only for that image.
TEST(SimSnapshotIdentity, ImageAtSnapshotNamesTheSnapshotInAttachAndBitmaps)
{
    SimRoot root;
    root.CreateVolume("vol", 4 << 20);
    root.CreateVolume("other", 4 << 20);
    root.Snapshot("vol", "s1");
    root.WritePattern("vol", 1 << 20, 4096, 0x11);
    root.Snapshot("vol", "s2");
    ToolResult att = Attach(root, "vol@s2");
    ASSERT_EQ("0", att["ret_code"]);
    EXPECT_TRUE(root.State().IsAttached("s2"));
    ToolResult again = Attach(root, "s2");
    EXPECT_EQ("50151401", again["ret_code"]) << "the same snapshot under either name";
    EXPECT_EQ(att["dev_addr"], again["dev_addr"]);
    EXPECT_EQ("0", Detach(root, "vol@s2")["ret_code"]);
    EXPECT_FALSE(root.State().IsAttached("s2"));
    EXPECT_EQ("50150005", Attach(root, "other@s2")["ret_code"]);

    ToolResult bm = CreateBitmap(root, "vol@s1", "vol@s2", "b_BITMAP");
    ASSERT_EQ("0", bm["ResultCode"]);
    EXPECT_EQ(bm["bitmapSize"], CreateBitmap(root, "s1", "s2", "b_BITMAP")["bitmapSize"]) << "a retry by bare names";
    EXPECT_EQ("50150006", CreateBitmap(root, "other@s1", "vol@s2", "c_BITMAP")["ResultCode"]);
    EXPECT_EQ("50151404", CreateBitmap(root, "", "other@s2", "d_BITMAP")["ResultCode"]);
}

}  // namespace
