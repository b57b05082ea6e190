// Event loops over real sockets: the callback table and interest rules, the
// loop thread, callbacks that change registrations, ExitLoop from another
// thread, and the process's two singleton loops.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

#include "FailingAlloc.h"
#include "NetTestUtil.h"
#include "foundation/OruSleep.h"
#include "host/testing/Fakes.h"
#include "replication/net/EventLoop.h"
#include "replication/net/EventLoopSingleton.h"

using nettest::Fd;
using nettest::WaitFor;

namespace {

// Runs Loop on its own thread; stops it on destruction. ExitLoop is repeated
// until the loop has ended, since one that lands before Loop started would
// be undone by Loop itself.
class LoopThread {
public:
    explicit LoopThread(EventLoop& loop) : m_loop(loop), m_thread([this] {
        m_result = m_loop.Loop();
        m_done = true;
    })
    {
    }
    ~LoopThread() { Stop(); }
    // True once Loop returned on its own within ms; Stop then only reports.
    bool Ended(int ms)
    {
        if (!WaitFor([this] { return m_done.load(); }, ms)) {
            return false;
        }
        m_thread.join();
        return true;
    }
    int Stop()
    {
        if (m_thread.joinable()) {
            EXPECT_TRUE(WaitFor(
                [this] {
                    m_loop.ExitLoop();
                    return m_done.load();
                },
                5000));
            m_thread.join();
        }
        return m_result;
    }

private:
    EventLoop& m_loop;
    std::atomic<bool> m_done{false};
    int m_result = -2;
    std::thread m_thread;
};

// A callback whose copies fail once armed, as a copy does when memory runs out.
struct CopyFails {
    std::shared_ptr<std::atomic<bool>> armed = std::make_shared<std::atomic<bool>>(false);
    CopyFails() = default;
    CopyFails(const CopyFails& o) : armed(o.armed)
    {
        if (*armed) {
            throw std::bad_alloc();
        }
    }
    void operator()(int, EVENT_TYPE) const {}
};

struct Recorder {
    std::mutex mutex;
    std::vector<std::string> calls;
    void Add(const std::string& s)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(s);
    }
    std::vector<std::string> Get()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    size_t Count(const std::string& s)
    {
        auto c = Get();
        return static_cast<size_t>(std::count(c.begin(), c.end(), s));
    }
};

// Registers a read on a pair with pending input and waits for its callback,
// which withdraws it: the loop is running. The withdrawal comes before the
// signal, so that the pair is never closed while the loop still uses it.
void ExpectCallback(EventLoop& loop)
{
    auto pr = nettest::UnixPair(true);
    std::atomic<bool> got{false};
    ASSERT_EQ(0, loop.AddEvent(pr.first.Get(), EVENT_READ, [&](int fd, EVENT_TYPE) {
        loop.DeleteEvent(fd, EVENT_READ);
        got = true;
    }));
    EXPECT_TRUE(WaitFor([&] { return got.load(); }));
}

class EventLoopTest : public ::testing::Test {
protected:
    testing_fakes::LogCapture logs;
    EventLoop loop;
};

}  // namespace

TEST_F(EventLoopTest, CallsBeforeInitializeAndInitializeRules)
{
    EXPECT_EQ(-1, loop.AddEvent(3, EVENT_READ, [](int, EVENT_TYPE) {}));
    EXPECT_EQ(-1, loop.DeleteEvent(3, EVENT_READ));
    EXPECT_EQ(-1, loop.Loop());
    EXPECT_EQ(3u, logs.Count("Poller is not initialized.", 4));

    EXPECT_EQ(-1, loop.Initialize(static_cast<PollerType>(7), 16));
    EXPECT_TRUE(logs.Contains("Create EpollPoller failed. type=7", 2));
    // A poller that fails to initialize is dropped; the loop can try again.
    EXPECT_EQ(-1, loop.Initialize(POLLER_EPOLL, 0));
    EXPECT_TRUE(logs.Contains("Poller initialize failed. maxFds=0, type=0", 4));
    EXPECT_EQ(-1, loop.AddEvent(3, EVENT_READ, [](int, EVENT_TYPE) {}));
    EXPECT_EQ(0, loop.Initialize(POLLER_EPOLL, 16));
    EXPECT_TRUE(logs.Contains("exit to success.maxFds=16, type=0", 2));
    EXPECT_EQ(0, loop.Initialize(POLLER_ZEPH, 8));
    EXPECT_TRUE(logs.Contains("Exit, it has been initialized. maxFds=8, type=1", 4));
    for (const auto& r : logs.Find("Enter, maxFsd=")) {
        EXPECT_EQ("EventLoop", r.module);
        EXPECT_EQ(0u, r.requestId);
    }
}

