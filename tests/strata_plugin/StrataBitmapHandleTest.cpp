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

std::vector<DirtyRange> Ranges(const DirtyRanges& set) { return set.GetRanges(); }

class BitmapHandleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        cache = std::make_shared<DiskDataPersistence>(&sink);
        handle = std::make_shared<StrataBitmapHandle>("10.1.1.1", "pool0", true, "task-volume", cache, &sink,
                                                      AbortFunc([this]() -> boost::atomics::atomic<bool>& {
                                                          return abortFlag;
                                                      }));
    }
    // Scripts a successful create/query/attach/detach/delete of a bitmap whose
    // content is `bytes`, `blockSize` bytes per bit.
    void ScriptBitmap(const std::string& bytes, int blockSize)
    {
        std::string path = root.Path() + "/bitmap.bin";
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        runner.ExpectContaining(kCreate, CreateOk(blockSize));
        runner.ExpectContaining(kQuery, QueryReady(blockSize));
        runner.ExpectContaining("-c attachwithip", AttachOk(path));
        runner.ExpectContaining("-c detachwithip", CliOk());
        runner.ExpectContaining(kDelete, QrmCode(0));
    }
    StrataDirtyRangesParams Params(uint64_t diskSize, uint64_t headLen, uint64_t offset = 0,
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
    std::shared_ptr<DiskDataPersistence> cache;
    std::shared_ptr<StrataBitmapHandle> handle;
};
}  // namespace

TEST(BitmapGeometryTest, ByteRangesMatchTheDocumentedCasesWithShortHeaders)
{
    DirtyRange r;
    // chunk 65536, header 262144, disk 10485760: span 524288, 21 bytes.
    const uint64_t span = 8 * 65536;
    ASSERT_TRUE(StrataBitmapHandle::ByteRange(0, span, 262144, 10485760, r));
    EXPECT_EQ(r, DirtyRange(0, 262144));
    ASSERT_TRUE(StrataBitmapHandle::ByteRange(5, span, 262144, 10485760, r));
    EXPECT_EQ(r, DirtyRange(2359296, 524288));
    ASSERT_TRUE(StrataBitmapHandle::ByteRange(20, span, 262144, 10485760, r));
    EXPECT_EQ(r, DirtyRange(10223616, 262144));
    EXPECT_FALSE(StrataBitmapHandle::ByteRange(21, span, 262144, 10485760, r));
    // No header: byte k covers exactly [k*span, (k+1)*span).
    ASSERT_TRUE(StrataBitmapHandle::ByteRange(1, 8 * MiB, 0, 16 * MiB, r));
    EXPECT_EQ(r, DirtyRange(8 * MiB, 8 * MiB));
}

TEST(BitmapGeometryTest, HeaderLongerThanASpanNeverWrapsAround)
{
    DirtyRange r;
    // A 2 MiB header with 64 KiB chunks: the first four bytes cover only header.
    const uint64_t span = 8 * 65536;
    for (uint64_t k = 0; k < 4; ++k) {
        EXPECT_FALSE(StrataBitmapHandle::ByteRange(k, span, 2 * MiB, 8 * MiB, r)) << k;
    }
    ASSERT_TRUE(StrataBitmapHandle::ByteRange(4, span, 2 * MiB, 8 * MiB, r));
    EXPECT_EQ(r, DirtyRange(0, span));
    // A header that ends inside a span: the byte's disk part starts at 0.
    ASSERT_TRUE(StrataBitmapHandle::ByteRange(4, span, 2 * MiB + 4096, 8 * MiB, r));
    EXPECT_EQ(r, DirtyRange(0, span - 4096));
    ASSERT_TRUE(StrataBitmapHandle::ByteRange(5, span, 2 * MiB + 4096, 8 * MiB, r));
    EXPECT_EQ(r, DirtyRange(span - 4096, span));
}

TEST_F(BitmapHandleTest, SecondByteMarksTheSecondHalfOfA16MiBDisk)
{
    ScriptBitmap(std::string("\x00\x01", 2), 1048576);
    DirtyRanges set;
    std::string err;
    ASSERT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), 0);
    EXPECT_EQ(Ranges(set), std::vector<DirtyRange>{DirtyRange(8 * MiB, 8 * MiB)});
    EXPECT_FALSE(set.IsUseFull());
    EXPECT_NE(err, "DETACH_DELETE_BITMAP_FAILED");
    Json::Value doc = LastCacheData(sink);
    EXPECT_EQ(ArraySize(doc, "bitmap_volumes_created"), 0u);
    EXPECT_EQ(ArraySize(doc, "bitmap_volumes_attached"), 0u);
    EXPECT_EQ(doc["IP"].asString(), "10.1.1.1");
    EXPECT_EQ(doc["pool_id"].asString(), "pool0");
}

