// The bitmap volume handler through scripted storage tool output: geometry of
// bitmap bytes (including headers longer than a span), the full-bitmap fall-back,
// retries, clean-up failures, the abort flag and the cached data it keeps.
#include <gtest/gtest.h>

#include <boost/atomic.hpp>

#include "storage_access/StrataBitmapHandle.h"
#include "strata_plugin/DiskDataPersistence.h"
#include "tests/strata_plugin/PluginTestSupport.h"

using namespace plugintest;
using testing_fakes::CapturedMessages;
using testing_fakes::LogCapture;
using testing_fakes::ScriptedCommandRunner;
using testing_fakes::VirtualClock;

namespace {
const uint64_t MiB = 1048576ULL;

class BitmapHandleTest : public ::testing::Test {
protected:
    void SetUp() override { handle = Fresh(sink); }
    // A handler with a cache of its own, publishing to `messages`.
    std::shared_ptr<StrataBitmapHandle> Fresh(CapturedMessages& messages)
    {
        return std::make_shared<StrataBitmapHandle>(
            "10.1.1.1", "pool0", true, "task-volume", std::make_shared<DiskDataPersistence>(&messages), &messages,
            AbortFunc([this]() -> boost::atomics::atomic<bool>& { return abortFlag; }));
    }
    static StrataDirtyRangesParams Params(uint64_t diskSize, uint64_t headLen, uint64_t offset = 0,
                                          const std::string& parent = "snap-1")
    {
        StrataDirtyRangesParams p;
        p._SetVolumeID("snap-2");
        p._SetParentVolumeID(parent);
        p._SetDiskSize(diskSize);
        p._SetDiskHeadLen(headLen);
        p._SetOffset(offset);
        return p;
    }

    TempRoot root;
    VirtualClock clock;
    ScriptedCommandRunner runner;
    CapturedMessages sink;
    boost::atomics::atomic<bool> abortFlag{false};
    std::shared_ptr<StrataBitmapHandle> handle;
};
}  // namespace

TEST(BitmapGeometryTest, ByteRangesClipHeadersOfAnyLengthAndTheDiskEnd)
{
    const uint64_t span = 8 * 65536;
    struct Case {
        uint64_t byte, span, head, disk;
        bool covered;
        DirtyRange range;
    };
    const Case cases[] = {
        // 64 KiB chunks, 256 KiB header, 10 MiB disk: 21 bytes.
        {0, span, 262144, 10485760, true, DirtyRange(0, 262144)},
        {5, span, 262144, 10485760, true, DirtyRange(2359296, 524288)},
        {20, span, 262144, 10485760, true, DirtyRange(10223616, 262144)},
        {21, span, 262144, 10485760, false, {}},
        // No header: byte k covers exactly [k*span, (k+1)*span).
        {1, 8 * MiB, 0, 16 * MiB, true, DirtyRange(8 * MiB, 8 * MiB)},
        // A 2 MiB header: the first four bytes cover only header, never wrap around.
        {0, span, 2 * MiB, 8 * MiB, false, {}},
        {3, span, 2 * MiB, 8 * MiB, false, {}},
        {4, span, 2 * MiB, 8 * MiB, true, DirtyRange(0, span)},
        // A header that ends inside a span: the byte's disk part starts at 0.
        {4, span, 2 * MiB + 4096, 8 * MiB, true, DirtyRange(0, span - 4096)},
        {5, span, 2 * MiB + 4096, 8 * MiB, true, DirtyRange(span - 4096, span)},
    };
    for (const Case& c : cases) {
        DirtyRange r;
        EXPECT_EQ(StrataBitmapHandle::ByteRange(c.byte, c.span, c.head, c.disk, r), c.covered) << c.byte;
        if (c.covered) {
            EXPECT_EQ(r, c.range) << c.byte << " head " << c.head;
        }
    }
}

