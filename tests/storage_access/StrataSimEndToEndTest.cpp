// The volume tool commands and the block device file against the simulated
// storage: real command lines through the host's command channel, real device
// nodes, real reads. Pauses (attach settle, bitmap polls, busy waits) run on a
// virtual clock; the tools themselves run for real.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libaio.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench/BenchUtil.h"
#include "host/testing/Fakes.h"
#include "storage_access/DiskDeviceFile.h"
#include "storage_access/StrataApi.h"
#include "tests/support/SimRoot.h"

namespace {
using simtest::SimFault;
using simtest::SimRoot;
using testing_fakes::ConfigOverride;
using testing_fakes::LogCapture;
using testing_fakes::VirtualClock;

constexpr uint64_t kMiB = 1ULL << 20;
constexpr uint64_t kVolumeSize = 8 * kMiB;

using benchutil::AlignedBuffer;

class StrataSimEndToEnd : public ::testing::Test {
protected:
    static SimRoot::Options Opts(const std::string& attachMode = "link")
    {
        SimRoot::Options o;
        o.simConfig["bitmap_pending_queries"] = "2";
        o.simConfig["attach_mode"] = attachMode;
        return o;
    }

    // Reads the whole device through Read in 1 MiB direct-I/O pieces.
    std::string ReadAll(DiskDeviceFile& f, uint64_t size)
    {
        AlignedBuffer buf(kMiB);
        std::string out;
        for (uint64_t off = 0; off < size; off += kMiB) {
            uint64_t len = kMiB;
            EXPECT_EQ(f.Read(off, len, buf.data.get()), DISK_DEVICE_OK) << off << ": " << f.GetErrString();
            out.append(buf.data.get(), len);
        }
        return out;
    }

    // Attach -> open with O_DIRECT -> read everything -> close -> detach.
    void FullCycle(SimRoot& root, const std::string& snapshot, const std::string& expected,
                   const std::string& mode = "link")
    {
        StrataApi api("10.20.30.40", "pool0");
        std::string dev;
        std::string err;
        ASSERT_EQ(api.AttachVolume(snapshot, dev, err), 0) << err;
        ASSERT_FALSE(dev.empty());
        ASSERT_TRUE(root.State().IsAttached(snapshot));
        EXPECT_EQ(root.State().attachments.at(snapshot).mode, mode);
        EXPECT_EQ(m_clock.SleepsSeconds(), (std::vector<uint64_t>{5})) << "the device node settles";

        // Attaching again is success, with the same device.
        std::string again;
        EXPECT_EQ(api.AttachVolume(snapshot, again, err), 0);
        EXPECT_EQ(again, dev);

        DiskDeviceFile f;
        ASSERT_EQ(f.Open(dev, O_RDONLY | O_DIRECT, expected.size()), DISK_DEVICE_OK) << f.GetErrString();
        EXPECT_FALSE(f.GetDiskDevicePath().empty());
        EXPECT_TRUE(ReadAll(f, expected.size()) == expected) << "snapshot content differs";

        // The same bytes through the asynchronous path.
        io_context_t ctx = nullptr;
        ASSERT_EQ(io_setup(4, &ctx), 0);
        AlignedBuffer abuf(kMiB);
        uint64_t len = kMiB;
        ASSERT_EQ(f.AioRead(3 * kMiB, len, abuf.data.get(), ctx), DISK_DEVICE_OK);
        io_event ev;
        ASSERT_EQ(io_getevents(ctx, 1, 1, &ev, nullptr), 1);
        EXPECT_EQ(ev.res, kMiB);
        std::free(ev.obj);
        io_destroy(ctx);
        EXPECT_EQ(std::memcmp(abuf.data.get(), expected.data() + 3 * kMiB, kMiB), 0);

        EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
        ASSERT_EQ(api.DetachVolume(snapshot, err), 0) << err;
        EXPECT_FALSE(root.State().IsAttached(snapshot));
        // Detaching a detached volume is success too.
        EXPECT_EQ(api.DetachVolume(snapshot, err), 0);
        EXPECT_TRUE(root.State().Clean());
    }

