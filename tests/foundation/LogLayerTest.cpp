#include <gtest/gtest.h>

#include <thread>

#include "foundation/LogProxy.h"
#include "foundation/OruSleep.h"
#include "host/Timer.h"
#include "host/testing/Fakes.h"

namespace {
const char MODULE_NAME[] = "LogLayerTest";
using testing_fakes::ConfigOverride;
using testing_fakes::LogCapture;
using testing_fakes::VirtualClock;

TEST(GetFunctionName, TakesQualifiedNameBeforeParenthesis)
{
    EXPECT_EQ(GetFunctionName("bool QSRestApi::Init()"), "QSRestApi::Init()");
    EXPECT_EQ(GetFunctionName("void QSRestApi::Logout()"), "QSRestApi::Logout()");
    EXPECT_EQ(GetFunctionName("static DiskDescriptorFactory* DiskDescriptorFactory::getInstance()"),
              "DiskDescriptorFactory::getInstance()");
    EXPECT_EQ(GetFunctionName("main(int, char**)"), "main()");
    EXPECT_EQ(GetFunctionName("no parenthesis here"), "no parenthesis here");
    EXPECT_EQ(GetFunctionName(""), "");
}

// The request id a record carries: see the concurrent case.
TEST(LogProxy, RecordCarriesModuleFunctionLineAndBlanksForPercentSigns)
{
    LogCapture cap;
    int line = __LINE__ + 1;
    LOG_STREAM(2) << "hello " << 7;
    auto recs = cap.Find("hello 7");
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].level, 2);
    EXPECT_EQ(recs[0].module, "LogLayerTest");
    EXPECT_EQ(recs[0].line, line);
    EXPECT_NE(recs[0].function.find("TestBody()"), std::string::npos);
    LOG_STREAM_M(2, "StrataPlugin") << "fixed";
    recs = cap.Find("fixed");
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].module, "StrataPlugin");
    // Percent signs become blanks.
    LOG_STREAM(3) << "100% done %s %n";
    ASSERT_TRUE(cap.Contains("100  done  s  n")) << cap.Dump();
    EXPECT_FALSE(cap.Contains("%"));
}

// The threshold filters lower levels only; the debug switch (exactly 1) lets
// selective statements below it through.
TEST(SelectiveLogProxy, ThresholdAndDebugSwitch)
{
    LogCapture cap(2);
    LOG_STREAM(1) << "below threshold";
    LOG_STREAM(2) << "at threshold";
    LOG_STREAM(4) << "above threshold";
    EXPECT_FALSE(cap.Contains("below threshold"));
    EXPECT_TRUE(cap.Contains("at threshold"));
    EXPECT_TRUE(cap.Contains("above threshold"));
    {
        ConfigOverride cfg;
        cfg.Set("Replication", "ReplicationCommunicationDebug", 1);
        SLOG_STREAM(1) << "selective on";
        LOG_STREAM(1) << "plain level one";
    }
    {
        ConfigOverride cfg;
        cfg.Set("Replication", "ReplicationCommunicationDebug", 2);  // only exactly 1 switches it on
        SLOG_STREAM(1) << "selective two";
        SLOG_STREAM(2) << "selective level two";
    }
    EXPECT_TRUE(cap.Contains("selective on"));
    EXPECT_FALSE(cap.Contains("plain level one"));
    EXPECT_FALSE(cap.Contains("selective two"));
    EXPECT_TRUE(cap.Contains("selective level two"));
}

TEST(LogProxy, ConcurrentRecordsStayWhole)
{
    LogCapture cap;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            OruTSP::reset(static_cast<uint64_t>(t + 1));
            for (int i = 0; i < 200; ++i) {
                LOG_STREAM(2) << "thread " << t << " record " << i;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    size_t count = 0;
    for (const auto& r : cap.Records()) {
        if (r.text.rfind("thread ", 0) == 0) {
            ++count;
            // Each record carries the request id of the thread that wrote it.
            EXPECT_EQ(r.text.substr(7, 1), std::to_string(r.requestId - 1));
        }
    }
    EXPECT_EQ(count, 800u);
}

// Whole seconds: the REST client's retry pauses show them on the same clock.
TEST(OruSleep, GoesThroughTheHostClock)
{
    VirtualClock clock;
    uint64_t before = clock.SteadyMicros();
    oru_sleep(timespec{0, 5000000});
    EXPECT_EQ(clock.SteadyMicros() - before, 5000u);
    Oru::Timer t;
    clock.AdvanceSeconds(2);
    EXPECT_EQ(t.Duration(), 2000u);
    EXPECT_EQ(t.DurationAsMicroSeconds(), 2000000u);
}

TEST(OruErrstr, KnownAndUnknownErrno)
{
    EXPECT_EQ(oru_errstr(ENOENT), "No such file or directory");
    EXPECT_FALSE(oru_errstr(99999).empty());  // glibc says "Unknown error 99999"
}
}  // namespace
