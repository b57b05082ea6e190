// The Strata disk descriptor against scripted storage tools and a recording
// device: what the host relies on without seeing it (slot order, record layouts,
// open flags and offsets), open and close with the cached data, block I/O results,
// changed ranges, the health check, leftover cleaning and the main paths' log texts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstddef>
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "host/StrataCleanFile.h"
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
    DISK_DEVICE_RETURN_CODE AioRead(const uint64_t& offset, uint64_t&, char*, io_context_t) override
    {
        aioOffset = offset;
        return Result();
    }
    DISK_DEVICE_RETURN_CODE MmapRead(const uint64_t&, const uint64_t&, char*&) override { return Result(); }
    DISK_DEVICE_RETURN_CODE Write(const uint64_t&, uint64_t&, const char*) override { return Result(); }
    DISK_DEVICE_RETURN_CODE Flush() override { return Result(); }
    DISK_DEVICE_RETURN_CODE Close() override { return closeFails ? DISK_DEVICE_READ_FAILED : DISK_DEVICE_OK; }
    std::string GetErrString() override { return "device error: EIO"; }
    std::string GetDiskDevicePath() override { return resolvedPath; }
    void ReleaseBufferCache(const uint64_t& start, const uint64_t&) override { releasedOffset = start; }
    DISK_DEVICE_RETURN_CODE Result() const { return fails ? DISK_DEVICE_READ_FAILED : DISK_DEVICE_OK; }
    int32_t openFlags = -1;
    uint64_t openSize = 0;
    uint64_t readOffset = 0;
    uint64_t aioOffset = 0;
    uint64_t releasedOffset = 99;
    std::string openPath;
    std::string resolvedPath;
    bool closeFails = false;
    bool fails = false;  // open, reads, writes and flush
};

// The descriptor with its device replaced.
struct ProbedDescriptor : StrataDiskDescriptor {
    explicit ProbedDescriptor(uint64_t size) : StrataDiskDescriptor(size, boost::uuids::uuid()) {}
    void UseDevice(std::shared_ptr<DiskDeviceFile> d) { diskDeviceFile = std::move(d); }
};

const uint64_t MiB = 1048576;
const char kFullHealthText[] =
    "query not exist volume failed,maybe strata_agent process is not running,maybe strata storage plane network has "
    "an exception,maybe Block Storage Clients not in Cluster. maybe strata-api-xxx.jar file is not exist etc.";

