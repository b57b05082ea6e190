// The real plug-in file, loaded through the factory, against strata-sim in a
// temporary installation root: mapped reads, restore, an incremental without its
// parent and crash recovery (the data mover's tests run whole backup cycles and
// the health check against it).
#include "tests/strata_plugin/PluginSimSupport.h"

#ifdef DM_HAVE_SIM_TESTING
#include <functional>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "storage_access/DirtyRanges.h"

using namespace simplugin;
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
}  // namespace

// A full backup reads the snapshot through a mapped window (the data mover's
// tests read it block by block and asynchronously); a restore writes what it
// read into a new volume's data area, leaving its header alone.
TEST_F(PluginSimTest, FullBackupReadsEveryByteMappedAndARestoreWritesThemBack)
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
    for (uint64_t off = 0; off < dataSize; off += 4 * MiB) {
        SCOPED_TRACE(off);
        uint64_t len = 4 * MiB;
        char* mapped = nullptr;
        ASSERT_EQ(disk->MmapReadBlocks(off, len, mapped)._GetCompleteCode(), ENV_PROXY_SUCCESS);
        ASSERT_TRUE(std::string(mapped, len) == expected.substr(off, 4 * MiB)) << "MmapReadBlocks";
        munmap(mapped, len);
    }

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

// Changed chunks become ranges in the descriptor's tests and the data mover's
// incrementals restore exactly; here, with the parent gone, the whole disk
// counts as changed, with one notice naming the volume.
TEST_F(PluginSimTest, IncrementalWithoutTheParentIsFull)
{
    const uint64_t dataSize = 64 * MiB;
    sim.CreateVolume("vol1", dataSize + kHeader);
    sim.Snapshot("vol1", "s1");
    sim.WritePattern("vol1", kHeader + 5 * MiB, 100, 0xA5);
    sim.Snapshot("vol1", "s2");
    sim.DeleteSnapshot("s1");
    HostMessageSink gone("parentgone");
    DirtyRanges all;
    EnvProxyResult r = Create(BackupParas(&gone, "s2", dataSize))->GetDirtyRanges(nullptr, "s1", all, 0, 0);
    ASSERT_EQ(r._GetCompleteCode(), ENV_PROXY_SUCCESS);
    EXPECT_TRUE(all.IsUseFull());
    EXPECT_EQ(all.GetRanges(), std::vector<DirtyRange>{DirtyRange(0, dataSize)});
    ASSERT_EQ(gone.Events().size(), 1u);
    EXPECT_EQ(gone.CountEvents(17664665321473ULL, 4), 1u);
    EXPECT_EQ(gone.Events()[0].params, std::vector<std::string>{kVolumeUuid});
    EXPECT_TRUE(sim.State().Clean());
    EXPECT_FALSE(NamesVolumes(gone.LatestCacheData()));
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
