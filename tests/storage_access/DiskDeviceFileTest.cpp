// The block device file against temporary files, /dev/null and FIFOs. pread and
// pwrite are interposed below (this binary's definitions win over the C
// library's) so that tests can count system calls and force short transfers.
#undef _FORTIFY_SOURCE
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libaio.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime's allocator interface (not every compiler ships its header).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

#include "host/Logger.h"
#include "host/testing/Fakes.h"
#include "storage_access/DiskDeviceFile.h"
#include "tests/support/TempRoot.h"

namespace {
std::atomic<int> g_preadCalls{0};
std::atomic<int> g_pwriteCalls{0};
std::atomic<size_t> g_preadCap{0};   // 0: no cap
std::atomic<size_t> g_pwriteCap{0};  // 0: no cap

// The next pread that finds the gate armed (1) marks itself held (2) and stays
// inside the call until the test opens the gate (3), so a test can act while a
// read holds the descriptor.
std::atomic<int> g_preadGate{0};
void PassGate()
{
    int armed = 1;
    if (g_preadGate.compare_exchange_strong(armed, 2)) {
        while (g_preadGate.load() != 3) {
            std::this_thread::yield();
        }
    }
}

// Counts the call and shortens the transfer to `cap` bytes (0: no cap).
ssize_t Transfer(long call, int fd, const void* buf, size_t count, off_t offset, std::atomic<int>& calls,
                 const std::atomic<size_t>& cap)
{
    calls.fetch_add(1);
    const size_t most = cap.load();
    return static_cast<ssize_t>(::syscall(call, fd, buf, most != 0 && count > most ? most : count, offset));
}
}  // namespace

extern "C" ssize_t pread(int fd, void* buf, size_t count, off_t offset)
{
    PassGate();
    return Transfer(SYS_pread64, fd, buf, count, offset, g_preadCalls, g_preadCap);
}

extern "C" ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    return Transfer(SYS_pwrite64, fd, buf, count, offset, g_pwriteCalls, g_pwriteCap);
}

namespace {
namespace fs = boost::filesystem;
using testing_fakes::ConfigOverride;
using testing_fakes::LogCapture;
using testing_fakes::VirtualClock;

// Exposes the descriptor so tests can see when it is really closed.
class ProbeFile : public DiskDeviceFile {
public:
    int Fd() const { auto h = CurrentHandle(); return h ? *h : -1; }
};

bool FdIsOpen(int fd)
{
    return fd >= 0 && ::fcntl(fd, F_GETFD) != -1;
}

// Byte i of every test file.
char Pattern(uint64_t i)
{
    return static_cast<char>((i * 131 + i / 4096) & 0xff);
}

class DiskDeviceFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_preadCap = 0;
        g_pwriteCap = 0;
        m_config.Set("BackupNode", "rereadTryTimes", 3)
            .Set("BackupNode", "backupRereadInteval", 7)
            .Set("BackupNode", "restoreTryTimes", 3)
            .Set("BackupNode", "restoreRewriteInteval", 9);
    }

    std::string MakeFile(const std::string& name, uint64_t size)
    {
        std::string path = m_dir + "/" + name;
        std::vector<char> data(size);
        for (uint64_t i = 0; i < size; ++i) {
            data[i] = Pattern(i);
        }
        std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
        return path;
    }

    std::string ReadAll(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    testroot::TempRoot m_root;  // removed with its files at the end
    const std::string m_dir = m_root.Path();
    VirtualClock m_clock;
    ConfigOverride m_config;
    LogCapture m_logs;
};

// ---- Open: path resolution, flags, replacement ----