TEST_F(BitmapHandleTest, FirstByteMarksTheFirstHalfWhateverItsBitPattern)
{
    ScriptBitmap(std::string("\x80\x00", 2), 1048576);
    DirtyRanges set;
    std::string err;
    ASSERT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), 0);
    EXPECT_EQ(Ranges(set), std::vector<DirtyRange>{DirtyRange(0, 8 * MiB)});
}

TEST_F(BitmapHandleTest, HeaderShorterThanASpanWidensToFourMiBUnits)
{
    std::string bytes(21, '\0');
    bytes[0] = 1;
    bytes[5] = 2;
    bytes[20] = 4;
    ScriptBitmap(bytes, 65536);
    DirtyRanges set;
    std::string err;
    ASSERT_EQ(handle->GetDirtyRanges(Params(10485760, 262144), set, err), 0);
    EXPECT_EQ(Ranges(set), (std::vector<DirtyRange>{DirtyRange(0, 4 * MiB), DirtyRange(8 * MiB, 4 * MiB)}));
}

TEST_F(BitmapHandleTest, HeaderLongerThanASpanSkipsHeaderBytesInsteadOfWrapping)
{
    // 2 MiB header, 64 KiB chunks, 16 MiB disk: (18 MiB) / 512 KiB = 36 bytes.
    std::string bytes(36, '\0');
    bytes[0] = 1;   // header only
    bytes[3] = 1;   // header only
    bytes[12] = 1;  // disk [4 MiB, 4.5 MiB)
    ScriptBitmap(bytes, 65536);
    DirtyRanges set;
    std::string err;
    ASSERT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 2 * MiB), set, err), 0);
    EXPECT_EQ(Ranges(set), std::vector<DirtyRange>{DirtyRange(4 * MiB, 4 * MiB)});
}

TEST_F(BitmapHandleTest, NonZeroStartOffsetBeginsAtItsByteAndKeepsDiskCoordinates)
{
    // chunk 1 MiB, span 8 MiB, no header, 64 MiB disk: 8 bytes.
    std::string bytes(8, '\0');
    bytes[0] = 1;  // before the start: not read
    bytes[3] = 1;
    bytes[7] = 1;
    ScriptBitmap(bytes, 1048576);
    DirtyRanges set;
    std::string err;
    LogCapture logs;
    ASSERT_EQ(handle->GetDirtyRanges(Params(64 * MiB, 0, 3 * 8 * MiB), set, err), 0);
    EXPECT_EQ(Ranges(set), (std::vector<DirtyRange>{DirtyRange(24 * MiB, 8 * MiB), DirtyRange(56 * MiB, 8 * MiB)}));
    EXPECT_FALSE(logs.Contains("can not be divided"));

    // A start offset inside a span starts at the byte that holds it.
    ScriptBitmap(bytes, 1048576);
    DirtyRanges second;
    ASSERT_EQ(handle->GetDirtyRanges(Params(64 * MiB, 0, 3 * 8 * MiB + 4096), second, err), 0);
    EXPECT_EQ(Ranges(second), Ranges(set));
    EXPECT_TRUE(logs.Contains(" startOffset" + std::to_string(3 * 8 * MiB + 4096) + " can not be divided", 4));
}

TEST_F(BitmapHandleTest, AllZeroBitmapGivesAnEmptySet)
{
    ScriptBitmap(std::string(4096, '\0'), 4096);
    DirtyRanges set;
    std::string err;
    ASSERT_EQ(handle->GetDirtyRanges(Params(128 * MiB, 0), set, err), 0);
    EXPECT_TRUE(Ranges(set).empty());
}