// Each step is the add, modify or delete the poller accepts only when the
// loop chose it right: a wrong add fails with EEXIST, a wrong modify or delete
// with ENOENT.
TEST_F(EventLoopTest, InterestFollowsCallbacks)
{
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 16));
    auto pr = nettest::UnixPair();
    const int fd = pr.first.Get();
    auto f = [](int, EVENT_TYPE) {};
    for (int round = 0; round < 2; ++round) {  // the second starts after a full removal
        ASSERT_EQ(0, loop.AddEvent(fd, EVENT_READ, f));
        ASSERT_EQ(0, loop.AddEvent(fd, EVENT_READ, f));  // replaces f
        ASSERT_EQ(0, loop.AddEvent(fd, EVENT_WRITE, f));
        ASSERT_EQ(0, loop.DeleteEvent(fd, EVENT_READ));
        ASSERT_EQ(0, loop.DeleteEvent(fd, EVENT_WRITE));
        ASSERT_EQ(0, loop.DeleteEvent(fd, EVENT_READ_WRITE));  // entry erased: no poller call
    }
    EXPECT_EQ(-1, loop.AddEvent(fd, static_cast<EVENT_TYPE>(0), f));
    EXPECT_TRUE(logs.Contains("Invalid event type.type=0", 4));
    // The callback-less entry registers nothing: a later read is a fresh add.
    EXPECT_EQ(0, loop.AddEvent(fd, static_cast<EVENT_TYPE>(4), f));
    ASSERT_EQ(0, loop.AddEvent(fd, EVENT_READ, f));
}

// A registration the poller refuses keeps its callbacks (and the next one is
// taken as made); a callback that cannot be copied leaves the table as it was.
TEST_F(EventLoopTest, FailedRegistrations)
{
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 4));
    int closedFd;
    {
        auto pr = nettest::UnixPair();
        closedFd = pr.first.Get();
    }
    auto f = [](int, EVENT_TYPE) {};
    EXPECT_EQ(-1, loop.AddEvent(closedFd, EVENT_READ, f));
    EXPECT_TRUE(logs.Contains("add event failed.type=1", 4));
    EXPECT_EQ(0, loop.AddEvent(closedFd, EVENT_READ, f));
    EXPECT_EQ(-1, loop.DeleteEvent(closedFd, EVENT_READ));
    EXPECT_EQ(0, loop.DeleteEvent(closedFd, EVENT_READ));  // erased

    auto pr = nettest::UnixPair();
    CopyFails cb;
    EventLoop::Callback owning(cb);
    *cb.armed = true;
    int r = -2;
    // Moved in, so that the first copy is the one the table makes.
    EXPECT_NO_THROW(r = loop.AddEvent(pr.first.Get(), EVENT_READ_WRITE, std::move(owning)));
    EXPECT_EQ(-1, r);
    EXPECT_TRUE(logs.Contains("AddEvent failed. exception=", 4)) << logs.Dump();
    ASSERT_EQ(0, loop.AddEvent(pr.first.Get(), EVENT_READ, f));  // a real add: nothing was kept
    EXPECT_EQ(0, loop.DeleteEvent(pr.first.Get(), EVENT_READ));
}

TEST_F(EventLoopTest, WriteWinsWhileWritableThenPendingInputCallsRead)
{
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 16));
    auto pr = nettest::UnixPair(true);
    const int fd = pr.first.Get();
    Recorder rec;
    ASSERT_EQ(0, loop.AddEvent(fd, EVENT_READ, [&](int f, EVENT_TYPE t) {
        rec.Add("read " + std::to_string(t));
        char c;
        (void)recv(f, &c, 1, MSG_DONTWAIT);
    }));
    std::atomic<int> writes{0};
    ASSERT_EQ(0, loop.AddEvent(fd, EVENT_WRITE, [&](int f, EVENT_TYPE t) {
        rec.Add("write " + std::to_string(t));
        // After a few writable reports, the write interest goes from inside the callback.
        if (++writes == 3) {
            EXPECT_EQ(0, loop.DeleteEvent(f, EVENT_WRITE));
        }
    }));
    LoopThread runner(loop);
    ASSERT_TRUE(WaitFor([&] { return rec.Count("read 1") == 1; }));
    EXPECT_EQ(0, runner.Stop());
    EXPECT_EQ((std::vector<std::string>{"write 2", "write 2", "write 2", "read 1"}), rec.Get());
}

