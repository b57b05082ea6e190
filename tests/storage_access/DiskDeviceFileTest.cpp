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
#include <condition_variable>
#include <mutex>
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

namespace {
std::atomic<int> g_preadCalls{0};
std::atomic<int> g_pwriteCalls{0};
std::atomic<size_t> g_preadCap{0};   // 0: no cap
std::atomic<size_t> g_pwriteCap{0};  // 0: no cap

// When armed, the next pread stops inside the call until the test opens the gate,
// so a test can act while a read holds the descriptor.
struct PreadGate {
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<bool> armed{false};
    bool entered = false;
    bool open = false;

    void Pass()
    {
        bool expected = true;
        if (!armed.compare_exchange_strong(expected, false)) {
            return;
        }
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
    }
    void WaitEntered()
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return entered; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
};
PreadGate g_preadGate;
}  // namespace

extern "C" ssize_t pread(int fd, void* buf, size_t count, off_t offset)
{
    g_preadCalls.fetch_add(1);
    g_preadGate.Pass();
    size_t cap = g_preadCap.load();
    if (cap != 0 && count > cap) {
        count = cap;
    }
    return static_cast<ssize_t>(::syscall(SYS_pread64, fd, buf, count, offset));
}

extern "C" ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset)
{
    g_pwriteCalls.fetch_add(1);
    size_t cap = g_pwriteCap.load();
    if (cap != 0 && count > cap) {
        count = cap;
    }
    return static_cast<ssize_t>(::syscall(SYS_pwrite64, fd, buf, count, offset));
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
    std::shared_ptr<int> Handle() const { return CurrentHandle(); }
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
        char tmpl[] = "/tmp/ddf_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        g_preadCap = 0;
        g_pwriteCap = 0;
        m_config.Set("BackupNode", "rereadTryTimes", 3)
            .Set("BackupNode", "backupRereadInteval", 7)
            .Set("BackupNode", "restoreTryTimes", 3)
            .Set("BackupNode", "restoreRewriteInteval", 9);
    }
    void TearDown() override
    {
        boost::system::error_code ec;
        fs::remove_all(m_dir, ec);
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

    std::string m_dir;
    VirtualClock m_clock;
    ConfigOverride m_config;
    LogCapture m_logs;
};

// ---- Open: path resolution, flags, replacement ----

TEST_F(DiskDeviceFileTest, SymlinkChainIsOpenedUnderItsResolvedName)
{
    std::string target = MakeFile("dev0", 8192);
    fs::create_symlink(target, m_dir + "/link1");
    fs::create_symlink("link1", m_dir + "/link2");  // relative link to a link
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(m_dir + "/link2", O_RDONLY, 8192), DISK_DEVICE_OK);
    EXPECT_EQ(f.GetDiskDevicePath(), fs::canonical(target).string());
    EXPECT_TRUE(m_logs.Contains("openDisk realPath:" + fs::canonical(target).string(), 1));
    char buf[16];
    uint64_t len = sizeof buf;
    ASSERT_EQ(f.Read(100, len, buf), DISK_DEVICE_OK);
    EXPECT_EQ(buf[0], Pattern(100));
}

TEST_F(DiskDeviceFileTest, RelativePathResolvesFromCurrentDirectory)
{
    std::string target = MakeFile("rel", 4096);
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir(m_dir.c_str()), 0);
    DiskDeviceFile f;
    DISK_DEVICE_RETURN_CODE rc = f.Open("./sub/../rel", O_RDONLY, 4096);
    ASSERT_EQ(::chdir(old), 0);
    // "sub" does not exist, so the canonical form cannot be built.
    EXPECT_EQ(rc, DISK_DEVICE_OPEN_FAILED);
    ASSERT_EQ(::chdir(m_dir.c_str()), 0);
    rc = f.Open("rel", O_RDONLY, 4096);
    ASSERT_EQ(::chdir(old), 0);
    EXPECT_EQ(rc, DISK_DEVICE_OK);
    EXPECT_EQ(f.GetDiskDevicePath(), fs::canonical(target).string());
}

