#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "foundation/JsonUtils.h"
#include "host/ChainDB.h"
#include "host/DataMoverDB.h"
#include "host/SnapStore.h"
#include "host/TaskMgr.h"
#include "host/testing/Fakes.h"
#include "management/ChainManager.h"
#include "tests/support/TempRoot.h"

namespace fs = std::filesystem;

namespace {

const char BUSY[] = "Task has been added to the chain,can't run two or more backup in one chain.";

// Only the directory is used; that it is also the installation root meanwhile does not matter here.
using TempDir = testroot::TempRoot;

BrickData Brick(BrickType type)
{
    BrickData b;
    b.add_type(type);
    return b;
}

ChainParams Params(const std::string& task, const std::string& path,
                   uint32_t param = SnapStore::SNAPSTORE_CREATE)
{
    ChainParams p;
    p.taskId = task;
    p.storagePath = path;
    p.domainUuid = "dom-" + task;
    p.snapStoreParam = param;
    return p;
}

class ChainManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TaskMgr::GetInstance()->Clear();
        ASSERT_TRUE(db->Open(dir.Path() + "/datamover.db"));
        mgr.SetDataMoverDBInterface(db);
    }
    void TearDown() override { TaskMgr::GetInstance()->Clear(); }

    std::string Path(const std::string& name) const { return dir.Path() + "/" + name; }
    bool IsOpen(const std::string& path)
    {
        ChainParams p;
        p.storagePath = path;
        return mgr.CheckChainOpened(p);
    }

    TempDir dir;
    testing_fakes::LogCapture logs;
    std::shared_ptr<DataMoverDB> db = std::make_shared<DataMoverDB>();
    ChainManager mgr;
};

// Open builds the chain on disk; a second task on the same path is refused
// while the chain is open; the chain closes with its last task and the path
// can then be opened again.
TEST_F(ChainManagerTest, ChainLivesFromOpenToItsLastTask)
{
    std::shared_ptr<ChainInfo> info;
    ASSERT_TRUE(mgr.OpenChain(Params("t1", Path("c")), Brick(BRICK_TYPE_BLOCK_VOLUME), info));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->tasks, std::set<std::string>{"t1"});
    // Registered, so the chain database is open: registration needs it.
    EXPECT_TRUE(fs::exists(Path("c") + "/SNAPS_DIR/chain.db"));
    EXPECT_TRUE(info->snapStore->IsReady());
    EXPECT_EQ(info->snapStore->getDomainUuid(), "dom-t1");
    ASSERT_EQ(info->brickData->type_size(), 1);
    ASSERT_EQ(db->ListChains().size(), 1u);
    EXPECT_EQ(db->ListChains()[0].storagePath, Path("c"));
    EXPECT_TRUE(mgr.TaskIsExist("t1"));
    EXPECT_TRUE(logs.Contains("The task [t1] found.", 1));

    std::shared_ptr<ChainInfo> second;
    EXPECT_FALSE(mgr.OpenChain(Params("t2", Path("c")), Brick(BRICK_TYPE_BLOCK_VOLUME), second));
    EXPECT_EQ(logs.Count(BUSY, 4), 2u);  // once by the check, once by the refusal
    EXPECT_EQ(second, nullptr);
    EXPECT_FALSE(mgr.TaskIsExist("t2"));
    EXPECT_TRUE(logs.Contains("The task[t2] can not be found.", 2));
    std::shared_ptr<ChainInfo> other;  // a different path is independent
    EXPECT_TRUE(mgr.OpenChain(Params("t9", Path("d")), Brick(BRICK_TYPE_BLOCK_VOLUME), other));

    info->tasks.insert("t2");  // the table shares this object
    mgr.CloseChain("t1");
    EXPECT_TRUE(IsOpen(Path("c")));
    EXPECT_FALSE(mgr.TaskIsExist("t1"));
    EXPECT_TRUE(mgr.TaskIsExist("t2"));
    mgr.CloseChain("t2");
    EXPECT_FALSE(IsOpen(Path("c")));
    mgr.CloseChain("t2");
    EXPECT_TRUE(logs.Contains("The chain for task [t2] can not be found.", 3));
    std::shared_ptr<ChainInfo> again;
    EXPECT_TRUE(mgr.OpenChain(Params("t3", Path("c")), Brick(BRICK_TYPE_BLOCK_VOLUME), again));
    EXPECT_EQ(db->ListChains().size(), 2u);  // c registered once, and d
}

