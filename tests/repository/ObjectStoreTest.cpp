// The local-directory backend: no-clobber puts, atomic replace, listing by
// prefix, name checks, and many writers of one name at once.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "tests/repository/RepoTestUtil.h"

using repo3::LocalDirStore;
using repo3::StorageError;

namespace {

// Every file under `dir`, dot-named temporaries included.
void AllFiles(const std::string& dir, std::vector<std::string>& out)
{
    DIR* d = ::opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") {
            continue;
        }
        struct stat st {};
        ::lstat((dir + "/" + n).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            AllFiles(dir + "/" + n, out);
        } else {
            out.push_back(dir + "/" + n);
        }
    }
    ::closedir(d);
}

// Each test starts with an empty store of its own.
class ObjectStore : public ::testing::Test {
protected:
    repotest::TempDir dir;
    LocalDirStore s{dir.Path()};
};

TEST_F(ObjectStore, PutIfAbsentNeverReplacesAndGetDeleteFollow)
{
    std::string got;
    EXPECT_FALSE(s.Get("a/b/c", got));
    EXPECT_FALSE(s.PutIfAbsent("a/b/c", "first"));
    EXPECT_TRUE(s.PutIfAbsent("a/b/c", "second"));
    ASSERT_TRUE(s.Get("a/b/c", got));
    EXPECT_EQ(got, "first");
    EXPECT_TRUE(s.Exists("a/b/c"));
    EXPECT_FALSE(s.Exists("a/b"));  // a directory is not an object
    EXPECT_FALSE(s.PutIfAbsent("empty", ""));
    ASSERT_TRUE(s.Get("empty", got));
    EXPECT_EQ(got, "");
    s.Replace("a/b/c", "third");
    ASSERT_TRUE(s.Get("a/b/c", got));
    EXPECT_EQ(got, "third");
    EXPECT_TRUE(s.Delete("a/b/c"));
    EXPECT_FALSE(s.Delete("a/b/c"));
    EXPECT_FALSE(s.Exists("a/b/c"));
    std::vector<std::string> files;
    AllFiles(dir.Path(), files);
    EXPECT_EQ(files, std::vector<std::string>{dir.Path() + "/empty"}) << "temporaries left behind";
}

// Large objects go around the page cache in whole pages and are cut to their
// length: every size about the page and threshold boundaries reads back exact.
TEST_F(ObjectStore, LargeObjectsOfAnyLengthReadBackExactly)
{
    const size_t sizes[] = {256 * 1024 - 1, 256 * 1024, 256 * 1024 + 1, 4096 * 100 - 1, (4u << 20) + 48, 1u << 20};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + size) % 251);
        const std::string name = "big/" + std::to_string(size);
        EXPECT_FALSE(s.PutIfAbsent(name, data));
        std::string got;
        ASSERT_TRUE(s.Get(name, got));
        EXPECT_EQ(got.size(), size);
        EXPECT_TRUE(got == data);
        s.Replace(name, data.substr(1));
        ASSERT_TRUE(s.Get(name, got));
        EXPECT_TRUE(got == data.substr(1));
    }
    std::vector<std::string> files;
    AllFiles(dir.Path(), files);
    EXPECT_EQ(files.size(), std::size(sizes)) << "temporaries left behind";
}

