// What the host relies on without seeing it: virtual slot order, record layouts,
// device open flags and offsets, the close contract, key clean-up by volume,
// the fixed agent path, caller names in records and hostile cached data.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstring>

#include "storage_access/DirtyRanges.h"
#include "storage_access/DiskDeviceFile.h"
#include "strata_plugin/CommonVMHandle.h"
#include "strata_plugin/DiskDataPersistence.h"
#include "strata_plugin/StrataDiskDescriptor.h"
#include "tests/strata_plugin/PluginTestSupport.h"

using namespace plugintest;
using testing_fakes::CapturedMessages;
using testing_fakes::LogCapture;
using testing_fakes::ScriptedCommandRunner;
using testing_fakes::VirtualClock;

namespace {
const char kUuid[] = "0b3f2a1e-5c4d-4e6f-8a9b-0c1d2e3f4a5b";

// Itanium C++ ABI: a pointer to a virtual member holds 1 + the slot's byte offset.
template <typename M>
size_t Slot(M member)
{
    uintptr_t raw = 0;
    std::memcpy(&raw, &member, sizeof(raw));
    return (raw - 1) / sizeof(void*);
}

using D = CDiskDescriptor;
using S = StrataDiskDescriptor;
using P = std::shared_ptr<CSnapshotID>;
using H = std::shared_ptr<CommonVMHandle>;

TEST(PluginContractTest, VirtualSlotsKeepTheirOrder)
{
    const std::vector<std::pair<size_t, size_t>> slots = {
        {Slot(&D::Init), 2},
        {Slot(static_cast<EnvProxyResult (D::*)(bool)>(&D::OpenDisk)), 3},
        {Slot(&D::PrepareForOpenDisk), 4},
        {Slot(static_cast<EnvProxyResult (D::*)(const P&, bool)>(&D::OpenDisk)), 5},
        {Slot(static_cast<EnvProxyResult (D::*)()>(&D::CloseDisk)), 6},
        {Slot(&D::FlushDisk), 7},
        {Slot(&D::CheckHealthStatus), 8},
        {Slot(static_cast<EnvProxyResult (D::*)(const P&, const std::string&, DirtyRanges&, uint64_t, uint64_t)>(
             &D::GetDirtyRanges)), 9},
        {Slot(static_cast<EnvProxyResult (D::*)(const std::string&, P&)>(&D::CreateSnapshot)), 10},
        {Slot(static_cast<EnvProxyResult (D::*)(P&, bool)>(&D::DeleteSnapshot)), 11},
        {Slot(static_cast<EnvProxyResult (D::*)(const uint64_t&, uint64_t&, char*)>(&D::ReadBlocks)), 12},
        {Slot(&D::AioReadBlocks), 13},
        {Slot(&D::MmapReadBlocks), 14},
        {Slot(static_cast<EnvProxyResult (D::*)(const uint64_t&, uint64_t&, char*)>(&D::WriteBlocks)), 15},
        {Slot(static_cast<EnvProxyResult (D::*)(const uint64_t&, uint64_t&, char*, uint64_t&)>(&D::ReadBlocks)), 16},
        {Slot(static_cast<EnvProxyResult (D::*)(const uint64_t&, uint64_t&, char*, uint64_t&)>(&D::WriteBlocks)), 17},
        {Slot(&D::CleanLeftovers), 18},
        {Slot(&D::GetMetadata), 19},
        {Slot(&D::ExtractMetadata), 20},
        {Slot(&D::ReleaseBufferCache), 21},
        {Slot(static_cast<int32_t (D::*)(H&, bool, ErrorMessage&)>(&D::OpenDisk)), 22},
        {Slot(static_cast<int32_t (D::*)(H&, const P&, bool, ErrorMessage&)>(&D::OpenDisk)), 23},
        {Slot(static_cast<int32_t (D::*)(ErrorMessage&)>(&D::CloseDisk)), 24},
        {Slot(static_cast<int32_t (D::*)(const uint64_t&, uint64_t&, const char*, ErrorMessage&)>(&D::WriteBlocks)),
         29},
        {Slot(&S::InitializeDiskInfo), 30},
        {Slot(&S::RegKeyForVolume), 31},
        {Slot(&S::UnRegKeyForVolume), 32},
        // The plug-in's cache, after its two destructor slots.
        {Slot(&DiskDataPersistence::AddObject), 2},
        {Slot(&DiskDataPersistence::GetFirstArrayElement), 7},
        {Slot(&DiskDataPersistence::Finish), 11},
        {Slot(&CommonVMHandle::toJsonObject), 10},
        {Slot(&CommonVMHandle::clearCacheObject), 15},
        {Slot(&CommonVMHandle::delCachedArrayObject), 32},
    };
    for (size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(slots[i].first, slots[i].second) << "entry " << i;
    }
}

TEST(PluginContractTest, BoundaryRecordsKeepTheirMemberOrder)
{
    const std::vector<size_t> paras = {
        offsetof(VolumeParas, volumeOffsetSize), offsetof(VolumeParas, volumeID),
        offsetof(VolumeParas, volumeName),       offsetof(VolumeParas, volumeThirdString),
        offsetof(VolumeParas, volumeSize),       offsetof(VolumeParas, currentSnapshotURL),
        offsetof(VolumeParas, parentSnapshotURL), offsetof(VolumeParas, volumeURL),
        offsetof(VolumeParas, isBackup),         offsetof(VolumeParas, stringList),
        offsetof(VolumeParas, productStorageType), offsetof(VolumeParas, msgNotify),
        offsetof(VolumeParas, newVolumeOffsetSize), offsetof(VolumeParas, trailing1),
        offsetof(VolumeParas, trailing3),        offsetof(VolumeParas, abortFun)};
    const EnvProxyResult r;
    auto at = [&r](const void* member) {
        return static_cast<size_t>(static_cast<const char*>(member) - reinterpret_cast<const char*>(&r));
    };
    const std::vector<size_t> result = {at(&r.completeCode), at(&r.mergedMessages), at(&r.resultText),
                                        at(&r.details)};
    for (const auto* order : {&paras, &result}) {
        for (size_t i = 1; i < order->size(); ++i) {
            EXPECT_LT((*order)[i - 1], (*order)[i]) << "member " << i;
        }
    }
    EXPECT_EQ(offsetof(VolumeParas, volumeOffsetSize), 0u);
    EXPECT_LT(offsetof(message, code), offsetof(message, params));
}

// A device that records what the descriptor asks of it.
struct RecordingDevice : DiskDeviceFile {
    DISK_DEVICE_RETURN_CODE Open(const std::string& path, int32_t flags, uint64_t size) override
    {
        openFlags = flags;
        openSize = size;
        openPath = path;
        return DISK_DEVICE_OK;
    }
    DISK_DEVICE_RETURN_CODE Read(const uint64_t& offset, uint64_t&, char*) override
    {
        readOffset = offset;
        return DISK_DEVICE_OK;
    }
    DISK_DEVICE_RETURN_CODE Close() override { return closeFails ? DISK_DEVICE_READ_FAILED : DISK_DEVICE_OK; }
    std::string GetErrString() override { return "close failed: EIO"; }
    std::string GetDiskDevicePath() override { return resolvedPath; }
    void ReleaseBufferCache(const uint64_t& start, const uint64_t&) override { releasedOffset = start; }
    int32_t openFlags = -1;
    uint64_t openSize = 0;
    uint64_t readOffset = 0;
    uint64_t releasedOffset = 99;
    std::string openPath;
    std::string resolvedPath;
    bool closeFails = false;
};

// The descriptor with its device replaced.
struct ProbedDescriptor : StrataDiskDescriptor {
    ProbedDescriptor() : StrataDiskDescriptor(65536, boost::uuids::uuid()) {}
    void UseDevice(std::shared_ptr<DiskDeviceFile> d) { diskDeviceFile = std::move(d); }
};

class ContractTest : public ::testing::Test {
protected:
    std::shared_ptr<ProbedDescriptor> Make(bool backup)
    {
        VolumeParas p;
        p.volumeOffsetSize = 4096;
        p.volumeID = kUuid;
        p.volumeName = "disk-a";
        p.volumeSize = 65536;
        p.isBackup = backup;
        p.currentSnapshotURL = "strata://10.2.3.4/pool9/snap-2";
        p.volumeURL = "strata://10.2.3.4/pool9/target-vol";
        p.msgNotify = &sink;
        auto d = std::make_shared<ProbedDescriptor>();
        if (d->InitializeDiskInfo(p)._GetCompleteCode() != ENV_PROXY_SUCCESS) {
            return nullptr;
        }
        d->UseDevice(device);
        return d;
    }
    Json::Value Doc() { return LastCacheData(sink); }

