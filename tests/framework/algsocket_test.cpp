#include "algsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

namespace alg {
namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;
constexpr unsigned int kLong = 60000;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A connected loopback pair: `client` in `pool`, `server` adopted from the accept socket.
struct Pair {
    explicit Pair(ALGPool* pool = nullptr)
        : listener(0, nullptr, true),
          client(std::make_unique<AlgSocket>(listener.Port(), "127.0.0.1", pool)) {
        const int fd = listener.Accept(5000);
        EXPECT_GE(fd, 0);
        server = std::make_unique<AlgSocket>(fd, nullptr);
    }
    void Send(const std::string& text) {
        ASSERT_EQ(server->Write(text.data(), text.size(), 1000), static_cast<int>(text.size()));
    }
    AcceptSocket listener;
    std::unique_ptr<AlgSocket> client;
    std::unique_ptr<AlgSocket> server;
};

// Raises the pool's quit flag after `delayMs`, on another thread.
std::future<Clock::time_point> QuitLater(ALGPool& pool, int delayMs) {
    return std::async(std::launch::async, [&pool, delayMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        pool.SendQuitSignal();
        return Clock::now();
    });
}

bool CloseOnExec(int fd) {
    return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

TEST(AlgSocketTest, ConnectsOverLoopbackAndKnowsBothEnds) {
    Pair p;
    EXPECT_EQ(p.client->PeerAddress(), "127.0.0.1");
    EXPECT_EQ(p.client->PeerPort(), p.listener.Port());
    EXPECT_EQ(p.server->PeerPort(), p.client->SelfPort());
    EXPECT_EQ(p.server->SelfPort(), p.listener.Port());
    EXPECT_NE(p.listener.Port(), 0);
    EXPECT_TRUE(CloseOnExec(p.client->Descriptor()));
    EXPECT_TRUE(CloseOnExec(p.server->Descriptor()));
    EXPECT_TRUE(CloseOnExec(p.listener.Descriptor()));
    int reuse = 0;
    socklen_t len = sizeof reuse;
    ::getsockopt(p.listener.Descriptor(), SOL_SOCKET, SO_REUSEADDR, &reuse, &len);
    EXPECT_NE(reuse, 0);
    EXPECT_EQ(p.client->Write("", 0, 100), 0);

    // Both ends of both sockets, the local ones read when first asked for. Connections are
    // blocking once made, and keep lingering off.
    EXPECT_EQ(p.client->SelfAddress(), "127.0.0.1");
    EXPECT_EQ(p.server->SelfAddress(), "127.0.0.1");
    EXPECT_EQ(p.server->PeerAddress(), "127.0.0.1");
    EXPECT_EQ(::fcntl(p.client->Descriptor(), F_GETFL) & O_NONBLOCK, 0);
    // "This network" (which the system turns into the local host) and broadcast are refused
    // by both connecting constructors before any packet leaves, naming the address and port.
    for (const char* address : {"0.0.0.0", "255.255.255.255"}) {
        for (const bool bound : {false, true}) {
            try {
                bound ? AlgSocket(0, "127.0.0.1", p.listener.Port(), address, nullptr)
                      : AlgSocket(p.listener.Port(), address, nullptr);
                ADD_FAILURE() << address << " was connected";
            } catch (const SocketError& e) {
                const std::string named =
                    "[" + std::string(address) + ":" + std::to_string(p.listener.Port()) + "]";
                EXPECT_NE(e.Detail().find(named), std::string::npos) << e.Detail();
            }
        }
    }
    EXPECT_EQ(p.listener.Accept(0), -1);
    for (const AlgSocket* s : {p.client.get(), p.server.get()}) {
        linger l{1, 0};
        socklen_t size = sizeof l;
        ::getsockopt(s->Descriptor(), SOL_SOCKET, SO_LINGER, &l, &size);
        EXPECT_EQ(l.l_onoff, 0);
    }
}

// A listening socket's keepalive and urgent data in line reach the connections it accepts, so
// that their sessions need not set them; a connecting socket gets them from its own calls.
TEST(AlgSocketTest, OptionsOfAListeningSocketReachTheConnectionsItAccepts) {
    AcceptSocket listener(0, nullptr, true);
    EXPECT_FALSE(listener.KeepsAlive());
    EXPECT_FALSE(listener.ReadsUrgentInline());
    ASSERT_TRUE(listener.KeepAlive());
    ASSERT_TRUE(listener.UrgentInline());
    AlgSocket connecting(listener.Port(), "127.0.0.1", nullptr);
    const int fd = listener.Accept(5000);
    ASSERT_GE(fd, 0);
    AlgSocket accepted(fd, nullptr, &listener);
    EXPECT_TRUE(accepted.KeepsAlive());
    EXPECT_FALSE(connecting.KeepsAlive());
    connecting.KeepAlive();
    connecting.UrgentInline();
    EXPECT_TRUE(connecting.KeepsAlive());
    for (const AlgSocket* s : {&accepted, &connecting}) {
        for (const auto& [level, name, value] : {std::tuple{SOL_SOCKET, SO_KEEPALIVE, 1},
                                                 {SOL_SOCKET, SO_OOBINLINE, 1},
                                                 {IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleS},
                                                 {IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalS},
                                                 {IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes}}) {
            int got = 0;
            socklen_t len = sizeof got;
            ASSERT_EQ(::getsockopt(s->Descriptor(), level, name, &got, &len), 0);
            EXPECT_EQ(got, value) << "option " << name << " of fd " << s->Descriptor();
        }
    }
}

TEST(AlgSocketTest, WaitsAreSlicedAndEndOnTimeout) {
    Pair p;
    auto start = Clock::now();
    EXPECT_FALSE(p.client->DataIsAvailable(0));
    EXPECT_LT(MsSince(start), 90);

    start = Clock::now();
    char buf[4];
    try {
        p.client->ReadN(buf, 4, 150);
        ADD_FAILURE() << "ReadN on an idle socket returned";
    } catch (const SocketError& e) {
        EXPECT_STREQ(e.what(), "timeout");
        EXPECT_EQ(&e.Msg(), &Timeout);
    }
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), 1000);