TEST_F(EventLoopTest, OneCallbackServesBothDirectionsAndHangUpWithOnlyWrite)
{
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 16));
    auto both = nettest::UnixPair(true);
    nettest::FillSendBuffer(both.first.Get());
    Recorder rec;
    ASSERT_EQ(0, loop.AddEvent(both.first.Get(), EVENT_READ_WRITE, [&](int f, EVENT_TYPE t) {
        rec.Add("both " + std::to_string(t));
        if (t == EVENT_READ) {
            loop.DeleteEvent(f, EVENT_READ_WRITE);
        }
    }));

    auto hup = nettest::UnixPair();
    const int hupFd = hup.first.Get();
    ASSERT_EQ(0, loop.AddEvent(hupFd, EVENT_WRITE, [&](int f, EVENT_TYPE t) {
        rec.Add("hup " + std::to_string(t));
        loop.DeleteEvent(f, EVENT_WRITE);
    }));
    nettest::FillSendBuffer(hupFd);  // not writable until the peer goes
    LoopThread runner(loop);
    ASSERT_TRUE(WaitFor([&] { return rec.Count("both 1") == 1; }));
    hup.second.Reset();
    ASSERT_TRUE(WaitFor([&] { return rec.Count("hup 2") == 1; }));
    runner.Stop();
    EXPECT_TRUE(logs.Contains("The fd read event do not have handle.fd =" + std::to_string(hupFd) + ", events = 3", 0));
    EXPECT_EQ(0u, rec.Count("both 2"));
}

TEST_F(EventLoopTest, ReadinessOfDescriptorDeletedEarlierInSameWaitIsDropped)
{
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 16));
    auto a = nettest::UnixPair(true);
    auto b = nettest::UnixPair(true);
    std::atomic<int> called{0};
    const int fa = a.first.Get();
    const int fb = b.first.Get();
    // Whichever runs first withdraws both.
    auto cb = [&](int, EVENT_TYPE) {
        ++called;
        loop.DeleteEvent(fa, EVENT_READ);
        loop.DeleteEvent(fb, EVENT_READ);
    };
    ASSERT_EQ(0, loop.AddEvent(fa, EVENT_READ, cb));
    ASSERT_EQ(0, loop.AddEvent(fb, EVENT_READ, cb));
    LoopThread runner(loop);
    ASSERT_TRUE(WaitFor([&] { return logs.Contains("The fd do not have handle.fd =", 0); }));
    runner.Stop();
    EXPECT_EQ(1, called.load());
}

TEST_F(EventLoopTest, TransportLoopRunsCallbacks)
{
    ASSERT_EQ(0, loop.Initialize(POLLER_ZEPH, 8));
    nettest::ZephSocket rx, tx;
    std::atomic<int> got{0};
    ASSERT_EQ(0, loop.AddEvent(rx.Fd(), EVENT_READ, [&](int fd, EVENT_TYPE t) {
        char buf[16];
        if (t == EVENT_READ && ft_recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT, nullptr, nullptr) == 3) {
            ++got;
        }
    }));
    LoopThread runner(loop);
    for (int i = 0; i < 3; ++i) {
        tx.SendTo(rx);
    }
    EXPECT_TRUE(WaitFor([&] { return got == 3; }));
    EXPECT_EQ(0, runner.Stop());
    loop.DeleteEvent(rx.Fd(), EVENT_READ);
}

// ---- Singleton loops ----