    TempRoot root;
    VirtualClock clock;
    ScriptedCommandRunner runner;
    CapturedMessages sink;
    LogCapture logs;
    std::shared_ptr<RecordingDevice> device = std::make_shared<RecordingDevice>();
};
}  // namespace

TEST_F(ContractTest, OpenFlagsSizesAndOffsets)
{
    runner.ExpectContaining("-c attachwithip", AttachOk("/dev/sdq"));
    runner.ExpectContaining("reg_qs.sh", Lines({"ok"}));
    for (bool backup : {true, false}) {
        auto d = Make(backup);
        ASSERT_NE(d, nullptr);
        EnvProxyResult open = backup ? d->OpenDisk(P(), true) : d->OpenDisk(false);
        ASSERT_EQ(open._GetCompleteCode(), ENV_PROXY_SUCCESS);
        EXPECT_EQ(device->openFlags, backup ? 16384 : 1);
        EXPECT_EQ(device->openSize, 65536u + 4096u);
        EXPECT_EQ(device->openPath, "/dev/sdq");
    }
    auto d = Make(true);
    uint64_t len = 4096;
    d->ReadBlocks(8192, len, nullptr);
    EXPECT_EQ(device->readOffset, 8192u + 4096u);
    d->ReleaseBufferCache(8192, 4096);
    EXPECT_EQ(device->releasedOffset, 8192u) << "the release is not shifted by the data-area offset";
}