TEST_F(BitmapHandleTest, MissingParentSnapshotFallsBackToAFullBitmapWithOneNotice)
{
    std::string path = root.MakeFile("bitmap.bin", 2);
    runner.ExpectContaining("--snapNameFrom 'snap-1'", QrmCode(50150006));
    runner.ExpectContaining("--snapNameFrom ''", CreateOk(1048576));
    runner.ExpectContaining(kQuery, QueryReady(1048576));
    runner.ExpectContaining("-c attachwithip", AttachOk(path));
    runner.ExpectContaining("-c detachwithip", CliOk());
    runner.ExpectContaining(kDelete, QrmCode(0));
    DirtyRanges set;
    std::string err;
    ASSERT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), 0);
    EXPECT_TRUE(set.IsUseFull());
    auto events = Events(sink);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, 4);
    EXPECT_EQ(events[0].code, 17664665321473ULL);
    EXPECT_EQ(events[0].params, std::vector<std::string>{"task-volume"});
    // The missing snapshot is not retried: one create with it, one without.
    EXPECT_EQ(CallsWith(runner, "--snapNameFrom 'snap-1'"), 1u);
    EXPECT_EQ(CallsWith(runner, "--snapNameFrom ''"), 1u);
}

TEST_F(BitmapHandleTest, EmptyParentAsksForEverythingWithoutANotice)
{
    ScriptBitmap(std::string(2, '\xff'), 1048576);
    DirtyRanges set;
    std::string err;
    LogCapture logs;
    ASSERT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0, 0, ""), set, err), 0);
    EXPECT_TRUE(set.IsUseFull());
    EXPECT_TRUE(logs.Contains("parent snapshot not exist,will do Full Backup.", 2));
    EXPECT_TRUE(Events(sink).empty());
}

TEST_F(BitmapHandleTest, RestoreWithMissingParentFailsAndCleansUp)
{
    runner.ExpectContaining(kCreate, QrmCode(50150006));
    runner.ExpectContaining("-c detachwithip", CliFail(50151404, "not exist"));
    runner.ExpectContaining(kDelete, QrmCode(50150005));
    DirtyRanges set;
    set.m_isRestore = true;
    std::string err;
    EXPECT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), 50150006);
    EXPECT_TRUE(Events(sink).empty());
    EXPECT_EQ(CallsWith(runner, kDelete), 1u);
    Json::Value doc = LastCacheData(sink);
    EXPECT_EQ(ArraySize(doc, "bitmap_volumes_created"), 0u);
    EXPECT_EQ(ArraySize(doc, "bitmap_volumes_attached"), 0u);
}

TEST_F(BitmapHandleTest, NamesAreCachedBeforeTheCreateCommandRuns)
{
    runner.ExpectContaining(kCreate, QrmCode(-1));
    runner.ExpectContaining("-c detachwithip", CliOk());
    runner.ExpectContaining(kDelete, QrmCode(0));
    DirtyRanges set;
    std::string err;
    EXPECT_NE(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), 0);
    // The fourth document (after IP, pool_id and two appends) names the bitmap in both arrays.
    auto bodies = sink.Bodies("DiskDescriptor.Message.Update.CacehData");
    ASSERT_GE(bodies.size(), 4u);
    Json::Value doc;
    ASSERT_TRUE(CJsonUtils::StringToJson(bodies[3], doc));
    ASSERT_EQ(ArraySize(doc, "bitmap_volumes_created"), 1u);
    const std::string name = doc["bitmap_volumes_created"][0].asString();
    EXPECT_EQ(doc["bitmap_volumes_attached"][0].asString(), name);
    EXPECT_EQ(name.rfind("snap-2_0_", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 7), "_BITMAP");
    EXPECT_NE(runner.Calls()[0].line.find(name), std::string::npos);
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

TEST_F(BitmapHandleTest, AbortWhileWaitingEndsAtOnceWithoutRetry)
{
    abortFlag = true;
    runner.ExpectContaining(kCreate, CreateOk(1048576));
    runner.ExpectContaining("-c detachwithip", CliOk());
    runner.ExpectContaining(kDelete, QrmCode(0));
    DirtyRanges set;
    std::string err;
    EXPECT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), 10010);
    EXPECT_EQ(CallsWith(runner, kCreate), 1u);
    EXPECT_EQ(CallsWith(runner, kQuery), 0u);
}