TEST_F(DiskDeviceFileTest, MissingOrDanglingPathFailsBeforeOpen)
{
    fs::create_symlink(m_dir + "/nowhere", m_dir + "/dangling");
    for (const std::string& p : {m_dir + "/absent", m_dir + "/dangling", std::string()}) {
        DiskDeviceFile f;
        EXPECT_EQ(f.Open(p, O_RDONLY, 4096), DISK_DEVICE_OPEN_FAILED) << p;
        EXPECT_EQ(f.GetDiskDevicePath(), "");
        uint64_t len = 1;
        char c;
        EXPECT_EQ(f.Read(0, len, &c), DISK_DEVICE_READ_FAILED) << "a failed open leaves the file not open";
    }
    EXPECT_EQ(m_logs.Count("Get real path failed. FileName :", 4), 3u);
    EXPECT_FALSE(m_logs.Contains("openDisk realPath:")) << "open(2) must not be reached";
}

TEST_F(DiskDeviceFileTest, OpenSystemFailureKeepsErrnoText)
{
    DiskDeviceFile f;
    EXPECT_EQ(f.Open(m_dir, O_WRONLY, 4096), DISK_DEVICE_OPEN_FAILED);  // a directory
    EXPECT_EQ(f.GetErrString(), std::strerror(EISDIR));
    EXPECT_TRUE(m_logs.Contains(",errno code=" + std::to_string(EISDIR) + ",it means:", 4));
}

TEST_F(DiskDeviceFileTest, StrayCreateFlagDoesNotAbort)
{
    std::string p = MakeFile("c", 4096);
    DiskDeviceFile f;
    EXPECT_EQ(f.Open(p, O_RDONLY | O_CREAT, 4096), DISK_DEVICE_OK);
}

TEST_F(DiskDeviceFileTest, ReopenClosesThePreviousDescriptor)
{
    std::string a = MakeFile("a", 4096);
    std::string b = MakeFile("b", 4096);
    ProbeFile f;
    ASSERT_EQ(f.Open(a, O_RDONLY, 4096), DISK_DEVICE_OK);
    int first = f.Fd();
    ASSERT_EQ(f.Open(b, O_RDONLY, 4096), DISK_DEVICE_OK);
    EXPECT_NE(f.Fd(), first);
    EXPECT_FALSE(FdIsOpen(first));
    EXPECT_EQ(f.GetDiskDevicePath(), fs::canonical(b).string());
}

TEST_F(DiskDeviceFileTest, DestructorClosesWithoutSync)
{
    int fd;
    {
        ProbeFile f;
        ASSERT_EQ(f.Open("/dev/null", O_WRONLY, 4096), DISK_DEVICE_OK);
        fd = f.Fd();
        ASSERT_TRUE(FdIsOpen(fd));
    }
    EXPECT_FALSE(FdIsOpen(fd));
    EXPECT_FALSE(m_logs.Contains("Sync volume file[")) << "fsync of /dev/null would have failed and logged";
}

// ---- Read: bounds, clipping, short reads, retries ----

TEST_F(DiskDeviceFileTest, ReadAtOrBeyondEndMakesNoSystemCall)
{
    std::string p = MakeFile("eof", 8192);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, 8192), DISK_DEVICE_OK);
    char buf[4096];
    g_preadCalls = 0;
    for (uint64_t off : {uint64_t{8192}, uint64_t{8193}, UINT64_MAX}) {
        uint64_t len = sizeof buf;
        EXPECT_EQ(f.Read(off, len, buf), DISK_DEVICE_END_OF_FILE);
        EXPECT_EQ(len, sizeof buf);
        EXPECT_EQ(f.AioRead(off, len, buf, nullptr), DISK_DEVICE_END_OF_FILE);
    }
    EXPECT_EQ(g_preadCalls.load(), 0);
    EXPECT_EQ(m_logs.Count("Read end of the file.", 3), 6u);
}

TEST_F(DiskDeviceFileTest, ReadAcrossEndIsClipped)
{
    std::string p = MakeFile("clip", 16384);
    DiskDeviceFile f;
    // The logical size ends before the file does: nothing past it may be read.
    ASSERT_EQ(f.Open(p, O_RDONLY, 8192), DISK_DEVICE_OK);
    std::vector<char> buf(4096, 'Z');
    uint64_t len = 4096;
    ASSERT_EQ(f.Read(8191, len, buf.data()), DISK_DEVICE_OK);
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(buf[0], Pattern(8191));
    EXPECT_EQ(buf[1], 'Z');

    len = 8192;
    buf.assign(8192, 'Z');
    ASSERT_EQ(f.Read(4096, len, buf.data()), DISK_DEVICE_OK);
    EXPECT_EQ(len, 4096u);
    EXPECT_EQ(buf[4095], Pattern(8191));
    EXPECT_EQ(buf[4096], 'Z');

    // A length so large that offset + len wraps must still clip, not overrun.
    len = UINT64_MAX - 10;
    buf.assign(8192, 'Z');
    ASSERT_EQ(f.Read(4096, len, buf.data()), DISK_DEVICE_OK);
    EXPECT_EQ(len, 4096u);
}