TEST_F(ContractTest, CloseAfterAFailedDeviceCloseStillDetaches)
{
    runner.ExpectContaining("-c attachwithip", AttachOk("/dev/sdq"));
    runner.ExpectContaining("-c detachwithip", CliOk());
    auto d = Make(true);
    ASSERT_EQ(d->OpenDisk(P(), true)._GetCompleteCode(), ENV_PROXY_SUCCESS);
    device->closeFails = true;
    EnvProxyResult close = d->CloseDisk();
    EXPECT_EQ(close._GetCompleteCode(), ENV_PROXY_CLOSE_DISK_FAILED);
    ASSERT_EQ(close.details.size(), 1u);
    EXPECT_EQ(close.details.front().code, 20089u);
    EXPECT_EQ(close.details.front().params.back(), "close failed: EIO");
    EXPECT_EQ(CallsWith(runner, DetachOf("snap-2")), 1u);
    EXPECT_EQ(ArraySize(Doc(), "snapshot_volumes_attached"), 0u);
    EXPECT_TRUE(logs.Contains("Close disk device file failed.", 4));
}

// CloseDisk removes the key under the resolved path of the open, falls back to
// the attach path when the device never opened, and runs no key script at all
// when this descriptor attached nothing.
TEST_F(ContractTest, CloseRemovesTheKeyUnderTheBestPathItHas)
{
    struct Case {
        bool open;
        std::string resolved;
        std::string unregPath;  // empty: no key script
    };
    for (const Case& c : {Case{true, "/dev/resolved", "/dev/resolved"}, Case{true, "", "/dev/sdq"},
                          Case{false, "", ""}}) {
        ScriptedCommandRunner script;
        script.ExpectContaining("-c attachwithip", AttachOk("/dev/sdq"));
        script.ExpectContaining("reg_qs.sh", Lines({"ok"}));
        script.ExpectContaining("-c detachwithip", CliOk());
        device->resolvedPath = c.resolved;
        auto d = Make(false);
        if (c.open) {
            ASSERT_EQ(d->OpenDisk(false)._GetCompleteCode(), ENV_PROXY_SUCCESS);
            EXPECT_EQ(Doc()["data_volume_keys_registered"][0].asString(), "target-vol") << "the volume, not a path";
        }
        EXPECT_EQ(d->CloseDisk()._GetCompleteCode(), ENV_PROXY_SUCCESS);
        EXPECT_EQ(CallsWith(script, "reg_qs.sh unreg"), c.unregPath.empty() ? 0u : 1u) << c.resolved;
        if (!c.unregPath.empty()) {
            EXPECT_EQ(CallsWith(script, "reg_qs.sh unreg " + c.unregPath), 1u);
            EXPECT_EQ(ArraySize(Doc(), "data_volume_keys_registered"), 0u);
        }
        EXPECT_EQ(CallsWith(script, DetachOf("target-vol")), 1u);
    }
}