// Paths are resolved before open(2): links (also relative ones, chained) open
// under their canonical name; a path that does not resolve never reaches open.
TEST_F(DiskDeviceFileTest, OpenResolvesThePathOrFails)
{
    const std::string target = MakeFile("dev0", 8192);
    const std::string canon = fs::canonical(target).string();
    fs::create_symlink(target, m_dir + "/link1");
    fs::create_symlink("link1", m_dir + "/link2");
    fs::create_symlink(m_dir + "/nowhere", m_dir + "/dangling");
    struct Case {
        std::string path;
        int flags;
        bool inDir;  // open from inside m_dir
        DISK_DEVICE_RETURN_CODE rc;
        std::string resolved;
        const char* log;
    } cases[] = {
        {m_dir + "/link2", O_RDONLY, false, DISK_DEVICE_OK, canon, "openDisk realPath:"},
        {"dev0", O_RDONLY, true, DISK_DEVICE_OK, canon, "openDisk realPath:"},
        {target, O_RDONLY | O_CREAT, false, DISK_DEVICE_OK, canon, "openDisk realPath:"},  // no abort
        {"./sub/../dev0", O_RDONLY, true, DISK_DEVICE_OPEN_FAILED, "", "Get real path failed. FileName :"},
        {m_dir + "/absent", O_RDONLY, false, DISK_DEVICE_OPEN_FAILED, "", "Get real path failed. FileName :"},
        {m_dir + "/dangling", O_RDONLY, false, DISK_DEVICE_OPEN_FAILED, "", "Get real path failed. FileName :"},
        {"", O_RDONLY, false, DISK_DEVICE_OPEN_FAILED, "", "Get real path failed. FileName :"},
        {m_dir, O_WRONLY, false, DISK_DEVICE_OPEN_FAILED, "", ",it means:"},
    };
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        m_logs.Clear();
        DiskDeviceFile f;
        ASSERT_EQ(::chdir(c.inDir ? m_dir.c_str() : old), 0);
        DISK_DEVICE_RETURN_CODE rc = f.Open(c.path, c.flags, 8192);
        ASSERT_EQ(::chdir(old), 0);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(f.GetDiskDevicePath(), c.resolved);
        EXPECT_TRUE(m_logs.Contains(c.log)) << m_logs.Dump();
        char buf[16];
        uint64_t len = sizeof buf;
        if (rc == DISK_DEVICE_OK) {
            ASSERT_EQ(f.Read(100, len, buf), DISK_DEVICE_OK);
            EXPECT_EQ(buf[0], Pattern(100));
        } else {
            EXPECT_EQ(f.Read(0, len, buf), DISK_DEVICE_READ_FAILED) << "a failed open leaves the file not open";
        }
    }
    DiskDeviceFile dir;
    EXPECT_EQ(dir.Open(m_dir, O_WRONLY, 4096), DISK_DEVICE_OPEN_FAILED);
    EXPECT_EQ(dir.GetErrString(), std::strerror(EISDIR));
}

// A second Open lets the first descriptor go; the destructor closes without a
// sync (fsync of /dev/null would fail and log).
TEST_F(DiskDeviceFileTest, ReopenAndDestructionCloseTheDescriptor)
{
    std::string a = MakeFile("a", 4096);
    std::string b = MakeFile("b", 4096);
    int first = -1;
    int second = -1;
    {
        ProbeFile f;
        ASSERT_EQ(f.Open(a, O_RDONLY, 4096), DISK_DEVICE_OK);
        first = f.Fd();
        ASSERT_EQ(f.Open("/dev/null", O_WRONLY, 4096), DISK_DEVICE_OK);
        second = f.Fd();
        EXPECT_FALSE(FdIsOpen(first));
        EXPECT_TRUE(FdIsOpen(second));
    }
    EXPECT_FALSE(FdIsOpen(second));
    EXPECT_FALSE(m_logs.Contains("Sync volume file["));
}

// ---- Read and write: bounds, clipping, short transfers ----