TEST_F(DiskDeviceFileTest, ShortReadsAreContinued)
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
}

TEST_F(DiskDeviceFileTest, DataEndingBeforeLogicalSizeFailsAndKeepsLength)
{
    std::string p = MakeFile("truncated", 6000);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, 8192), DISK_DEVICE_OK);
    m_config.Set("BackupNode", "rereadTryTimes", 2);
    std::vector<char> buf(4096);
    uint64_t len = 4096;
    EXPECT_EQ(f.Read(4096, len, buf.data()), DISK_DEVICE_READ_FAILED);
    EXPECT_EQ(len, 4096u);
    EXPECT_EQ(m_logs.Count("Read file failed. retLen=0", 3), 2u);
    EXPECT_TRUE(m_logs.Contains("readLen=4096, readedLen=1904", 4));
    EXPECT_EQ(m_clock.SleepsSeconds(), (std::vector<uint64_t>{7}));
}

TEST_F(DiskDeviceFileTest, ReadRetriesConfiguredTimesWithPauses)
{
    std::string p = MakeFile("wo", 8192);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_WRONLY, 8192), DISK_DEVICE_OK);  // pread fails with EBADF
    char buf[512];
    uint64_t len = sizeof buf;
    g_preadCalls = 0;
    EXPECT_EQ(f.Read(0, len, buf), DISK_DEVICE_READ_FAILED);
    EXPECT_EQ(g_preadCalls.load(), 3);
    std::vector<std::string> counts;
    for (const auto& r : m_logs.Find("Retry time is ", 1)) {
        counts.push_back(r.text);
    }
    EXPECT_EQ(counts, (std::vector<std::string>{"Retry time is 2", "Retry time is 1", "Retry time is 0"}));
    EXPECT_EQ(m_clock.SleepsSeconds(), (std::vector<uint64_t>{7, 7}));
    EXPECT_EQ(m_logs.Count("get retry sleep timeout =7", 1), 2u);
    EXPECT_TRUE(m_logs.Contains("read file failed.", 4));
    EXPECT_EQ(f.GetErrString(), std::strerror(EBADF));
    EXPECT_EQ(len, sizeof buf);
}

TEST_F(DiskDeviceFileTest, ReadWithNoAttemptsConfiguredFailsAtOnce)
{
    std::string p = MakeFile("r0", 8192);
    for (int tries : {0, -1, -100}) {
        m_config.Set("BackupNode", "rereadTryTimes", tries);
        DiskDeviceFile f;
        ASSERT_EQ(f.Open(p, O_RDONLY, 8192), DISK_DEVICE_OK);
        char buf[512];
        uint64_t len = sizeof buf;
        g_preadCalls = 0;
        EXPECT_EQ(f.Read(0, len, buf), DISK_DEVICE_READ_FAILED) << tries;
        EXPECT_EQ(g_preadCalls.load(), 0) << tries;
    }
    EXPECT_FALSE(m_logs.Contains("Retry time is "));
    EXPECT_TRUE(m_clock.SleepsSeconds().empty());
}

TEST_F(DiskDeviceFileTest, RetryStopsAtFirstSuccessAndReadsTheIntervalAfresh)
{
    std::string p = MakeFile("ok", 8192);
    m_config.Set("BackupNode", "backupRereadInteval", -5);  // never an endless sleep
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_WRONLY, 8192), DISK_DEVICE_OK);
    char buf[64];
    uint64_t len = sizeof buf;
    EXPECT_EQ(f.Read(0, len, buf), DISK_DEVICE_READ_FAILED);
    EXPECT_EQ(m_clock.SleepsSeconds(), (std::vector<uint64_t>{0, 0}));

    ASSERT_EQ(f.Open(p, O_RDONLY, 8192), DISK_DEVICE_OK);
    m_logs.Clear();
    g_preadCalls = 0;
    EXPECT_EQ(f.Read(0, len, buf), DISK_DEVICE_OK);
    EXPECT_EQ(g_preadCalls.load(), 1);
    EXPECT_EQ(m_logs.Count("Retry time is "), 1u);
}