// "Already attached" without a device node: nothing to open, no key script
// with an empty path, the attachment stays recorded and CloseDisk releases it.
TEST_F(ContractTest, AttachWithoutADevicePathFailsTheOpenCleanly)
{
    runner.ExpectContaining("-c attachwithip", Lines({"ret_code=50151401", "ret_desc=The volume has been attached !"}));
    runner.ExpectContaining("-c detachwithip", CliOk());
    auto d = Make(false);
    EnvProxyResult open = d->OpenDisk(false);
    EXPECT_EQ(open._GetCompleteCode(), ENV_PROXY_OPEN_DISK_FAILED);
    ASSERT_EQ(open.details.size(), 1u);
    EXPECT_EQ(open.details.front().code, 20087u);
    EXPECT_EQ(open.details.front().params.back(), "The volume has been attached !");
    EXPECT_EQ(device->openFlags, -1);
    EXPECT_EQ(CallsWith(runner, "reg_qs.sh"), 0u);
    EXPECT_TRUE(logs.Contains("Attach volume[target-vol] gave no device path.", 4));
    EXPECT_EQ(ArraySize(Doc(), "data_volumes_attached"), 1u);
    EXPECT_EQ(d->CloseDisk()._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_EQ(CallsWith(runner, "reg_qs.sh"), 0u);
    EXPECT_EQ(ArraySize(Doc(), "data_volumes_attached"), 0u);
}

// Leftover cleaning asks the storage for the named volume's device now; a path
// from an old record may belong to another volume and is never unregistered.
TEST_F(ContractTest, LeftoverKeysAreRemovedByVolumeNeverByAnOldPath)
{
    struct Case {
        const char* cached;
        Reply attach;
        size_t unregCalls;
        EnvProxyStatus status;
        size_t keysLeft;
    };
    const Case cases[] = {
        // An old record naming a device path, or a volume already detached: dropped, no script.
        {R"({"data_volume_keys_registered":["/dev/sdx"],"data_volumes_attached":["v"]})", AttachOk("/dev/sdx"), 0,
         ENV_PROXY_SUCCESS, 0},
        {R"({"data_volume_keys_registered":["v"]})", AttachOk("/dev/sdx"), 0, ENV_PROXY_SUCCESS, 0},
        // Still attached: its current device, then the detach.
        {R"({"data_volume_keys_registered":["v"],"data_volumes_attached":["v"]})",
         Lines({"ret_code=50151401", "ret_desc=attached", "dev_addr=/dev/sdq"}), 1, ENV_PROXY_SUCCESS, 0},
        // The storage names no device: the key stays for the next cleaning.
        {R"({"data_volume_keys_registered":["v"],"data_volumes_attached":["v"]})",
         Lines({"ret_code=50151401", "ret_desc=attached"}), 0, ENV_PROXY_CLEAN_LEFTOVERS_FAILED, 1},
    };
    for (const Case& c : cases) {
        ScriptedCommandRunner script;
        script.ExpectContaining("-c attachwithip", c.attach);
        script.ExpectContaining("reg_qs.sh unreg", Lines({"ok"}));
        script.ExpectContaining("-c detachwithip", CliOk());
        auto d = Make(false);
        EXPECT_EQ(d->CleanLeftovers(c.cached)._GetCompleteCode(), c.status) << c.cached;
        EXPECT_EQ(CallsWith(script, "reg_qs.sh"), c.unregCalls) << c.cached;
        EXPECT_EQ(CallsWith(script, "reg_qs.sh unreg /dev/sdx"), 0u) << c.cached;
        EXPECT_EQ(ArraySize(Doc(), "data_volume_keys_registered"), c.keysLeft) << c.cached;
    }
    // With the volume detached by the failed round, the next one drops the record.
    auto d = Make(false);
    EXPECT_EQ(d->CleanLeftovers(sink.Bodies("DiskDescriptor.Message.Update.CacehData").back())._GetCompleteCode(),
              ENV_PROXY_SUCCESS);
    EXPECT_EQ(ArraySize(Doc(), "data_volume_keys_registered"), 0u);
}

TEST_F(ContractTest, HelpersLogUnderTheOperationsThatCallThem)
{
    runner.ExpectContaining("-c attachwithip", AttachOk("/dev/sdq"));
    runner.ExpectContaining("reg_qs.sh", Lines({"no"}, 1));
    runner.ExpectContaining("-c detachwithip", CliFail(1, "busy"));
    auto d = Make(false);
    d->OpenDisk(false);
    d->CloseDisk();
    d->CleanLeftovers(R"({"data_volumes_attached":["v"]})");
    d->CleanLeftovers("{broken");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Start to set key for disk, disk device path: /dev/sdq", "StrataDiskDescriptor::RegKeyForVolume()"},
        {"set key for disk: /dev/sdq failed. ", "StrataDiskDescriptor::RegKeyForVolume()"},
        {"remove key for disk: /dev/sdq failed. ", "StrataDiskDescriptor::UnRegKeyForVolume()"},
        {"Reg Key for volume[target-vol] failed.iSetKey:-1", "StrataDiskDescriptor::OpenDisk()"},
        {"unreg key for volume[/dev/sdq] failed.iDeleteKey:-1", "StrataDiskDescriptor::CloseDisk()"},
        {"Detach volume data[v] failed. Error is busy", "StrataDiskDescriptor::CleanLeftoversForRestore()"},
        {"Parse data[{broken] to json failed.", "StrataDiskDescriptor::CleanLeftovers()"},
    };
    for (const auto& e : expected) {
        auto found = logs.Find(e.first);
        ASSERT_FALSE(found.empty()) << e.first;
        EXPECT_EQ(found.front().function, e.second) << e.first;
        EXPECT_EQ(found.front().module, "StrataPlugin") << e.first;
    }
}

