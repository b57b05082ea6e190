// What the host relies on without seeing it: virtual slot order, record layouts,
// device open flags and offsets, the close contract, key clean-up by volume,
// the fixed agent path, caller names in records and hostile cached data.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <map>

#include "storage_access/DirtyRanges.h"
#include "storage_access/DiskDeviceFile.h"
#include "strata_plugin/CommonVMHandle.h"
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

// A device that records what the descriptor asks of it and fails on request.
struct RecordingDevice : DiskDeviceFile {
    DISK_DEVICE_RETURN_CODE Open(const std::string& path, int32_t flags, uint64_t size) override
    {
        openFlags = flags;
        openSize = size;
        openPath = path;
        return Result();
    }
    DISK_DEVICE_RETURN_CODE Read(const uint64_t& offset, uint64_t&, char*) override
    {
        readOffset = offset;
        return Result();
    }
    DISK_DEVICE_RETURN_CODE AioRead(const uint64_t&, uint64_t&, char*, io_context_t) override { return Result(); }
    DISK_DEVICE_RETURN_CODE MmapRead(const uint64_t&, const uint64_t&, char*&) override { return Result(); }
    DISK_DEVICE_RETURN_CODE Write(const uint64_t&, uint64_t&, const char*) override { return Result(); }
    DISK_DEVICE_RETURN_CODE Close() override { return closeFails ? DISK_DEVICE_READ_FAILED : DISK_DEVICE_OK; }
    std::string GetErrString() override { return "device error: EIO"; }
    std::string GetDiskDevicePath() override { return resolvedPath; }
    void ReleaseBufferCache(const uint64_t& start, const uint64_t&) override { releasedOffset = start; }
    DISK_DEVICE_RETURN_CODE Result() const { return fails ? DISK_DEVICE_READ_FAILED : DISK_DEVICE_OK; }
    int32_t openFlags = -1;
    uint64_t openSize = 0;
    uint64_t readOffset = 0;
    uint64_t releasedOffset = 99;
    std::string openPath;
    std::string resolvedPath;
    bool closeFails = false;
    bool fails = false;  // open, reads and writes
};

// The descriptor with its device replaced.
struct ProbedDescriptor : StrataDiskDescriptor {
    explicit ProbedDescriptor(uint64_t size) : StrataDiskDescriptor(size, boost::uuids::uuid()) {}
    void UseDevice(std::shared_ptr<DiskDeviceFile> d) { diskDeviceFile = std::move(d); }
};

class ContractTest : public ::testing::Test {
protected:
    VolumeParas Paras(bool backup, uint64_t size = 65536)
    {
        VolumeParas p;
        p.volumeOffsetSize = 4096;
        p.volumeID = kUuid;
        p.volumeName = "disk-a";
        p.volumeSize = size;
        p.isBackup = backup;
        p.currentSnapshotURL = "strata://10.2.3.4/pool9/snap-2";
        p.parentSnapshotURL = "strata://10.2.3.4/pool9/snap-1";
        p.volumeURL = "strata://10.2.3.4/pool9/target-vol";
        p.msgNotify = &sink;
        return p;
    }
    std::shared_ptr<ProbedDescriptor> Make(bool backup, uint64_t size = 65536)
    {
        const VolumeParas p = Paras(backup, size);
        auto d = std::make_shared<ProbedDescriptor>(size);
        if (d->InitializeDiskInfo(p)._GetCompleteCode() != ENV_PROXY_SUCCESS) {
            return nullptr;
        }
        d->UseDevice(device);
        return d;
    }
    Json::Value Doc() { return LastCacheData(sink); }

