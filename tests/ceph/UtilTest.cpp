// The adapter's helpers that need no cluster: bounded names and the lock files of one name.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "Util.h"

namespace {

TEST(RbdUtil, ShortHashIsBoundedAndTellsNamesApart)
{
    const std::string a(4096, 'a');
    std::string b = a;
    b.back() = 'b';
    EXPECT_EQ(rbdtool::ShortHash(a).size(), 32u);
    EXPECT_EQ(rbdtool::ShortHash("").size(), 32u);
    EXPECT_NE(rbdtool::ShortHash(a), rbdtool::ShortHash(b));
    EXPECT_EQ(rbdtool::ShortHash(a), rbdtool::ShortHash(std::string(4096, 'a')));
    EXPECT_EQ(rbdtool::ShortHash("abc", 64), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Holders remove the lock file as they leave (as a deleted bitmap's lock is removed); a waiter
// that locked the removed file must not run beside one that locked its successor.
TEST(RbdUtil, FileLockExcludesAcrossRemovalsOfItsFile)
{
    const std::string dir = std::filesystem::temp_directory_path() / ("rbd-lock-" + std::to_string(::getpid()));
    std::atomic<int> inside{0}, most{0}, rounds{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&]() {
            for (int i = 0; i < 200; ++i) {
                rbdtool::FileLock lock(dir, "name");
                int now = ++inside;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::yield();
                --inside;
                ++rounds;
                if (i % 2 == 0) lock.Remove();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(rounds.load(), 1200);
    EXPECT_EQ(most.load(), 1) << "two holders of one name at once";
    std::filesystem::remove_all(dir);
}

TEST(RbdUtil, CrashPointWithAFileFiresOnce)
{
    const std::string marker = std::filesystem::temp_directory_path() / ("rbd-crash-" + std::to_string(::getpid()));
    std::filesystem::remove(marker);
    auto run = [&](const std::string& setting) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("RBD_TOOL_CRASH_AT", setting.c_str(), 1);
            rbdtool::CrashPoint("here");
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    };
    const std::string once = "here@" + marker;
    int first = run(once);
    EXPECT_TRUE(WIFSIGNALED(first) && WTERMSIG(first) == SIGKILL);
    int second = run(once);
    EXPECT_TRUE(WIFEXITED(second) && WEXITSTATUS(second) == 0);
    int other = run("elsewhere");
    EXPECT_TRUE(WIFEXITED(other) && WEXITSTATUS(other) == 0);
    int always = run("here");
    EXPECT_TRUE(WIFSIGNALED(always));
    std::filesystem::remove(marker);
}

}  // namespace