    p.Send("x");
    EXPECT_TRUE(p.client->DataIsAvailable(1000));

    AcceptSocket idle(0, nullptr, false);
    start = Clock::now();
    EXPECT_EQ(idle.Accept(250), -1);  // three 100 ms passes
    EXPECT_GE(MsSince(start), 250);
    EXPECT_LT(MsSince(start), 1000);

    // A time-out of 0 polls once: nothing there gives -1, a waiting connection is taken.
    EXPECT_EQ(idle.Accept(0), -1);
    AlgSocket waiting(idle.Port(), "127.0.0.1", nullptr);
    start = Clock::now();
    const int taken = idle.Accept(0);
    EXPECT_GE(taken, 0);
    EXPECT_LT(MsSince(start), 90);
    if (taken >= 0) ::close(taken);
}

TEST(AlgSocketTest, QuitSignalEndsEveryBlockedWait) {
    ALGPool pool;
    Pair p(&pool);
    EXPECT_EQ(pool.Size(), 1u);
    auto signalled = QuitLater(pool, 200);
    char buf[8];
    EXPECT_THROW(p.client->ReadN(buf, sizeof buf, kLong), TerminationEvent);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled.get())
                  .count(),
              1000);

    // A socket joining a pool that was already told to quit is finished from the start.
    EXPECT_THROW(AlgSocket(p.listener.Port(), "127.0.0.1", &pool), TerminationEvent);
    AlgSocket adopted(::dup(p.server->Descriptor()), &pool);
    EXPECT_THROW(adopted.DataIsAvailable(kLong), TerminationEvent);
    // Reads that find data without waiting see the raised flag all the same.
    ASSERT_EQ(::send(p.client->Descriptor(), "abc\n", 4, 0), 4);
    std::string text;
    unsigned int size = sizeof buf;
    const std::function<void()> reads[] = {
        [&] { adopted.ReadN(buf, 1, kLong); },
        [&] { adopted.Read(buf, size, kLong); },
        [&] { adopted.ReadAll(text, kLong); },
        [&] { adopted.ReadToTermChar(text, '\n', kLong); },
    };
    for (const auto& read : reads) EXPECT_THROW(read(), TerminationEvent);

    AcceptSocket listener(0, nullptr, true);
    auto raised = std::async(std::launch::async, [&listener] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        listener.QuitSignal();
        return Clock::now();
    });
    EXPECT_EQ(listener.Accept(AcceptSocket::kInfinite), -1);
    EXPECT_LT(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - raised.get()).count(),
        1000);
}