    TempRoot root;
    VirtualClock clock;
    ConfigOverride config;
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
    EXPECT_EQ(close.details.front().params.back(), "device error: EIO");
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

// Failed opens name the disk in their detail, whatever step failed.
TEST_F(ContractTest, FailedOpensNameTheDisk)
{
    struct Case {
        const char* what;
        Reply attach;
        bool deviceFails;
        const char* text;
    };
    const Case cases[] = {
        {"attach refused", CliFail(50151404, "volume not found"), false, "volume not found"},
        {"no device path", Lines({"ret_code=50151401", "ret_desc=The volume has been attached !"}), false,
         "The volume has been attached !"},
        {"device refused", AttachOk("/dev/sdq"), true, "device error: EIO"},
    };
    for (const Case& c : cases) {
        for (bool backup : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (backup ? " backup" : " restore"));
            ScriptedCommandRunner script;
            script.ExpectContaining("-c attachwithip", c.attach);
            script.ExpectContaining("reg_qs.sh", Lines({"ok"}));
            device->fails = c.deviceFails;
            EnvProxyResult open = backup ? Make(true)->OpenDisk(P(), true) : Make(false)->OpenDisk(false);
            EXPECT_EQ(open._GetCompleteCode(), ENV_PROXY_OPEN_DISK_FAILED);
            ASSERT_EQ(open.details.size(), 1u);
            EXPECT_EQ(open.details.front().code, 20087u);
            ASSERT_EQ(open.details.front().params.size(), 3u);  // time, disk name, cause
            EXPECT_EQ(open.details.front().params[1], "disk-a");
            EXPECT_EQ(open.details.front().params[2], c.text);
        }
    }
}

// The events cleared by leftover cleaning carry the parameters of the ones
// raised: manager address, name, error text and (for detaches) the pool.
TEST_F(ContractTest, LeftoverCleaningClearsEventsWithTheirParameters)
{
    runner.ExpectContaining("-c detachwithip", CliOk());
    runner.ExpectContaining(kDelete, QrmCode(0));
    for (bool backup : {true, false}) {
        SCOPED_TRACE(backup ? "backup" : "restore");
        CapturedMessages events;
        VolumeParas p = Paras(backup);
        p.msgNotify = &events;
        std::shared_ptr<CDiskDescriptor> d;
        ASSERT_EQ(CreateDiskDescriptor(p, d), 0);
        const std::string key = backup ? "snapshot_volumes_attached" : "data_volumes_attached";
        // The cached address is an old one: events name this descriptor's manager.
        ASSERT_EQ(d->CleanLeftovers(R"({"IP":"10.9.9.9","bitmap_volumes_attached":["bm1"],)"
                                    R"("bitmap_volumes_created":["bm1"],")" + key + R"(":["v1"]})")
                      ._GetCompleteCode(),
                  ENV_PROXY_SUCCESS);
        auto sent = Events(events);
        ASSERT_EQ(sent.size(), 3u);
        const std::vector<std::pair<uint64_t, std::vector<std::string>>> expected = {
            {72479277076ULL, {"10.2.3.4", "bm1", "detach volume success", "pool9"}},
            {72479277077ULL, {"10.2.3.4", "bm1", ""}},
            {72479277076ULL, {"10.2.3.4", "v1", "detach volume success", "pool9"}},
        };
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(sent[i].type, 2) << i;
            EXPECT_EQ(sent[i].code, expected[i].first) << i;
            EXPECT_EQ(sent[i].params, expected[i].second) << i;
        }
    }
}