TEST_F(DiskDeviceFileTest, ConcurrentPositionalReadsSeeTheirOwnRanges)
{
    const uint64_t size = 1 << 20;
    std::string p = MakeFile("mt", size);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, size), DISK_DEVICE_OK);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char> buf(4096);
            for (int round = 0; round < 50; ++round) {
                uint64_t off = (static_cast<uint64_t>(t * 50 + round) * 4096) % size;
                uint64_t len = buf.size();
                if (f.Read(off, len, buf.data()) != DISK_DEVICE_OK || len != 4096 || buf[17] != Pattern(off + 17) ||
                    buf[4095] != Pattern(off + 4095)) {
                    ++bad;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(bad.load(), 0);
}

TEST_F(DiskDeviceFileTest, DirectIoReadOfAlignedBlocks)
{
    const uint64_t size = 1 << 20;
    std::string p = MakeFile("direct", size);
    DiskDeviceFile f;
    if (f.Open(p, O_RDONLY | O_DIRECT, size) != DISK_DEVICE_OK) {
        GTEST_SKIP() << "O_DIRECT is not supported on " << m_dir << ": " << f.GetErrString();
    }
    void* mem = nullptr;
    ASSERT_EQ(::posix_memalign(&mem, 4096, 65536), 0);
    std::unique_ptr<char, decltype(&std::free)> buf(static_cast<char*>(mem), &std::free);
    uint64_t len = 65536;
    ASSERT_EQ(f.Read(131072, len, buf.get()), DISK_DEVICE_OK) << f.GetErrString();
    EXPECT_EQ(len, 65536u);
    EXPECT_EQ(buf.get()[0], Pattern(131072));
    EXPECT_EQ(buf.get()[65535], Pattern(131072 + 65535));
}

// ---- Write ----

TEST_F(DiskDeviceFileTest, WriteAcrossEndStopsAtLogicalSize)
{
    std::string p = MakeFile("w", 16384);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_WRONLY, 8192), DISK_DEVICE_OK);
    std::vector<char> data(4096, 'W');
    uint64_t len = data.size();
    ASSERT_EQ(f.Write(6000, len, data.data()), DISK_DEVICE_OK);
    EXPECT_EQ(len, 4096u) << "the requested length is left as it was";
    EXPECT_EQ(f.Flush(), DISK_DEVICE_OK);
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    std::string content = ReadAll(p);
    ASSERT_EQ(content.size(), 16384u);
    EXPECT_EQ(content[5999], Pattern(5999));
    EXPECT_EQ(content[6000], 'W');
    EXPECT_EQ(content[8191], 'W');
    EXPECT_EQ(content[8192], Pattern(8192));
}

TEST_F(DiskDeviceFileTest, WriteAtEndOrWhenNotOpen)
{
    std::string p = MakeFile("we", 8192);
    DiskDeviceFile f;
    char c = 'x';
    uint64_t len = 1;
    EXPECT_EQ(f.Write(0, len, &c), DISK_DEVICE_WRITE_FAILED);
    EXPECT_TRUE(m_logs.Contains("The volume file is not open.", 4));
    ASSERT_EQ(f.Open(p, O_WRONLY, 8192), DISK_DEVICE_OK);
    g_pwriteCalls = 0;
    EXPECT_EQ(f.Write(8192, len, &c), DISK_DEVICE_END_OF_FILE);
    EXPECT_EQ(g_pwriteCalls.load(), 0);
    EXPECT_TRUE(m_logs.Contains("Write end of the file.", 3));
}