namespace {

class TestSingleton : public EventLoopSingleton {
public:
    std::atomic<int> failuresLeft{0};

protected:
    std::shared_ptr<EventLoop> NewEventLoop() override
    {
        if (failuresLeft > 0) {
            --failuresLeft;
            throw std::runtime_error("no memory for a loop");
        }
        return EventLoopSingleton::NewEventLoop();
    }
};

// Ends a singleton loop's detached thread and waits until it let go of the
// loop. ExitLoop is repeated, since one that lands before the thread entered
// Loop would be undone by Loop itself; pending input on a watched pair ends
// each wait at once (an epoll loop; a transport loop waits out its second).
void StopLoopThread(std::shared_ptr<EventLoop>& loop)
{
    std::weak_ptr<EventLoop> weak = loop;
    const long holders = weak.use_count();  // caller, singleton, loop thread
    auto wake = nettest::UnixPair(true);
    const bool watched = loop->AddEvent(wake.first.Get(), EVENT_READ, [](int, EVENT_TYPE) {}) == 0;
    EXPECT_TRUE(WaitFor(
        [&] {
            loop->ExitLoop();
            return weak.use_count() == holders - 1;
        },
        5000));
    if (watched) {
        loop->DeleteEvent(wake.first.Get(), EVENT_READ);
    }
}

}  // namespace

TEST(EventLoopSingletonTest, ConcurrentFirstRequestsShareOneLoopAndThread)
{
    testing_fakes::LogCapture logs;
    auto single = std::make_unique<TestSingleton>();
    std::shared_ptr<EventLoop> a;
    std::shared_ptr<EventLoop> b;
    std::thread t1([&] { a = single->GetTcpEventLoop(); });
    std::thread t2([&] { b = single->GetTcpEventLoop(); });
    t1.join();
    t2.join();
    ASSERT_TRUE(a);
    EXPECT_EQ(a, b);
    EXPECT_EQ(1u, logs.Count("Enter GetTcpEventLoop", 1));
    EXPECT_EQ(1u, logs.Count("Enter, maxFsd=256, type=0", 2));
    ExpectCallback(*a);
    b.reset();
    StopLoopThread(a);
}

// A failed creation returns nothing and the next call retries; a negative
// size means the default, while a zero-sized loop is returned but unusable.
TEST(EventLoopSingletonTest, FailedCreationRetriesAndZeroSizedLoopIsUnusable)
{
    testing_fakes::LogCapture logs;
    testing_fakes::ConfigOverride cfg;
    cfg.Set("Replication", "MaxEventNumber", -1);
    TestSingleton single;
    for (const char* kind : {"tcp", "vpp"}) {
        SCOPED_TRACE(kind);
        const bool tcp = kind[0] == 't';
        auto get = [&] { return tcp ? single.GetTcpEventLoop() : single.GetVppEventLoop(); };
        single.failuresLeft = 1;
        EXPECT_EQ(nullptr, get());
        EXPECT_TRUE(logs.Contains(std::string("New ") + kind + " event loop failed.Exception is no memory for a loop", 4));
        auto loop = get();
        ASSERT_TRUE(loop);
        EXPECT_EQ(loop, get());
        EXPECT_EQ(2u, logs.Count(tcp ? "Enter GetTcpEventLoop" : "Enter GetVppEventLoop", 1));
        EXPECT_TRUE(logs.Contains(std::string("Enter, maxFsd=256, type=") + (tcp ? "0" : "1"), 2));
        StopLoopThread(loop);
    }
    EXPECT_TRUE(logs.Contains("MaxEventNumber is illegal, use default value instead : -1", 1));

    cfg.Set("Replication", "MaxEventNumber", 0);
    TestSingleton zero;
    auto loop = zero.GetVppEventLoop();
    ASSERT_TRUE(loop);
    EXPECT_EQ(loop, zero.GetVppEventLoop());
    EXPECT_EQ(-1, loop->AddEvent(5, EVENT_READ, [](int, EVENT_TYPE) {}));
    std::weak_ptr<EventLoop> weak = loop;
    loop.reset();
    // Its thread found no poller and ended; only the singleton holds the loop.
    EXPECT_TRUE(WaitFor([&] { return weak.use_count() == 1; }));
}

// ---- Stopping, failed waits and allocation failures ----

namespace {

// Descriptors of this process that are epoll instances.
std::set<int> EpollFds()
{
    std::set<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return fds;
    }
    while (dirent* e = readdir(dir)) {
        char target[64] = {0};
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == "anon_inode:[eventpoll]") {
            fds.insert(std::atoi(e->d_name));
        }
    }
    closedir(dir);
    return fds;
}

}  // namespace