// The caller's start offset reaches the bitmap walk, and a restore asks for the
// bitmap of its target volume.
TEST_F(ContractTest, ChangedRangesTakeTheStartOffsetAndTheRestoreVolume)
{
    const uint64_t MiB = 1048576;
    // 1 MiB per bit, 8 MiB per byte; bytes 0 and 4 changed.
    std::string bitmap(9, '\0');
    bitmap[0] = 1;
    bitmap[4] = 1;
    const std::string path = root.Path() + "/bitmap.bin";
    std::ofstream(path, std::ios::binary).write(bitmap.data(), static_cast<std::streamsize>(bitmap.size()));
    struct Case {
        bool backup;
        uint64_t start;
        std::vector<DirtyRange> ranges;  // in 4 MiB units of the data area
    };
    const Case cases[] = {
        {true, 0, {DirtyRange(0, 8 * MiB), DirtyRange(28 * MiB, 12 * MiB)}},
        {true, 24 * MiB, {DirtyRange(28 * MiB, 12 * MiB)}},
        {false, 24 * MiB, {DirtyRange(28 * MiB, 12 * MiB)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + (c.backup ? " backup" : " restore"));
        ScriptedCommandRunner script;
        script.ExpectContaining(kCreate, CreateOk(1048576));
        script.ExpectContaining(kQuery, QueryReady(1048576));
        script.ExpectContaining("-c attachwithip", AttachOk(path));
        script.ExpectContaining("-c detachwithip", CliOk());
        script.ExpectContaining(kDelete, QrmCode(0));
        DirtyRanges ranges;
        EXPECT_EQ(Make(c.backup, 64 * MiB)->GetDirtyRanges(nullptr, "snap-1", ranges, c.start, 0)._GetCompleteCode(),
                  ENV_PROXY_SUCCESS);
        EXPECT_EQ(ranges.GetRanges(), c.ranges);
        const std::string target = c.backup ? "snap-2" : "target-vol";
        EXPECT_EQ(CallsWith(script, "--snapNameFrom 'snap-1' --snapNameTo '" + target + "'"), 1u);
        EXPECT_EQ(CallsWith(script, "--volName '" + target + "_0_"), 3u);  // create, query, delete
    }
}

// The texts and levels of the main paths, with the module name and, where it
// matters, the function the record names (helpers log as their caller).
TEST_F(ContractTest, MainPathsLogTheirTextsAtTheirLevels)
{
    const std::string agent = root.MakeFile("strata_agent", 1);
    config.Set("General", "StrataAgentPath", agent).Set("BackupNode", "RetryHealthStatusTimes", 0);
    auto create = [this](VolumeParas p) {
        std::shared_ptr<CDiskDescriptor> d;
        CreateDiskDescriptor(p, d);
    };
    auto health = [this](Reply search, Reply probe) {
        ScriptedCommandRunner script;
        script.ExpectContaining("ps -ef", search);
        script.ExpectContaining("NOTEXIST", probe);
        std::string err;
        Make(true)->CheckHealthStatus(err);
    };
    const std::map<std::string, std::function<void()>> ops = {
        {"null sink", [&] { VolumeParas p = Paras(true); p.msgNotify = nullptr; create(p); }},
        {"bad backup url", [&] { VolumeParas p = Paras(true); p.currentSnapshotURL += "/"; create(p); }},
        {"bad restore url",
         [&] { VolumeParas p = Paras(false); p.parentSnapshotURL = "garbage"; p.volumeURL = "strata://x/y"; create(p); }},
        {"restore read-only", [&] { Make(false)->OpenDisk(true); }},
        {"attach refused",
         [&] {
             ScriptedCommandRunner script;
             script.ExpectContaining("-c attachwithip", CliFail(1, "no"));
             Make(true)->OpenDisk(P(), true);
         }},
        {"backup open", [&] { Make(true)->OpenDisk(P(), true); }},
        {"device refused", [&] { device->fails = true; Make(true)->OpenDisk(P(), true); device->fails = false; }},
        {"restore with keys",
         [&] {
             auto d = Make(false);
             d->OpenDisk(false);
             d->CloseDisk();
         }},
        {"restore keys refused",
         [&] {
             ScriptedCommandRunner script;
             script.ExpectContaining("-c attachwithip", AttachOk("/dev/sdq"));
             script.ExpectContaining("reg_qs.sh", Lines({"no"}, 1));
             script.ExpectContaining("-c detachwithip", CliOk());
             auto d = Make(false);
             d->OpenDisk(false);
             d->CloseDisk();
         }},
        {"close refused",
         [&] {
             ScriptedCommandRunner script;
             script.ExpectContaining("-c attachwithip", AttachOk("/dev/sdq"));
             script.ExpectContaining("-c detachwithip", CliFail(1, "busy"));
             auto d = Make(true);
             d->OpenDisk(P(), true);
             device->closeFails = true;
             d->CloseDisk();
             device->closeFails = false;
         }},
        {"block I/O refused",
         [&] {
             device->fails = true;
             uint64_t len = 4096;
             char* mapped = nullptr;
             auto b = Make(true);
             b->ReadBlocks(0, len, nullptr);
             b->MmapReadBlocks(0, len, mapped);
             b->ReleaseBufferCache(0, len);
             Make(false)->WriteBlocks(0, len, nullptr);
             device->fails = false;
         }},
        {"same snapshot", [&] { DirtyRanges r; Make(true)->GetDirtyRanges(nullptr, "snap-2", r, 0, 0); }},
        {"bitmap refused",
         [&] {
             ScriptedCommandRunner script;
             script.ExpectContaining(kCreate, QrmCode(50153007));
             DirtyRanges r;
             Make(true)->GetDirtyRanges(nullptr, "snap-1", r, 0, 0);
         }},
        {"agent not running", [&] { health(Lines({"root 1 0 /usr/bin/other"}), QrmCode(50150005)); }},
        {"agent search fails", [&] { health(Lines({"ps: broken"}, 1), QrmCode(50150005)); }},
        {"probe answers", [&] { health(Lines({"root 7 1 ./strata_agent"}), QueryReady(4096)); }},
        {"clean empty", [&] { Make(true)->CleanLeftovers(""); }},
        {"clean broken", [&] { Make(true)->CleanLeftovers("{broken"); }},
        {"clean refused",
         [&] {
             ScriptedCommandRunner script;
             script.ExpectContaining("-c detachwithip", CliFail(1, "busy"));
             script.ExpectContaining(kDelete, QrmCode(1003));
             Make(false)->CleanLeftovers(
                 R"({"bitmap_volumes_attached":["bm"],"bitmap_volumes_created":["bm"],"data_volumes_attached":["v"]})");
         }},
    };
    struct Row {
        const char* op;
        std::string text;  // the record's text starts with it
        int level;
        const char* function;  // nullptr: not checked
    };
    const char* open = "StrataDiskDescriptor::OpenDisk()";
    const char* reg = "StrataDiskDescriptor::RegKeyForVolume()";
    const char* unreg = "StrataDiskDescriptor::UnRegKeyForVolume()";
    const Row rows[] = {
        {"null sink", "Invalid message notify pointer.", 4, nullptr},
        {"null sink", "Failed to initialize StrataDiskDescriptor.", 4, nullptr},
        {"bad backup url",
         "parse disk info for backup ! parentSnapshotUrl:strata://10.2.3.4/pool9/snap-1 "
         "snapshoturl:strata://10.2.3.4/pool9/snap-2/", 1, nullptr},
        {"bad backup url", "Parse backup volume url failed.", 4, nullptr},
        {"bad backup url", "Parse params failed.", 4, nullptr},
        {"bad backup url", "Failed to initialize StrataDiskDescriptor.", 4, nullptr},
        {"bad restore url", "parse disk info for restore Volume !parentSnapshotUrl:garbage volumeUrl:strata://x/y", 1,
         nullptr},
        {"bad restore url", "Parse restore volume url failed.", 4, nullptr},
        {"restore read-only", "Open disk for restore can not use read only mode.", 4, nullptr},
        {"attach refused", "AttachVolume failed ! Retry 3 time.", 3, nullptr},
        {"attach refused", "AttachVolume failed, errMsg is ", 4, nullptr},
        {"attach refused", "Attach volume failed.", 4, open},
        {"backup open", "before diskDeviceFile open, aioReadMod:16384", 1, open},
        {"device refused", "Open disk device file[/dev/sdq] failed.", 4, open},
        {"restore with keys", "Start to set key for disk, disk device path: /dev/sdq", 1, reg},
        {"restore with keys", "set key for disk /dev/sdq successfully.", 2, reg},
        {"restore with keys", "Start to remove key for disk, disk device path: /dev/sdq", 1, unreg},
        {"restore with keys", "remove key for disk /dev/sdq successfully.", 2, unreg},
        {"restore keys refused", "set key for disk: /dev/sdq failed. ", 4, reg},
        {"restore keys refused", "Reg Key for volume[target-vol] failed.iSetKey:-1", 4, open},
        {"restore keys refused", "remove key for disk: /dev/sdq failed. ", 4, unreg},
        {"restore keys refused", "unreg key for volume[/dev/sdq] failed.iDeleteKey:-1", 4,
         "StrataDiskDescriptor::CloseDisk()"},
        {"close refused", "Close disk device file failed.", 4, nullptr},
        {"close refused", "Detach volume failed.", 4, nullptr},
        {"block I/O refused", "Read snapshot volume[snap-2] failed.", 4, nullptr},
        {"block I/O refused", "Read volume block failed. snapshotID : snap-2", 4, nullptr},
        {"block I/O refused", "StrataDiskDescriptor ReleaseBufferCache", 1, nullptr},
        {"block I/O refused", "Write volume[target-vol] failed.", 4, nullptr},
        {"same snapshot", " curSnapshotID is the same with Previous SnapshotID.", 4, nullptr},
        {"same snapshot", "CheckChangeID failed preChangeID snap-2, curChangeID snap-2", 4, nullptr},
        {"bitmap refused", "Get cbt failed.", 4, nullptr},
        {"agent not running", "outputList: root 1 0 /usr/bin/other", 1, nullptr},
        {"agent not running", "./strata_agent is not running.", 4, nullptr},
        {"agent not running", "need retry times: 0", 3, nullptr},
        {"agent not running", "Strata health check failed.", 4, nullptr},
        {"agent search fails", "Cmd failed: ps: broken", 4, nullptr},
        {"agent search fails", "Run cmd failed, filter name: strata_agent value:1", 4, nullptr},
        {"probe answers", "strata has an exception, errorCode= 0", 3, nullptr},
        {"clean empty", "Enter clean leftovers data is .", 2, nullptr},
        {"clean empty", "Cache data is empty", 2, nullptr},
        {"clean broken", "Parse data[{broken] to json failed.", 4, "StrataDiskDescriptor::CleanLeftovers()"},
        {"clean refused", "Detach bitmap volume data[bm] failed. Error is busy", 4, nullptr},
        {"clean refused", "Delete bitmap volume data[bm] failed. Error is ", 4, nullptr},
        {"clean refused", "Detach volume data[v] failed. Error is busy", 4,
         "StrataDiskDescriptor::CleanLeftoversForRestore()"},
    };
    runner.ExpectContaining("-c attachwithip", AttachOk("/dev/sdq"));
    runner.ExpectContaining("reg_qs.sh", Lines({"ok"}));
    runner.ExpectContaining("-c detachwithip", CliOk());
    std::map<std::string, std::vector<LogRecord>> seen;
    for (const auto& op : ops) {
        LogCapture capture;
        op.second();
        seen[op.first] = capture.Records();
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.op) + ": " + row.text);
        ASSERT_TRUE(seen.count(row.op));
        bool found = false;
        for (const LogRecord& r : seen[row.op]) {
            if (r.text.compare(0, row.text.size(), row.text) == 0 && r.level == row.level) {
                found = true;
                EXPECT_EQ(r.module, "StrataPlugin");
                EXPECT_TRUE(row.function == nullptr || r.function == row.function) << r.function;
                break;
            }
        }
        EXPECT_TRUE(found);
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
