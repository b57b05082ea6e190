#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "host/ConfigReader.h"
#include "host/ConfigVersion.h"
#include "host/GuardedFile.h"
#include "host/Logger.h"
#include "host/RootPath.h"
#include "host/SecureMem.h"
#include "host/testing/Fakes.h"
#include "tests/support/TempRoot.h"
#include "tests/support/WaitFor.h"

namespace {

// A fresh directory, removed with everything in it at the end of the test (that
// it is the installation root meanwhile does not matter here).
using TempDir = testroot::TempRoot;

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Defaults, then the file, then overrides; a changed file is read again.
TEST(ConfigReader, DefaultsFileOverridesAndTheChangedFile)
{
    TempDir dir;
    const std::string path = dir.Path() + "/datamover.ini";
    ConfigReader::SetConfigFile(path);  // missing file: defaults only
    EXPECT_EQ(ConfigReader::getInt("General", "CreateBitmapTimeoutSec", true), 3600);
    EXPECT_EQ(ConfigReader::getInt("BackupNode", "rereadTryTimes", true), 3);
    EXPECT_EQ(ConfigReader::getInt("Nowhere", "Nothing", true), 0);
    dir.MakeFile("datamover.ini", "; comment\n[General]\nCreateBitmapTimeoutSec = 10 \n# other\n"
                    "[BackupNode]\nrereadTryTimes=-2\nbroken line\n");
    ConfigReader::SetConfigFile(path);
    EXPECT_EQ(ConfigReader::getInt("General", "CreateBitmapTimeoutSec", true), 10);
    EXPECT_EQ(ConfigReader::getInt("BackupNode", "rereadTryTimes", true), -2);
    {
        testing_fakes::ConfigOverride o;
        o.Set("General", "CreateBitmapTimeoutSec", 0);
        EXPECT_EQ(ConfigReader::getInt("General", "CreateBitmapTimeoutSec", true), 0);
    }
    EXPECT_EQ(ConfigReader::getInt("General", "CreateBitmapTimeoutSec", true), 10);
    dir.MakeFile("datamover.ini", "[General]\nCreateBitmapTimeoutSec=99\n");
    // The file is checked again at most every 200 ms: wait for the new value
    // to show (bounded), rather than for a guessed time.
    EXPECT_TRUE(testwait::WaitFor([] { return ConfigReader::getInt("General", "CreateBitmapTimeoutSec", true) == 99; },
                                  std::chrono::seconds(10)));
    ConfigReader::SetConfigFile("");
}

// The inline version read agrees with Current() and moves with every change
// while no file is set; while one is, it answers 0, so that callers ask
// Current(), which notices a changed file.
TEST(ConfigReader, VersionWithoutFileTracksCurrentUntilAFileIsSet)
{
    ASSERT_EQ("", ConfigReader::GetConfigFile());
    const uint64_t v0 = ConfigReaderVersion::CurrentWithoutFile();
    EXPECT_NE(0u, v0);
    EXPECT_EQ(ConfigReaderVersion::Current(), v0);
    uint64_t v1 = 0;
    {
        testing_fakes::ConfigOverride o;
        o.Set("Replication", "ReplicationCommunicationDebug", 1);
        v1 = ConfigReaderVersion::CurrentWithoutFile();
        EXPECT_NE(v0, v1);
        EXPECT_EQ(ConfigReaderVersion::Current(), v1);
    }
    const uint64_t v2 = ConfigReaderVersion::CurrentWithoutFile();
    EXPECT_NE(v1, v2);
    EXPECT_EQ(ConfigReaderVersion::Current(), v2);

    TempDir dir;
    ConfigReader::SetConfigFile(dir.Path() + "/datamover.ini");
    EXPECT_EQ(0u, ConfigReaderVersion::CurrentWithoutFile());
    EXPECT_GT(ConfigReaderVersion::Current(), v2);
    {
        testing_fakes::ConfigOverride o;
        o.Set("Replication", "ReplicationCommunicationDebug", 1);
        EXPECT_EQ(0u, ConfigReaderVersion::CurrentWithoutFile());
    }
    ConfigReader::SetConfigFile("");
    const uint64_t v3 = ConfigReaderVersion::CurrentWithoutFile();
    EXPECT_NE(0u, v3);
    EXPECT_EQ(ConfigReaderVersion::Current(), v3);
}

TEST(GuardedFile, WriteIsInvisibleUntilPublished)
{
    TempDir dir;
    const std::string path = dir.Path() + "/f.bin";
    dir.MakeFile("f.bin", "old contents");
    {
        Oru::GuardedFile f(0);
        ASSERT_EQ(f.Open(path, "w"), 0);
        ASSERT_EQ(f.Write("new", 1, 3), 3u);
        EXPECT_EQ(ReadAll(path), "old contents");  // a crash now leaves the old file whole
        ASSERT_EQ(f.Flush(true), 0);
        EXPECT_EQ(ReadAll(path), "new");
    }
    Oru::GuardedFile r(0);
    ASSERT_EQ(r.Open(path, "r"), 0);
    EXPECT_TRUE(r.Loaded());
    uint64_t size = 0;
    ASSERT_TRUE(r.FileSize(size, path));
    EXPECT_EQ(size, 3u);
    char buf[8] = {};
    EXPECT_EQ(r.Read(buf, 1, 8), 3u);
    EXPECT_EQ(std::string(buf), "new");
    r.Close();
    EXPECT_EQ(r.Remove(path), 0);
    EXPECT_EQ(r.Remove(path), 0);  // already gone
    Oru::GuardedFile missing(0);
    EXPECT_NE(missing.Open(path, "r"), 0);
    EXPECT_FALSE(missing.Loaded());
    EXPECT_NE(missing.GetErrorInfo().find("No such file"), std::string::npos);
    // No temporary files are left behind.
    EXPECT_EQ(std::system(("test -z \"$(ls -A " + dir.Path() + ")\"").c_str()), 0);
}

TEST(Logger, RotatesAndKeepsBoundedFiles)
{
    TempDir tmp;
    const std::string& dir = tmp.Path();
    CLogger* log = CLogger::GetInstance();
    log->SetStderrLevel(5);
    ASSERT_TRUE(log->SetLogDirectory(dir, 4096, 2));
    for (int i = 0; i < 200; ++i) {
        log->LogEx(2, "Test", 1, "f()", i, std::string(100, 'x'));
    }
    log->SetLogDirectory("");
    log->SetStderrLevel(3);
    struct stat st{};
    for (const char* kept : {".2", ".1", ""}) {
        EXPECT_EQ(::stat((dir + "/datamover.log" + kept).c_str(), &st), 0) << kept;
    }
    EXPECT_LE(st.st_size, 4096);
    EXPECT_NE(::stat((dir + "/datamover.log.3").c_str(), &st), 0);
    EXPECT_NE(ReadAll(dir + "/datamover.log").find("[INFO] [Test] [1] [f():199]"), std::string::npos);
}

TEST(SecureMem, WipeAndBoundedFunctions)
{
    std::string pwd = "secret-password-longer-than-sso";
    const char* data = pwd.data();
    size_t cap = pwd.capacity();
    cleanMemoryPwd(pwd);
    EXPECT_TRUE(pwd.empty());
    for (size_t i = 0; i < cap; ++i) {
        EXPECT_EQ(data[i], '\0');
    }
    char dst[4] = {};
    EXPECT_EQ(memcpy_s(dst, sizeof dst, "abcd", 4), 0);
    EXPECT_NE(memcpy_s(dst, sizeof dst, "abcde", 5), 0);
    EXPECT_NE(memcpy_s(nullptr, 4, "a", 1), 0);
    EXPECT_NE(memset_s(dst, 2, 0, 3), 0);
    EXPECT_EQ(memmove_s(dst, 4, dst + 1, 3), 0);
    EXPECT_EQ(std::string(dst, 3), "bcd");
}

TEST(RootPath, EnvironmentAndExplicitRoot)
{
    SetRootPath("");
    ::setenv("DATAMOVER_ROOT", "/opt/dm/", 1);
    EXPECT_EQ(GetCorvaneRootPath("m", 0), "/opt/dm");
    SetRootPath("/srv/root//");
    EXPECT_EQ(GetCorvaneRootPath("m", 0), "/srv/root");
    EXPECT_EQ(CPath::GetInstance()->GetLibPath(), "/srv/root/lib");
    std::string bin;
    getCurrentFilePath(bin, "m", 0);
    EXPECT_EQ(bin, "/srv/root/bin");
    SetRootPath("");
    ::unsetenv("DATAMOVER_ROOT");
}
}  // namespace
