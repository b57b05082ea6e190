// Replays the checked-in fuzz corpus through the fuzz target's own entry, so
// every build checks the inputs that once mattered to the fuzzer.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/DirtyRangesFuzzEntry.h"
#include "host/Logger.h"

namespace {
namespace fs = boost::filesystem;

std::string CorpusDir()
{
    std::string here = __FILE__;  // <root>/tests/storage_access/this file
    fs::path root = fs::path(here).parent_path().parent_path().parent_path();
    return (root / "fuzz" / "corpus" / "dirty_ranges").string();
}

TEST(DirtyRangesFuzzReplay, EveryCorpusFileHoldsTheInvariants)
{
    ASSERT_TRUE(fs::is_directory(CorpusDir())) << CorpusDir();
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(CorpusDir())) {
        if (fs::is_regular_file(entry.path())) {
            files.push_back(entry.path());
        }
    }
    ASSERT_GE(files.size(), 10u);
    // Rejected inputs log failures by design; keep them out of the test output.
    const int oldLevel = CLogger::GetInstance()->GetLogLevel();
    CLogger::GetInstance()->SetLogLevel(5);
    for (const fs::path& p : files) {
        std::ifstream in(p.string(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(dirty_ranges_fuzz::RunOne(bytes.data(), bytes.size()), 0) << p.filename().string();
    }
    CLogger::GetInstance()->SetLogLevel(oldLevel);
    // The work directory lives as long as the process (a repeated run reuses it).
    static const int cleanupRegistered = std::atexit(dirty_ranges_fuzz::Cleanup);
    EXPECT_EQ(cleanupRegistered, 0);
}

}  // namespace
