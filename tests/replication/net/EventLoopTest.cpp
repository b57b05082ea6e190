// Event loops over real sockets: the callback table and interest rules, the
// loop thread, callbacks that change registrations, ExitLoop from another
// thread, and the process's two singleton loops.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
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
#include "sim/zeph/ZephSo.h"

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

}  // namespace

TEST(EventLoopTest, CallsBeforeInitializeAndInitializeRules)
{
    testing_fakes::LogCapture logs;
    EventLoop loop;
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
TEST(EventLoopTest, InterestFollowsCallbacks)
{
    testing_fakes::LogCapture logs;
    EventLoop loop;
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
TEST(EventLoopTest, FailedRegistrations)
{
    testing_fakes::LogCapture logs;
    EventLoop loop;
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

TEST(EventLoopTest, WriteWinsWhileWritableThenPendingInputCallsRead)
{
    EventLoop loop;
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 16));
    auto pr = nettest::UnixPair();
    const int fd = pr.first.Get();
    ASSERT_EQ(1, send(pr.second.Get(), "x", 1, 0));
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
    auto calls = rec.Get();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ((std::vector<std::string>{"write 2", "write 2", "write 2", "read 1"}), calls);
}

TEST(EventLoopTest, OneCallbackServesBothDirectionsAndHangUpWithOnlyWrite)
{
    testing_fakes::LogCapture logs;
    EventLoop loop;
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 16));
    auto both = nettest::UnixPair();
    nettest::FillSendBuffer(both.first.Get());
    ASSERT_EQ(1, send(both.second.Get(), "x", 1, 0));
    Recorder rec;
    auto shared = [&](int f, EVENT_TYPE t) {
        rec.Add("both " + std::to_string(t));
        if (t == EVENT_READ) {
            loop.DeleteEvent(f, EVENT_READ_WRITE);
        }
    };
    ASSERT_EQ(0, loop.AddEvent(both.first.Get(), EVENT_READ_WRITE, shared));

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

TEST(EventLoopTest, ReadinessOfDescriptorDeletedEarlierInSameWaitIsDropped)
{
    testing_fakes::LogCapture logs;
    EventLoop loop;
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 16));
    auto a = nettest::UnixPair();
    auto b = nettest::UnixPair();
    ASSERT_EQ(1, send(a.second.Get(), "x", 1, 0));
    ASSERT_EQ(1, send(b.second.Get(), "x", 1, 0));
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

// ExitLoop from another thread, with no traffic to end the current wait,
// ends the loop within about a second; Loop may then run again.
TEST(EventLoopTest, ExitLoopFromAnotherThreadAndRestart)
{
    testing_fakes::LogCapture logs;
    EventLoop loop;
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 4));
    LoopThread runner(loop);
    ASSERT_TRUE(WaitFor([&] { return logs.Contains("Loop times=0", 0); }));
    // A second Loop while the first runs is refused.
    EXPECT_EQ(0, loop.Loop());
    EXPECT_TRUE(logs.Contains("Event loop is running.", 3));
    std::thread([&] { loop.ExitLoop(); }).join();
    EXPECT_TRUE(runner.Ended(3000));
    EXPECT_EQ(0, runner.Stop());

    LoopThread again(loop);
    auto pr = nettest::UnixPair();
    std::atomic<bool> got{false};
    ASSERT_EQ(0, loop.AddEvent(pr.first.Get(), EVENT_READ, [&](int fd, EVENT_TYPE) {
        got = true;
        loop.DeleteEvent(fd, EVENT_READ);
    }));
    ASSERT_EQ(1, send(pr.second.Get(), "x", 1, 0));
    EXPECT_TRUE(WaitFor([&] { return got.load(); }));
    EXPECT_EQ(0, again.Stop());
}

TEST(EventLoopTest, TransportLoopRunsCallbacks)
{
    EventLoop loop;
    ASSERT_EQ(0, loop.Initialize(POLLER_ZEPH, 8));
    nettest::ZephSocket rx, tx;
    std::atomic<int> got{0};
    ASSERT_EQ(0, loop.AddEvent(rx.Fd(), EVENT_READ, [&](int fd, EVENT_TYPE t) {
        char buf[16];
        if (t == EVENT_READ && ft_recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT, nullptr, nullptr) == 3) {
            ++got;
        }
    }));
    std::thread runner([&] { loop.Loop(); });
    for (int i = 0; i < 3; ++i) {
        tx.SendTo(rx);
    }
    EXPECT_TRUE(WaitFor([&] { return got == 3; }));
    loop.ExitLoop();
    tx.SendTo(rx);  // ends the current wait
    runner.join();
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
    auto wake = nettest::UnixPair();
    ASSERT_EQ(1, send(wake.second.Get(), "x", 1, 0));
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
    // The loop runs: a registration gets called back.
    auto pr = nettest::UnixPair();
    std::atomic<bool> got{false};
    ASSERT_EQ(0, a->AddEvent(pr.first.Get(), EVENT_READ, [&](int fd, EVENT_TYPE) {
        got = true;
        a->DeleteEvent(fd, EVENT_READ);
    }));
    ASSERT_EQ(1, send(pr.second.Get(), "x", 1, 0));
    EXPECT_TRUE(WaitFor([&] { return got.load(); }));
    b.reset();
    StopLoopThread(a);
}