    VirtualClock m_clock;
    LogCapture m_logs{2};
};

TEST_F(StrataSimEndToEnd, AttachReadDetachOfASnapshot)
{
    SimRoot root(Opts());
    root.CreateVolume("vol1", kVolumeSize);
    root.WriteRandom("vol1", 0, kVolumeSize, 42);
    root.Snapshot("vol1", "snap1");
    // Writes after the snapshot must not show through it.
    root.WritePattern("vol1", 2 * kMiB, kMiB, 0x5a);
    const std::string expected = root.Read("snap1", 0, kVolumeSize);
    ASSERT_EQ(expected.size(), kVolumeSize);
    ASSERT_NE(expected, root.Read("vol1", 0, kVolumeSize));
    FullCycle(root, "snap1", expected);
}

TEST_F(StrataSimEndToEnd, AttachReadDetachThroughALoopDevice)
{
    if (!SimRoot::LoopDevicesUsable()) {
        GTEST_SKIP() << "loop devices are not usable on this machine";
    }
    SimRoot root(Opts("loop"));
    root.CreateVolume("vol1", kVolumeSize);
    root.WriteRandom("vol1", 0, kVolumeSize, 7);
    root.Snapshot("vol1", "snap1");
    FullCycle(root, "snap1", root.Read("snap1", 0, kVolumeSize), "loop");
}

TEST_F(StrataSimEndToEnd, MappedWindowOfAnAttachedSnapshot)
{
    SimRoot root(Opts());
    root.CreateVolume("vol1", 8 * kMiB);
    root.WriteRandom("vol1", 0, 8 * kMiB, 3);
    root.Snapshot("vol1", "snap1");
    StrataApi api("10.20.30.40", "pool0");
    std::string dev;
    std::string err;
    ASSERT_EQ(api.AttachVolume("snap1", dev, err), 0) << err;
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(dev, O_RDONLY, 8 * kMiB), DISK_DEVICE_OK);
    char* map = nullptr;
    ASSERT_EQ(f.MmapRead(4 * kMiB, 4096, map), DISK_DEVICE_OK);
    EXPECT_EQ(std::string(map, 4 * kMiB), root.Read("snap1", 4 * kMiB, 4 * kMiB));
    ::munmap(map, DiskDeviceFile::MMAP_WINDOW_BYTES);
    EXPECT_EQ(f.MmapRead(8 * kMiB, 4096, map), DISK_DEVICE_READ_FAILED);
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    EXPECT_EQ(api.DetachVolume("snap1", err), 0);
}

TEST_F(StrataSimEndToEnd, BitmapBetweenTwoSnapshotsMarksTheChangedChunks)
{
    SimRoot root(Opts());
    root.CreateVolume("vol1", 16 * kMiB);
    root.WriteRandom("vol1", 0, 16 * kMiB, 1);
    root.Snapshot("vol1", "s1");
    root.WritePattern("vol1", 3 * kMiB + 100, 10, 0x11);  // chunk 3
    root.WritePattern("vol1", 12 * kMiB - 1, 2, 0x22);    // chunks 11 and 12
    root.Snapshot("vol1", "s2");

    StrataApi api("10.20.30.40", "pool0");
    BitmapVolumeInfo info;
    info.volName = "bm_s1_s2";
    info.snapNameFrom = "s1";
    info.snapNameTo = "s2";
    std::string err;
    ASSERT_EQ(api.CreateBitmapVolume(info, err, AbortFunc()), 0) << err;
    EXPECT_EQ(info.blockSize, static_cast<int32_t>(kMiB));
    EXPECT_EQ(info.snapSize, 16);
    EXPECT_EQ(m_clock.SleepsSeconds(), (std::vector<uint64_t>{5, 5})) << "two pending queries, then ready";

    std::string dev;
    ASSERT_EQ(api.AttachVolume(info.volName, dev, err), 0) << err;
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(dev, O_RDONLY, 4096), DISK_DEVICE_OK);
    char bitmap[4096];
    uint64_t len = sizeof bitmap;
    ASSERT_EQ(f.Read(0, len, bitmap), DISK_DEVICE_OK);
    EXPECT_EQ(static_cast<uint8_t>(bitmap[0]), 1u << 3);
    EXPECT_EQ(static_cast<uint8_t>(bitmap[1]), (1u << 3) | (1u << 4));
    for (size_t i = 2; i < sizeof bitmap; ++i) {
        ASSERT_EQ(bitmap[i], 0) << i;
    }
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    ASSERT_EQ(api.DetachVolume(info.volName, err), 0);
    ASSERT_EQ(api.DeleteBitmapVolume(info.volName, err), 0) << err;
    EXPECT_FALSE(root.State().Has(info.volName));
    // Deleting it again is success: it is gone.
    EXPECT_EQ(api.DeleteBitmapVolume(info.volName, err), 0);
    EXPECT_TRUE(root.State().Clean());
}