class ContractTest : public ::testing::Test {
protected:
    VolumeParas Paras(bool backup, uint64_t size = 65536, DiskMessageNotify* notify = nullptr)
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
        p.msgNotify = notify != nullptr ? notify : &sink;
        return p;
    }
    std::shared_ptr<ProbedDescriptor> Make(bool backup, uint64_t size = 65536, DiskMessageNotify* notify = nullptr)
    {
        auto d = std::make_shared<ProbedDescriptor>(size);
        if (d->InitializeDiskInfo(Paras(backup, size, notify))._GetCompleteCode() != ENV_PROXY_SUCCESS) {
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

TEST_F(ContractTest, UrlPartsOffsetsAndIpv6BracketsAreTakenApart)
{
    VolumeParas p = Paras(true);
    p.currentSnapshotURL = "strata://[fd00::12]/pool-7/snap-x";
    p.volumeOffsetSize = 0;
    std::shared_ptr<CDiskDescriptor> disk;
    ASSERT_EQ(CreateDiskDescriptor(p, disk), 0);
    auto d = std::dynamic_pointer_cast<StrataDiskDescriptor>(disk);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetManagerIp(), "fd00::12");
    EXPECT_EQ(d->GetPoolId(), "pool-7");
    EXPECT_EQ(d->GetSnapshotName(), "snap-x");
    EXPECT_EQ(d->GetVolumeOffsetSize(), 0u);
    EXPECT_TRUE(d->IsBackup());
    EXPECT_EQ(d->getDiskName(), "disk-a");
    EXPECT_EQ(StrataDiskDescriptor::StripIPUrl("fd00::1]"), "d00::1");
    EXPECT_EQ(StrataDiskDescriptor::StripIPUrl("10.0.0.1"), "10.0.0.1");
    // A restore reads the volume URL only; its parent URL may be anything.
    p = Paras(false);
    p.parentSnapshotURL = "garbage";
    ASSERT_EQ(CreateDiskDescriptor(p, disk), 0);
    d = std::dynamic_pointer_cast<StrataDiskDescriptor>(disk);
    EXPECT_EQ(d->GetTargetVolumeName(), "target-vol");
    EXPECT_FALSE(d->IsBackup());
    EXPECT_TRUE(sink.All().empty());
}

// The volume is named in the host's document before its attach command runs:
// a crash inside the attach must leave something to clean.
TEST_F(ContractTest, OpenFlagsSizesOffsetsAndTheCachedManager)
{
    Json::Value atAttach;
    Reply attach = AttachOk("/dev/sdq");
    attach.onRun = [&] { atAttach = Doc(); };
    ScriptVolume(runner, attach);
    for (bool backup : {true, false}) {
        auto d = Make(backup);
        ASSERT_NE(d, nullptr);
        EnvProxyResult open = backup ? d->OpenDisk(P(), true) : d->OpenDisk(false);
        ASSERT_EQ(open._GetCompleteCode(), ENV_PROXY_SUCCESS);
        const char* key = backup ? "snapshot_volumes_attached" : "data_volumes_attached";
        ASSERT_EQ(ArraySize(atAttach, key), 1u) << "named only after the attach ran";
        EXPECT_EQ(atAttach[key][0].asString(), backup ? "snap-2" : "target-vol");
        ASSERT_EQ(open.details.size(), 1u);
        EXPECT_EQ(open.details.front().code, 20100u);
        EXPECT_EQ(open.details.front().params.back(), "LAN-Free");
        EXPECT_EQ(device->openFlags, backup ? 16384 : 1);
        EXPECT_EQ(device->openSize, 65536u + 4096u);
        EXPECT_EQ(device->openPath, "/dev/sdq");
        EXPECT_EQ(Doc()["IP"].asString(), "10.2.3.4");
        EXPECT_EQ(Doc()["pool_id"].asString(), "pool9");
        EXPECT_EQ(Doc()[key][0].asString(), backup ? "snap-2" : "target-vol");
    }
    // The key script's command line, under the installation's script directory.
    EXPECT_EQ(CallsWith(runner, "sudo " + root.Path() + "/bin/../script/reg_qs.sh reg /dev/sdq"), 1u);
    auto d = Make(true);
    uint64_t len = 4096;
    d->ReadBlocks(8192, len, nullptr);
    EXPECT_EQ(device->readOffset, 8192u + 4096u);
    d->AioReadBlocks(8192, len, nullptr, nullptr);
    EXPECT_EQ(device->aioOffset, 8192u + 4096u);
    d->ReleaseBufferCache(8192, 4096);
    EXPECT_EQ(device->releasedOffset, 8192u) << "the release is not shifted by the data-area offset";
}

// A refused open names the disk in its detail; a failed attach is retried four
// times and forgotten, an attachment without a usable device stays recorded for
// CloseDisk, which releases it.
TEST_F(ContractTest, FailedOpensNameTheDiskAndLeaveOnlyWhatIsAttached)
{
    EnvProxyResult readOnly = Make(false)->OpenDisk(true);
    EXPECT_EQ(readOnly._GetCompleteCode(), ENV_PROXY_OPEN_DISK_FAILED);
    EXPECT_TRUE(readOnly.details.empty());
    EXPECT_TRUE(runner.Calls().empty());
    EXPECT_TRUE(sink.All().empty());
    struct Case {
        const char* what;
        Reply attach;
        bool deviceFails;
        const char* text;
        // Attach calls, names left after the open, key scripts of a restore's open and close.
        size_t attaches, namesLeft, keyScripts;
    };
    const Case cases[] = {
        {"attach refused", CliFail(50151404, "volume not found"), false, "volume not found", 4, 0, 0},
        {"no device path", Lines({"ret_code=50151401", "ret_desc=The volume has been attached !"}), false,
         "The volume has been attached !", 1, 1, 0},
        {"device refused", AttachOk("/dev/sdq"), true, "device error: EIO", 1, 1, 2},
    };
    for (const Case& c : cases) {
        for (bool backup : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (backup ? " backup" : " restore"));
            VirtualClock pauses;
            CapturedMessages messages;
            ScriptedCommandRunner script;
            ScriptVolume(script, c.attach);
            device->fails = c.deviceFails;
            auto d = Make(backup, 65536, &messages);
            EnvProxyResult open = backup ? d->OpenDisk(P(), true) : d->OpenDisk(false);
            EXPECT_EQ(open._GetCompleteCode(), ENV_PROXY_OPEN_DISK_FAILED);
            ASSERT_EQ(open.details.size(), 1u);
            EXPECT_EQ(open.details.front().code, 20087u);
            ASSERT_EQ(open.details.front().params.size(), 3u);  // time, disk name, cause
            EXPECT_EQ(open.details.front().params[1], "disk-a");
            EXPECT_EQ(open.details.front().params[2], c.text);
            EXPECT_EQ(CallsWith(script, "attachwithip"), c.attaches);
            const auto sleeps = pauses.SleepsSeconds();
            EXPECT_EQ(static_cast<size_t>(std::count(sleeps.begin(), sleeps.end(), 30u)), c.attaches - 1);
            const char* key = backup ? "snapshot_volumes_attached" : "data_volumes_attached";
            EXPECT_EQ(ArraySize(LastCacheData(messages), key), c.namesLeft);
            EXPECT_EQ(d->CloseDisk()._GetCompleteCode(), ENV_PROXY_SUCCESS);
            EXPECT_EQ(ArraySize(LastCacheData(messages), key), 0u);
            EXPECT_EQ(CallsWith(script, "reg_qs.sh"), backup ? 0u : c.keyScripts);
        }
    }
}

