// The host configuration's per-thread answer cache, which the per-check reads
// of the replication runtime rely on: every change must be seen by the next
// read on every thread, whatever the thread read before. (File changes are
// covered by the host's own tests.)
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/ConfigReader.h"
#include "host/testing/Fakes.h"

// A cached answer gives way to an override and to clearing them all; a
// value with trailing junk reads as its leading number.
TEST(ConfigReaderCacheTest, OverridesAndTheirClearingAreSeenAtOnce)
{
    testing_fakes::ConfigOverride cfg;
    EXPECT_EQ(3000, ConfigReader::getInt("Replication", "SingleIpRequestUnit", true));
    cfg.Set("Replication", "SingleIpRequestUnit", "12abc");
    EXPECT_EQ(12, ConfigReader::getInt("Replication", "SingleIpRequestUnit", true));
    ConfigReader::ClearOverrides();
    EXPECT_EQ(3000, ConfigReader::getInt("Replication", "SingleIpRequestUnit", true));
}

TEST(ConfigReaderCacheTest, SimilarKeysManyKeysAndLongKeysStayDistinct)
{
    testing_fakes::ConfigOverride cfg;
    // More keys than a thread caches, some differing only in section or length.
    for (int i = 0; i < 40; ++i) {
        cfg.Set("S" + std::to_string(i % 3), "Key" + std::to_string(i), i);
    }
    const std::string longKey(80, 'k');
    const std::string longSection(40, 's');
    cfg.Set(longSection, longKey, 99);
    cfg.Set("S0", "Key", -7);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 40; ++i) {
            ASSERT_EQ(i, ConfigReader::getInt("S" + std::to_string(i % 3), "Key" + std::to_string(i), true));
            ASSERT_EQ(0, ConfigReader::getInt("S" + std::to_string((i + 1) % 3), "Key" + std::to_string(i), true));
        }
        EXPECT_EQ(99, ConfigReader::getInt(longSection, longKey, true));
        EXPECT_EQ(-7, ConfigReader::getInt("S0", "Key", true));
        EXPECT_EQ(0, ConfigReader::getInt("S0", "Ke", true));
    }
    EXPECT_EQ("99", ConfigReader::getString(longSection, longKey));
}

TEST(ConfigReaderCacheTest, ConcurrentReadersAndWriters)
{
    testing_fakes::ConfigOverride cfg;
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                int v = ConfigReader::getInt("Replication", "ReplicationUnitTime", true);
                if (v != 60 && (v < 1000 || v > 2000)) {
                    ++bad;
                }
            }
        });
    }
    for (int i = 1000; i <= 2000; ++i) {
        ConfigReader::SetOverride("Replication", "ReplicationUnitTime", std::to_string(i));
    }
    // After the last write every reader sees it on its next read.
    int last = 0;
    std::thread([&] { last = ConfigReader::getInt("Replication", "ReplicationUnitTime", true); }).join();
    stop = true;
    for (auto& r : readers) {
        r.join();
    }
    EXPECT_EQ(2000, last);
    EXPECT_EQ(0, bad.load());
    ConfigReader::ClearOverride("Replication", "ReplicationUnitTime");
}