TEST_F(ChainManagerTest, CleanTaskFollowsTheTaskStatus)
{
    EXPECT_EQ(mgr.CleanTask("nobody"), 1073948970);
    EXPECT_TRUE(logs.Contains("The task[nobody] is not exist.", 4));

    std::shared_ptr<ChainInfo> info;
    ASSERT_TRUE(mgr.OpenChain(Params("t1", Path("c")), Brick(BRICK_TYPE_BLOCK_VOLUME), info));
    TaskID id = TaskMgr::MakeTaskID("t1");
    ASSERT_TRUE(TaskMgr::GetInstance()->AddTask(id, Path("c"), "{}"));
    ASSERT_TRUE(TaskMgr::GetInstance()->SetTaskStatus(id, TASK_STATUS_ABORTING));
    EXPECT_EQ(mgr.CleanTask("t1"), -1);
    EXPECT_TRUE(logs.Contains("The task[t1] status is 3. Unable to clean task.", 4));
    EXPECT_TRUE(IsOpen(Path("c")));
    EXPECT_EQ(TaskMgr::GetInstance()->GetTaskStatus(id), TASK_STATUS_ABORTING);

    // A task the task manager does not know is not finished either.
    TaskMgr::GetInstance()->RemoveTask(id);
    EXPECT_EQ(mgr.CleanTask("t1"), -1);
    EXPECT_TRUE(logs.Contains("The task[t1] status is -1. Unable to clean task.", 4));

    for (int32_t status : {TASK_STATUS_FAILED, TASK_STATUS_SUCCEEDED}) {
        std::shared_ptr<ChainInfo> c;
        std::string path = Path("s" + std::to_string(status));
        ASSERT_TRUE(mgr.OpenChain(Params("f" + std::to_string(status), path), Brick(BRICK_TYPE_BLOCK_VOLUME), c));
        TaskID fid = TaskMgr::MakeTaskID("f" + std::to_string(status));
        ASSERT_TRUE(TaskMgr::GetInstance()->AddTask(fid, path, "{}"));
        ASSERT_TRUE(TaskMgr::GetInstance()->SetTaskStatus(fid, status));
        EXPECT_EQ(mgr.CleanTask("f" + std::to_string(status)), 0);
        EXPECT_EQ(TaskMgr::GetInstance()->GetTaskStatus(fid), TASK_STATUS_NOT_EXIST);
        EXPECT_FALSE(IsOpen(path));
    }
}

TEST_F(ChainManagerTest, TasksInfoListsEveryTaskInPathThenIdOrder)
{
    Json::Value out;
    EXPECT_EQ(mgr.GetTasksInfo(out), 0);
    EXPECT_EQ(CJsonUtils::JsonToString(out), "{\"Tasks\":[]}");
    EXPECT_TRUE(logs.Contains("Begin to get tasks.", 1));

    std::shared_ptr<ChainInfo> b, a;
    ASSERT_TRUE(mgr.OpenChain(Params("tb", Path("b")), Brick(BRICK_TYPE_BLOCK_VOLUME), b));
    ASSERT_TRUE(mgr.OpenChain(Params("tz", Path("a")), Brick(BRICK_TYPE_BLOCK_VOLUME), a));
    a->tasks.insert("ta");
    TaskMgr::GetInstance()->AddTask(TaskMgr::MakeTaskID("ta"), "/repo/a", "flat-a");
    Json::Value info;
    EXPECT_EQ(mgr.GetTasksInfo(info), 0);
    ASSERT_EQ(info["Tasks"].size(), 3u);
    EXPECT_EQ(info["Tasks"][0]["TaskID"].asString(), "ta");
    EXPECT_EQ(info["Tasks"][0]["BackupStoragePath"].asString(), "/repo/a");
    EXPECT_EQ(info["Tasks"][0]["FlatTask"].asString(), "flat-a");
    EXPECT_EQ(info["Tasks"][1]["TaskID"].asString(), "tz");
    EXPECT_EQ(info["Tasks"][1]["BackupStoragePath"].asString(), "");  // unknown to the task manager
    EXPECT_EQ(info["Tasks"][2]["TaskID"].asString(), "tb");
}

TEST_F(ChainManagerTest, AbortReachesTheTaskManagerEvenWithoutAChain)
{
    TaskID id = TaskMgr::MakeTaskID("lonely");
    ASSERT_TRUE(TaskMgr::GetInstance()->AddTask(id, "/x", ""));
    ASSERT_TRUE(TaskMgr::GetInstance()->SetTaskStatus(id, TASK_STATUS_RUNNING));
    auto flag = TaskMgr::GetInstance()->GetAbortFlag(id);
    mgr.AbortTask("lonely");
    EXPECT_TRUE(logs.Contains("The task[lonely] is not exist.", 3));
    EXPECT_TRUE(flag->load());
    EXPECT_EQ(TaskMgr::GetInstance()->GetTaskStatus(id), TASK_STATUS_ABORTING);
}