// A thread's tunnels one after another share one wake-up descriptor; a signalled one is closed,
// so that no count left in it can wake a later wait at once.
TEST(AlgSocketTest, QuitWakerKeepsOnlyAnUnsignalledDescriptor) {
    std::thread([] {  // a thread of its own, whose spare descriptor ends with it
        ALGPool pool;
        int kept = -1;
        { kept = QuitWaker(&pool).Descriptor(); }
        ASSERT_GE(kept, 0);
        EXPECT_NE(::fcntl(kept, F_GETFD), -1) << "not kept";
        {
            QuitWaker again(&pool);
            EXPECT_EQ(again.Descriptor(), kept);
            pool.SendQuitSignal();
            pollfd p{again.Descriptor(), POLLIN, 0};
            EXPECT_EQ(::poll(&p, 1, 0), 1);
        }
        EXPECT_EQ(::fcntl(kept, F_GETFD), -1) << "signalled and kept";
        ALGPool fresh;
        int spare = -1;
        {
            const QuitWaker next(&fresh);
            pollfd p{next.Descriptor(), POLLIN, 0};
            EXPECT_EQ(::poll(&p, 1, 0), 0);
            spare = next.Descriptor();
        }
        EXPECT_NE(::fcntl(spare, F_GETFD), -1) << "not kept";
        QuitWaker::DropSpare();
        EXPECT_EQ(::fcntl(spare, F_GETFD), -1) << "kept after DropSpare";
    })
        .join();
}

// Threads that wait on one listening socket each take connections of their own; a bounded wait
// ends when its time is up, and the socket's quit signal ends every wait at once.
TEST(AlgSocketTest, AcceptWaitersShareOneListeningSocket) {
    AcceptSocket listener(0, nullptr, true);
    constexpr int kWaiters = 3;
    std::vector<std::future<int>> taken;
    for (int i = 0; i < kWaiters; ++i)
        taken.push_back(std::async(std::launch::async, [&listener] {
            AcceptWaiter waiter(listener);
            return waiter.Accept(-1);
        }));
    std::vector<std::unique_ptr<AlgSocket>> clients;
    for (int i = 0; i < kWaiters; ++i)
        clients.push_back(std::make_unique<AlgSocket>(listener.Port(), "127.0.0.1", nullptr));
    std::vector<unsigned short> peers;
    for (auto& t : taken) {
        ASSERT_EQ(t.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        AlgSocket accepted(t.get(), nullptr);
        EXPECT_TRUE(CloseOnExec(accepted.Descriptor()));
        EXPECT_EQ(::fcntl(accepted.Descriptor(), F_GETFL) & O_NONBLOCK, 0);
        peers.push_back(accepted.PeerPort());
    }
    std::vector<unsigned short> expected;
    for (const auto& c : clients) expected.push_back(c->SelfPort());
    std::sort(peers.begin(), peers.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(peers, expected);  // every connection taken, and taken once

    AcceptWaiter waiter(listener);
    auto start = Clock::now();
    EXPECT_EQ(waiter.Accept(150), -1);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), 1000);

    auto endless = std::async(std::launch::async, [&listener] {
        AcceptWaiter other(listener);
        return other.Accept(-1);
    });
    auto raised = std::async(std::launch::async, [&listener] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        listener.QuitSignal();
        return Clock::now();
    });
    EXPECT_EQ(waiter.Accept(-1), -1);
    ASSERT_EQ(endless.wait_for(std::chrono::seconds(1)), std::future_status::ready);
    EXPECT_EQ(endless.get(), -1);
    EXPECT_LT(MsSince(raised.get()), 1000);
}