// Transfers are bounded by the logical size given at open (8192 here, of a
// 16384-byte file, or 6000 bytes of data under a logical 8192).
TEST_F(DiskDeviceFileTest, TransfersStopAtTheLogicalEnd)
{
    m_config.Set("BackupNode", "rereadTryTimes", 1).Set("BackupNode", "restoreTryTimes", 1);
    const std::string full = MakeFile("clip", 16384);
    const std::string shortData = MakeFile("truncated", 6000);
    struct Case {
        const char* name;
        const std::string& path;
        bool write;
        uint64_t offset;
        uint64_t len;
        DISK_DEVICE_RETURN_CODE rc;
        uint64_t lenAfter;
        int calls;  // pread or pwrite calls
    } cases[] = {
        {"read at the end", full, false, 8192, 4096, DISK_DEVICE_END_OF_FILE, 4096, 0},
        {"read past the end", full, false, 8193, 4096, DISK_DEVICE_END_OF_FILE, 4096, 0},
        {"read at the top offset", full, false, UINT64_MAX, 4096, DISK_DEVICE_END_OF_FILE, 4096, 0},
        {"read of the last byte", full, false, 8191, 4096, DISK_DEVICE_OK, 1, 1},
        {"read across the end", full, false, 4096, 8192, DISK_DEVICE_OK, 4096, 1},
        {"read whose length wraps", full, false, 4096, UINT64_MAX - 10, DISK_DEVICE_OK, 4096, 1},
        {"data ending early", shortData, false, 4096, 4096, DISK_DEVICE_READ_FAILED, 4096, 2},
        {"write at the end", full, true, 8192, 1, DISK_DEVICE_END_OF_FILE, 1, 0},
        {"write across the end", full, true, 6000, 4096, DISK_DEVICE_OK, 4096, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeFile("clip", 16384);
        DiskDeviceFile f;
        ASSERT_EQ(f.Open(c.path, c.write ? O_WRONLY : O_RDONLY, 8192), DISK_DEVICE_OK);
        std::vector<char> buf(16384, 'Z');
        uint64_t len = c.len;
        g_preadCalls = 0;
        g_pwriteCalls = 0;
        DISK_DEVICE_RETURN_CODE rc = c.write ? f.Write(c.offset, len, buf.data()) : f.Read(c.offset, len, buf.data());
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(len, c.lenAfter);
        EXPECT_EQ(c.write ? g_pwriteCalls.load() : g_preadCalls.load(), c.calls);
        if (!c.write && rc == DISK_DEVICE_OK) {
            EXPECT_EQ(buf[0], Pattern(c.offset));
            EXPECT_EQ(buf[len - 1], Pattern(c.offset + len - 1));
            EXPECT_EQ(buf[len], 'Z') << "nothing past the logical end";
        }
        if (c.write && rc == DISK_DEVICE_OK) {
            ASSERT_EQ(f.Close(), DISK_DEVICE_OK);
            const std::string content = ReadAll(full);
            ASSERT_EQ(content.size(), 16384u);
            EXPECT_EQ(content[c.offset - 1], Pattern(c.offset - 1));
            EXPECT_EQ(content[c.offset], 'Z');
            EXPECT_EQ(content[8191], 'Z');
            EXPECT_EQ(content[8192], Pattern(8192)) << "nothing written past the logical end";
        }
    }
    EXPECT_TRUE(m_logs.Contains("Read end of the file.", 3));
    EXPECT_TRUE(m_logs.Contains("Write end of the file.", 3));
    EXPECT_TRUE(m_logs.Contains("readLen=4096, readedLen=1904", 4));
}

// Short reads are continued to the full length; a short write is a failure.
TEST_F(DiskDeviceFileTest, ShortReadsContinueAndShortWritesFail)
{
    const uint64_t size = 65536;
    std::string p = MakeFile("short", size);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, size), DISK_DEVICE_OK);
    std::vector<char> buf(size);
    g_preadCap = 1000;
    g_preadCalls = 0;
    uint64_t len = size;
    DISK_DEVICE_RETURN_CODE rc = f.Read(0, len, buf.data());
    g_preadCap = 0;
    ASSERT_EQ(rc, DISK_DEVICE_OK);
    EXPECT_EQ(len, size);
    EXPECT_EQ(g_preadCalls.load(), 66);  // 65 full pieces of 1000 and one of 536
    for (uint64_t i = 0; i < size; i += 997) {
        ASSERT_EQ(buf[i], Pattern(i)) << i;
    }
    EXPECT_FALSE(m_logs.Contains("Retry time is 1")) << "short reads are not failures";

    m_config.Set("BackupNode", "restoreTryTimes", 2);
    ASSERT_EQ(f.Open(p, O_WRONLY, size), DISK_DEVICE_OK);
    len = 4096;
    g_pwriteCap = 100;
    g_pwriteCalls = 0;
    rc = f.Write(0, len, buf.data());
    g_pwriteCap = 0;
    EXPECT_EQ(rc, DISK_DEVICE_WRITE_FAILED);
    EXPECT_EQ(g_pwriteCalls.load(), 2);
    EXPECT_TRUE(m_logs.Contains("Write to file failed ! writeLen=4096, offsetInBytes=0,retLen=100", 4));
}

// ---- Retries ----

