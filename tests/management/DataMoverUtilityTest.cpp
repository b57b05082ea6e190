#include <gtest/gtest.h>

#include <limits>

#include "host/testing/Fakes.h"
#include "management/DataMoverUtility.h"

namespace {

TEST(DataMoverUtility, UuidTextForms)
{
    EXPECT_TRUE(DataMoverUtility::CheckStrIsUUID("0123abcd-4567-89ef-ABCD-0123456789ab"));
    EXPECT_TRUE(DataMoverUtility::CheckStrIsUUID("{0123abcd-4567-89ef-abcd-0123456789ab}"));
    EXPECT_TRUE(DataMoverUtility::CheckStrIsUUID("0123abcd456789efabcd0123456789ab"));
    EXPECT_FALSE(DataMoverUtility::CheckStrIsUUID("0123abcd-4567-89ef-abcd-0123456789a"));   // 35 characters
    EXPECT_FALSE(DataMoverUtility::CheckStrIsUUID("0123abcd-456789efabcd0123456789ab"));     // one dash only
    EXPECT_FALSE(DataMoverUtility::CheckStrIsUUID("0123abcd-4567-89ef-abcd-0123456789ag"));  // not hex
    EXPECT_FALSE(DataMoverUtility::CheckStrIsUUID(""));
    EXPECT_FALSE(DataMoverUtility::CheckStrIsUUID(" 0123abcd-4567-89ef-abcd-0123456789ab"));
    EXPECT_FALSE(DataMoverUtility::CheckStrIsUUID("0123abcd-4567-89ef-abcd-0123456789ab}"));
    EXPECT_THROW(DataMoverUtility::GenerateUUID("not a uuid"), std::exception);
    auto u = DataMoverUtility::GenerateUUID("00000000-0000-0000-0000-000000000001");
    EXPECT_EQ(u.data[15], 1);
}

TEST(DataMoverUtility, CrcAndNumbers)
{
    EXPECT_EQ(DataMoverUtility::GetCrc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(DataMoverUtility::GetCrc32(nullptr, 0), 0u);
    EXPECT_EQ(DataMoverUtility::Uint642String(std::numeric_limits<uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(DataMoverUtility::Uint642String(0), "0");
}

TEST(DataMoverUtility, RecordRoundTripAndList)
{
    RestoreLunTaskStatus r;
    r.guid = "g";
    r.id = std::numeric_limits<uint64_t>::max();
    r.name = "n";
    r.snapId = "s";
    r.backupStoragePath = "/b";
    r.taskId = "t";
    r.isCleanLeftoverSuccess = true;
    r.isIncRestore = true;
    r.status = 4000000000u;
    r.verifyStatus = 2;
    r.volumeSize = 1ULL << 40;
    r.lunId = "l";
    r.mgmIpStr = "::1";
    r.diskStorageType = "strata";
    Json::Value v;
    EXPECT_EQ(DataMoverUtility::StructToJson(r, v), 0);
    RestoreLunTaskStatus back;
    EXPECT_EQ(DataMoverUtility::JsonToStruct(DataMoverUtility::StringToJson(DataMoverUtility::JsonToString(v)), back),
              0);
    EXPECT_EQ(DataMoverUtility::JsonToString(v), [&] {
        Json::Value w;
        DataMoverUtility::StructToJson(back, w);
        return DataMoverUtility::JsonToString(w);
    }());
    EXPECT_EQ(back.id, r.id);
    EXPECT_EQ(back.status, r.status);
    EXPECT_TRUE(back.isIncRestore);

    EXPECT_EQ(DataMoverUtility::ListToString({}), "null");
    std::string one = DataMoverUtility::ListToString({r});
    Json::Value arr = DataMoverUtility::StringToJson(one);
    ASSERT_TRUE(arr.isArray());
    EXPECT_EQ(arr.size(), 1u);
    EXPECT_EQ(arr[0]["mgmIpStr"].asString(), "::1");
}

// Wrongly typed values read as the null conversion, with a level-4 line, and
// the mapping still returns 0: nothing a peer sends may throw out of it.
TEST(DataMoverUtility, WronglyTypedValuesReadAsNullConversions)
{
    testing_fakes::LogCapture cap;
    RestoreLunTaskStatus r;
    r.name = "before";
    const char* text = "{\"guid\":{\"x\":1},\"id\":-5,\"name\":[1],\"isIncRestore\":\"yes\","
                       "\"status\":4294967296,\"verifyStatus\":1.5e20,\"volumeSize\":\"12\",\"lunId\":7,"
                       "\"isCleanLeftoverSuccess\":[true]}";
    int32_t rc = -1;
    EXPECT_NO_THROW(rc = DataMoverUtility::JsonToStruct(DataMoverUtility::StringToJson(text), r));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(r.guid, "");
    EXPECT_EQ(r.id, 0u);
    EXPECT_EQ(r.name, "");
    EXPECT_FALSE(r.isIncRestore);
    EXPECT_FALSE(r.isCleanLeftoverSuccess);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.verifyStatus, 0u);
    EXPECT_EQ(r.volumeSize, 0u);
    EXPECT_EQ(r.lunId, "7");  // a number has a text form; that is a conversion, not a fault
    EXPECT_GE(cap.Count("", 4), 8u);
    EXPECT_TRUE(cap.Contains("Value is not convertible", 4)) << cap.Dump();
    // Missing keys, and unparsable text (a null value), read as the null conversions too.
    r.name = "before";
    DataMoverUtility::JsonToStruct(DataMoverUtility::StringToJson("{\"id\":5}"), r);
    EXPECT_EQ(r.id, 5u);
    EXPECT_EQ(r.name, "");
    DataMoverUtility::JsonToStruct(DataMoverUtility::StringToJson(""), r);
    EXPECT_EQ(r.id, 0u);
}
}  // namespace