TEST(AlgSocketTest, PoolMembershipFollowsLifetimes) {
    auto pool = std::make_unique<ALGPool>();
    {
        ALGPoolMember a(pool.get());
        ALGPoolMember b(pool.get());
        EXPECT_EQ(pool->Size(), 2u);
        pool->Add(&a);  // a listed twice: Remove drops both entries
        pool->Remove(&a);
        EXPECT_EQ(pool->Size(), 1u);
        pool->Add(&a);
    }
    EXPECT_EQ(pool->Size(), 0u);
    ALGPoolMember outlives(pool.get());
    pool->SendQuitSignal();
    EXPECT_TRUE(outlives.QuitRaised());
    pool.reset();  // the member must not touch the destroyed pool when it goes
    EXPECT_EQ(outlives.Pool(), nullptr);
}

// A stop that races with members being built and destroyed reaches none half-made (the
// ThreadSanitizer build sees any such touch), and a listening socket built in a stopped pool
// ends an endless Accept at once instead of sleeping until a connection comes.
TEST(AlgSocketTest, PoolStopMeetsMembersBeingBuiltAndDestroyed) {
    ALGPool pool;
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        for (int i = 0; i < 1000000 && !done.load(); ++i) pool.SendQuitSignal();
    });
    for (int i = 0; i < 200; ++i) {
        AcceptSocket acceptor(0, &pool, false);
        QuitWaker waker(&pool);
        AlgSocket adopted(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), &pool);
    }
    done = true;
    signaller.join();
    pool.SendQuitSignal();  // the pool is stopped even when the signaller never got to run
    EXPECT_EQ(pool.Size(), 0u);

    AcceptSocket late(0, &pool, false);
    ASSERT_TRUE(late.QuitRaised());
    auto accepted = std::async(std::launch::async,
                               [&] { return late.Accept(AcceptSocket::kInfinite); });
    const bool woke = accepted.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // A connection ends a wait that slept through the stop, so that the test fails, not hangs.
    if (!woke) AlgSocket wake(late.Port(), "127.0.0.1", nullptr);
    EXPECT_TRUE(woke) << "an endless Accept slept through the stop";
    const int fd = accepted.get();
    if (fd >= 0) ::close(fd);
    EXPECT_EQ(fd, -1);
}

TEST(AlgSocketTest, BusyPortAndFailedConnectCarryTheSystemError) {
    AcceptSocket first(0, nullptr, true);
    try {
        AcceptSocket second(first.Port(), nullptr, true);
        ADD_FAILURE() << "second listener on one port";
    } catch (const SocketError& e) {
        EXPECT_STREQ(e.what(), "Specified port busy");
        EXPECT_EQ(&e.Msg(), &PortIsBusy);
        const std::string tail = std::string(" : ") + std::strerror(EADDRINUSE);
        ASSERT_GE(e.Detail().size(), tail.size());
        EXPECT_EQ(e.Detail().substr(e.Detail().size() - tail.size()), tail);
    }

    int closedPort;
    {
        AcceptSocket gone(0, nullptr, true);
        closedPort = gone.Port();
    }
    try {
        AlgSocket s(closedPort, "127.0.0.1", nullptr);
        ADD_FAILURE() << "connected to a closed port";
    } catch (const SocketError& e) {
        EXPECT_STREQ(e.what(), "connect failed");
        EXPECT_NE(e.Detail().find(std::strerror(ECONNREFUSED)), std::string::npos) << e.Detail();
    }
    EXPECT_THROW(AlgSocket(80, "not-an-address", nullptr), SocketError);
    EXPECT_THROW(AlgSocket(-1, nullptr), SocketError);

    errno = EPIPE;
    EXPECT_EQ(SocketError(SendFailed, "x").Detail(),
              std::string(" [x]  : ") + std::strerror(EPIPE));
    errno = 0;
    EXPECT_EQ(SocketError(SendFailed).Detail(), "");
}