// Failing transfers (pread on a write-only file, pwrite on a read-only one) are
// tried as configured, with the configured pause between tries (none after the
// last; a negative pause is none); a success ends the retries.
TEST_F(DiskDeviceFileTest, RetriesFollowTheConfiguration)
{
    const std::string p = MakeFile("retry", 8192);
    struct Case {
        bool write;
        bool fails;
        int tries;
        int interval;
        int calls;
        std::vector<uint64_t> sleeps;
        std::vector<std::string> counts;  // the "Retry time is" texts
    } cases[] = {
        {false, true, 3, 7, 3, {7, 7}, {"Retry time is 2", "Retry time is 1", "Retry time is 0"}},
        {false, true, 3, -5, 3, {0, 0}, {"Retry time is 2", "Retry time is 1", "Retry time is 0"}},
        {false, true, 0, 7, 0, {}, {}},
        {false, true, -100, 7, 0, {}, {}},
        {false, false, 3, 7, 1, {}, {"Retry time is 2"}},
        // Writes share the reads' retry loop: these rows check their own keys and texts.
        {true, true, 3, 9, 3, {9, 9}, {"Retry time is 2", "Retry time is 1", "Retry time is 0"}},
        {true, true, 1, 9, 1, {}, {"Retry time is 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.write ? "write" : "read") + " tries " + std::to_string(c.tries) + " interval " +
                     std::to_string(c.interval) + (c.fails ? "" : " succeeding"));
        VirtualClock clock;
        m_logs.Clear();
        m_config.Set("BackupNode", c.write ? "restoreTryTimes" : "rereadTryTimes", c.tries)
            .Set("BackupNode", c.write ? "restoreRewriteInteval" : "backupRereadInteval", c.interval);
        const bool writable = c.write != c.fails;
        DiskDeviceFile f;
        ASSERT_EQ(f.Open(p, writable ? O_WRONLY : O_RDONLY, 8192), DISK_DEVICE_OK);
        char buf[512] = {};
        uint64_t len = sizeof buf;
        g_preadCalls = 0;
        g_pwriteCalls = 0;
        DISK_DEVICE_RETURN_CODE rc = c.write ? f.Write(0, len, buf) : f.Read(0, len, buf);
        EXPECT_EQ(rc, c.fails ? (c.write ? DISK_DEVICE_WRITE_FAILED : DISK_DEVICE_READ_FAILED) : DISK_DEVICE_OK);
        EXPECT_EQ(c.write ? g_pwriteCalls.load() : g_preadCalls.load(), c.calls);
        EXPECT_EQ(clock.SleepsSeconds(), c.sleeps);
        std::vector<std::string> counts;
        for (const auto& r : m_logs.Find("Retry time is ")) {
            counts.push_back(r.text);
        }
        EXPECT_EQ(counts, c.counts);
        EXPECT_EQ(len, sizeof buf);
        if (c.fails) {
            EXPECT_TRUE(m_logs.Contains(c.write ? "write file failed." : "read file failed.", 4));
            if (c.calls > 0) {
                EXPECT_EQ(f.GetErrString(), std::strerror(EBADF));
            }
        }
        if (!c.sleeps.empty()) {
            const std::string pause = c.write ? "Get retry sleep timeout namestore =" : "get retry sleep timeout =";
            EXPECT_EQ(m_logs.Count(pause + std::to_string(c.interval), 1), c.sleeps.size());
        }
    }
}

// Nothing is done on a file that is not open (never opened, or closed).
TEST_F(DiskDeviceFileTest, EveryTransferOnAFileNotOpenFails)
{
    std::string p = MakeFile("closed", 8192);
    for (bool opened : {false, true}) {
        SCOPED_TRACE(opened ? "closed" : "never opened");
        DiskDeviceFile f;
        if (opened) {
            ASSERT_EQ(f.Open(p, O_WRONLY, 8192), DISK_DEVICE_OK);
            ASSERT_EQ(f.Close(), DISK_DEVICE_OK);
            m_logs.Clear();
            EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
            EXPECT_TRUE(m_logs.Records().empty()) << "a second Close does nothing: " << m_logs.Dump();
        }
        char buf[512];
        uint64_t len = sizeof buf;
        char* map = nullptr;
        g_preadCalls = 0;
        g_pwriteCalls = 0;
        EXPECT_EQ(f.Read(0, len, buf), DISK_DEVICE_READ_FAILED);
        EXPECT_EQ(f.AioRead(0, len, buf, nullptr), DISK_DEVICE_READ_FAILED);
        EXPECT_EQ(f.MmapRead(0, 4096, map), DISK_DEVICE_READ_FAILED);
        EXPECT_EQ(f.Write(0, len, buf), DISK_DEVICE_WRITE_FAILED);
        EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
        f.ReleaseBufferCache(0, 4096);
        EXPECT_EQ(map, nullptr);
        EXPECT_EQ(g_preadCalls.load() + g_pwriteCalls.load(), 0);
        EXPECT_TRUE(m_logs.Contains("The volume file is not open.", 4));
    }
}

// ---- AIO ----

// Reads in flight complete with the whole length asked for (not clipped at the
// logical size) and hand their control block to the collector.
TEST_F(DiskDeviceFileTest, AioReadsCompleteAndHandTheBlockToTheCollector)
{
    const uint64_t size = 1 << 20;
    std::string p = MakeFile("aio", size);
    io_context_t ctx = nullptr;
    ASSERT_EQ(io_setup(16, &ctx), 0);
    std::unique_ptr<std::remove_pointer_t<io_context_t>, decltype(&io_destroy)> destroy(ctx, &io_destroy);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, size - 4096), DISK_DEVICE_OK);
    const int inFlight = 8;
    std::vector<std::vector<char>> bufs(inFlight, std::vector<char>(8192));
    for (int i = 0; i < inFlight; ++i) {
        uint64_t len = 8192;
        // The last one runs across the logical end.
        const uint64_t off = i + 1 < inFlight ? static_cast<uint64_t>(i) * 65536 : size - 8192;
        ASSERT_EQ(f.AioRead(off, len, bufs[i].data(), ctx), DISK_DEVICE_OK);
    }
    io_event events[inFlight];
    int got = 0;
    while (got < inFlight) {
        int n = io_getevents(ctx, 1, inFlight - got, events + got, nullptr);
        ASSERT_GT(n, 0);
        got += n;
    }
    for (int i = 0; i < inFlight; ++i) {
        EXPECT_EQ(events[i].res, 8192u);
        EXPECT_EQ(events[i].data, nullptr) << "the user-data word stays 0";
        struct iocb* cb = events[i].obj;
        char* b = static_cast<char*>(cb->u.c.buf);
        uint64_t off = static_cast<uint64_t>(cb->u.c.offset);
        EXPECT_EQ(b[0], Pattern(off));
        EXPECT_EQ(b[8191], Pattern(off + 8191));
        std::free(cb);  // the collector's duty
    }
}