TEST_F(BitmapHandleTest, ZeroOrNegativeBlockSizeFails)
{
    for (int bs : {0, -65536}) {
        ScriptedCommandRunner local;
        std::string path = root.MakeFile("bm", 16);
        local.ExpectContaining(kCreate, CreateOk(bs));
        local.ExpectContaining(kQuery, QueryReady(bs));
        local.ExpectContaining("-c attachwithip", AttachOk(path));
        local.ExpectContaining("-c detachwithip", CliOk());
        local.ExpectContaining(kDelete, QrmCode(0));
        DirtyRanges set;
        std::string err;
        EXPECT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), -1) << bs;
        EXPECT_EQ(err, "Unknown error! ");
        EXPECT_EQ(CallsWith(local, kDelete), 1u);
    }
}

TEST_F(BitmapHandleTest, DetachFailureRaisesEventStillDeletesAndReportsMarker)
{
    std::string path = root.Path() + "/bitmap.bin";
    std::ofstream(path, std::ios::binary).write("\x01\x00", 2);
    runner.ExpectContaining(kCreate, CreateOk(1048576));
    runner.ExpectContaining(kQuery, QueryReady(1048576));
    runner.ExpectContaining("-c attachwithip", AttachOk(path));
    runner.ExpectContaining("-c detachwithip", CliFail(50151006, "device busy"));
    runner.ExpectContaining(kDelete, QrmCode(0));
    DirtyRanges set;
    std::string err;
    ASSERT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), 0);
    EXPECT_EQ(err, "DETACH_DELETE_BITMAP_FAILED");
    EXPECT_EQ(CallsWith(runner, "-c detachwithip"), 3u);
    EXPECT_EQ(CallsWith(runner, kDelete), 1u);
    auto events = Events(sink);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, 1);
    EXPECT_EQ(events[0].code, 72479277076ULL);
    ASSERT_EQ(events[0].params.size(), 4u);
    EXPECT_EQ(events[0].params[0], "10.1.1.1");
    EXPECT_EQ(events[0].params[2], "DETACH_BITMAP_FAILED");
    EXPECT_EQ(events[0].params[3], "pool0");
    Json::Value doc = LastCacheData(sink);
    EXPECT_EQ(ArraySize(doc, "bitmap_volumes_attached"), 1u);
    EXPECT_EQ(ArraySize(doc, "bitmap_volumes_created"), 0u);
    EXPECT_EQ(Ranges(set), std::vector<DirtyRange>{DirtyRange(0, 8 * MiB)});
}

TEST_F(BitmapHandleTest, DeleteFailureRaisesItsEventAndKeepsTheName)
{
    std::string path = root.Path() + "/bitmap.bin";
    std::ofstream(path, std::ios::binary).write("\x00\x00", 2);
    runner.ExpectContaining(kCreate, CreateOk(1048576));
    runner.ExpectContaining(kQuery, QueryReady(1048576));
    runner.ExpectContaining("-c attachwithip", AttachOk(path));
    runner.ExpectContaining("-c detachwithip", CliOk());
    runner.ExpectContaining(kDelete, QrmCode(1003));
    DirtyRanges set;
    std::string err;
    ASSERT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), 0);
    EXPECT_EQ(err, "DETACH_DELETE_BITMAP_FAILED");
    auto events = Events(sink);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, 72479277077ULL);
    EXPECT_EQ(events[0].params, (std::vector<std::string>{"10.1.1.1", events[0].params[1], "DELETE_BITMAP_FAILED"}));
    Json::Value doc = LastCacheData(sink);
    EXPECT_EQ(ArraySize(doc, "bitmap_volumes_created"), 1u);
    EXPECT_EQ(ArraySize(doc, "bitmap_volumes_attached"), 0u);
}

TEST_F(BitmapHandleTest, UnreadableBitmapFailsTheComputationAfterCleanUp)
{
    runner.ExpectContaining(kCreate, CreateOk(1048576));
    runner.ExpectContaining(kQuery, QueryReady(1048576));
    runner.ExpectContaining("-c attachwithip", AttachOk(root.Path() + "/missing-device"));
    runner.ExpectContaining("-c detachwithip", CliOk());
    runner.ExpectContaining(kDelete, QrmCode(0));
    DirtyRanges set;
    std::string err;
    LogCapture logs;
    EXPECT_EQ(handle->GetDirtyRanges(Params(16 * MiB, 0), set, err), -1);
    EXPECT_TRUE(logs.Contains("Caculate dirty range  failed.", 4));
    EXPECT_EQ(CallsWith(runner, kDelete), 1u);
}
