// Cached task data: the plug-in's document and its publishing, the host's cache
// keeper and message sink, and the framework's general cache handle.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "host/HostMessageSink.h"
#include "host/StrataCleanFile.h"
#include "strata_plugin/CommonVMHandle.h"
#include "strata_plugin/DiskDataPersistence.h"
#include "tests/strata_plugin/PluginTestSupport.h"

using namespace plugintest;
using testing_fakes::CapturedMessages;
using testing_fakes::LogCapture;

namespace {
const std::string kCacheTopic = "DiskDescriptor.Message.Update.CacehData";

bool CacheFileExists(const std::string& id, const char* suffix)
{
    return boost::filesystem::exists(StrataCleanFile::CacheDirectory() + "/" + id + suffix);
}

class CacheTest : public ::testing::Test {
protected:
    TempRoot root;
    CapturedMessages sink;
    DiskDataPersistence cache{&sink};
};
}  // namespace

// A new cache holds only its identifier; without a sink a change is logged
// and kept in memory, and no file is written.
TEST_F(CacheTest, NewCacheHoldsOnlyItsLowercaseUuidAndWithoutASinkWritesNothing)
{
    Json::Value doc;
    ASSERT_TRUE(CJsonUtils::StringToJson(cache.ToJsonString(), doc));
    ASSERT_EQ(doc.getMemberNames(), std::vector<std::string>{"cache_uuid"});
    const std::string id = doc["cache_uuid"].asString();
    EXPECT_EQ(id, cache.GetCachedUUID());
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef-"), std::string::npos) << id;
    EXPECT_TRUE(sink.All().empty());
    EXPECT_NE(DiskDataPersistence(&sink).GetCachedUUID(), id);
    LogCapture logs;
    DiskDataPersistence orphan(nullptr);
    orphan.AppendArrayElement("data_volumes_attached", "vol");
    EXPECT_TRUE(logs.Contains("Message notify pointer is NULL.", 4));
    EXPECT_FALSE(CacheFileExists(orphan.GetCachedUUID(), ".cache"));
    EXPECT_EQ(orphan.GetFirstArrayElement("data_volumes_attached"), "vol");
}

// Every change is published; the local file exists only while the document
// names a volume, and Finish stores the final one only then.
TEST_F(CacheTest, ArrayLifecyclePublishesEveryChangeAndKeepsFilesOnlyWhileUseful)
{
    const std::string id = cache.GetCachedUUID();
    cache.AppendArrayElement("snapshot_volumes_attached", "snapA");
    cache.AppendArrayElement("snapshot_volumes_attached", "snapB");
    EXPECT_TRUE(CacheFileExists(id, ".cache"));
    Json::Value doc = LastCacheData(sink);
    // All four volume keys appear once the usefulness test has run.
    for (const char* key : {"snapshot_volumes_attached", "data_volumes_attached", "bitmap_volumes_created",
                            "bitmap_volumes_attached"}) {
        EXPECT_TRUE(doc.isMember(key)) << key;
    }
    EXPECT_TRUE(doc["data_volumes_attached"].isNull());
    cache.RemoveArrayElement("snapshot_volumes_attached", "snapA");
    doc = LastCacheData(sink);
    ASSERT_EQ(doc["snapshot_volumes_attached"].size(), 1u);
    EXPECT_EQ(doc["snapshot_volumes_attached"][0].asString(), "snapB");
    EXPECT_EQ(cache.GetFirstArrayElement("snapshot_volumes_attached"), "snapB");
    cache.RemoveArrayElement("snapshot_volumes_attached", "snapB");
    EXPECT_TRUE(LastCacheData(sink)["snapshot_volumes_attached"].isNull());
    EXPECT_FALSE(cache.IsUseful());
    // Not useful: the host still hears of it but the local file is gone.
    EXPECT_FALSE(CacheFileExists(id, ".cache"));
    EXPECT_EQ(sink.Bodies(kCacheTopic).size(), 4u);
    cache.Finish();
    EXPECT_TRUE(StrataCleanFile().ListFinishedCaches().empty());
    cache.AppendArrayElement("bitmap_volumes_created", "bm");
    const size_t sent = sink.All().size();
    cache.Finish();
    EXPECT_EQ(sink.All().size(), sent);  // nothing sent by the final write
    StrataCleanFile keeper;
    ASSERT_EQ(keeper.ListFinishedCaches(), std::vector<std::string>{cache.GetCachedUUID()});
    EXPECT_FALSE(CacheFileExists(cache.GetCachedUUID(), ".cache"));
    std::string stored;
    ASSERT_TRUE(keeper.LoadCacheFile(cache.GetCachedUUID(), stored));
    EXPECT_EQ(stored, cache.ToJsonString());
}