// Bitmap bytes to ranges, widened to 4 MiB units; the walk starts at the byte
// that holds the start offset and keeps disk coordinates; no parent means all,
// and so does a parent the storage no longer has (with one notice, the missing
// snapshot's create not retried).
TEST_F(BitmapHandleTest, BitmapsBecomeRangesInDiskCoordinates)
{
    auto bytes = [](size_t n, std::vector<std::pair<size_t, char>> set) {
        std::string b(n, '\0');
        for (const auto& s : set) {
            b[s.first] = s.second;
        }
        return b;
    };
    struct Case {
        const char* what;
        std::string bitmap;
        int blockSize;
        StrataDirtyRangesParams params;
        std::vector<DirtyRange> ranges;
        bool full;
        const char* log;  // with its level, nullptr: none
        int level;
        bool parentMissing = false;
    };
    const Case cases[] = {
        {"second byte", bytes(2, {{1, 1}}), 1048576, Params(16 * MiB, 0), {DirtyRange(8 * MiB, 8 * MiB)}, false,
         nullptr, 0},
        {"any bit pattern", bytes(2, {{0, '\x80'}}), 1048576, Params(16 * MiB, 0), {DirtyRange(0, 8 * MiB)}, false,
         nullptr, 0},
        {"short header", bytes(21, {{0, 1}, {5, 2}, {20, 4}}), 65536, Params(10485760, 262144),
         {DirtyRange(0, 4 * MiB), DirtyRange(8 * MiB, 4 * MiB)}, false, nullptr, 0},
        // 2 MiB header, 64 KiB chunks, 16 MiB disk: 36 bytes, the first four header only.
        {"long header", bytes(36, {{0, 1}, {3, 1}, {12, 1}}), 65536, Params(16 * MiB, 2 * MiB),
         {DirtyRange(4 * MiB, 4 * MiB)}, false, nullptr, 0},
        {"start inside a span", bytes(8, {{0, 1}, {3, 1}, {7, 1}}), 1048576, Params(64 * MiB, 0, 24 * MiB + 4096),
         {DirtyRange(24 * MiB, 8 * MiB), DirtyRange(56 * MiB, 8 * MiB)}, false,
         " startOffset25169920 can not be divided", 4},
        {"all zero", std::string(4096, '\0'), 4096, Params(128 * MiB, 0), {}, false, nullptr, 0},
        {"no parent", std::string(2, '\xff'), 1048576, Params(16 * MiB, 0, 0, ""), {DirtyRange(0, 16 * MiB)}, true,
         "parent snapshot not exist,will do Full Backup.", 2},
        {"parent missing", std::string(2, '\xff'), 1048576, Params(16 * MiB, 0), {DirtyRange(0, 16 * MiB)}, true,
         "parent snapshot not exist,will do Full Backup.", 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedCommandRunner script;
        script.ExpectContaining("--snapNameFrom 'snap-1'", c.parentMissing ? QrmCode(50150006) : CreateOk(c.blockSize));
        ScriptBitmap(script, root.MakeFile("bitmap.bin", c.bitmap), c.blockSize);
        CapturedMessages messages;
        LogCapture logs;
        DirtyRanges set;
        std::string err;
        ASSERT_EQ(Fresh(messages)->GetDirtyRanges(c.params, set, err), 0);
        EXPECT_EQ(set.GetRanges(), c.ranges);
        EXPECT_EQ(set.IsUseFull(), c.full);
        EXPECT_NE(err, "DETACH_DELETE_BITMAP_FAILED");
        EXPECT_EQ(logs.Contains("can not be divided") || logs.Contains("will do Full Backup"), c.log != nullptr);
        EXPECT_TRUE(c.log == nullptr || logs.Contains(c.log, c.level));
        Json::Value doc = LastCacheData(messages);
        EXPECT_EQ(ArraySize(doc, "bitmap_volumes_created") + ArraySize(doc, "bitmap_volumes_attached"), 0u);
        EXPECT_EQ(doc["IP"].asString(), "10.1.1.1");
        EXPECT_EQ(doc["pool_id"].asString(), "pool0");
        const EventList notice = {{4, 17664665321473ULL, {"task-volume"}}};
        EXPECT_EQ(Events(messages), c.parentMissing ? notice : EventList());
        EXPECT_EQ(CallsWith(script, "--snapNameFrom 'snap-1'"), c.params.parentVolumeID.empty() ? 0u : 1u);
        EXPECT_EQ(CallsWith(script, "--snapNameFrom ''"), c.full ? 1u : 0u);
    }
}

// A creation that fails, or is aborted while it waits, ends at once with the
// storage's code and deletes the bitmap, whose name was cached (in both arrays)
// before the create command ran; a restore never falls back to a full bitmap.
TEST_F(BitmapHandleTest, FailedOrAbortedCreationsDeleteTheBitmapTheyNamed)
{
    struct Case {
        const char* what;
        bool restore, abort;
        Reply create, detach, remove;
        int32_t result;
        size_t creates;  // a refusal is retried, a missing parent and an abort are not
    };
    const Case cases[] = {
        {"restore, parent missing", true, false, QrmCode(50150006), CliFail(50151404, "not exist"),
         QrmCode(50150005), 50150006, 1},
        {"create refused", false, false, QrmCode(-1), CliOk(), QrmCode(0), -1, 3},
        {"aborted", false, true, CreateOk(1048576), CliOk(), QrmCode(0), 10010, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedCommandRunner script;
        CapturedMessages messages;
        Json::Value atCreate;  // the cached data as the first create command runs
        Reply create = c.create;
        create.onRun = [&] { if (atCreate.isNull()) atCreate = LastCacheData(messages); };
        script.ExpectContaining(kCreate, create);
        script.ExpectContaining("-c detachwithip", c.detach);
        script.ExpectContaining(kDelete, c.remove);
        abortFlag = c.abort;
        DirtyRanges set;
        set.m_isRestore = c.restore;
        std::string err;
        EXPECT_EQ(Fresh(messages)->GetDirtyRanges(Params(16 * MiB, 0), set, err), c.result);
        EXPECT_TRUE(Events(messages).empty());
        EXPECT_EQ(CallsWith(script, kCreate), c.creates);
        EXPECT_EQ(CallsWith(script, kQuery), 0u);
        EXPECT_EQ(CallsWith(script, kDelete), 1u);
        const Json::Value last = LastCacheData(messages);
        EXPECT_EQ(ArraySize(last, "bitmap_volumes_created") + ArraySize(last, "bitmap_volumes_attached"), 0u);
        // The fourth document (after IP, pool_id and two appends) names the bitmap in both arrays.
        auto bodies = messages.Bodies("DiskDescriptor.Message.Update.CacehData");
        ASSERT_GE(bodies.size(), 4u);
        Json::Value doc;
        ASSERT_TRUE(CJsonUtils::StringToJson(bodies[3], doc));
        ASSERT_EQ(ArraySize(doc, "bitmap_volumes_created"), 1u);
        const std::string name = doc["bitmap_volumes_created"][0].asString();
        EXPECT_EQ(doc["bitmap_volumes_attached"][0].asString(), name);
        EXPECT_EQ(name.rfind("snap-2_0_", 0), 0u) << name;
        EXPECT_EQ(name.substr(name.size() - 7), "_BITMAP");
        EXPECT_NE(script.Calls()[0].line.find(name), std::string::npos);
        ASSERT_EQ(ArraySize(atCreate, "bitmap_volumes_created"), 1u) << "named only after the create ran";
        EXPECT_EQ(atCreate["bitmap_volumes_created"][0].asString(), name);
        EXPECT_EQ(atCreate["bitmap_volumes_attached"][0].asString(), name);
    }
}

TEST_F(BitmapHandleTest, RetryOpMakesThreeCallsWithTwoPauses)
{
    int calls = 0;
    LogCapture logs;
    EXPECT_EQ(handle->RetryOp([&calls]() { ++calls; return 1; }, "Op"), 1);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(clock.SleepsSeconds(), (std::vector<uint64_t>{30, 30}));
    EXPECT_TRUE(logs.Contains("Op failed ! Retry 1 time.", 3));
    EXPECT_TRUE(logs.Contains("Op failed ! Retry 2 time.", 3));
    EXPECT_EQ(handle->RetryOp(std::function<int32_t()>(), "Empty"), -1);
    calls = 0;
    EXPECT_EQ(handle->RetryOp([&calls]() { ++calls; return 10010; }, "Abort"), 10010);
    EXPECT_EQ(calls, 1);
}

// A bitmap without a usable block size fails the computation; the bitmap
// volume is deleted all the same (a device that cannot be read is met against
// the simulated storage).
TEST_F(BitmapHandleTest, UnusableBitmapsFailAfterCleanUp)
{
    for (int bs : {0, -65536}) {
        SCOPED_TRACE(bs);
        ScriptedCommandRunner script;
        ScriptBitmap(script, root.MakeFile("bitmap.bin", std::string(16, '\0')), bs);
        DirtyRanges set;
        std::string err;
        EXPECT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), -1);
        EXPECT_EQ(err, "Unknown error! ");
        EXPECT_EQ(CallsWith(script, kDelete), 1u);
    }
}