TEST(EventLoopSingletonTest, FailedCreationReturnsEmptyAndRetries)
{
    testing_fakes::LogCapture logs;
    testing_fakes::ConfigOverride cfg;
    cfg.Set("Replication", "MaxEventNumber", -1);
    TestSingleton single;
    single.failuresLeft = 1;
    EXPECT_EQ(nullptr, single.GetTcpEventLoop());
    EXPECT_TRUE(logs.Contains("New tcp event loop failed.Exception is no memory for a loop", 4));
    auto loop = single.GetTcpEventLoop();
    ASSERT_TRUE(loop);
    EXPECT_EQ(loop, single.GetTcpEventLoop());
    EXPECT_EQ(2u, logs.Count("Enter GetTcpEventLoop", 1));
    EXPECT_TRUE(logs.Contains("MaxEventNumber is illegal, use default value instead : -1", 1));
    EXPECT_TRUE(logs.Contains("Enter, maxFsd=256, type=0", 2));
    StopLoopThread(loop);

    single.failuresLeft = 1;
    EXPECT_EQ(nullptr, single.GetVppEventLoop());
    EXPECT_TRUE(logs.Contains("New vpp event loop failed.Exception is no memory for a loop", 4));
    auto vpp = single.GetVppEventLoop();
    ASSERT_TRUE(vpp);
    EXPECT_TRUE(logs.Contains("Enter, maxFsd=256, type=1", 2));
    StopLoopThread(vpp);
}

TEST(EventLoopSingletonTest, ZeroSizedLoopIsReturnedButUnusable)
{
    testing_fakes::LogCapture logs;
    testing_fakes::ConfigOverride cfg;
    cfg.Set("Replication", "MaxEventNumber", 0);
    TestSingleton single;
    auto loop = single.GetVppEventLoop();
    ASSERT_TRUE(loop);
    EXPECT_EQ(loop, single.GetVppEventLoop());
    EXPECT_EQ(-1, loop->AddEvent(5, EVENT_READ, [](int, EVENT_TYPE) {}));
    std::weak_ptr<EventLoop> weak = loop;
    loop.reset();
    // Its thread found no poller and ended; only the singleton holds the loop.
    EXPECT_TRUE(WaitFor([&] { return weak.use_count() == 1; }));
    EXPECT_TRUE(logs.Contains("Poller is not initialized.", 4));
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

TEST(EventLoopTest, FailedWaitEndsTheLoopWithItsText)
{
    testing_fakes::LogCapture logs;
    EventLoop loop;
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
TEST(EventLoopTest, AllocationFailuresInInitializeAreFailureValues)
{
    for (PollerType type : {POLLER_EPOLL, POLLER_ZEPH}) {
        SCOPED_TRACE(type);
        std::unique_ptr<EventLoop> loop;
        std::unique_ptr<testing_fakes::LogCapture> logs;
        int r = -2;
        failalloc::ForEachFailure(
            [&] {
                logs.reset();
                logs = std::make_unique<testing_fakes::LogCapture>();
                loop = std::make_unique<EventLoop>();
            },
            [&] { r = loop->Initialize(type, 8); },
            [&](bool fired) {
                EXPECT_TRUE(r == 0 || (fired && r == -1 && !logs->Find("", 4).empty())) << r;
                EXPECT_EQ(0, loop->Initialize(type, 8));
                EXPECT_EQ(0, loop->DeleteEvent(12345, EVENT_READ));  // a poller is there
            });
    }
}


// The loop's own allocations (its traces, the ready list, the copy of a
// descriptor's callbacks) fail in turn on the loop's thread: Loop ends with
// -1 and a level-4 line, never with an exception.
TEST(EventLoopTest, AllocationFailuresInLoopEndItWithMinusOne)
{
    EventLoop loop;
    ASSERT_EQ(0, loop.Initialize(POLLER_EPOLL, 4));
    auto pr = nettest::UnixPair();
    ASSERT_EQ(1, send(pr.second.Get(), "x", 1, 0));  // stays readable: never read
    CopyFails heapCallback;  // large enough to live on the heap inside std::function
    ASSERT_EQ(0, loop.AddEvent(pr.first.Get(), EVENT_READ, [&loop, heapCallback](int, EVENT_TYPE) { loop.ExitLoop(); }));
    std::unique_ptr<testing_fakes::LogCapture> logs;
    int r = -2;
    failalloc::ForEachFailure(
        [&] {
            logs.reset();
            logs = std::make_unique<testing_fakes::LogCapture>();
        },
        [&] { r = loop.Loop(); },
                              [&](bool fired) {
                                  EXPECT_TRUE(r == 0 || (fired && r == -1)) << r;
                                  if (r == -1) {
                                      EXPECT_TRUE(logs->Contains(" failed. exception=", 4)) << logs->Dump();
                                      loop.ExitLoop();  // a failed loop keeps its running flag
                                  }
                              });
}

// The singleton's creation steps with each allocation failing in turn: an
// empty result is logged and retried by the next call.
TEST(EventLoopSingletonTest, AllocationFailuresWhileCreatingALoop)
{
    std::unique_ptr<testing_fakes::LogCapture> logs;
    std::unique_ptr<TestSingleton> single;
    std::shared_ptr<EventLoop> loop;
    failalloc::ForEachFailure(
        [&] {
            logs.reset();
            logs = std::make_unique<testing_fakes::LogCapture>();
            single = std::make_unique<TestSingleton>();
        },
        [&] { loop = single->GetTcpEventLoop(); },
        [&](bool fired) {
            if (!loop) {
                EXPECT_TRUE(fired && !logs->Find("", 4).empty());
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