// Without the test setting, the health check looks at the fixed program path.
// Run as root, the test installs a stand-in there for the check and removes
// exactly what it created.
TEST_F(ContractTest, HealthCheckUsesTheFixedAgentPath)
{
    const std::string fixed = "/opt/strata/agent/bin/strata_agent";
    ASSERT_EQ(StrataDiskDescriptor::AGENT_PROGRAM_PATH, fixed);
    runner.ExpectContaining("ps -ef", Lines({"root 77 1 ./strata_agent"}));
    runner.ExpectContaining("NOTEXIST", QrmCode(50150005));
    auto d = Make(true);
    std::string err;
    struct stat st {};
    if (::stat(fixed.c_str(), &st) != 0) {
        EXPECT_FALSE(d->CheckHealthStatus(err));
        EXPECT_EQ(err, fixed + " is not exist.");
        EXPECT_TRUE(runner.Calls().empty());
    }
    if (::geteuid() != 0) {
        return;
    }
    std::vector<std::string> created;
    for (const std::string dir : {"/opt", "/opt/strata", "/opt/strata/agent", "/opt/strata/agent/bin"}) {
        if (::mkdir(dir.c_str(), 0755) == 0) {
            created.push_back(dir);
        }
    }
    const bool madeFile = ::stat(fixed.c_str(), &st) != 0 && (std::ofstream(fixed) << "agent").good();
    err.clear();
    EXPECT_TRUE(d->CheckHealthStatus(err)) << err;
    EXPECT_TRUE(logs.Contains("run command code 100016: ")) << "the agent search's command code";
    if (madeFile) {
        ::unlink(fixed.c_str());
    }
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        ::rmdir(it->c_str());
    }
}

// Hostile cached data (nesting past the reader's limit, wrongly typed entries)
// is refused as a value; nothing throws out of the cache or the cleaning.
TEST_F(ContractTest, HostileCachedDataIsRefusedNeverThrown)
{
    const std::string deep = "{\"snapshot_volumes_attached\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    auto d = Make(true);
    EXPECT_EQ(d->CleanLeftovers(deep)._GetCompleteCode(), ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
    EXPECT_EQ(d->CleanLeftovers(R"({"snapshot_volumes_attached":[["s"]],"bitmap_volumes_created":{"a":1}})")
                  ._GetCompleteCode(),
              ENV_PROXY_SUCCESS);
    EXPECT_TRUE(runner.Calls().empty());
    DiskDataPersistence cache(nullptr);
    EXPECT_FALSE(cache.ToJsonValue(deep));

    CommonVMHandle handle;
    EXPECT_FALSE(handle.toJsonObject(deep));
    ASSERT_TRUE(handle.toJsonObject(R"({"s":"text","n":7,"a":[1],"o":{"k":1}})"));
    for (const char* key : {"s", "n", "a", "o", "absent"}) {
        EXPECT_NO_THROW(handle.clearCacheObject(key)) << key;
    }
    Json::Value doc;
    ASSERT_TRUE(CJsonUtils::StringToJson(handle.toJsonString(), doc));
    EXPECT_TRUE(doc["s"].isNull());
    EXPECT_TRUE(doc["n"].isNull());
    EXPECT_EQ(doc["a"].size(), 0u);
    EXPECT_FALSE(doc.isMember("absent"));
}