TEST_F(CacheTest, ElementsObjectsAndForeignDocuments)
{
    // Matching strings and objects, nulls and numbers go; the rest keeps its order.
    ASSERT_TRUE(cache.ToJsonValue(R"({"bitmap_volumes_created":[{"key":"v1"},null,"other",7,{"key":"keep"},"v1"]})"));
    cache.RemoveArrayElement("bitmap_volumes_created", "v1");
    Json::Value doc = LastCacheData(sink);
    ASSERT_EQ(doc["bitmap_volumes_created"].size(), 2u);
    EXPECT_EQ(doc["bitmap_volumes_created"][0].asString(), "other");
    EXPECT_EQ(doc["bitmap_volumes_created"][1]["key"].asString(), "keep");

    cache.AddObject("IP", "10.0.0.1");
    EXPECT_EQ(cache.GetObject("IP"), "10.0.0.1");
    EXPECT_EQ(cache.GetObject("absent"), "");
    cache.RemoveObject("IP");
    EXPECT_EQ(cache.GetObject("IP"), "");
    cache.AddObject("snapshot_volumes_attached", "not-an-array");
    EXPECT_EQ(cache.GetFirstArrayElement("snapshot_volumes_attached"), "");
    // Appending to a key that holds a plain value turns it into an array.
    cache.AppendArrayElement("snapshot_volumes_attached", "s1");
    EXPECT_EQ(cache.GetFirstArrayElement("snapshot_volumes_attached"), "s1");
    LogCapture logs;
    ASSERT_TRUE(cache.ToJsonValue(R"({"bitmap_volumes_attached":[{"a":1}]})"));
    EXPECT_EQ(cache.GetFirstArrayElement("bitmap_volumes_attached"), "");
    EXPECT_TRUE(logs.Contains("Get array element failed. Exception is ", 4));

    // A foreign identifier is adopted only when the document has one; arrays and
    // scalars parse but are no document (every later key access would throw).
    const size_t sent = sink.All().size();
    const std::string own = cache.GetCachedUUID();
    EXPECT_TRUE(cache.ToJsonValue(R"({"snapshot_volumes_attached":["s"]})"));
    EXPECT_EQ(cache.GetCachedUUID(), own);
    EXPECT_TRUE(cache.ToJsonValue(R"({"cache_uuid":"abc-123"})"));
    EXPECT_EQ(cache.GetCachedUUID(), "abc-123");
    for (const char* bad : {"{not json", "[1,2]", "42"}) {
        EXPECT_FALSE(cache.ToJsonValue(bad)) << bad;
    }
    EXPECT_EQ(sink.All().size(), sent);
}

TEST(StrataCleanFileTest, SaveLoadRemoveAndUnsafeIdentifiers)
{
    TempRoot root;
    StrataCleanFile keeper;
    EXPECT_TRUE(keeper.SaveCacheFile("id-1", "{\"a\":1}", true));
    std::string doc;
    ASSERT_TRUE(keeper.LoadCacheFile("id-1", doc));
    EXPECT_EQ(doc, "{\"a\":1}");
    EXPECT_TRUE(keeper.SaveCacheFile("id-1", "{\"a\":2}", true));
    ASSERT_TRUE(keeper.LoadCacheFile("id-1", doc));
    EXPECT_EQ(doc, "{\"a\":2}");
    // No temporary file is left beside the document.
    using Entries = boost::filesystem::directory_iterator;
    EXPECT_EQ(std::distance(Entries(StrataCleanFile::CacheDirectory()), Entries()), 1);
    EXPECT_TRUE(keeper.RemoveCacheFile("id-1"));
    EXPECT_FALSE(keeper.LoadCacheFile("id-1", doc));
    EXPECT_TRUE(keeper.RemoveCacheFile("never-saved"));
    for (const char* bad : {"", "../escape", "a/b", "x y", "dot.dot"}) {
        EXPECT_FALSE(keeper.SaveCacheFile(bad, "{}", true)) << bad;
        EXPECT_FALSE(keeper.RemoveCacheFile(bad)) << bad;
    }
    EXPECT_FALSE(boost::filesystem::exists(root.Path() + "/var/escape.cache"));
}

TEST(HostMessageSinkTest, RecordsEventsAndPersistsLatestCacheDataForALaterProcess)
{
    TempRoot root;
    {
        HostMessageSink sink("task-7");
        sink.SendMessage(HostMessageSink::EVENT_TOPIC,
                         R"({"Type":1,"Code":72479277076,"Parameters":["1.2.3.4","v","e","p"]})");
        sink.SendMessage(HostMessageSink::CACHE_DATA_TOPIC, R"({"cache_uuid":"u","snapshot_volumes_attached":["s"]})");
        sink.SendMessage(HostMessageSink::CACHE_DATA_TOPIC, R"({"cache_uuid":"u","snapshot_volumes_attached":null})");
        sink.SendMessage(HostMessageSink::EVENT_TOPIC, "not json");
        sink.SendMessage("Other.Topic", "{}");
        ASSERT_EQ(sink.Events().size(), 1u);
        EXPECT_EQ(sink.Events()[0].code, 72479277076ULL);
        EXPECT_EQ(sink.Events()[0].params.size(), 4u);
        EXPECT_EQ(sink.CountEvents(72479277076ULL, 1), 1u);
        EXPECT_EQ(sink.RejectedMessages(), 2u);
        EXPECT_EQ(sink.LatestCacheData(), R"({"cache_uuid":"u","snapshot_volumes_attached":null})");
        EXPECT_TRUE(sink.LastPersistError().empty());
    }
    EXPECT_EQ(HostMessageSink::LoadTaskCacheData("task-7"), R"({"cache_uuid":"u","snapshot_volumes_attached":null})");
    EXPECT_TRUE(HostMessageSink::ForgetTaskCacheData("task-7"));
    EXPECT_EQ(HostMessageSink::LoadTaskCacheData("task-7"), "");
    EXPECT_EQ(HostMessageSink::LoadTaskCacheData("../x"), "");
}

