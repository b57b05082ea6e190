// Pollers on real descriptors: classification, level triggering, capacity,
// interrupted waits and failure texts, for kernel epoll and the UDP transport.
// Both share one dispatch. Its write-wins rule is pinned through the event
// loop over sockets; the error and the hang-up rule here, each alone, on the
// transport's own descriptors (a closed socket pair raises both at once).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "NetTestUtil.h"
#include "host/testing/Fakes.h"
#include "replication/net/EpollPoller.h"
#include "replication/net/ZephincPoller.h"
#include "sim/zeph/ZephSo.h"

using nettest::Fd;
using nettest::ZephSocket;
using Ready = std::vector<std::pair<int, EVENT_TYPE>>;

namespace {

Ready DispatchNow(PollerInterface& p, int timeoutMs = 0)
{
    Ready ready;
    EXPECT_EQ(0, p.Dispatch(timeoutMs, ready));
    return ready;
}

// True once a wait reports `fd` with `type` (datagrams take a moment).
bool Reported(PollerInterface& p, int fd, EVENT_TYPE type)
{
    return nettest::WaitFor([&] {
        Ready r = DispatchNow(p);
        return std::find(r.begin(), r.end(), std::make_pair(fd, type)) != r.end();
    });
}

}  // namespace

TEST(EpollPollerTest, InterruptedWaitReturnsZeroAndEmptyList)
{
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));

    testing_fakes::LogCapture logs;
    EpollPoller p;
    ASSERT_EQ(0, p.Initialize(4));
    auto pr = nettest::UnixPair();
    ASSERT_EQ(0, p.AddEvent(pr.first.Get(), EVENT_READ));
    std::atomic<bool> done{false};
    int result = -2;
    Ready ready{{1, EVENT_READ}};
    std::thread waiter([&] {
        result = p.Dispatch(10000, ready);
        done = true;
    });
    // Keep signalling until the wait gives up; a signal that lands before
    // the wait starts is simply repeated.
    bool returned = nettest::WaitFor([&] {
        if (!done) {
            pthread_kill(waiter.native_handle(), SIGUSR1);
        }
        return done.load();
    });
    waiter.join();
    sigaction(SIGUSR1, &old, nullptr);
    ASSERT_TRUE(returned);
    EXPECT_EQ(0, result);
    EXPECT_TRUE(ready.empty());
    EXPECT_TRUE(logs.Contains("the epoll_wait interrupted", 2));
}

// ---- The transport's poller, over its own datagram descriptors. ----


// Reported as both directions whatever the interest: an error (a connected
// datagram socket whose peer is gone) and a hang-up (shut in both directions).
TEST(ZephincPollerTest, ErrorAndHangUpAreReportedAsBothDirections)
{
    ZephincPoller p;
    ASSERT_EQ(0, p.Initialize(8));
    ZephSocket c;
    {
        ZephSocket gone;
        c.ConnectTo(gone.Addr());
    }
    ASSERT_EQ(0, p.AddEvent(c.Fd(), EVENT_READ));
    ASSERT_EQ(3, ft_sendto(c.Fd(), "abc", 3, 0, nullptr, 0));
    ASSERT_TRUE(Reported(p, c.Fd(), EVENT_READ_WRITE));
    ZephSocket d;
    d.ConnectTo(c.Addr());
    ASSERT_EQ(0, p.AddEvent(d.Fd(), EVENT_READ));
    ASSERT_EQ(0, ft_shutdown(d.Fd(), SHUT_RDWR));
    ASSERT_TRUE(Reported(p, d.Fd(), EVENT_READ_WRITE));
}

// ---- What both pollers share, run against each. ----

namespace {

// A descriptor of the poller's kind that stays open while the test runs.
struct Socket {
    int fd = -1;
    std::shared_ptr<void> keep;
};

struct PollerKind {
    const char* name;
    std::function<std::unique_ptr<BasicPoller>()> make;
    // A descriptor with one byte of pending input.
    std::function<Socket()> readable;
    std::function<bool(int)> nonBlocking;
    const char* addTypeLabel;  // as the add failure prints the type
};

std::vector<PollerKind> Kinds()
{
    return {
        {"epoll", [] { return std::unique_ptr<BasicPoller>(new EpollPoller()); },
         [] {
             auto pr = std::make_shared<std::pair<Fd, Fd>>(nettest::UnixPair(true));
             return Socket{pr->first.Get(), pr};
         },
         [](int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }, ", eventType="},
        {"transport", [] { return std::unique_ptr<BasicPoller>(new ZephincPoller()); },
         [] {
             auto rx = std::make_shared<ZephSocket>();
             ZephSocket tx;
             tx.SendTo(*rx);
             return Socket{rx->Fd(), rx};
         },
         [](int fd) { return (ft_fcntl(fd, 3, 0) & 0x800) != 0; }, ", eventType"},
    };
}

// Test names and failure messages show the kind, not the record's bytes.
void PrintTo(const PollerKind& kind, std::ostream* os)
{
    *os << kind.name;
}

class PollerKindTest : public ::testing::TestWithParam<PollerKind> {};

}  // namespace

