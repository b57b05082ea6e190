// The Strata disk descriptor through its C entry with scripted storage tools:
// URL parsing, open/close with the cached data, block I/O at the data-area
// offset, changed ranges, health check and leftover cleaning.
#include <gtest/gtest.h>
#include <unistd.h>

#include "host/StrataCleanFile.h"
#include "storage_access/DirtyRanges.h"
#include "strata_plugin/DiskDataPersistence.h"
#include "strata_plugin/StrataDiskDescriptor.h"
#include "tests/strata_plugin/PluginTestSupport.h"

using namespace plugintest;
using testing_fakes::CapturedMessages;
using testing_fakes::ConfigOverride;
using testing_fakes::LogCapture;
using testing_fakes::ScriptedCommandRunner;
using testing_fakes::VirtualClock;

namespace {
const char kUuid[] = "0b3f2a1e-5c4d-4e6f-8a9b-0c1d2e3f4a5b";
const uint64_t kDiskSize = 64 * 1024;

unsigned char Pattern(uint64_t i) { return static_cast<unsigned char>((i * 7 + i / 4096) & 0xff); }

VolumeParas BackupParas(DiskMessageNotify* sink, const std::string& url = "strata://10.2.3.4/pool9/snap-2")
{
    VolumeParas p;
    p.volumeOffsetSize = 4096;
    p.volumeID = kUuid;
    p.volumeName = "disk-a";
    p.volumeSize = kDiskSize;
    p.currentSnapshotURL = url;
    p.parentSnapshotURL = "strata://10.2.3.4/pool9/snap-1";
    p.isBackup = true;
    p.msgNotify = sink;
    return p;
}

VolumeParas RestoreParas(DiskMessageNotify* sink)
{
    VolumeParas p = BackupParas(sink);
    p.isBackup = false;
    p.volumeURL = "strata://10.2.3.4/pool9/target-vol";
    p.parentSnapshotURL = "garbage";
    return p;
}

std::shared_ptr<StrataDiskDescriptor> Make(const VolumeParas& p)
{
    std::shared_ptr<CDiskDescriptor> disk;
    if (CreateDiskDescriptor(p, disk) != 0) {
        return nullptr;
    }
    return std::dynamic_pointer_cast<StrataDiskDescriptor>(disk);
}

class DescriptorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = root.MakeFile("device.img", kDiskSize + 4096, Pattern);
        link = root.Path() + "/dev-link";
        ASSERT_EQ(::symlink(device.c_str(), link.c_str()), 0);
        config.Set("BackupNode", "rereadTryTimes", 1).Set("BackupNode", "restoreTryTimes", 1);
    }

    TempRoot root;
    VirtualClock clock;
    ScriptedCommandRunner runner;
    CapturedMessages sink;
    ConfigOverride config;
    std::string device;
    std::string link;
};
}  // namespace

TEST(StrataEntryTest, BadUuidIsRefusedWithoutAnExceptionLeavingTheEntry)
{
    CapturedMessages sink;
    LogCapture logs;
    VolumeParas p = BackupParas(&sink);
    p.volumeID = "not-a-uuid";
    std::shared_ptr<CDiskDescriptor> disk;
    EXPECT_EQ(CreateDiskDescriptor(p, disk), -1);
    EXPECT_EQ(disk, nullptr);
    EXPECT_FALSE(logs.Find("", 4).empty());
}

TEST(StrataEntryTest, InitializationFailuresLogTheirChainAndLeaveDiskUnchanged)
{
    CapturedMessages sink;
    {
        LogCapture logs;
        std::shared_ptr<CDiskDescriptor> disk;
        EXPECT_EQ(CreateDiskDescriptor(BackupParas(nullptr), disk), -1);
        EXPECT_TRUE(logs.Contains("Invalid message notify pointer.", 4));
        EXPECT_TRUE(logs.Contains("Failed to initialize StrataDiskDescriptor.", 4));
        EXPECT_EQ(disk, nullptr);
    }
    {
        LogCapture logs;
        std::shared_ptr<CDiskDescriptor> disk;
        EXPECT_EQ(CreateDiskDescriptor(BackupParas(&sink, "strata://10.2.3.4/pool9/snap-2/"), disk), -1);
        EXPECT_TRUE(logs.Contains("Parse backup volume url failed.", 4));
        EXPECT_TRUE(logs.Contains("Parse params failed.", 4));
        EXPECT_TRUE(logs.Contains("Failed to initialize StrataDiskDescriptor.", 4));
    }
    {
        LogCapture logs;
        VolumeParas p = RestoreParas(&sink);
        p.volumeURL = "strata://x/y";
        std::shared_ptr<CDiskDescriptor> disk;
        EXPECT_EQ(CreateDiskDescriptor(p, disk), -1);
        EXPECT_TRUE(logs.Contains("Parse restore volume url failed.", 4));
    }
}

