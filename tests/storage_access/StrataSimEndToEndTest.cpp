// The volume tool commands and the block device file against the simulated
// storage: real command lines through the host's command channel, real device
// nodes, real reads. Pauses (attach settle, bitmap polls, busy waits) run on a
// virtual clock; the tools themselves run for real.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "bench/BenchUtil.h"
#include "host/testing/Fakes.h"
#include "storage_access/DiskDeviceFile.h"
#include "storage_access/DirtyRanges.h"
#include "storage_access/StrataApi.h"
#include "storage_access/StrataBitmapHandle.h"
#include "strata_plugin/DiskDataPersistence.h"
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

    // Attach -> open with O_DIRECT -> read everything -> close -> detach. The
    // plug-in tests make the same cycle through links; a loop device is a real
    // block device (no file size, its own mapping). Repeated attach and detach
    // answers and the asynchronous read are the unit tests' (StrataApiTest,
    // DiskDeviceFileTest): the device type changes nothing in their code.
    void FullCycle(SimRoot& root, const std::string& snapshot, const std::string& expected, const std::string& mode)
    {
        StrataApi api("10.20.30.40", "pool0");
        std::string dev;
        std::string err;
        ASSERT_EQ(api.AttachVolume(snapshot, dev, err), 0) << err;
        ASSERT_FALSE(dev.empty());
        ASSERT_TRUE(root.State().IsAttached(snapshot));
        EXPECT_EQ(root.State().attachments.at(snapshot).mode, mode);
        EXPECT_EQ(m_clock.SleepsSeconds(), (std::vector<uint64_t>{5})) << "the device node settles";

        // A snapshot is attached read-only.
        int probe = ::open(dev.c_str(), O_RDONLY);
        int readOnly = 0;
        EXPECT_EQ(::ioctl(probe, BLKROGET, &readOnly), 0);
        EXPECT_EQ(readOnly, 1);
        ::close(probe);

        DiskDeviceFile f;
        ASSERT_EQ(f.Open(dev, O_RDONLY | O_DIRECT, expected.size()), DISK_DEVICE_OK) << f.GetErrString();
        EXPECT_TRUE(ReadAll(f, expected.size()) == expected) << "snapshot content differs";

        // And through a mapped window of the device's own mapping.
        char* map = nullptr;
        ASSERT_EQ(f.MmapRead(4 * kMiB, 4096, map), DISK_DEVICE_OK);
        EXPECT_EQ(std::memcmp(map, expected.data() + 4 * kMiB, 4 * kMiB), 0);
        ::munmap(map, DiskDeviceFile::MMAP_WINDOW_BYTES);

        EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
        ASSERT_EQ(api.DetachVolume(snapshot, err), 0) << err;
        EXPECT_FALSE(root.State().IsAttached(snapshot));
        EXPECT_TRUE(root.State().Clean());
        std::string loops;
        SimRoot::RunProgram({"losetup", "--associated", root.BackingPath(snapshot)}, &loops);
        EXPECT_EQ(loops, "") << "the loop device is released";
    }

    VirtualClock m_clock;
    LogCapture m_logs{2};
};

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

// ---- The bitmap handler against the simulated storage ----

// 1 KiB per bit: one bitmap byte covers 8 KiB of volume, one 4096-byte piece
// 32 MiB. The volume spans three whole pieces and part of a fourth, and
// ends in a short chunk.
class BitmapHandleSim : public StrataSimEndToEnd {
protected:
    static constexpr uint64_t kPieceSpan = 32 * kMiB;
    static constexpr uint64_t kVol = 3 * kPieceSpan + 5 * kMiB + 512;

    static SimRoot::Options BitmapOpts()
    {
        SimRoot::Options o = Opts();
        o.simConfig["block_size"] = "1024";
        return o;
    }

    // s1 empty; s2 changed in piece 0, on both sides of the piece 0/1 edge, in
    // piece 2 and in the very last byte.
    void MakeSnapshots(SimRoot& root)
    {
        root.CreateVolume("vol1", kVol);
        root.Snapshot("vol1", "s1");
        root.WritePattern("vol1", kMiB + 10, 1, 0x11);
        root.WritePattern("vol1", kPieceSpan - 1, 2, 0x22);
        root.WritePattern("vol1", 70 * kMiB, 1, 0x33);
        root.WritePattern("vol1", kVol - 1, 1, 0x44);
        root.Snapshot("vol1", "s2");
    }