TEST_P(PollerKindTest, InitializeRulesAndUncreatedCalls)
{
    testing_fakes::LogCapture logs;
    for (int bad : {0, -5}) {
        auto p = GetParam().make();
        EXPECT_EQ(-1, p->Initialize(bad));
        EXPECT_TRUE(logs.Contains("Initialize failed.maxFsd=" + std::to_string(bad), 4));
        // Still uncreated: every other call reports it.
        EXPECT_EQ(-1, p->AddEvent(0, EVENT_READ));
        EXPECT_EQ(-1, p->ModifyEvent(0, EVENT_READ));
        EXPECT_EQ(-1, p->DeleteEvent(0));
        Ready r;
        EXPECT_EQ(-1, p->Dispatch(0, r));
        EXPECT_EQ(4u, logs.Count("The epoll is not created.", 4));
        logs.Clear();
    }
    auto p = GetParam().make();
    ASSERT_EQ(0, p->Initialize(256));
    EXPECT_EQ(-1, p->Initialize(256));
    EXPECT_TRUE(logs.Contains("The epoll has been created.", 4));
}

TEST_P(PollerKindTest, LevelTriggeredAndEmptyInterestSilent)
{
    auto p = GetParam().make();
    ASSERT_EQ(0, p->Initialize(4));
    Socket s = GetParam().readable();
    ASSERT_EQ(0, p->AddEvent(s.fd, EVENT_READ));
    ASSERT_TRUE(Reported(*p, s.fd, EVENT_READ));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(1u, DispatchNow(*p).size()) << "wait " << i;  // until read
    }
    // Interest 4 has neither known bit: registered with an empty mask.
    ASSERT_EQ(0, p->ModifyEvent(s.fd, static_cast<EVENT_TYPE>(4)));
    EXPECT_TRUE(DispatchNow(*p).empty());
}

TEST_P(PollerKindTest, MoreReadyThanCapacityComeInLaterWaits)
{
    auto p = GetParam().make();
    ASSERT_EQ(0, p->Initialize(2));
    std::vector<Socket> sockets;
    std::set<int> expected;
    for (int i = 0; i < 5; ++i) {
        sockets.push_back(GetParam().readable());
        ASSERT_EQ(0, p->AddEvent(sockets.back().fd, EVENT_WRITE));  // writable at once
        expected.insert(sockets.back().fd);
    }
    std::set<int> seen;
    for (int wait = 0; wait < 3; ++wait) {
        Ready r = DispatchNow(*p);
        EXPECT_LE(r.size(), 2u);
        EXPECT_GE(r.size(), 1u);
        for (auto& e : r) {
            seen.insert(e.first);
        }
    }
    EXPECT_EQ(expected, seen);
}

TEST_P(PollerKindTest, ControlFailuresReturnCodesAndTexts)
{
    testing_fakes::LogCapture logs;
    auto p = GetParam().make();
    ASSERT_EQ(0, p->Initialize(4));
    Socket s = GetParam().readable();
    const std::string fd = std::to_string(s.fd);
    EXPECT_EQ(-1, p->DeleteEvent(s.fd));
    EXPECT_TRUE(logs.Contains("epoll delete event failed.fd=" + fd + ", error=", 4));
    EXPECT_EQ(-1, p->ModifyEvent(s.fd, EVENT_READ));
    EXPECT_TRUE(logs.Contains("epoll modify event failed.fd=" + fd + ", eventType1, error=", 4));
    EXPECT_EQ(-1, p->AddEvent(-1, EVENT_WRITE));
    EXPECT_TRUE(logs.Contains(std::string("epoll add event failed.fd=-1") + GetParam().addTypeLabel +
                                  "2, error=Bad file descriptor",
                              4))
        << logs.Dump();
    ASSERT_EQ(0, p->AddEvent(s.fd, EVENT_READ));
    EXPECT_EQ(-1, p->AddEvent(s.fd, EVENT_READ));  // already there

    EXPECT_TRUE(p->SetNonBlocking(s.fd));
    EXPECT_TRUE(GetParam().nonBlocking(s.fd));
    EXPECT_TRUE(p->SetNonBlocking(s.fd));
    EXPECT_FALSE(p->SetNonBlocking(-1));
}

INSTANTIATE_TEST_SUITE_P(Pollers, PollerKindTest, ::testing::ValuesIn(Kinds()),
                         [](const ::testing::TestParamInfo<PollerKind>& info) { return std::string(info.param.name); });
