// The real plug-in file, loaded through the factory, against strata-sim in a
// temporary installation root: full and incremental backup, restore and crash
// recovery (the health check runs against it in the datamover's tests).
#include "tests/strata_plugin/PluginSimSupport.h"

#ifdef DM_HAVE_SIM_TESTING
#include <libaio.h>
#include <cstring>
#include <functional>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "storage_access/DirtyRanges.h"

using namespace simplugin;
using simtest::SimFault;
using simtest::SimRoot;
using testing_fakes::VirtualClock;

namespace {
const uint64_t kChunk = 65536;

SimRoot::Options SimOptions()
{
    SimRoot::Options o;
    o.simConfig["block_size"] = std::to_string(kChunk);
    // No limit on the bitmap wait: the crash test kills a child while it polls.
    o.hostConfig[{"General", "CreateBitmapTimeoutSec"}] = "-1";
    return o;
}

class PluginSimTest : public ::testing::Test {
protected:
    PluginSimTest() : sim(SimOptions()) {}
    VirtualClock clock;
    SimRoot sim;
};

std::set<uint64_t> UnitsOf(const DirtyRanges& set)
{
    std::set<uint64_t> units;
    for (const DirtyRange& r : set.GetRanges()) {
        for (uint64_t u = r.start / (4 * MiB); u * 4 * MiB < r.End(); ++u) {
            units.insert(u);
        }
    }
    return units;
}
}  // namespace