    StrataDirtyRangesParams Params(uint64_t offset, uint64_t diskSize = kVol)
    {
        StrataDirtyRangesParams p;
        p._SetVolumeID("s2");
        p._SetParentVolumeID("s1");
        p._SetOffset(offset);
        p._SetDiskSize(diskSize);
        p._SetDiskHeadLen(0);
        return p;
    }

    // Nothing left behind: no bitmap volume in the storage, none in the cache.
    void ExpectCleanedUp(SimRoot& root)
    {
        EXPECT_TRUE(root.State().Clean());
        EXPECT_FALSE(m_cache->IsUseful()) << m_cache->ToJsonString();
    }

    // The plug-in's own document, kept in memory (no host to publish to).
    std::shared_ptr<DiskDataPersistence> m_cache = std::make_shared<DiskDataPersistence>(nullptr);
    StrataBitmapHandle m_handle{"10.20.30.40", "pool0", true, "task-volume", m_cache, nullptr, AbortFunc()};
};

// A bitmap of four pieces read end to end, from the start and from offsets
// inside the volume (on a piece edge and inside a piece): every changed byte
// becomes its 4 MiB unit, none before the start offset.
TEST_F(BitmapHandleSim, BitmapOfSeveralPiecesFromAnyStartOffset)
{
    SimRoot root(BitmapOpts());
    MakeSnapshots(root);
    struct Case {
        uint64_t offset;
        std::vector<DirtyRange> ranges;
    } cases[] = {
        {0, {DirtyRange(0, 4 * kMiB), DirtyRange(28 * kMiB, 8 * kMiB), DirtyRange(68 * kMiB, 4 * kMiB),
             DirtyRange(100 * kMiB, 4 * kMiB)}},
        {kPieceSpan, {DirtyRange(32 * kMiB, 4 * kMiB), DirtyRange(68 * kMiB, 4 * kMiB), DirtyRange(100 * kMiB, 4 * kMiB)}},
        {kPieceSpan + 3 * 8192, {DirtyRange(68 * kMiB, 4 * kMiB), DirtyRange(100 * kMiB, 4 * kMiB)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        DirtyRanges set;
        std::string err;
        ASSERT_EQ(m_handle.GetDirtyRanges(Params(c.offset), set, err), 0) << err;
        EXPECT_EQ(set.GetRanges(), c.ranges);
        EXPECT_FALSE(set.IsUseFull());
        EXPECT_NE(err, DETACH_DELETE_BITMAP_FAILED);
        ExpectCleanedUp(root);
    }
}

// The disk is said to be larger than the bitmap volume: the read of the fifth
// piece finds no data. The call fails after ranges were added from four good
// pieces, and the bitmap volume is still detached and deleted.
TEST_F(BitmapHandleSim, ReadFailingMidWalkFailsAndCleansUp)
{
    SimRoot root(BitmapOpts());
    MakeSnapshots(root);
    DirtyRanges set;
    std::string err;
    EXPECT_EQ(m_handle.GetDirtyRanges(Params(0, 5 * kPieceSpan), set, err), -1);
    EXPECT_TRUE(m_logs.Contains("Read disk device file failed.", 4));
    EXPECT_TRUE(m_logs.Contains("Caculate dirty range  failed.", 4));
    ExpectCleanedUp(root);
}

// The storage may answer "already attached" without naming the device. The
// attach is a success with an empty path; the bitmap handler then cannot open
// anything and fails, cleaning up, instead of reading some other file.
TEST_F(BitmapHandleSim, AlreadyAttachedWithoutADevicePath)
{
    SimRoot root(BitmapOpts());
    MakeSnapshots(root);
    root.InjectFault(SimFault::FailWith("attach", 50151401));
    DirtyRanges set;
    std::string err;
    EXPECT_EQ(m_handle.GetDirtyRanges(Params(0), set, err), -1);
    EXPECT_TRUE(m_logs.Contains("Open disk device[] file failed.", 4));
    EXPECT_TRUE(set.GetRanges().empty());
    ExpectCleanedUp(root);
}

}  // namespace