TEST(AlgSocketTest, ReadToTermCharConsumesExactlyOneLine) {
    Pair p;
    p.Send("USER a\r\nPASS b\r\nx\0y\nabcdefgh\nTAIL"s);
    std::string line;
    p.client->ReadToTermChar(line, '\n', 1000);
    EXPECT_EQ(line, "USER a\r\n");
    line.clear();
    p.client->ReadToTermChar(line, '\n', 1000);
    EXPECT_EQ(line, "PASS b\r\n");
    line.clear();
    p.client->ReadToTermChar(line, '\n', 1000);
    EXPECT_EQ(line, "x\0y\n"s);  // a zero byte is data, not the end
    line.clear();
    p.client->ReadToTermChar(line, '\n', 1000, 4);
    EXPECT_EQ(line, "abcd");  // bounded: stops without the terminator
    p.client->ReadToTermChar(line, '\n', 1000, 100);
    EXPECT_EQ(line, "abcdefgh\n");
    char tail[4];
    p.client->ReadN(tail, 4, 1000);
    EXPECT_EQ(std::string(tail, 4), "TAIL");

    // A line arriving in pieces is joined; the peer closing mid-line keeps what came.
    p.Send("par");
    std::thread later([&p] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        p.Send("tial");
        p.server.reset();
    });
    line.clear();
    EXPECT_THROW(p.client->ReadToTermChar(line, '\n', 5000), SocketEOFEvent);
    later.join();
    EXPECT_EQ(line, "partial");
    EXPECT_TRUE(p.client->EndOfStream());
    EXPECT_THROW(p.client->ReadToTermChar(line, '\n', 100), LogicError);
}

TEST(AlgSocketTest, EndOfStreamRules) {
    {
        Pair p;
        p.Send("abc");
        p.server.reset();
        char buf[8];
        unsigned int size = sizeof buf;
        EXPECT_TRUE(p.client->Read(buf, size, 1000));
        EXPECT_EQ(std::string(buf, size), "abc");
        size = sizeof buf;
        EXPECT_FALSE(p.client->Read(buf, size, 1000));
        EXPECT_EQ(size, 0u);
        try {
            p.client->Read(buf, size, 1000);
            ADD_FAILURE() << "read after end of stream";
        } catch (const LogicError& e) {
            EXPECT_STREQ(e.what(), "Read end of file");
        }
    }
    {
        Pair p;
        unsigned int size = 8;
        char buf[8];
        EXPECT_TRUE(p.client->Read(buf, size, 0));  // nothing yet: no data, not the end
        EXPECT_EQ(size, 0u);
        p.Send("abc");
        p.server.reset();
        try {
            p.client->ReadN(buf, 5, 1000);
            ADD_FAILURE() << "ReadN past the end";
        } catch (const SocketEOFEvent& e) {
            EXPECT_STREQ(e.what(), "Read end of file");
            EXPECT_NE(e.Detail().find("127.0.0.1"), std::string::npos);
        }
        EXPECT_THROW(p.client->ReadN(buf, 1, 1000), LogicError);
    }
    {
        Pair p;
        const std::string big(200000, 'z');
        std::thread writer([&] {
            p.Send(big);
            p.server.reset();
        });
        std::string all = "pre";
        p.client->ReadAll(all, 5000);
        writer.join();
        EXPECT_EQ(all, "pre" + big);
        EXPECT_TRUE(p.client->EndOfStream());
    }
}

TEST(AlgSocketTest, WriteToStalledPeerTimesOutAndSeesQuit) {
    ALGPool pool;
    Pair p(&pool);
    const std::vector<char> big(64 << 20, 'w');  // far beyond the loopback buffers
    auto start = Clock::now();
    try {
        p.client->Write(big.data(), big.size(), 300);
        ADD_FAILURE() << "the stalled peer took 64 MiB";
    } catch (const SocketError& e) {
        EXPECT_STREQ(e.what(), "write timeout");
    }
    EXPECT_LT(MsSince(start), 10000);

    auto signalled = QuitLater(pool, 200);
    EXPECT_THROW(p.client->Write(big.data(), big.size(), kLong), TerminationEvent);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled.get())
                  .count(),
              1000);
}

