// Every storage call of the backup, incremental and restore flows made to fail
// once and persistently against strata-sim: the operation's status and detail,
// the events raised, and leftover cleaning that must leave nothing behind.
#include "tests/strata_plugin/PluginSimSupport.h"

#ifdef DM_HAVE_SIM_TESTING
#include "storage_access/DirtyRanges.h"

using namespace simplugin;
using simtest::SimFault;
using simtest::SimRoot;
using testing_fakes::VirtualClock;

namespace {
enum class Flow { Backup, Incremental, Restore };

const char* FlowName(Flow f)
{
    return f == Flow::Backup ? "backup" : f == Flow::Incremental ? "incremental" : "restore";
}

struct Scenario {
    Flow flow;
    std::string op;
    bool persistent;
    int status;                       // status of the first operation that fails (0: none)
    uint64_t detail;                  // its detail code (0: none)
    bool marker;                      // the changed ranges carry the left-behind marker
    std::multiset<uint64_t> raised;   // codes of "Type" 1 events
};

const uint64_t kDetach = 72479277076ULL;
const uint64_t kDelete = 72479277077ULL;

std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> s;
    auto both = [&s](Flow f, const std::string& op, Scenario persistent) {
        s.push_back({f, op, false, 0, 0, false, {}});
        persistent.flow = f;
        persistent.op = op;
        persistent.persistent = true;
        s.push_back(persistent);
    };
    both(Flow::Backup, "attach", {Flow::Backup, "", true, 21, 20087, false, {}});
    both(Flow::Backup, "detach", {Flow::Backup, "", true, 22, 20089, false, {kDetach}});
    for (const char* op : {"create", "query", "attach"}) {
        both(Flow::Incremental, op, {Flow::Incremental, "", true, 13, 20148, false, {}});
    }
    // A bitmap that stays attached cannot be deleted either.
    both(Flow::Incremental, "detach", {Flow::Incremental, "", true, 0, 0, true, {kDetach, kDelete}});
    both(Flow::Incremental, "delete", {Flow::Incremental, "", true, 0, 0, true, {kDelete}});
    both(Flow::Restore, "attach", {Flow::Restore, "", true, 21, 20087, false, {}});
    both(Flow::Restore, "reg", {Flow::Restore, "", true, 0, 0, false, {}});    // a missing key is logged only
    both(Flow::Restore, "unreg", {Flow::Restore, "", true, 0, 0, false, {}});  // likewise; cleaning removes it
    both(Flow::Restore, "detach", {Flow::Restore, "", true, 22, 20089, false, {kDetach}});
    return s;
}

struct Outcome {
    int status = 0;
    uint64_t detail = 0;
    std::string resultText;
};

Outcome Note(Outcome o, const EnvProxyResult& r)
{
    if (o.status == 0 && r._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        o.status = r._GetCompleteCode();
        o.detail = r.details.empty() ? 0 : r.details.front().code;
    }
    return o;
}

const uint64_t kDataSize = 8 * MiB;

VolumeParas KindOf(Flow f, DiskMessageNotify* sink)
{
    return f == Flow::Restore ? RestoreParas(sink, "dst", kDataSize) : BackupParas(sink, "s2", kDataSize);
}

Outcome RunFlow(Flow f, HostMessageSink& sink)
{
    Outcome o;
    auto disk = Create(KindOf(f, &sink));
    if (!disk) {
        o.status = -1;
        return o;
    }
    AlignedBuffer buf(4096);
    if (f == Flow::Incremental) {
        DirtyRanges set;
        EnvProxyResult r = disk->GetDirtyRanges(nullptr, "s1", set, 0, 0);
        o = Note(o, r);
        o.resultText = r.resultText;
        return o;
    }
    EnvProxyResult open =
        f == Flow::Backup ? disk->OpenDisk(std::shared_ptr<CSnapshotID>(), true) : disk->OpenDisk(false);
    o = Note(o, open);
    if (open._GetCompleteCode() != ENV_PROXY_SUCCESS) {
        return o;
    }
    uint64_t len = 4096;
    char* data = buf.data.get();
    std::memset(data, 0x5a, 4096);
    o = Note(o, f == Flow::Backup ? disk->ReadBlocks(0, len, data) : disk->WriteBlocks(0, len, data));
    return Note(o, disk->CloseDisk());
}
}  // namespace