TEST_F(DiskDeviceFileTest, WriteRetriesWithCounts)
{
    std::string p = MakeFile("ro", 8192);
    char data[512] = {};
    struct Case {
        int tries;
        int calls;
        std::vector<uint64_t> sleeps;
    };
    for (const Case& c : {Case{3, 3, {9, 9}}, Case{1, 1, {}}, Case{0, 0, {}}, Case{-3, 0, {}}}) {
        VirtualClock clock;
        m_config.Set("BackupNode", "restoreTryTimes", c.tries);
        m_logs.Clear();
        DiskDeviceFile f;
        ASSERT_EQ(f.Open(p, O_RDONLY, 8192), DISK_DEVICE_OK);  // pwrite fails with EBADF
        g_pwriteCalls = 0;
        uint64_t len = sizeof data;
        EXPECT_EQ(f.Write(0, len, data), DISK_DEVICE_WRITE_FAILED) << c.tries;
        EXPECT_EQ(g_pwriteCalls.load(), c.calls) << c.tries;
        EXPECT_EQ(clock.SleepsSeconds(), c.sleeps) << c.tries;
        EXPECT_EQ(m_logs.Count("Get retry sleep timeout namestore =9", 1), c.sleeps.size());
        EXPECT_TRUE(m_logs.Contains("write file failed.", 4));
    }
}

TEST_F(DiskDeviceFileTest, ShortWriteIsAFailureNotAPartialSuccess)
{
    std::string p = MakeFile("sw", 8192);
    m_config.Set("BackupNode", "restoreTryTimes", 2);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_WRONLY, 8192), DISK_DEVICE_OK);
    std::vector<char> data(4096, 'S');
    uint64_t len = data.size();
    g_pwriteCap = 100;
    g_pwriteCalls = 0;
    DISK_DEVICE_RETURN_CODE rc = f.Write(0, len, data.data());
    g_pwriteCap = 0;
    EXPECT_EQ(rc, DISK_DEVICE_WRITE_FAILED);
    EXPECT_EQ(g_pwriteCalls.load(), 2);
    EXPECT_TRUE(m_logs.Contains("Write to file failed ! writeLen=4096, offsetInBytes=0,retLen=100", 4));
}

// ---- AIO ----

class AioContext {
public:
    explicit AioContext(int depth)
    {
        m_ok = io_setup(depth, &m_ctx) == 0;
    }
    ~AioContext()
    {
        if (m_ok) {
            io_destroy(m_ctx);
        }
    }
    bool ok() const { return m_ok; }
    io_context_t get() const { return m_ctx; }

private:
    io_context_t m_ctx = nullptr;
    bool m_ok = false;
};

TEST_F(DiskDeviceFileTest, AioReadsCompleteAndHandTheBlockToTheCollector)
{
    const uint64_t size = 1 << 20;
    std::string p = MakeFile("aio", size);
    AioContext ctx(16);
    ASSERT_TRUE(ctx.ok());
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, size), DISK_DEVICE_OK);
    const int inFlight = 8;
    std::vector<std::vector<char>> bufs(inFlight, std::vector<char>(8192));
    for (int i = 0; i < inFlight; ++i) {
        uint64_t len = 8192;
        ASSERT_EQ(f.AioRead(static_cast<uint64_t>(i) * 65536, len, bufs[i].data(), ctx.get()), DISK_DEVICE_OK);
    }
    io_event events[inFlight];
    int got = 0;
    while (got < inFlight) {
        int n = io_getevents(ctx.get(), 1, inFlight - got, events + got, nullptr);
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

TEST_F(DiskDeviceFileTest, AioLengthIsNotClippedAtLogicalSize)
{
    std::string p = MakeFile("aioclip", 16384);
    AioContext ctx(4);
    ASSERT_TRUE(ctx.ok());
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, 8192), DISK_DEVICE_OK);
    std::vector<char> buf(8192);
    uint64_t len = 8192;
    ASSERT_EQ(f.AioRead(4096, len, buf.data(), ctx.get()), DISK_DEVICE_OK);
    io_event ev;
    ASSERT_EQ(io_getevents(ctx.get(), 1, 1, &ev, nullptr), 1);
    EXPECT_EQ(ev.res, 8192u);
    std::free(ev.obj);
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

TEST_F(DiskDeviceFileTest, AioOnClosedFileIsAReadFailure)
{
    DiskDeviceFile f;
    char buf[512];
    uint64_t len = sizeof buf;
    EXPECT_EQ(f.AioRead(0, len, buf, nullptr), DISK_DEVICE_READ_FAILED);
}

// ---- Mapped windows ----