// CloseDisk always tries the detach; each failure adds a detail, a failed detach
// raises an event and keeps the name for leftover cleaning.
TEST_F(ContractTest, CloseReportsEachFailureAndKeepsWhatStaysAttached)
{
    struct Case {
        bool closeFails, detachFails;
        std::vector<std::string> details;
    };
    const Case cases[] = {
        {true, false, {"device error: EIO"}},
        {false, true, {"device is busy"}},
        {true, true, {"device error: EIO", "device is busy"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.closeFails) + std::to_string(c.detachFails));
        CapturedMessages messages;
        ScriptedCommandRunner script;
        ScriptVolume(script, AttachOk("/dev/sdq"), c.detachFails ? CliFail(1, "device is busy") : CliOk());
        auto d = Make(true, 65536, &messages);
        ASSERT_EQ(d->OpenDisk(P(), true)._GetCompleteCode(), ENV_PROXY_SUCCESS);
        device->closeFails = c.closeFails;
        EnvProxyResult close = d->CloseDisk();
        EXPECT_EQ(close._GetCompleteCode(), ENV_PROXY_CLOSE_DISK_FAILED);
        std::vector<std::string> details;
        for (const message& m : close.details) {
            EXPECT_EQ(m.code, 20089u);
            details.push_back(m.params.back());
        }
        EXPECT_EQ(details, c.details);
        EXPECT_EQ(CallsWith(script, DetachOf("snap-2")), c.detachFails ? 4u : 1u);
        const EventList raised = {{1, 72479277076ULL, {"10.2.3.4", "snap-2", "device is busy", "pool9"}}};
        EXPECT_EQ(Events(messages), c.detachFails ? raised : EventList());
        EXPECT_EQ(ArraySize(LastCacheData(messages), "snapshot_volumes_attached"), c.detachFails ? 1u : 0u);
    }
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
        ScriptVolume(script);
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

TEST_F(ContractTest, BlockOperationsReportTheirStatusAndTheDeviceError)
{
    auto b = Make(true);
    auto r = Make(false);
    auto run = [&]() {
        uint64_t len = 4096;
        char* mapped = nullptr;
        return std::vector<std::tuple<const char*, EnvProxyResult, int, uint64_t>>{
            {"ReadBlocks", b->ReadBlocks(0, len, nullptr), ENV_PROXY_READ_FAILED, 20149},
            {"AioReadBlocks", b->AioReadBlocks(0, len, nullptr, nullptr), ENV_PROXY_READ_FAILED, 20149},
            {"MmapReadBlocks", b->MmapReadBlocks(0, len, mapped), ENV_PROXY_READ_FAILED, 20149},
            {"WriteBlocks", r->WriteBlocks(0, len, nullptr), ENV_PROXY_WRITE_FAILED, 20150},
            {"FlushDisk", r->FlushDisk(), ENV_PROXY_WRITE_FAILED, 20150},
        };
    };
    for (const auto& op : run()) {
        EXPECT_EQ(std::get<1>(op)._GetCompleteCode(), ENV_PROXY_SUCCESS) << std::get<0>(op);
        EXPECT_TRUE(std::get<1>(op).details.empty()) << std::get<0>(op);
    }
    device->fails = true;
    for (const auto& op : run()) {
        SCOPED_TRACE(std::get<0>(op));
        const EnvProxyResult& res = std::get<1>(op);
        EXPECT_EQ(res._GetCompleteCode(), std::get<2>(op));
        ASSERT_EQ(res.details.size(), 1u);
        EXPECT_EQ(res.details.front().code, std::get<3>(op));
        EXPECT_EQ(res.details.front().params.back(), "device error: EIO");
    }
}

// The same snapshot as the previous backup is refused before any command; the
// caller's start offset reaches the bitmap walk; a restore asks for the bitmap
// of its target volume and is never refused for its name; a bitmap left
// behind is reported in the result text only.
TEST_F(ContractTest, ChangedRangesFromTheDescriptorsPointOfView)
{
    // 1 MiB per bit, 8 MiB per byte; bytes 0 and 4 changed.
    std::string bitmap(9, '\0');
    bitmap[0] = 1;
    bitmap[4] = 1;
    const std::string path = root.MakeFile("bitmap.bin", bitmap);
    const std::vector<DirtyRange> all = {DirtyRange(0, 8 * MiB), DirtyRange(28 * MiB, 12 * MiB)};
    const std::vector<DirtyRange> fromByte3 = {DirtyRange(28 * MiB, 12 * MiB)};
    struct Case {
        const char* what;
        bool backup;
        const char* previous;
        uint64_t start;
        Reply create, remove;
        int status;
        const char* resultText;
        const char* detail;  // nullptr: none
        std::vector<DirtyRange> ranges;
        size_t creates;
    };
    const Case cases[] = {
        {"from 0", true, "snap-1", 0, CreateOk(1048576), QrmCode(0), 0, "", nullptr, all, 1},
        {"from 24 MiB", true, "snap-1", 24 * MiB, CreateOk(1048576), QrmCode(0), 0, "", nullptr, fromByte3, 1},
        {"restore from 24 MiB", false, "snap-1", 24 * MiB, CreateOk(1048576), QrmCode(0), 0, "", nullptr, fromByte3, 1},
        {"left behind", true, "snap-1", 0, CreateOk(1048576), QrmCode(1003), 0, "DETACH_DELETE_BITMAP_FAILED", nullptr,
         all, 1},
        {"same snapshot", true, "snap-2", 0, CreateOk(1048576), QrmCode(0), ENV_PROXY_GET_DIRTY_RANGES_FAILED, "",
         "snapshotID is the same with previous backup", {}, 0},
        {"restore of its own name", false, "target-vol", 0, QrmCode(50153007), QrmCode(0),
         ENV_PROXY_GET_DIRTY_RANGES_FAILED, "", "The from snap and to volume of bitmap volume are different branch!",
         {},
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CapturedMessages messages;
        ScriptedCommandRunner script;
        ScriptBitmap(script, path, 1048576, CliOk(), c.remove, c.create);
        DirtyRanges ranges;
        EnvProxyResult r = Make(c.backup, 64 * MiB, &messages)->GetDirtyRanges(nullptr, c.previous, ranges, c.start, 0);
        EXPECT_EQ(r._GetCompleteCode(), c.status);
        EXPECT_EQ(r.resultText, c.resultText);
        ASSERT_EQ(r.details.size(), c.detail != nullptr ? 1u : 0u);
        if (c.detail != nullptr) {
            EXPECT_EQ(r.details.front().code, 20148u);
            EXPECT_EQ(r.details.front().params.back(), c.detail);
        }
        EXPECT_EQ(ranges.GetRanges(), c.ranges);
        const std::string target = c.backup ? "snap-2" : "target-vol";
        EXPECT_EQ(CallsWith(script, std::string("--snapNameFrom '") + c.previous + "' --snapNameTo '" + target + "'"),
                  c.creates);
        EXPECT_EQ(script.Calls().empty(), c.creates == 0);
        EXPECT_EQ(messages.All().empty(), c.creates == 0);
    }
}

TEST_F(ContractTest, HealthCheckRetriesAppliesDefaultsAndTrustsOnlyTheProbe)
{
    const std::string agent = root.MakeFile("strata_agent", "x");
    const Reply running = Lines({"root 77 1 ./strata_agent --daemon"});
    struct Case {
        const char* what;
        std::string agentPath;
        Reply search, probe;
        int times, wait;
        bool healthy;
        std::vector<uint64_t> sleeps;
        size_t searches, probes;
        std::string error;
    };
    const Case cases[] = {
        {"agent missing", root.Path() + "/absent", running, QrmCode(50150005), 3, 30, false, {}, 0, 0,
         root.Path() + "/absent is not exist."},
        {"agent not running, defaults", agent, Lines({"root 1 0 /usr/bin/other"}), QrmCode(50150005), -5, 0, false,
         {30, 30, 30, 30}, 4, 0, kFullHealthText},
        // The impossible volume found counts as a failure.
        {"probe finds the volume", agent, running, QueryReady(4096), 0, 7, false, {7}, 1, 1, kFullHealthText},
        // So does an answer that is no answer (a tool that crashed).
        {"probe answers garbage", agent, running, Lines({"Exception in thread main", "#### connection reset ####"}, 1),
         0, 7, false, {7}, 1, 1, kFullHealthText},
        {"healthy", agent, running, QrmCode(50150005), 0, 7, true, {}, 1, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualClock pauses;
        ConfigOverride settings;
        settings.Set("General", "StrataAgentPath", c.agentPath)
            .Set("BackupNode", "RetryHealthStatusTimes", c.times)
            .Set("BackupNode", "RetryHealthStatusWaitTime", c.wait);
        ScriptedCommandRunner script;
        script.ExpectContaining("ps -ef", c.search);
        script.ExpectContaining("NOTEXIST", c.probe);
        std::string err;
        EXPECT_EQ(Make(true)->CheckHealthStatus(err), c.healthy);
        EXPECT_EQ(err, c.error);
        EXPECT_EQ(pauses.SleepsSeconds(), c.sleeps);
        EXPECT_EQ(CallsWith(script, "ps -ef |grep -E 'strata_agent' |grep -E -v grep"), c.searches);
        EXPECT_EQ(CallsWith(script, "volume-1160e808-a89e-4513-a3cb-e4b036c42d7d_1_72345555_NOTEXIST"), c.probes);
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

// Each step cleans the first name of its array only; the events cleared carry
// the parameters of the raised ones (this descriptor's manager, the name, the
// error text and, for detaches, the pool); a second call with what the host
// holds then takes the next name.
TEST_F(ContractTest, LeftoverCleaningReleasesFirstNamesAndClearsTheirEvents)
{
    for (bool backup : {true, false}) {
        SCOPED_TRACE(backup ? "backup" : "restore");
        ScriptedCommandRunner script;
        script.ExpectContaining("-c detachwithip", CliOk());
        script.ExpectContaining(kDelete, QrmCode(0));
        CapturedMessages messages;
        const std::string key = backup ? "snapshot_volumes_attached" : "data_volumes_attached";
        auto d = Make(backup, 65536, &messages);
        // The cached address is an old one: events name this descriptor's manager.
        EnvProxyResult r = d->CleanLeftovers(R"({"cache_uuid":"11111111-2222-3333-4444-555555555555","IP":"10.9.9.9",)"
                                             R"("bitmap_volumes_attached":["bm1"],"bitmap_volumes_created":["bm1"],")" +
                                             key + R"(":["v1","v2"]})");
        EXPECT_EQ(r._GetCompleteCode(), ENV_PROXY_SUCCESS);
        EXPECT_TRUE(r.details.empty());
        const EventList cleared = {{2, 72479277076ULL, {"10.2.3.4", "bm1", "detach volume success", "pool9"}},
                                   {2, 72479277077ULL, {"10.2.3.4", "bm1", ""}},
                                   {2, 72479277076ULL, {"10.2.3.4", "v1", "detach volume success", "pool9"}}};
        EXPECT_EQ(Events(messages), cleared);
        Json::Value doc = LastCacheData(messages);
        EXPECT_EQ(doc["cache_uuid"].asString(), "11111111-2222-3333-4444-555555555555");
        ASSERT_EQ(ArraySize(doc, key.c_str()), 1u);
        EXPECT_EQ(doc[key][0].asString(), "v2");
        EXPECT_EQ(ArraySize(doc, "bitmap_volumes_created") + ArraySize(doc, "bitmap_volumes_attached"), 0u);
        EXPECT_EQ(CallsWith(script, DetachOf("v2")), 0u);
        EXPECT_EQ(d->CleanLeftovers(messages.Bodies("DiskDescriptor.Message.Update.CacehData").back())
                      ._GetCompleteCode(),
                  ENV_PROXY_SUCCESS);
        EXPECT_EQ(ArraySize(LastCacheData(messages), key.c_str()), 0u);
    }
}

TEST_F(ContractTest, LeftoverCleaningFailuresMarkTheResultAndKeepTheNames)
{
    runner.ExpectContaining("-c detachwithip", CliFail(1, "busy"));
    runner.ExpectContaining(kDelete, QrmCode(1003));
    EnvProxyResult r = Make(false)->CleanLeftovers(
        R"({"bitmap_volumes_attached":["bm"],"bitmap_volumes_created":["bm"],"data_volumes_attached":["v"]})");
    EXPECT_EQ(r._GetCompleteCode(), ENV_PROXY_CLEAN_LEFTOVERS_FAILED);
    EXPECT_TRUE(r.details.empty());
    // Nothing changed, so nothing was published; the host keeps its document.
    EXPECT_TRUE(sink.All().empty());
    EXPECT_EQ(CallsWith(runner, DetachOf("v")), 4u);
    EXPECT_EQ(CallsWith(runner, DetachOf("bm")), 4u);
    EXPECT_EQ(CallsWith(runner, kDelete), 4u);
    // Each failure is logged with its cause, at level 4, by the step that met it.
    const std::pair<const char*, const char*> logged[] = {
        {"Detach bitmap volume data[bm] failed. Error is busy", nullptr},
        {"Delete bitmap volume data[bm] failed. Error is ", nullptr},
        {"Detach volume data[v] failed. Error is busy", "StrataDiskDescriptor::CleanLeftoversForRestore()"}};
    for (const auto& l : logged) {
        const auto found = logs.Find(l.first, 4);
        ASSERT_FALSE(found.empty()) << l.first;
        EXPECT_EQ(found[0].module, "StrataPlugin");
        EXPECT_TRUE(l.second == nullptr || found[0].function == l.second) << found[0].function;
    }
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
        ScriptVolume(script, c.attach);
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

// Empty, broken and hostile cached data (nesting past the reader's limit,
// wrongly typed entries) is answered as a value before anything is touched.
TEST_F(ContractTest, UnusableCachedDataIsRefusedNeverThrown)
{
    const std::string deep = "{\"snapshot_volumes_attached\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    const std::pair<std::string, int> cases[] = {
        {"", ENV_PROXY_SUCCESS},
        {"{}", ENV_PROXY_SUCCESS},
        {"{broken", ENV_PROXY_CLEAN_LEFTOVERS_FAILED},
        {"[\"snap\"]", ENV_PROXY_CLEAN_LEFTOVERS_FAILED},
        {deep, ENV_PROXY_CLEAN_LEFTOVERS_FAILED},
        {R"({"snapshot_volumes_attached":[["s"]],"bitmap_volumes_created":{"a":1}})", ENV_PROXY_SUCCESS},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Make(true)->CleanLeftovers(c.first)._GetCompleteCode(), c.second) << c.first.substr(0, 40);
    }
    EXPECT_TRUE(runner.Calls().empty());
    EXPECT_TRUE(sink.All().empty());

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

TEST_F(ContractTest, ReleasedDescriptorKeepsLeftoversForALaterCleanUp)
{
    runner.ExpectContaining(AttachOf("snap-2"), AttachOk("/dev/sdq"));
    ASSERT_EQ(Make(true)->OpenDisk(P(), true)._GetCompleteCode(), ENV_PROXY_SUCCESS);
    StrataCleanFile keeper;
    auto finished = keeper.ListFinishedCaches();
    ASSERT_EQ(finished.size(), 1u);
    std::string doc;
    ASSERT_TRUE(keeper.LoadCacheFile(finished[0], doc));
    EXPECT_NE(doc.find("snap-2"), std::string::npos);
}

TEST_F(ContractTest, SnapshotOperationsDoNothingAndSendAlarmClearsAnEvent)
{
    auto d = Make(true);
    std::shared_ptr<CSnapshotID> snap;
    EXPECT_EQ(d->CreateSnapshot("x", snap)._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_EQ(d->DeleteSnapshot(snap, true)._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(runner.Calls().empty());
    d->SendAlarm(72479277077ULL, "bm", "text");
    EXPECT_EQ(Events(sink), (EventList{{2, 72479277077ULL, {"10.2.3.4", "bm", "text"}}}));
}

// The texts and levels of the main paths, with the module name and, where it
// matters, the function the record names (helpers log as their caller).
TEST_F(ContractTest, MainPathsLogTheirTextsAtTheirLevels)
{
    const std::string agent = root.MakeFile("strata_agent", "x");
    config.Set("General", "StrataAgentPath", agent).Set("BackupNode", "RetryHealthStatusTimes", 0);
    // Every refused creation is -1 with `disk` left alone.
    auto create = [](VolumeParas p) {
        std::shared_ptr<CDiskDescriptor> d;
        EXPECT_EQ(CreateDiskDescriptor(p, d), -1);
        EXPECT_EQ(d, nullptr);
    };
    auto health = [this](Reply search, Reply probe) {
        ScriptedCommandRunner script;
        script.ExpectContaining("ps -ef", search);
        script.ExpectContaining("NOTEXIST", probe);
        std::string err;
        Make(true)->CheckHealthStatus(err);
    };
    // One open and close against storage answering with these replies.
    auto openClose = [this](bool backup, Reply attach, Reply detach, Reply key) {
        ScriptedCommandRunner script;
        ScriptVolume(script, attach, detach, key);
        auto d = Make(backup);
        backup ? d->OpenDisk(P(), true) : d->OpenDisk(false);
        d->CloseDisk();
    };
    auto ranges = [this](const char* previous) {
        DirtyRanges r;
        Make(true)->GetDirtyRanges(nullptr, previous, r, 0, 0);
    };
    const std::map<std::string, std::function<void()>> ops = {
        {"bad uuid", [&] { VolumeParas p = Paras(true); p.volumeID = "not-a-uuid"; create(p); }},
        {"null sink", [&] { VolumeParas p = Paras(true); p.msgNotify = nullptr; create(p); }},
        {"bad backup url", [&] { VolumeParas p = Paras(true); p.currentSnapshotURL += "/"; create(p); }},
        {"bad restore url",
         [&] {
             VolumeParas p = Paras(false);
             p.parentSnapshotURL = "garbage";
             p.volumeURL = "strata://x/y";
             create(p);
         }},
        {"restore read-only", [&] { Make(false)->OpenDisk(true); }},
        {"attach refused", [&] { openClose(true, CliFail(1, "no"), CliOk(), Lines({"ok"})); }},
        {"backup open", [&] { Make(true)->OpenDisk(P(), true); }},
        {"device refused", [&] { device->fails = true; Make(true)->OpenDisk(P(), true); device->fails = false; }},
        {"restore with keys", [&] { openClose(false, AttachOk("/dev/sdq"), CliOk(), Lines({"ok"})); }},
        {"restore keys refused", [&] { openClose(false, AttachOk("/dev/sdq"), CliOk(), Lines({"no"}, 1)); }},
        {"close refused",
         [&] {
             device->closeFails = true;
             openClose(true, AttachOk("/dev/sdq"), CliFail(1, "busy"), Lines({"ok"}));
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
        {"same snapshot", [&] { ranges("snap-2"); }},
        {"bitmap refused",
         [&] {
             ScriptedCommandRunner script;
             script.ExpectContaining(kCreate, QrmCode(50153007));
             ranges("snap-1");
         }},
        {"agent not running", [&] { health(Lines({"root 1 0 /usr/bin/other"}), QrmCode(50150005)); }},
        {"agent search fails", [&] { health(Lines({"ps: broken"}, 1), QrmCode(50150005)); }},
        {"probe answers", [&] { health(Lines({"root 7 1 ./strata_agent"}), QueryReady(4096)); }},
        {"clean empty", [&] { Make(true)->CleanLeftovers(""); }},
        {"clean broken", [&] { Make(true)->CleanLeftovers("{broken"); }},
    };
    struct Row {
        const char* op;
        std::string text;  // the record's text starts with it
        int level;
        const char* function = nullptr;  // nullptr: not checked
    };
    const char* open = "StrataDiskDescriptor::OpenDisk()";
    const char* reg = "StrataDiskDescriptor::RegKeyForVolume()";
    const char* unreg = "StrataDiskDescriptor::UnRegKeyForVolume()";
    const Row rows[] = {
        {"bad uuid", "Create StrataDiskDescriptor failed: ", 4},
        {"null sink", "Invalid message notify pointer.", 4},
        {"null sink", "Failed to initialize StrataDiskDescriptor.", 4},
        {"bad backup url",
         "parse disk info for backup ! parentSnapshotUrl:strata://10.2.3.4/pool9/snap-1 "
         "snapshoturl:strata://10.2.3.4/pool9/snap-2/", 1},
        {"bad backup url", "Parse backup volume url failed.", 4},
        {"bad backup url", "Parse params failed.", 4},
        {"bad backup url", "Failed to initialize StrataDiskDescriptor.", 4},
        {"bad restore url", "parse disk info for restore Volume !parentSnapshotUrl:garbage volumeUrl:strata://x/y", 1},
        {"bad restore url", "Parse restore volume url failed.", 4},
        {"restore read-only", "Open disk for restore can not use read only mode.", 4},
        {"attach refused", "AttachVolume failed ! Retry 3 time.", 3},
        {"attach refused", "AttachVolume failed, errMsg is ", 4},
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
        {"close refused", "Close disk device file failed.", 4},
        {"close refused", "Detach volume failed.", 4},
        {"block I/O refused", "Read snapshot volume[snap-2] failed.", 4},
        {"block I/O refused", "Read volume block failed. snapshotID : snap-2", 4},
        {"block I/O refused", "StrataDiskDescriptor ReleaseBufferCache", 1},
        {"block I/O refused", "Write volume[target-vol] failed.", 4},
        {"same snapshot", " curSnapshotID is the same with Previous SnapshotID.", 4},
        {"same snapshot", "CheckChangeID failed preChangeID snap-2, curChangeID snap-2", 4},
        {"bitmap refused", "Get cbt failed.", 4},
        {"agent not running", "outputList: root 1 0 /usr/bin/other", 1},
        {"agent not running", "./strata_agent is not running.", 4},
        {"agent not running", "need retry times: 0", 3},
        {"agent not running", "Strata health check failed.", 4},
        {"agent search fails", "Cmd failed: ps: broken", 4},
        {"agent search fails", "Run cmd failed, filter name: strata_agent value:1", 4},
        {"probe answers", "strata has an exception, errorCode= 0", 3},
        {"clean empty", "Enter clean leftovers data is .", 2},
        {"clean empty", "Cache data is empty", 2},
        {"clean broken", "Parse data[{broken] to json failed.", 4, "StrataDiskDescriptor::CleanLeftovers()"},
    };
    ScriptVolume(runner);
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