TEST_F(StrataSimEndToEnd, MissingOlderSnapshotAndBusyDelete)
{
    SimRoot root(Opts());
    root.CreateVolume("vol1", 4 * kMiB);
    root.Snapshot("vol1", "s2");
    StrataApi api("10.20.30.40", "pool0");
    BitmapVolumeInfo info;
    info.volName = "bm";
    info.snapNameFrom = "gone";
    info.snapNameTo = "s2";
    std::string err;
    EXPECT_EQ(api.CreateBitmapVolume(info, err, AbortFunc()), 50150006);
    EXPECT_EQ(err, "The snapshot is not exist !");

    // An empty older snapshot asks for everything.
    info.snapNameFrom.clear();
    ASSERT_EQ(api.CreateBitmapVolume(info, err, AbortFunc()), 0) << err;

    root.InjectFault(SimFault::Busy("delete", 1));
    root.InjectFault(SimFault::Busy("delete", 2));
    ASSERT_EQ(api.DeleteBitmapVolume("bm", err), 0) << err;
    EXPECT_EQ(m_clock.SleepsSeconds(), (std::vector<uint64_t>{5, 5, 300, 300}));
    EXPECT_FALSE(root.State().Has("bm"));
}

TEST_F(StrataSimEndToEnd, IPv6ManagerReachesTheAgentOverIPv6Loopback)
{
    // The simulator answers 1000 when the agent address does not match the manager's family.
    SimRoot root(Opts());
    root.CreateVolume("vol1", 4 * kMiB);
    root.Snapshot("vol1", "s1");
    StrataApi api("fd00::10", "pool0");
    BitmapVolumeInfo info;
    info.volName = "bm6";
    info.snapNameTo = "s1";
    std::string err;
    ASSERT_EQ(api.CreateBitmapVolume(info, err, AbortFunc()), 0) << err;
    EXPECT_EQ(api.DeleteBitmapVolume("bm6", err), 0) << err;
    for (const auto& call : root.Calls()) {
        if (call.personality == "qrm") {
            EXPECT_EQ(call.result, 0) << call.op;
        }
    }
}

TEST_F(StrataSimEndToEnd, HostileVolumeNameReachesTheToolAsOneArgument)
{
    SimRoot root(Opts());
    StrataApi api("10.20.30.40", "pool0");
    const std::string name = "x'; touch /tmp/dm_e2e_pwned; echo '$(id)";
    std::string err;
    EXPECT_EQ(api.DetachVolume(name, err), 0);  // no such volume: idempotent success
    EXPECT_NE(::access("/tmp/dm_e2e_pwned", F_OK), 0);
    ::unlink("/tmp/dm_e2e_pwned");
    auto calls = root.Calls();
    ASSERT_FALSE(calls.empty());
    const auto& args = calls.back().args;
    bool found = false;
    for (const auto& a : args) {
        found = found || a == name;
    }
    EXPECT_TRUE(found) << "the name did not arrive byte for byte";
}

}  // namespace