// Runs every scenario of one flow; one flow per test so that the runner can
// spread them over cores (each storage call is a process start).
void RunMatrix(Flow flow, const std::set<std::string>& ops, int expectedScenarios)
{
    VirtualClock clock;
    int scenarios = 0;
    // One storage for all scenarios: each must leave it as clean as it found it.
    SimRoot::Options opts;
    opts.simConfig["block_size"] = "65536";
    SimRoot sim(opts);
    sim.CreateVolume("vol1", kDataSize + kHeader);
    sim.Snapshot("vol1", "s1");
    sim.WritePattern("vol1", kHeader + MiB, 10, 9);
    sim.Snapshot("vol1", "s2");
    sim.CreateVolume("dst", kDataSize + kHeader);
    for (const Scenario& sc : Scenarios()) {
        if (sc.flow != flow || ops.count(sc.op) == 0) {
            continue;
        }
        SCOPED_TRACE(std::string(FlowName(sc.flow)) + " " + sc.op + (sc.persistent ? " persistent" : " once"));
        ++scenarios;
        ASSERT_TRUE(sim.State().Clean());

        const int code = (sc.op == "reg" || sc.op == "unreg") ? 1 : 1003;
        sim.InjectFault(SimFault::FailWith(sc.op, code, 1, sc.persistent));
        HostMessageSink sink("");
        Outcome o = RunFlow(sc.flow, sink);
        EXPECT_EQ(o.status, sc.status);
        EXPECT_EQ(o.detail, sc.detail);
        EXPECT_EQ(o.resultText == "DETACH_DELETE_BITMAP_FAILED", sc.marker);
        std::multiset<uint64_t> raised;
        std::multiset<std::pair<uint64_t, std::string>> raisedFor;
        for (const auto& e : sink.Events()) {
            if (e.type == 1) {
                raised.insert(e.code);
                raisedFor.insert({e.code, e.params.size() > 1 ? e.params[1] : ""});
            }
        }
        EXPECT_EQ(raised, sc.raised);
        EXPECT_EQ(sink.CountEvents(17664665321473ULL, 4), 0u);

        sim.ClearFaults();
        HostMessageSink cleaner("");
        const int cleanStatus = CleanUntilEmpty(KindOf(sc.flow, nullptr), sink.LatestCacheData(), cleaner);
        EXPECT_EQ(cleanStatus, 0);
        // Every raised event is cleared by the cleaning, for the same volume.
        for (const auto& r : raisedFor) {
            bool cleared = false;
            for (const auto& e : cleaner.Events()) {
                cleared = cleared || (e.type == 2 && e.code == r.first && e.params.size() > 1 && e.params[1] == r.second);
            }
            EXPECT_TRUE(cleared) << r.first << " " << r.second;
        }
        simtest::SimState state = sim.State();
        EXPECT_TRUE(state.Clean()) << state.raw.toStyledString();
    }
    EXPECT_EQ(scenarios, expectedScenarios);
}

// 22 scenarios in all.
TEST(PluginFaultMatrixTest, BackupCallsFailingOnceOrPersistently)
{
    RunMatrix(Flow::Backup, {"attach", "detach"}, 4);
}
TEST(PluginFaultMatrixTest, IncrementalCreationCallsFailingOnceOrPersistently)
{
    RunMatrix(Flow::Incremental, {"create", "query", "attach"}, 6);
}
TEST(PluginFaultMatrixTest, IncrementalCleanUpCallsFailingOnceOrPersistently)
{
    RunMatrix(Flow::Incremental, {"detach", "delete"}, 4);
}
TEST(PluginFaultMatrixTest, RestoreCallsFailingOnceOrPersistently)
{
    RunMatrix(Flow::Restore, {"attach", "reg", "unreg", "detach"}, 8);
}
#endif