TEST(AlgSocketTest, WriteToClosedPeerFailsWithoutSignal) {
    Pair p;
    p.server.reset();
    bool failed = false;
    // The first send may still be taken; the reset that follows makes a later one fail.
    for (int i = 0; i < 50 && !failed; ++i) {
        try {
            p.client->Write("data", 4, 1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } catch (const SocketError& e) {
            EXPECT_STREQ(e.what(), "send() failed");
            failed = true;
        }
    }
    EXPECT_TRUE(failed);
}

TEST(AlgSocketTest, ConnectToSilentTargetEndsOnQuit) {
    // A listener with backlog 0 that never accepts: once its queue holds a connection, further
    // handshakes are dropped and a connect waits for an answer that never comes.
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(silent, 0), 0);
    socklen_t len = sizeof sa;
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&sa), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(f, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        fillers.push_back(f);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    ALGPool pool;
    auto signalled = QuitLater(pool, 300);
    EXPECT_THROW(AlgSocket(ntohs(sa.sin_port), "127.0.0.1", &pool), TerminationEvent);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled.get())
                  .count(),
              1000);
    EXPECT_EQ(pool.Size(), 0u);  // the failed socket left the pool
    for (int f : fillers) ::close(f);
    ::close(silent);
}

TEST(AlgSocketTest, DescriptorsAboveTheSelectLimitWork) {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 1600) {
        if (lim.rlim_max < 1600) GTEST_SKIP() << "descriptor limit too low";
        lim.rlim_cur = 1600;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lim), 0);
    }
    Pair p;
    const int high = ::fcntl(p.server->Descriptor(), F_DUPFD_CLOEXEC, 1500);
    ASSERT_GE(high, 1500);
    AlgSocket far(high, nullptr);
    EXPECT_FALSE(far.DataIsAvailable(0));
    p.client->Write("ping\n", 5, 1000);
    std::string line;
    far.ReadToTermChar(line, '\n', 1000);
    EXPECT_EQ(line, "ping\n");
}

TEST(AlgSocketTest, FindHostIPResolvesDottedTextAndRefusesEmptyNames) {
    std::string ip = "stale";
    EXPECT_TRUE(FindHostIP("127.0.0.9", ip));
    EXPECT_EQ(ip, "127.0.0.9");
    EXPECT_FALSE(FindHostIP("", ip));
    EXPECT_EQ(ip, "");
    ip = "stale";
    EXPECT_FALSE(FindHostIP(nullptr, ip));
    EXPECT_EQ(ip, "");
    // Second spellings of 127.0.0.1 that the system's parser accepts are not names at all.
    for (const char* other : {"127.1", "2130706433", "0x7f.0.0.1", "0177.0.0.1", "127.0.0.01",
                              "127.0.0.1 x", "127.0.0.1\t", "0x7f000001", "127.0.1"}) {
        ip = "stale";
        EXPECT_FALSE(FindHostIP(other, ip)) << other;
        EXPECT_EQ(ip, "") << other;
    }
    EXPECT_TRUE(FindHostIP("localhost", ip));
    EXPECT_EQ(ip, "127.0.0.1");
}

TEST(AlgSocketTest, ParsePortTakesDecimalDigitsOnlyInRange) {
    const struct {
        const char* text;
        int port;  // 0: refused
    } cases[] = {{"80", 80},   {"080", 80}, {"00000000000021", 21}, {"65535", 65535}, {"1", 1},
                 {"0", 0},     {"", 0},     {"65536", 0},            {"0P", 0},         {"P", 0},
                 {"+80", 0},   {"80#", 0},  {" 80", 0},              {"80 ", 0},        {"-1", 0},
                 {"0x50", 0},  {"8O", 0},   {"99999999999999999999", 0}};
    for (const auto& c : cases) {
        int port = -7;
        EXPECT_EQ(ParsePort(c.text, port), c.port != 0) << c.text;
        EXPECT_EQ(port, c.port != 0 ? c.port : -7) << c.text;
    }
}

}  // namespace
}  // namespace alg