uint64_t AllocatedBytes()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

TEST_F(DiskDeviceFileTest, FailedAioSubmissionFreesItsControlBlock)
{
    std::string p = MakeFile("aiofail", 8192);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, 8192), DISK_DEVICE_OK);
    char buf[512];
    uint64_t len = sizeof buf;
    io_context_t bogus = reinterpret_cast<io_context_t>(static_cast<uintptr_t>(0xdead000));
    ASSERT_EQ(f.AioRead(0, len, buf, bogus), DISK_DEVICE_AIO_FAILED);
    ASSERT_TRUE(m_logs.Contains("aio send read one block failed, offsetInBytes:0", 4));

    // Without records kept, a leaked 64-byte block per call would show in the heap.
    int oldLevel = CLogger::GetInstance()->GetLogLevel();
    CLogger::GetInstance()->SetLogLevel(5);
    const int rounds = 4000;
    uint64_t before = AllocatedBytes();
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        failures += f.AioRead(0, len, buf, bogus) == DISK_DEVICE_AIO_FAILED ? 1 : 0;
    }
    uint64_t after = AllocatedBytes();
    CLogger::GetInstance()->SetLogLevel(oldLevel);
    EXPECT_EQ(failures, rounds);
    EXPECT_LT(after > before ? after - before : 0, static_cast<uint64_t>(rounds) * 64 / 4);
}

// ---- Mapped windows ----

// Every window is 4 MiB whatever length is asked for; a window at or past the
// logical end, or at an offset that is not page aligned, is refused.
TEST_F(DiskDeviceFileTest, MmapMapsFourMebibyteWindowsInsideTheData)
{
    const uint64_t size = 8ULL << 20;
    std::string p = MakeFile("mm", size);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, size), DISK_DEVICE_OK);
    char* map = nullptr;
    ASSERT_EQ(f.MmapRead(4096, 512, map), DISK_DEVICE_OK);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map[0], Pattern(4096));
    EXPECT_EQ(map[DiskDeviceFile::MMAP_WINDOW_BYTES - 1], Pattern(4096 + DiskDeviceFile::MMAP_WINDOW_BYTES - 1));
    EXPECT_EQ(::munmap(map, DiskDeviceFile::MMAP_WINDOW_BYTES), 0);
    for (uint64_t off : {size, size + 4096, uint64_t{64} << 30, uint64_t{100}}) {
        map = nullptr;
        EXPECT_EQ(f.MmapRead(off, 4096, map), DISK_DEVICE_READ_FAILED) << off;
        EXPECT_EQ(map, nullptr);
    }
    EXPECT_EQ(m_logs.Count("mmap Read failed. offsetInBytes: ", 4), 4u);
    EXPECT_TRUE(m_logs.Contains(std::string(" errno: ") + std::strerror(EINVAL), 4));
}