namespace {
class RecordingObserver : public EnvProxyObserver {
public:
    void CacheDataChanged(const std::string& json) override { caches.push_back(json); }
    void SendEvent(uint64_t code, const std::vector<std::string>&, bool) override { events.push_back(code); }
    void SetT9Message(T9MapInfo&) override { ++t9; }
    std::vector<std::string> caches;
    std::vector<uint64_t> events;
    int t9 = 0;
};
}  // namespace

// The first observer of a kind wins and a cache observer is sent the current
// document; typed entries, and an unsupported type that still notifies.
TEST(CommonVMHandleTest, ObserversAndTypedEntries)
{
    CommonVMHandle handle;
    RecordingObserver first;
    RecordingObserver second;
    handle.addCachedNormalObject("k", std::string("v"));
    handle.AddObserver(ENV_PROXY_EVENT_CACHE_DATA, &first);
    ASSERT_EQ(first.caches.size(), 1u);
    EXPECT_EQ(first.caches[0], R"({"k":"v"})");
    handle.AddObserver(ENV_PROXY_EVENT_CACHE_DATA, &second);
    EXPECT_TRUE(second.caches.empty());
    handle.NotifySendEvent(5, {"a"}, true);  // no task observer: dropped
    handle.AddObserver(ENV_PROXY_EVENT_TASK, &second);
    handle.NotifySendEvent(6, {"b"}, false);
    EXPECT_EQ(second.events, std::vector<uint64_t>{6});
    T9MapInfo info;
    handle.SetT9Message(info);
    EXPECT_EQ(second.t9, 1);
    LogCapture logs;
    handle.addCachedObject("arr", std::string("x"), JSON_ARRAY_OBJECT);
    handle.addCachedObject("arr", std::string("y"), JSON_ARRAY_OBJECT);
    handle.addCachedObject("plain", std::string("p"), JSON_NORMAL_OBJECT);
    EXPECT_EQ(handle.getCachedArrayObjectSize("arr"), 2u);
    EXPECT_EQ(handle.getCachedArrayObjectSize("none"), 0u);
    std::string s;
    handle.getCacheObjectValue("arr", s, JSON_ARRAY_OBJECT);
    EXPECT_EQ(s, "x");
    handle.getCacheObjectValue("plain", s, JSON_NORMAL_OBJECT);
    EXPECT_EQ(s, "p");
    const std::string before = handle.toJsonString();
    const size_t notified = first.caches.size();
    handle.addCachedObject("z", std::string("q"), static_cast<JsonObjectType>(2));
    EXPECT_TRUE(logs.Contains("Don't support the Json type[2]", 4));
    ASSERT_EQ(first.caches.size(), notified + 1);
    EXPECT_EQ(first.caches.back(), before);

    handle.delCachedObject("arr", "x", JSON_ARRAY_OBJECT);
    handle.getCacheObjectValue("arr", s, JSON_ARRAY_OBJECT);
    EXPECT_EQ(s, "y");
    handle.delCachedObject("plain", "ignored", JSON_NORMAL_OBJECT);
    handle.getCacheObjectValue("plain", s, JSON_NORMAL_OBJECT);
    EXPECT_EQ(s, "");
    Json::Value arr;
    handle.addCachedNormalObject("scalar", std::string("s"));
    handle.getCacheArray("scalar", arr);
    EXPECT_TRUE(arr.isNull());
    EXPECT_TRUE(logs.Contains("The value of key(scalar) is not array in cache json.", 4));
    handle.getCacheArray("arr", arr);
    EXPECT_EQ(arr.size(), 1u);
    handle.clearCacheData();
    EXPECT_EQ(handle.toJsonString(), "{}");
}

TEST(CommonVMHandleTest, QrmInfoDefaultsAndJsonStringHelpers)
{
    QRM_INFO info;
    info.password = "secret";
    SetDefaultValueForQRMInfo(info);
    EXPECT_EQ(info.nimbara.type, 4);
    EXPECT_EQ(info.value5, 1);
    EXPECT_EQ(info.value2, 0);
    Json::Value v;
    v["a"] = "b";
    v["n"] = 3;
    EXPECT_EQ(CommonVMHandle::getJsonString(v, "a"), "b");
    EXPECT_EQ(CommonVMHandle::getJsonString(v, "n"), "");
    EXPECT_EQ(CommonVMHandle::getJsonString(v, "missing"), "");
    EXPECT_EQ(CommonVMHandle::getJsonString(Json::Value("x")), "x");
}