TEST_F(EventLoopTest, FailedWaitEndsTheLoopWithItsText)
{
    const std::set<int> before = EpollFds();
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 4));
    std::set<int> after = EpollFds();
    for (int fd : before) {
        after.erase(fd);
    }
    ASSERT_EQ(1u, after.size());
    LoopThread runner(loop);
    ASSERT_TRUE(WaitFor([&] { return logs.Contains("Loop times=0", 0); }));
    // The loop's descriptor now names something that is no epoll instance:
    // the next wait fails with EINVAL.
    Fd devNull(open("/dev/null", O_RDONLY));
    ASSERT_EQ(*after.begin(), dup2(devNull.Get(), *after.begin()));
    ASSERT_TRUE(runner.Ended(5000));
    EXPECT_EQ(-1, runner.Stop());
    EXPECT_TRUE(logs.Contains("Epoll wait failed.m_maxFds=4, error=" + oru_errstr(EINVAL), 4)) << logs.Dump();
    auto failed = logs.Find("Dispatch invoke failed.", 4);
    ASSERT_EQ(1u, failed.size());
    EXPECT_EQ("EventLoop", failed[0].module);
    // The running flag stays set until ExitLoop.
    EXPECT_EQ(0, loop.Loop());
    EXPECT_TRUE(logs.Contains("Event loop is running.", 3));
    loop.ExitLoop();
    EXPECT_EQ(-1, loop.Loop());
}

// Every allocation Initialize makes fails in turn: a failure is -1 with a
// level-4 line, and the loop can be initialized afterwards.
TEST_F(EventLoopTest, AllocationFailuresInInitializeAreFailureValues)
{
    for (PollerType type : {POLLER_EPOLL, POLLER_ZEPH}) {
        SCOPED_TRACE(type);
        std::unique_ptr<EventLoop> fresh;
        int r = -2;
        failalloc::ForEachFailure(
            [&] {
                logs.Clear();
                fresh = std::make_unique<EventLoop>();
            },
            [&] { r = fresh->Initialize(type, 8); },
            [&](bool fired) {
                EXPECT_TRUE(r == 0 || (fired && r == -1 && !logs.Find("", 4).empty())) << r;
                EXPECT_EQ(0, fresh->Initialize(type, 8));
                EXPECT_EQ(0, fresh->DeleteEvent(12345, EVENT_READ));  // a poller is there
            });
    }
}

// The loop's own allocations (its traces, the ready list, the copy of a
// descriptor's callbacks) fail in turn on the loop's thread: Loop ends with
// -1 and a level-4 line, never with an exception.
TEST_F(EventLoopTest, AllocationFailuresInLoopEndItWithMinusOne)
{
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 4));
    auto pr = nettest::UnixPair(true);  // stays readable: never read
    CopyFails heapCallback;  // large enough to live on the heap inside std::function
    ASSERT_EQ(0, loop.AddEvent(pr.first.Get(), EVENT_READ, [this, heapCallback](int, EVENT_TYPE) { loop.ExitLoop(); }));
    int r = -2;
    failalloc::ForEachFailure([&] { logs.Clear(); }, [&] { r = loop.Loop(); },
                              [&](bool fired) {
                                  EXPECT_TRUE(r == 0 || (fired && r == -1)) << r;
                                  if (r == -1) {
                                      EXPECT_TRUE(logs.Contains(" failed. exception=", 4)) << logs.Dump();
                                      loop.ExitLoop();  // a failed loop keeps its running flag
                                  }
                              });
}

// The singleton's creation steps with each allocation failing in turn: an
// empty result is logged and retried by the next call.
TEST(EventLoopSingletonTest, AllocationFailuresWhileCreatingALoop)
{
    testing_fakes::LogCapture logs;
    std::unique_ptr<TestSingleton> single;
    std::shared_ptr<EventLoop> loop;
    failalloc::ForEachFailure(
        [&] {
            logs.Clear();
            single = std::make_unique<TestSingleton>();
        },
        [&] { loop = single->GetTcpEventLoop(); },
        [&](bool fired) {
            if (!loop) {
                EXPECT_TRUE(fired && !logs.Find("", 4).empty());
                loop = single->GetTcpEventLoop();
                ASSERT_TRUE(loop);
            }
            if (loop->DeleteEvent(-1, EVENT_READ) == 0) {
                StopLoopThread(loop);
            }  // else its Initialize failed: the thread found no poller and ended
            loop.reset();
            single.reset();
        });
}