// The ranges stay good when the clean-up fails: the marker tells the caller, an
// event is raised for what is left and its name stays cached.
TEST_F(BitmapHandleTest, CleanUpFailuresRaiseTheirEventAndKeepTheName)
{
    struct Case {
        Reply detach, remove;
        size_t detaches, deletes;
        EventRecord event;  // without the bitmap's name
        size_t attachedLeft, createdLeft;
    };
    const Case cases[] = {
        // A failed detach is retried and the delete is still tried.
        {CliFail(50151006, "device busy"), QrmCode(0), 3, 1,
         {1, 72479277076ULL, {"10.1.1.1", "DETACH_BITMAP_FAILED", "pool0"}}, 1, 0},
        {CliOk(), QrmCode(1003), 1, 3, {1, 72479277077ULL, {"10.1.1.1", "DELETE_BITMAP_FAILED"}}, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.event.params[1]);
        CapturedMessages messages;
        ScriptedCommandRunner script;
        ScriptBitmap(script, root.MakeFile("bitmap.bin", std::string("\x01\x00", 2)), 1048576, c.detach, c.remove);
        DirtyRanges set;
        std::string err;
        ASSERT_EQ(Fresh(messages)->GetDirtyRanges(Params(16 * MiB, 0), set, err), 0);
        EXPECT_EQ(err, "DETACH_DELETE_BITMAP_FAILED");
        EXPECT_EQ(set.GetRanges(), std::vector<DirtyRange>{DirtyRange(0, 8 * MiB)});
        EXPECT_EQ(CallsWith(script, "-c detachwithip"), c.detaches);
        EXPECT_EQ(CallsWith(script, kDelete), c.deletes);
        auto events = Events(messages);
        ASSERT_EQ(events.size(), 1u);
        ASSERT_GE(events[0].params.size(), 2u);
        events[0].params.erase(events[0].params.begin() + 1);
        EXPECT_EQ(events[0], c.event);
        Json::Value doc = LastCacheData(messages);
        EXPECT_EQ(ArraySize(doc, "bitmap_volumes_attached"), c.attachedLeft);
        EXPECT_EQ(ArraySize(doc, "bitmap_volumes_created"), c.createdLeft);
    }
}