TEST(StrataEntryTest, UrlPartsOffsetsAndIpv6BracketsAreTakenApart)
{
    CapturedMessages sink;
    VolumeParas p = BackupParas(&sink, "strata://[fd00::12]/pool-7/snap-x");
    p.volumeOffsetSize = 0;
    auto d = Make(p);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetManagerIp(), "fd00::12");
    EXPECT_EQ(d->GetPoolId(), "pool-7");
    EXPECT_EQ(d->GetSnapshotName(), "snap-x");
    EXPECT_EQ(d->GetVolumeOffsetSize(), 0u);
    EXPECT_TRUE(d->IsBackup());
    EXPECT_EQ(d->getDiskName(), "disk-a");
    EXPECT_EQ(StrataDiskDescriptor::StripIPUrl("fd00::1]"), "d00::1");
    EXPECT_EQ(StrataDiskDescriptor::StripIPUrl("10.0.0.1"), "10.0.0.1");

    auto r = Make(RestoreParas(&sink));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->GetTargetVolumeName(), "target-vol");
    EXPECT_FALSE(r->IsBackup());
    EXPECT_TRUE(sink.All().empty());
}

TEST_F(DescriptorTest, BackupOpenReadsAtTheDataOffsetAndCloseDetaches)
{
    runner.ExpectContaining(AttachOf("snap-2"), AttachOk(link));
    runner.ExpectContaining(DetachOf("snap-2"), CliOk());
    auto d = Make(BackupParas(&sink));
    ASSERT_NE(d, nullptr);
    EnvProxyResult open = d->OpenDisk(std::shared_ptr<CSnapshotID>(), true);
    ASSERT_EQ(open._GetCompleteCode(), ENV_PROXY_SUCCESS);
    ASSERT_EQ(open.details.size(), 1u);
    EXPECT_EQ(open.details.front().code, 20100u);
    EXPECT_EQ(open.details.front().params.back(), "LAN-Free");
    Json::Value doc = LastCacheData(sink);
    EXPECT_EQ(doc["snapshot_volumes_attached"][0].asString(), "snap-2");
    EXPECT_EQ(doc["IP"].asString(), "10.2.3.4");
    EXPECT_EQ(doc["pool_id"].asString(), "pool9");

    // O_DIRECT wants aligned buffers.
    void* mem = nullptr;
    ASSERT_EQ(posix_memalign(&mem, 4096, 8192), 0);
    char* buf = static_cast<char*>(mem);
    uint64_t len = 8192;
    EnvProxyResult read = d->ReadBlocks(0, len, buf);
    ASSERT_EQ(read._GetCompleteCode(), ENV_PROXY_SUCCESS);
    for (uint64_t i = 0; i < 8192; ++i) {
        ASSERT_EQ(static_cast<unsigned char>(buf[i]), Pattern(i + 4096)) << i;
    }
    // The last data block ends at the disk's end; beyond it the read fails.
    len = 4096;
    EXPECT_EQ(d->ReadBlocks(kDiskSize - 4096, len, buf)._GetCompleteCode(), ENV_PROXY_SUCCESS);
    len = 4096;
    EnvProxyResult past = d->ReadBlocks(kDiskSize, len, buf);
    EXPECT_EQ(past._GetCompleteCode(), ENV_PROXY_READ_FAILED);
    ASSERT_EQ(past.details.size(), 1u);
    EXPECT_EQ(past.details.front().code, 20149u);
    free(mem);
    d->ReleaseBufferCache(0, 4096);

    EnvProxyResult close = d->CloseDisk();
    EXPECT_EQ(close._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(close.details.empty());
    EXPECT_EQ(ArraySize(LastCacheData(sink), "snapshot_volumes_attached"), 0u);
    EXPECT_EQ(CallsWith(runner, "-c detachwithip -v 'snap-2' -i '10.2.3.4' -p pool9"), 1u);
}

TEST_F(DescriptorTest, FailedAttachRetriesFourTimesAndUndoesTheCacheEntry)
{
    runner.ExpectContaining(AttachOf("snap-2"), CliFail(50151404, "volume not found"));
    auto d = Make(BackupParas(&sink));
    ASSERT_NE(d, nullptr);
    LogCapture logs;
    EnvProxyResult open = d->OpenDisk(std::shared_ptr<CSnapshotID>(), true);
    EXPECT_EQ(open._GetCompleteCode(), ENV_PROXY_OPEN_DISK_FAILED);
    ASSERT_EQ(open.details.size(), 1u);
    EXPECT_EQ(open.details.front().code, 20087u);
    EXPECT_EQ(open.details.front().params,
              (std::vector<std::string>{open.details.front().params[0], "disk-a", "volume not found"}));
    EXPECT_EQ(CallsWith(runner, "attachwithip"), 4u);
    EXPECT_EQ(clock.SleepsSeconds(), (std::vector<uint64_t>{30, 30, 30}));
    EXPECT_TRUE(logs.Contains("AttachVolume failed ! Retry 3 time.", 3));
    EXPECT_TRUE(logs.Contains("Attach volume failed.", 4));
    EXPECT_EQ(ArraySize(LastCacheData(sink), "snapshot_volumes_attached"), 0u);
}

TEST_F(DescriptorTest, DeviceOpenFailureKeepsTheAttachmentForClose)
{
    runner.ExpectContaining(AttachOf("snap-2"), AttachOk(root.Path() + "/no-such-device"));
    runner.ExpectContaining(DetachOf("snap-2"), CliOk());
    auto d = Make(BackupParas(&sink));
    EnvProxyResult open = d->OpenDisk(std::shared_ptr<CSnapshotID>(), true);
    EXPECT_EQ(open._GetCompleteCode(), ENV_PROXY_OPEN_DISK_FAILED);
    EXPECT_EQ(open.details.front().code, 20087u);
    EXPECT_EQ(ArraySize(LastCacheData(sink), "snapshot_volumes_attached"), 1u);
    EXPECT_EQ(d->CloseDisk()._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_EQ(ArraySize(LastCacheData(sink), "snapshot_volumes_attached"), 0u);
}

TEST_F(DescriptorTest, RestoreReadOnlyIsRefusedBeforeAnything)
{
    auto d = Make(RestoreParas(&sink));
    EnvProxyResult open = d->OpenDisk(true);
    EXPECT_EQ(open._GetCompleteCode(), ENV_PROXY_OPEN_DISK_FAILED);
    EXPECT_TRUE(open.details.empty());
    EXPECT_TRUE(runner.Calls().empty());
    EXPECT_TRUE(sink.All().empty());
}

TEST_F(DescriptorTest, RestoreWritesAtTheOffsetRegistersAndRemovesTheKey)
{
    runner.ExpectContaining(AttachOf("target-vol"), AttachOk(link));
    runner.ExpectContaining("reg_qs.sh reg", Lines({"register key failed"}, 1));
    runner.ExpectContaining("reg_qs.sh unreg", Lines({"ok"}));
    runner.ExpectContaining(DetachOf("target-vol"), CliOk());
    auto d = Make(RestoreParas(&sink));
    LogCapture logs;
    EnvProxyResult open = d->OpenDisk(false);
    // A missing key does not fail the open.
    ASSERT_EQ(open._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(logs.Contains("Reg Key for volume[target-vol] failed.iSetKey:-1", 4));
    EXPECT_EQ(CallsWith(runner, "sudo " + root.Path() + "/bin/../script/reg_qs.sh reg " + link), 4u);
    EXPECT_EQ(LastCacheData(sink)["data_volumes_attached"][0].asString(), "target-vol");

    std::string data(4096, 'Z');
    uint64_t len = data.size();
    ASSERT_EQ(d->WriteBlocks(0, len, &data[0])._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_EQ(d->FlushDisk()._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_EQ(d->CloseDisk()._GetCompleteCode(), ENV_PROXY_SUCCESS);
    std::string content = root.ReadFile(device);
    EXPECT_EQ(content.substr(4096, 4096), data);
    EXPECT_EQ(static_cast<unsigned char>(content[0]), Pattern(0));
    // The key is removed under the resolved path of the open.
    EXPECT_EQ(CallsWith(runner, "reg_qs.sh unreg " + device), 1u);
    EXPECT_EQ(ArraySize(LastCacheData(sink), "data_volumes_attached"), 0u);
}

TEST_F(DescriptorTest, FailedDetachRaisesEventAndKeepsTheName)
{
    runner.ExpectContaining(AttachOf("snap-2"), AttachOk(link));
    runner.ExpectContaining(DetachOf("snap-2"), CliFail(1, "device is busy"));
    auto d = Make(BackupParas(&sink));
    ASSERT_EQ(d->OpenDisk(std::shared_ptr<CSnapshotID>(), true)._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EnvProxyResult close = d->CloseDisk();
    EXPECT_EQ(close._GetCompleteCode(), ENV_PROXY_CLOSE_DISK_FAILED);
    ASSERT_EQ(close.details.size(), 1u);
    EXPECT_EQ(close.details.front().code, 20089u);
    EXPECT_EQ(close.details.front().params.back(), "device is busy");
    auto events = Events(sink);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, 1);
    EXPECT_EQ(events[0].code, 72479277076ULL);
    EXPECT_EQ(events[0].params, (std::vector<std::string>{"10.2.3.4", "snap-2", "device is busy", "pool9"}));
    EXPECT_EQ(ArraySize(LastCacheData(sink), "snapshot_volumes_attached"), 1u);
}

TEST_F(DescriptorTest, SameSnapshotIsRefusedBeforeAnyStorageCommand)
{
    auto d = Make(BackupParas(&sink));
    DirtyRanges ranges;
    EnvProxyResult r = d->GetDirtyRanges(nullptr, "snap-2", ranges, 0, 0);
    EXPECT_EQ(r._GetCompleteCode(), ENV_PROXY_GET_DIRTY_RANGES_FAILED);
    ASSERT_EQ(r.details.size(), 1u);
    EXPECT_EQ(r.details.front().code, 20148u);
    EXPECT_EQ(r.details.front().params.back(), "snapshotID is the same with previous backup");
    EXPECT_TRUE(runner.Calls().empty());
    EXPECT_TRUE(sink.All().empty());
}

TEST_F(DescriptorTest, ChangedRangesPassOnTheLeftBehindMarkerAndFailures)
{
    std::string bitmap = root.MakeFile("bitmap", 4096);
    runner.ExpectContaining(kCreate, CreateOk(65536));
    runner.ExpectContaining(kQuery, QueryReady(65536));
    runner.ExpectContaining("-c attachwithip", AttachOk(bitmap));
    runner.ExpectContaining("-c detachwithip", CliOk());
    runner.ExpectContaining(kDelete, QrmCode(1003));  // delete fails: bitmap left behind
    auto d = Make(BackupParas(&sink));
    DirtyRanges ranges;
    EnvProxyResult r = d->GetDirtyRanges(nullptr, "snap-1", ranges, 0, 0);
    EXPECT_EQ(r._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(r.details.empty());
    EXPECT_EQ(r.resultText, "DETACH_DELETE_BITMAP_FAILED");
    EXPECT_EQ(CallsWith(runner, "--snapNameFrom 'snap-1' --snapNameTo 'snap-2'"), 1u);

    // A restore whose previous identifier equals its target is not refused.
    ScriptedCommandRunner failing;
    failing.ExpectContaining(kCreate, QrmCode(50153007));
    failing.ExpectContaining("-c detachwithip", CliOk());
    failing.ExpectContaining(kDelete, QrmCode(0));
    auto restore = Make(RestoreParas(&sink));
    DirtyRanges restoreRanges;
    EnvProxyResult rr = restore->GetDirtyRanges(nullptr, "target-vol", restoreRanges, 0, 0);
    EXPECT_EQ(rr._GetCompleteCode(), ENV_PROXY_GET_DIRTY_RANGES_FAILED);
    ASSERT_EQ(rr.details.size(), 1u);
    EXPECT_EQ(rr.details.front().params.back(), "The from snap and to volume of bitmap volume are different branch!");
    EXPECT_EQ(CallsWith(failing, kCreate), 3u);
}

TEST_F(DescriptorTest, HealthCheckAgentMissingRunsNothing)
{
    config.Set("General", "StrataAgentPath", root.Path() + "/absent/strata_agent");
    auto d = Make(BackupParas(&sink));
    std::string err;
    EXPECT_FALSE(d->CheckHealthStatus(err));
    EXPECT_EQ(err, root.Path() + "/absent/strata_agent is not exist.");
    EXPECT_TRUE(runner.Calls().empty());
}

TEST_F(DescriptorTest, HealthCheckRetriesAndAppliesDefaults)
{
    const std::string agent = root.MakeFile("strata_agent", 1);
    config.Set("General", "StrataAgentPath", agent);
    runner.ExpectContaining("ps -ef", Lines({"root 1 0 /usr/bin/other"}));
    auto d = Make(BackupParas(&sink));
    std::string err;
    LogCapture logs;
    config.Set("BackupNode", "RetryHealthStatusTimes", -5).Set("BackupNode", "RetryHealthStatusWaitTime", 0);
    EXPECT_FALSE(d->CheckHealthStatus(err));
    EXPECT_EQ(clock.SleepsSeconds(), (std::vector<uint64_t>{30, 30, 30, 30}));
    EXPECT_EQ(err, "query not exist volume failed,maybe strata_agent process is not running,maybe strata storage plane "
                   "network has an exception,maybe Block Storage Clients not in Cluster. maybe strata-api-xxx.jar "
                   "file is not exist etc.");
    EXPECT_TRUE(logs.Contains("need retry times: 0", 3));
    EXPECT_EQ(CallsWith(runner, "ps -ef |grep -E 'strata_agent' |grep -E -v grep"), 4u);
    EXPECT_EQ(CallsWith(runner, kQuery), 0u);
}

TEST_F(DescriptorTest, HealthCheckProbeAnswersDecide)
{
    const std::string agent = root.MakeFile("strata_agent", 1);
    config.Set("General", "StrataAgentPath", agent).Set("BackupNode", "RetryHealthStatusTimes", 0);
    runner.ExpectContaining("ps -ef", Lines({"root 77 1 ./strata_agent --daemon"}));
    // The impossible volume found counts as a failure.
    runner.ExpectContaining("volume-1160e808-a89e-4513-a3cb-e4b036c42d7d_1_72345555_NOTEXIST", QueryReady(4096));
    auto d = Make(BackupParas(&sink));
    std::string err;
    EXPECT_FALSE(d->CheckHealthStatus(err));
    EXPECT_EQ(clock.SleepsSeconds().size(), 1u);

    ScriptedCommandRunner healthy;
    healthy.ExpectContaining("ps -ef", Lines({"root 77 1 ./strata_agent --daemon"}));
    healthy.ExpectContaining("NOTEXIST", QrmCode(50150005));
    err.clear();
    EXPECT_TRUE(d->CheckHealthStatus(err));
    EXPECT_EQ(err, "");
}

TEST_F(DescriptorTest, CleanLeftoversEmptyAndInvalidData)
{
    auto d = Make(BackupParas(&sink));
    EXPECT_EQ(d->CleanLeftovers("")._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_EQ(d->CleanLeftovers("{}")._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_EQ(d->CleanLeftovers("{broken")._GetCompleteCode(), ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
    EXPECT_EQ(d->CleanLeftovers("[\"snap\"]")._GetCompleteCode(), ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
    EXPECT_TRUE(runner.Calls().empty());
    EXPECT_TRUE(sink.All().empty());
}

TEST_F(DescriptorTest, CleanLeftoversReleasesFirstNamesAndClearsEvents)
{
    runner.ExpectContaining("-c detachwithip", CliOk());
    runner.ExpectContaining(kDelete, QrmCode(0));
    auto d = Make(BackupParas(&sink));
    const std::string cached = R"({"cache_uuid":"11111111-2222-3333-4444-555555555555","IP":"10.2.3.4",)"
                               R"("pool_id":"pool9","bitmap_volumes_attached":["bm1"],)"
                               R"("bitmap_volumes_created":["bm1"],"snapshot_volumes_attached":["s1","s2"]})";
    EnvProxyResult r = d->CleanLeftovers(cached);
    EXPECT_EQ(r._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(r.details.empty());
    auto events = Events(sink);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].type, 2);
    EXPECT_EQ(events[0].code, 72479277076ULL);
    EXPECT_EQ(events[1].code, 72479277077ULL);
    EXPECT_EQ(events[2].params[1], "s1");
    Json::Value doc = LastCacheData(sink);
    EXPECT_EQ(doc["cache_uuid"].asString(), "11111111-2222-3333-4444-555555555555");
    ASSERT_EQ(ArraySize(doc, "snapshot_volumes_attached"), 1u);
    EXPECT_EQ(doc["snapshot_volumes_attached"][0].asString(), "s2");
    EXPECT_EQ(ArraySize(doc, "bitmap_volumes_created"), 0u);
    EXPECT_EQ(CallsWith(runner, DetachOf("s2")), 0u);
    // Called again with what the host holds now, the second name goes as well.
    EXPECT_EQ(d->CleanLeftovers(sink.Bodies("DiskDescriptor.Message.Update.CacehData").back())._GetCompleteCode(),
              ENV_PROXY_SUCCESS);
    EXPECT_EQ(ArraySize(LastCacheData(sink), "snapshot_volumes_attached"), 0u);
}

TEST_F(DescriptorTest, CleanLeftoversFailuresMarkTheResultAndKeepTheNames)
{
    runner.ExpectContaining("-c detachwithip", CliFail(1, "busy"));
    runner.ExpectContaining(kDelete, QrmCode(1003));
    auto d = Make(RestoreParas(&sink));
    EnvProxyResult r = d->CleanLeftovers(
        R"({"bitmap_volumes_attached":["bm"],"bitmap_volumes_created":["bm"],"data_volumes_attached":["v"]})");
    EXPECT_EQ(r._GetCompleteCode(), ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
    EXPECT_TRUE(r.details.empty());
    EXPECT_TRUE(Events(sink).empty());
    // Nothing changed, so nothing was published; the host keeps its document.
    EXPECT_TRUE(sink.Bodies("DiskDescriptor.Message.Update.CacehData").empty());
    EXPECT_EQ(CallsWith(runner, DetachOf("v")), 4u);
    EXPECT_EQ(CallsWith(runner, DetachOf("bm")), 4u);
}

TEST_F(DescriptorTest, ReleasedDescriptorKeepsLeftoversForALaterCleanUp)
{
    runner.ExpectContaining(AttachOf("snap-2"), AttachOk(link));
    {
        auto d = Make(BackupParas(&sink));
        ASSERT_EQ(d->OpenDisk(std::shared_ptr<CSnapshotID>(), true)._GetCompleteCode(), ENV_PROXY_SUCCESS);
    }
    StrataCleanFile keeper;
    auto finished = keeper.ListFinishedCaches();
    ASSERT_EQ(finished.size(), 1u);
    std::string doc;
    ASSERT_TRUE(keeper.LoadCacheFile(finished[0], doc));
    EXPECT_NE(doc.find("snap-2"), std::string::npos);
}

TEST_F(DescriptorTest, SnapshotOperationsDoNothingAndSendAlarmClearsAnEvent)
{
    auto d = Make(BackupParas(&sink));
    std::shared_ptr<CSnapshotID> snap;
    EXPECT_EQ(d->CreateSnapshot("x", snap)._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_EQ(d->DeleteSnapshot(snap, true)._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(runner.Calls().empty());
    d->SendAlarm(72479277077ULL, "bm", "text");
    auto events = Events(sink);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, 2);
    EXPECT_EQ(events[0].params, (std::vector<std::string>{"10.2.3.4", "bm", "text"}));
}