TEST_F(ObjectStore, ListMatchesPlainPrefixAndHidesTemporaries)
{
    for (const char* n : {"chunks/ab/ab01", "chunks/ab/ab02", "chunks/ac/ac01", "chunksx", "indexes/v1/b1", "config"}) {
        s.PutIfAbsent(n, n);
    }
    std::ofstream(dir.Path() + "/chunks/ab/.tmp-123") << "half written";
    const struct {
        std::string prefix;
        std::vector<std::string> want;
    } cases[] = {
        {"chunks/", {"chunks/ab/ab01", "chunks/ab/ab02", "chunks/ac/ac01"}},
        {"chunks", {"chunks/ab/ab01", "chunks/ab/ab02", "chunks/ac/ac01", "chunksx"}},
        {"chunks/a", {"chunks/ab/ab01", "chunks/ab/ab02", "chunks/ac/ac01"}},
        {"chunks/ab/ab0", {"chunks/ab/ab01", "chunks/ab/ab02"}},
        {"chunks/ab/", {"chunks/ab/ab01", "chunks/ab/ab02"}},
        {"indexes/v1/b1", {"indexes/v1/b1"}},
        {"nothing/", {}},
        {"../", {}},
        {"", {"chunks/ab/ab01", "chunks/ab/ab02", "chunks/ac/ac01", "chunksx", "config", "indexes/v1/b1"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(s.List(c.prefix), c.want) << "prefix '" << c.prefix << "'";
    }
}

TEST_F(ObjectStore, RefusesNamesThatLeaveTheRootOrLookLikeDirectories)
{
    for (const char* bad : {"", "/abs", "a/", "a//b", "..", "../x", "a/../b", "./a", ".hidden", "a/.tmp-1", "a b",
                            "a\\b", "a\nb"}) {
        std::string got;
        EXPECT_THROW(s.PutIfAbsent(bad, "x"), StorageError) << bad;
        EXPECT_THROW(s.Get(bad, got), StorageError) << bad;
        EXPECT_THROW(s.Delete(bad), StorageError) << bad;
        EXPECT_FALSE(repo3::ValidObjectName(bad)) << bad;
    }
    // A name already taken by a directory, or below a plain object, is an error, not "already there".
    s.PutIfAbsent("dir/obj", "x");
    EXPECT_THROW(s.PutIfAbsent("dir", "y"), StorageError);
    EXPECT_THROW(s.PutIfAbsent("dir/obj/below", "y"), StorageError);
    EXPECT_THROW(LocalDirStore(dir.Path() + "/missing"), StorageError);
}

// Many writers of one name at once: exactly one stores, every reader sees one
// writer's whole bytes, and no temporary survives.
TEST_F(ObjectStore, ConcurrentPutsOfOneNameStoreExactlyOne)
{
    for (int round = 0; round < 20; ++round) {
        repotest::TempDir fresh;
        LocalDirStore store(fresh.Path());
        constexpr int kThreads = 8;
        std::atomic<int> ready{0};
        std::atomic<int> stored{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const std::string payload(100000 + t, static_cast<char>('a' + t));
                ++ready;
                while (ready.load() < kThreads) {
                }
                if (!store.PutIfAbsent("chunks/00/same", payload)) {
                    ++stored;
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_EQ(stored.load(), 1);
        std::string got;
        ASSERT_TRUE(store.Get("chunks/00/same", got));
        ASSERT_GE(got.size(), 100000u);
        const int writer = static_cast<int>(got.size() - 100000);
        ASSERT_LT(writer, kThreads);
        EXPECT_EQ(got, std::string(100000 + writer, static_cast<char>('a' + writer)));
        std::vector<std::string> files;
        AllFiles(fresh.Path(), files);
        EXPECT_EQ(files.size(), 1u);
    }
}

}  // namespace

namespace {

TEST_F(ObjectStore, OnlyTemporariesOfDeadWritersOnThisHostAreRemoved)
{
    s.PutIfAbsent("chunks/ab/obj", "kept");
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);  // its pid now names no process
    // Temporaries are named .tmp-<host, other than [A-Za-z0-9] as '-'>-<pid>-...
    std::vector<std::string> files;
    std::string host(256, '\0');
    ::gethostname(&host[0], host.size() - 1);
    host.resize(std::strlen(host.c_str()));
    for (auto& c : host) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
    }
    const std::string mine = ".tmp-" + host.substr(0, 64) + "-";
    const struct {
        std::string name;
        bool removed;
    } cases[] = {
        {"chunks/ab/" + mine + std::to_string(child) + "-0-1", true},
        {mine + std::to_string(child) + "-3-4", true},
        {"chunks/ab/" + mine + std::to_string(::getppid()) + "-0-1", false},  // alive
        {"chunks/ab/" + mine + std::to_string(::getpid()) + "-0-1", false},   // this process
        {"chunks/ab/.tmp-otherhost-" + std::to_string(child) + "-0-1", false},
        {"chunks/ab/" + mine + "notapid-0-1", false},
    };
    for (const auto& c : cases) {
        std::ofstream(dir.Path() + "/" + c.name) << "partial";
    }
    std::vector<std::string> removed = s.RemoveDeadTemporaries();
    std::sort(removed.begin(), removed.end());
    std::vector<std::string> want;
    for (const auto& c : cases) {
        if (c.removed) {
            want.push_back(dir.Path() + "/" + c.name);
        }
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(removed, want);
    AllFiles(dir.Path(), files);
    EXPECT_EQ(files.size(), 1u + 4u);  // the object and the four kept temporaries
    EXPECT_EQ(s.List(""), std::vector<std::string>{"chunks/ab/obj"});
}

}  // namespace