// ---- Flush, Close, cache release ----

// A failed sync at Close is reported and still lets the descriptor go; a file
// opened read-write is not write-only, so neither Flush nor Close syncs it.
TEST_F(DiskDeviceFileTest, SyncOnlyForWriteOnlyFilesAndCloseAlwaysCloses)
{
    ProbeFile f;
    ASSERT_EQ(f.Open("/dev/null", O_WRONLY, 4096), DISK_DEVICE_OK);  // fsync: EINVAL
    int fd = f.Fd();
    EXPECT_EQ(f.Flush(), DISK_DEVICE_SYNC_FAILED);
    EXPECT_EQ(f.Close(), DISK_DEVICE_SYNC_FAILED);
    EXPECT_EQ(f.GetErrString(), std::strerror(EINVAL));
    EXPECT_TRUE(m_logs.Contains("Sync volume file[/dev/null] failed , error message is ", 4));
    EXPECT_FALSE(FdIsOpen(fd));
    EXPECT_EQ(f.Flush(), DISK_DEVICE_SYNC_FAILED) << "not open any more";

    m_logs.Clear();
    ASSERT_EQ(f.Open("/dev/null", O_RDWR, 4096), DISK_DEVICE_OK);
    EXPECT_EQ(f.Flush(), DISK_DEVICE_OK);
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    EXPECT_TRUE(m_logs.Contains("ReadOnly is 1", 1));
    EXPECT_FALSE(m_logs.Contains("Sync volume file["));
}

// ---- Close while other threads read ----

// A read already inside pread keeps its own copy of the descriptor: Close
// returns, the descriptor stays open until that read finishes with good data,
// and calls started after Close fail as "not open". The read is held at a known
// point, so this does not depend on how threads happen to interleave.
TEST_F(DiskDeviceFileTest, CloseDuringAReadLetsThatReadFinish)
{
    m_config.Set("BackupNode", "rereadTryTimes", 1);
    std::string p = MakeFile("gated", 8192);
    ProbeFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, 8192), DISK_DEVICE_OK);
    const int fd = f.Fd();
    g_preadGate = 1;
    std::vector<char> buf(4096);
    uint64_t len = buf.size();
    DISK_DEVICE_RETURN_CODE rc = DISK_DEVICE_READ_FAILED;
    std::thread reader([&] { rc = f.Read(4096, len, buf.data()); });
    while (g_preadGate.load() != 2) {
        std::this_thread::yield();
    }
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    EXPECT_TRUE(FdIsOpen(fd));
    // The descriptor is still open under the held read, yet closed to every new call.
    char* map = nullptr;
    EXPECT_EQ(f.MmapRead(0, 4096, map), DISK_DEVICE_READ_FAILED);
    g_preadGate = 3;
    reader.join();
    EXPECT_EQ(rc, DISK_DEVICE_OK);
    EXPECT_EQ(len, 4096u);
    EXPECT_EQ(buf[0], Pattern(4096));
    EXPECT_EQ(buf[4095], Pattern(8191));
    EXPECT_FALSE(FdIsOpen(fd));
    uint64_t again = 4096;
    EXPECT_EQ(f.Read(0, again, buf.data()), DISK_DEVICE_READ_FAILED);
}

TEST_F(DiskDeviceFileTest, CacheReleaseFailuresAreNotErrors)
{
    std::string fifo = m_dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(fifo, O_RDONLY | O_NONBLOCK, 4096), DISK_DEVICE_OK);
    f.ReleaseBufferCache(0, 4096);  // posix_fadvise on a pipe: ESPIPE
    EXPECT_TRUE(m_logs.Contains("release one block buffer failed, don't worry", 1));
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    EXPECT_TRUE(m_logs.Contains("Release buffer cache from file failed ! disk name=", 4));
    EXPECT_EQ(f.GetErrString(), std::strerror(ESPIPE));
    f.ReleaseBufferCache(0, 4096);  // not open any more: nothing happens
}

}  // namespace