TEST_F(DiskDeviceFileTest, MmapAlwaysMapsAFourMebibyteWindow)
{
    const uint64_t size = 8ULL << 20;
    std::string p = MakeFile("mm", size);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, size), DISK_DEVICE_OK);
    char* map = nullptr;
    ASSERT_EQ(f.MmapRead(4096, 512, map), DISK_DEVICE_OK);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map[0], Pattern(4096));
    // The last byte of a 4 MiB window, far past the 512 bytes asked for.
    EXPECT_EQ(map[DiskDeviceFile::MMAP_WINDOW_BYTES - 1], Pattern(4096 + DiskDeviceFile::MMAP_WINDOW_BYTES - 1));
    EXPECT_EQ(::munmap(map, DiskDeviceFile::MMAP_WINDOW_BYTES), 0);
}

TEST_F(DiskDeviceFileTest, MmapAtOrBeyondEndIsRefused)
{
    const uint64_t size = 1 << 20;
    std::string p = MakeFile("mmend", size);
    DiskDeviceFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, size), DISK_DEVICE_OK);
    for (uint64_t off : {size, size + 4096, uint64_t{64} << 30}) {
        char* map = nullptr;
        EXPECT_EQ(f.MmapRead(off, 4096, map), DISK_DEVICE_READ_FAILED) << off;
        EXPECT_EQ(map, nullptr);
    }
    EXPECT_EQ(m_logs.Count("mmap Read failed. offsetInBytes: ", 4), 3u);
}

TEST_F(DiskDeviceFileTest, MmapMisalignedOrNotOpenFails)
{
    std::string p = MakeFile("mmal", 1 << 20);
    DiskDeviceFile f;
    char* map = nullptr;
    EXPECT_EQ(f.MmapRead(0, 4096, map), DISK_DEVICE_READ_FAILED);
    ASSERT_EQ(f.Open(p, O_RDONLY, 1 << 20), DISK_DEVICE_OK);
    EXPECT_EQ(f.MmapRead(100, 4096, map), DISK_DEVICE_READ_FAILED);
    EXPECT_TRUE(m_logs.Contains(std::string(" errno: ") + std::strerror(EINVAL), 4));
    EXPECT_EQ(map, nullptr);
}

// ---- Flush, Close, cache release ----

TEST_F(DiskDeviceFileTest, CloseOfUnopenedOrClosedFileDoesNothing)
{
    DiskDeviceFile f;
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    std::string p = MakeFile("cc", 4096);
    ASSERT_EQ(f.Open(p, O_WRONLY, 4096), DISK_DEVICE_OK);
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    m_logs.Clear();
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    EXPECT_TRUE(m_logs.Records().empty()) << m_logs.Dump();
}

TEST_F(DiskDeviceFileTest, FailedSyncAtCloseStillClosesTheDescriptor)
{
    ProbeFile f;
    ASSERT_EQ(f.Open("/dev/null", O_WRONLY, 4096), DISK_DEVICE_OK);  // fsync: EINVAL
    int fd = f.Fd();
    ASSERT_TRUE(FdIsOpen(fd));
    EXPECT_EQ(f.Flush(), DISK_DEVICE_SYNC_FAILED);
    EXPECT_EQ(f.Close(), DISK_DEVICE_SYNC_FAILED);
    EXPECT_EQ(f.GetErrString(), std::strerror(EINVAL));
    EXPECT_TRUE(m_logs.Contains("Sync volume file[/dev/null] failed , error message is ", 4));
    EXPECT_FALSE(FdIsOpen(fd));
    char c;
    uint64_t len = 1;
    EXPECT_EQ(f.Read(0, len, &c), DISK_DEVICE_READ_FAILED) << "closed whatever the sync said";
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
}

TEST_F(DiskDeviceFileTest, FlushOfReadOnlyFileSkipsSync)
{
    DiskDeviceFile f;
    // Read-write is not write-only: no sync, so /dev/null's refusal never shows.
    ASSERT_EQ(f.Open("/dev/null", O_RDWR, 4096), DISK_DEVICE_OK);
    EXPECT_EQ(f.Flush(), DISK_DEVICE_OK);
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    EXPECT_TRUE(m_logs.Contains("ReadOnly is 1", 1));
}