// Refused opens leave no chain: a storage path that cannot be created, a path
// holding a chain of another kind, brick data without a type.
TEST_F(ChainManagerTest, RefusedOpensLeaveNoChain)
{
    std::ofstream(Path("file")) << "x";
    std::shared_ptr<ChainInfo> block;
    ASSERT_TRUE(mgr.OpenChain(Params("t0", Path("k")), Brick(BRICK_TYPE_BLOCK_VOLUME), block));
    mgr.CloseChain("t0");
    const struct {
        std::string path;
        BrickData brick;
        const char* log;
    } cases[] = {
        {Path("file") + "/chain", Brick(BRICK_TYPE_BLOCK_VOLUME), "Failed to init SnapStore instance, storagePath="},
        {Path("k"), Brick(BRICK_TYPE_NAS_SHARE), "Failed to init SnapStore instance, storagePath="},
        {Path("c"), BrickData(), "Create chaininfo failed.  error msg is brick data has no type"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        logs.Clear();
        std::shared_ptr<ChainInfo> info;
        EXPECT_FALSE(mgr.OpenChain(Params("t1", c.path), c.brick, info));
        EXPECT_TRUE(logs.Contains(c.log, 4)) << logs.Dump();
        EXPECT_FALSE(IsOpen(c.path));
        EXPECT_FALSE(mgr.TaskIsExist("t1"));
    }
}

TEST_F(ChainManagerTest, ConcurrentOpensOfOnePathAdmitOne)
{
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            std::shared_ptr<ChainInfo> info;
            if (mgr.OpenChain(Params("t" + std::to_string(i), Path("c")), Brick(BRICK_TYPE_BLOCK_VOLUME), info)) {
                ++ok;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(ok.load(), 1);
    Json::Value out;
    mgr.GetTasksInfo(out);
    EXPECT_EQ(out["Tasks"].size(), 1u);
}

TEST(SnapStoreTest, LockIsReleasedWhenTheHolderIsKilled)
{
    TempDir dir;
    ChainID id;
    id.add_brick_data()->add_type(BRICK_TYPE_BLOCK_VOLUME);
    const std::string chain = id.SerializeAsString();
    const uint32_t writer = SnapStore::SNAPSTORE_CREATE | SnapStore::SNAPSTORE_EXCLUSIVE;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SnapStore s;
        char c = s.Init(dir.Path(), writer, chain) ? '1' : '0';
        (void)!::write(ready[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, '1');
    SnapStore blocked;
    EXPECT_FALSE(blocked.Init(dir.Path(), writer, chain));
    EXPECT_NE(blocked.GetErrorInfo().find("in use"), std::string::npos);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    SnapStore after;
    EXPECT_TRUE(after.Init(dir.Path(), writer, chain));
}

TEST(SnapStoreTest, EntriesAndBadInput)
{
    TempDir dir;
    SnapStore s;
    EXPECT_FALSE(s.Init(dir.Path() + "/missing", 0, "x"));  // not created without CREATE
    EXPECT_FALSE(s.Init(dir.Path(), SnapStore::SNAPSTORE_CREATE, "not a chain id \xff"));
    EXPECT_FALSE(s.Init("", SnapStore::SNAPSTORE_CREATE, "x"));
    ChainID id;
    id.add_brick_data()->add_type(BRICK_TYPE_BLOCK_VOLUME);
    ASSERT_TRUE(s.Init(dir.Path(), SnapStore::SNAPSTORE_CREATE, id.SerializeAsString()));
    std::string path;
    for (const char* bad : {"", "..", ".hidden", "a/b", "a b", "x\n"}) {
        EXPECT_FALSE(s.CreateEntry(bad, path)) << bad;
        EXPECT_FALSE(s.RemoveEntry(bad)) << bad;
    }
    ASSERT_TRUE(s.CreateEntry("b-2", path));
    ASSERT_TRUE(s.CreateEntry("b-1", path));
    EXPECT_FALSE(s.CreateEntry("b-1", path));  // exists
    std::ofstream(path + "/data") << "payload";
    EXPECT_EQ(s.ListEntries(), (std::vector<std::string>{"b-1", "b-2"}));
    EXPECT_TRUE(s.RemoveEntry("b-1"));
    EXPECT_FALSE(s.EntryExists("b-1"));
    EXPECT_EQ(s.ListEntries(), std::vector<std::string>{"b-2"});
}

TEST(ChainDBTest, BackupRowsAndVfsChoice)
{
    TempDir dir;
    EXPECT_EQ(GetDbVfsTypeByBrickType(BRICK_TYPE_BLOCK_VOLUME), VFS_TYPE_DEFAULT);
    EXPECT_EQ(GetDbVfsTypeByBrickType(BRICK_TYPE_NAS_SHARE), VFS_TYPE_UNIX_DOTFILE);
    for (VFS_TYPE vfs : {VFS_TYPE_DEFAULT, VFS_TYPE_UNIX_DOTFILE}) {
        ChainDB db(vfs, true);
        std::string path = dir.Path() + "/c" + std::to_string(vfs) + "/SNAPS_DIR/" + db.GetDBFileName();
        ASSERT_EQ(db.OpenDB(path), 0) << db.GetLastError();
        ChainDB::BackupRecord r{"b2", "", "full", "snap-1", "running", 20, 0};
        ASSERT_EQ(db.PutBackup(r), 0);
        r.backupId = "b1";
        r.createdAt = 10;
        ASSERT_EQ(db.PutBackup(r), 0);
        EXPECT_EQ(db.SetBackupState("b2", "complete", 4096), 0);
        EXPECT_EQ(db.SetBackupState("nope", "complete", 1), -1);
        auto rows = db.ListBackups();
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].backupId, "b1");
        EXPECT_EQ(rows[1].state, "complete");
        EXPECT_EQ(rows[1].storedBytes, 4096u);
        // A second connection sees the same rows.
        ChainDB reader(vfs, false);
        ASSERT_EQ(reader.OpenDB(path), 0);
        EXPECT_EQ(reader.ListBackups().size(), 2u);
    }
    ChainDB missing(VFS_TYPE_DEFAULT, false);
    EXPECT_EQ(missing.OpenDB(dir.Path() + "/none/SNAPS_DIR/chain.db"), -1);
    EXPECT_EQ(missing.SetDataMoverDB(std::make_shared<DataMoverDB>()), -1);
}

// Registration through a chain database: see the chain manager's cases.
TEST(DataMoverDBTest, UnregistersAndRefusesWhenClosed)
{
    TempDir dir;
    DataMoverDB mover;
    ASSERT_TRUE(mover.Open(dir.Path() + "/datamover.db"));
    for (int i = 0; i < 2; ++i) {  // a second registration refreshes the row
        ASSERT_EQ(mover.RegisterChain("/c", "/c/SNAPS_DIR/chain.db"), 0);
    }
    EXPECT_EQ(mover.ListChains().size(), 1u);
    EXPECT_EQ(mover.UnregisterChain("/c"), 0);
    EXPECT_TRUE(mover.ListChains().empty());
    DataMoverDB closed;
    EXPECT_EQ(closed.RegisterChain("a", "b"), -1);
    EXPECT_FALSE(closed.Open(dir.Path() + "/no/such/dir/x.db"));
}

TEST(TaskMgrTest, StatusesAndAbortFlag)
{
    TaskMgr* mgr = TaskMgr::GetInstance();
    mgr->Clear();
    TaskID empty;
    EXPECT_FALSE(mgr->AddTask(empty, "/p", ""));
    EXPECT_EQ(mgr->GetTaskStatus(empty), TASK_STATUS_NOT_EXIST);
    TaskID id = TaskMgr::MakeTaskID("g1");
    ASSERT_TRUE(mgr->AddTask(id, "/p", "flat"));
    EXPECT_FALSE(mgr->AddTask(id, "/q", ""));
    EXPECT_EQ(mgr->GetTaskStatus(id), TASK_STATUS_CREATED);
    EXPECT_FALSE(mgr->SetTaskStatus(id, 6));
    EXPECT_TRUE(mgr->SetTaskStatus(id, TASK_STATUS_SUCCEEDED));
    EXPECT_FALSE(mgr->SetTaskStatus(id, TASK_STATUS_RUNNING));  // terminal is final
    mgr->RequestAbortTask(id);
    EXPECT_EQ(mgr->GetTaskStatus(id), TASK_STATUS_SUCCEEDED);   // a finished task stays finished
    EXPECT_TRUE(mgr->IsAbortRequested(id));
    mgr->RemoveTask(id);
    EXPECT_EQ(mgr->GetAbortFlag(id), nullptr);
    EXPECT_TRUE(mgr->ListTasks().empty());
}

}  // namespace