// A full backup reads the snapshot three ways; a restore writes what it read
// into a new volume's data area, leaving its header alone.
TEST_F(PluginSimTest, FullBackupReadsEveryByteThreeWaysAndARestoreWritesThemBack)
{
    const uint64_t dataSize = 16 * MiB;
    sim.CreateVolume("vol1", dataSize + kHeader);
    sim.WriteRandom("vol1", 0, dataSize + kHeader, 42);
    sim.Snapshot("vol1", "snap1");
    sim.WriteRandom("vol1", 0, MiB, 7);  // the volume moves on; the snapshot must not
    const std::string expected = sim.Read("snap1", kHeader, dataSize);
    ASSERT_EQ(expected.size(), dataSize);

    HostMessageSink sink("full");
    auto disk = Create(BackupParas(&sink, "snap1", dataSize));
    ASSERT_NE(disk, nullptr);
    EnvProxyResult open = disk->OpenDisk(std::shared_ptr<CSnapshotID>(), true);
    ASSERT_EQ(open._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(sim.State().IsAttached("snap1"));

    // Megabytes of data are compared with ==: a failure message must not diff them.
    AlignedBuffer buf(4 * MiB);
    io_context_t ctx = nullptr;
    ASSERT_EQ(io_setup(4, &ctx), 0);
    for (uint64_t off = 0; off < dataSize; off += 4 * MiB) {
        SCOPED_TRACE(off);
        const std::string want = expected.substr(off, 4 * MiB);
        uint64_t len = 4 * MiB;
        ASSERT_EQ(disk->ReadBlocks(off, len, buf.data.get())._GetCompleteCode(), ENV_PROXY_SUCCESS);
        ASSERT_EQ(len, 4 * MiB);
        ASSERT_TRUE(std::string(buf.data.get(), len) == want) << "ReadBlocks";
        std::memset(buf.data.get(), 0, len);  // the next read must bring the data again
        ASSERT_EQ(disk->AioReadBlocks(off, len, buf.data.get(), ctx)._GetCompleteCode(), ENV_PROXY_SUCCESS);
        io_event ev{};
        ASSERT_EQ(io_getevents(ctx, 1, 1, &ev, nullptr), 1);
        EXPECT_EQ(ev.res, 4 * MiB);
        free(ev.obj);
        ASSERT_TRUE(std::string(buf.data.get(), len) == want) << "AioReadBlocks";
        char* mapped = nullptr;
        ASSERT_EQ(disk->MmapReadBlocks(off, len, mapped)._GetCompleteCode(), ENV_PROXY_SUCCESS);
        ASSERT_TRUE(std::string(mapped, len) == want) << "MmapReadBlocks";
        munmap(mapped, len);
    }
    io_destroy(ctx);

    EXPECT_EQ(disk->CloseDisk()._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(sim.State().Clean());
    EXPECT_FALSE(NamesVolumes(sink.LatestCacheData()));

    sim.CreateVolume("dst", dataSize + kHeader);
    HostMessageSink restoreSink("restore");
    disk = Create(RestoreParas(&restoreSink, "dst", dataSize));
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(disk->OpenDisk(false)._GetCompleteCode(), ENV_PROXY_SUCCESS);
    simtest::SimState during = sim.State();
    ASSERT_EQ(during.registrations.size(), 1u);
    EXPECT_EQ(during.registrations[0].volume, "dst");
    for (uint64_t off = 0; off < dataSize; off += 4 * MiB) {
        std::string part = expected.substr(off, 4 * MiB);
        uint64_t len = part.size();
        ASSERT_EQ(disk->WriteBlocks(off, len, &part[0])._GetCompleteCode(), ENV_PROXY_SUCCESS);
    }
    EXPECT_EQ(disk->FlushDisk()._GetCompleteCode(), ENV_PROXY_SUCCESS);
    ASSERT_EQ(disk->CloseDisk()._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(sim.Read("dst", kHeader, dataSize) == expected) << "the restored data differ";
    EXPECT_EQ(sim.Read("dst", 0, kHeader), std::string(kHeader, '\0'));
    EXPECT_TRUE(sim.State().Clean());
    EXPECT_FALSE(NamesVolumes(restoreSink.LatestCacheData()));
}

TEST_F(PluginSimTest, IncrementalRangesCoverEveryChangedChunkOrAllWithoutTheParent)
{
    const uint64_t dataSize = 64 * MiB;
    sim.CreateVolume("vol1", dataSize + kHeader);
    sim.WriteRandom("vol1", 0, dataSize + kHeader, 1);
    sim.Snapshot("vol1", "s1");
    struct Change {
        uint64_t offset;  // in the data area
        uint64_t length;
    };
    const std::vector<Change> changes = {{5 * MiB + 100, 1}, {40 * MiB - 10, 20}, {63 * MiB + 1000, 5000}};
    for (const Change& c : changes) {
        sim.WritePattern("vol1", kHeader + c.offset, c.length, 0xA5);
    }
    sim.Snapshot("vol1", "s2");

    HostMessageSink sink("incr");
    auto disk = Create(BackupParas(&sink, "s2", dataSize));
    ASSERT_NE(disk, nullptr);
    DirtyRanges set;
    EnvProxyResult r = disk->GetDirtyRanges(nullptr, "s1", set, 0, 0);
    ASSERT_EQ(r._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(r.resultText.empty());
    EXPECT_FALSE(set.IsUseFull());
    // Each changed chunk's bitmap byte (512 KiB of disk) moved into the data area
    // and widened to 4 MiB units: the change at 40 MiB - 10 touches two units.
    EXPECT_EQ(UnitsOf(set), (std::set<uint64_t>{1, 9, 10, 15}));
    EXPECT_TRUE(sim.State().Clean());
    EXPECT_EQ(sink.Events().size(), 0u);
    EXPECT_FALSE(NamesVolumes(sink.LatestCacheData()));

    // With the parent gone the whole disk counts as changed, with one notice naming the volume.
    sim.DeleteSnapshot("s1");
    HostMessageSink gone("parentgone");
    DirtyRanges all;
    r = Create(BackupParas(&gone, "s2", dataSize))->GetDirtyRanges(nullptr, "s1", all, 0, 0);
    ASSERT_EQ(r._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(all.IsUseFull());
    EXPECT_EQ(all.GetRanges(), std::vector<DirtyRange>{DirtyRange(0, dataSize)});
    ASSERT_EQ(gone.Events().size(), 1u);
    EXPECT_EQ(gone.CountEvents(17664665321473ULL, 4), 1u);
    EXPECT_EQ(gone.Events()[0].params, std::vector<std::string>{kVolumeUuid});
    EXPECT_TRUE(sim.State().Clean());
}

// While the attach command runs (held by a stall that clearing the faults
// releases), the host's document already names the volume it attaches.
TEST_F(PluginSimTest, CachedDataNamesTheVolumeWhileItsAttachRuns)
{
    sim.CreateVolume("vol1", 8 * MiB + kHeader);
    sim.Snapshot("vol1", "s1");
    sim.CreateVolume("dst", 8 * MiB + kHeader);
    for (bool backup : {true, false}) {
        const std::string name = backup ? "s1" : "dst";
        SCOPED_TRACE(name);
        const int before = sim.State().calls["attach"];
        sim.InjectFault(SimFault::Stall("attach", 60000));
        HostMessageSink sink("");
        auto disk = Create(backup ? BackupParas(&sink, name, 8 * MiB) : RestoreParas(&sink, name, 8 * MiB));
        ASSERT_NE(disk, nullptr);
        EnvProxyResult open;
        std::thread opener([&] { open = backup ? disk->OpenDisk(nullptr, true) : disk->OpenDisk(false); });
        const bool running =
            testwait::WaitFor([&] { return sim.State().calls["attach"] > before; }, std::chrono::seconds(20));
        Json::Value doc;
        CJsonUtils::StringToJson(sink.LatestCacheData(), doc);
        const bool attached = sim.State().IsAttached(name);
        sim.ClearFaults();
        opener.join();
        ASSERT_TRUE(running);
        EXPECT_FALSE(attached) << "the attach was still held";
        const char* key = backup ? "snapshot_volumes_attached" : "data_volumes_attached";
        ASSERT_TRUE(doc[key].isArray());
        EXPECT_EQ(doc[key][0].asString(), name);
        EXPECT_EQ(open._GetCompleteCode(), ENV_PROXY_SUCCESS);
        EXPECT_EQ(disk->CloseDisk()._GetCompleteCode(), ENV_PROXY_SUCCESS);
    }
    EXPECT_TRUE(sim.State().Clean());
}

namespace {
// Runs `body` in a child process that reports readiness through a pipe and is
// then killed with SIGKILL once `killWhen` holds (polled for up to 20 s).
template <typename Body, typename Pred>
bool RunAndKill(Body body, Pred killWhen)
{
    pid_t pid = fork();
    if (pid == 0) {
        body();
        pause();
        _exit(0);
    }
    const bool reached = testwait::WaitFor(killWhen, std::chrono::seconds(20));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return reached;
}
}  // namespace

// Each flow runs in a child killed once the storage and the host's stored
// cached data show what it holds (a snapshot attached, a bitmap still being
// built, a restore target with its key); cleaning from that data leaves nothing.
TEST_F(PluginSimTest, CrashesAreCleanedFromTheLastCachedData)
{
    sim.CreateVolume("vol1", 8 * MiB + kHeader);
    sim.Snapshot("vol1", "s1");
    sim.WritePattern("vol1", kHeader, 100, 3);
    sim.Snapshot("vol1", "s2");
    sim.CreateVolume("dst", 8 * MiB + kHeader);
    struct Case {
        const char* task;
        VolumeParas paras;
        const char* previous;  // the changed ranges asked for after the open (nullptr: none)
        std::function<bool(const simtest::SimState&, const std::string&)> held;
        const char* cachedName;
        size_t detachesCleared;
    };
    const Case cases[] = {
        {"crash-attach", BackupParas(nullptr, "s1", 8 * MiB), nullptr,
         [](const simtest::SimState& s, const std::string& doc) { return s.IsAttached("s1") && NamesVolumes(doc); },
         "s1", 1},
        {"crash-bitmap", BackupParas(nullptr, "s2", 8 * MiB), "s1",
         [](const simtest::SimState& s, const std::string&) { return !s.Bitmaps().empty() && s.IsAttached("s2"); },
         "_BITMAP", 2},
        {"crash-restore", RestoreParas(nullptr, "dst", 8 * MiB), nullptr,
         [](const simtest::SimState& s, const std::string& doc) {
             return !s.registrations.empty() && s.IsAttached("dst") &&
                    doc.find("data_volume_keys_registered\":[") != std::string::npos;
         },
         "dst", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.task);
        // The storage keeps answering "still being created" until the child is gone.
        sim.SetSimConfig("bitmap_pending_queries", "1000000");
        ASSERT_TRUE(RunAndKill(
            [&c] {
                HostMessageSink sink(c.task);
                VolumeParas p = c.paras;
                p.msgNotify = &sink;
                auto disk = Create(p);
                p.isBackup ? disk->OpenDisk(std::shared_ptr<CSnapshotID>(), true) : disk->OpenDisk(false);
                DirtyRanges set;
                if (c.previous != nullptr) {
                    disk->GetDirtyRanges(nullptr, c.previous, set, 0, 0);
                }
            },
            [&] { return c.held(sim.State(), HostMessageSink::LoadTaskCacheData(c.task)); }));
        const std::string cached = HostMessageSink::LoadTaskCacheData(c.task);
        ASSERT_NE(cached.find(c.cachedName), std::string::npos);
        sim.SetSimConfig("bitmap_pending_queries", "0");
        HostMessageSink sink("cleaner");
        EXPECT_EQ(CleanUntilEmpty(c.paras, cached, sink), ENV_PROXY_SUCCESS);
        simtest::SimState after = sim.State();
        EXPECT_TRUE(after.Clean()) << after.raw.toStyledString();
        EXPECT_EQ(sink.CountEvents(72479277076ULL, 2), c.detachesCleared);
    }
}

#endif