TEST_F(DiskDeviceFileTest, AnotherOwnerKeepsTheDescriptorAliveAfterClose)
{
    std::string p = MakeFile("own", 4096);
    ProbeFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, 4096), DISK_DEVICE_OK);
    std::shared_ptr<int> borrowed = f.Handle();  // as ReleaseBufferCache holds it
    int fd = *borrowed;
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    EXPECT_TRUE(FdIsOpen(fd));
    EXPECT_FALSE(m_logs.Contains("Close file,fd="));
    borrowed.reset();
    EXPECT_FALSE(FdIsOpen(fd));
    EXPECT_EQ(m_logs.Count("Close file,fd=" + std::to_string(fd), 1), 1u);
}

// ---- Close while other threads read ----

// A read already inside pread keeps its own copy of the descriptor: Close
// returns, the descriptor stays open until that read finishes with good data,
// and reads started after Close fail as "not open".
TEST_F(DiskDeviceFileTest, CloseDuringAReadLetsThatReadFinish)
{
    m_config.Set("BackupNode", "rereadTryTimes", 1);
    std::string p = MakeFile("gated", 8192);
    ProbeFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, 8192), DISK_DEVICE_OK);
    const int fd = f.Fd();
    g_preadGate.armed = true;
    std::vector<char> buf(4096);
    uint64_t len = buf.size();
    DISK_DEVICE_RETURN_CODE rc = DISK_DEVICE_READ_FAILED;
    std::thread reader([&] { rc = f.Read(4096, len, buf.data()); });
    g_preadGate.WaitEntered();
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    EXPECT_TRUE(FdIsOpen(fd));
    g_preadGate.Open();
    reader.join();
    EXPECT_EQ(rc, DISK_DEVICE_OK);
    EXPECT_EQ(len, 4096u);
    EXPECT_EQ(buf[0], Pattern(4096));
    EXPECT_EQ(buf[4095], Pattern(8191));
    EXPECT_FALSE(FdIsOpen(fd));
    uint64_t again = 4096;
    EXPECT_EQ(f.Read(0, again, buf.data()), DISK_DEVICE_READ_FAILED);
}

// Readers of every kind run while the main thread closes the file once each has
// succeeded at least once. Every result is a good read or "not open", never a
// wrong byte; run under the thread sanitizer this also proves the holder copy
// and the reset do not race.
TEST_F(DiskDeviceFileTest, ConcurrentReadsAndCloseNeverMixUp)
{
    m_config.Set("BackupNode", "rereadTryTimes", 1);
    const uint64_t size = DiskDeviceFile::MMAP_WINDOW_BYTES;
    std::string p = MakeFile("race", size);
    ProbeFile f;
    ASSERT_EQ(f.Open(p, O_RDONLY, size), DISK_DEVICE_OK);
    const int fd = f.Fd();
    constexpr int kReaders = 4;
    std::atomic<int> started{0};
    std::atomic<int> wrong{0};
    std::atomic<int> failedAfterClose{0};
    std::atomic<bool> closed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kReaders; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char> buf(4096);
            bool counted = false;
            for (uint64_t round = 0;; ++round) {
                const uint64_t off = ((round * kReaders + t) * 4096) % size;
                const bool wasClosed = closed.load();
                bool ok = false;
                if (t % 2 == 0) {
                    uint64_t len = buf.size();
                    ok = f.Read(off, len, buf.data()) == DISK_DEVICE_OK;
                    if (ok && (len != 4096 || buf[5] != Pattern(off + 5) || buf[4095] != Pattern(off + 4095))) {
                        ++wrong;
                    }
                } else {
                    char* map = nullptr;
                    ok = f.MmapRead(0, 4096, map) == DISK_DEVICE_OK;
                    if (ok) {
                        if (map[off] != Pattern(off)) {
                            ++wrong;
                        }
                        ::munmap(map, DiskDeviceFile::MMAP_WINDOW_BYTES);
                    }
                    f.ReleaseBufferCache(off, 4096);
                }
                (void)f.GetErrString();
                if (ok && !counted) {
                    counted = true;
                    ++started;
                }
                if (!ok) {
                    // Only Close may make a read fail here.
                    if (!wasClosed && !closed.load()) {
                        ++wrong;
                    }
                    ++failedAfterClose;
                    return;
                }
            }
        });
    }
    while (started.load() < kReaders) {
        std::this_thread::yield();
    }
    closed = true;
    EXPECT_EQ(f.Close(), DISK_DEVICE_OK);
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failedAfterClose.load(), kReaders);
    EXPECT_FALSE(FdIsOpen(fd));
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
