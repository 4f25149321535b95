// The application object's property paths and the listener's session bookkeeping, in process:
// a listener built from a policy file, its accept loop on a thread, sessions that block until
// the listener is terminated.
#include "proto.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

// Blocks in a read until the client closes or the listener tells its sockets to quit.
class BlockingSession : public alg::StateMachine {
  public:
    using StateMachine::StateMachine;
    void Run() override {
        char c;
        ClientSocket().ReadN(&c, 1, 60000);
    }
};

class TestListener : public alg::Proto {
  public:
    using Proto::Proto;

  protected:
    alg::StateMachine* doCreateStateMachine(int descriptor) override {
        return new BlockingSession(*this, descriptor);
    }
};

class TestApp : public alg::ProxyApp {
  public:
    TestApp() : ProxyApp("alg_unit", nullptr) {}
    const char* SettingsFileName() const override { return "unit.xml"; }
    const char* CfgLoaderName() const override { return "proxy_unit"; }
    alg::Proto* CreateProto(const ALGproxyType& section, bool firstStart,
                            alg::LogSystem& logSystem) override {
        return new TestListener(section, firstStart, logSystem);
    }
};

int ConnectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

template <class Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string Property(const alg::ObjectWithProperties& o, const char* path) {
    std::string value = "<none>";
    o.GetProperty(path, value);
    return value;
}

TEST(ProxyAppTest, PropertiesAndSessionCountsOfTheListener) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("proto_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "algd");
    // Port 0: the system chooses, the listener reports it.
    std::ofstream(dir / "algd" / "unit.xml")
        << "<algpolicy><proxy name='alg_http'/><proxy name='alg_unit'><general>"
           "<listen_port>0</listen_port></general><handshake/></proxy>"
           "<proxy name='alg_unit'><general><listen_port>0</listen_port>"
           "<session_timeout>60</session_timeout></general><handshake/></proxy></algpolicy>";
    setenv("ALG_SYSCONFDIR", (dir.string() + "/").c_str(), 1);

    TestApp app;
    std::string value;
    EXPECT_FALSE(app.GetProperty("Proto.ListenerPort", value));
    EXPECT_EQ(Property(app, "Name"), "alg_unit");

    // The first alg_unit section names no port: no listener, whatever follows.
    EXPECT_EQ(app.CreateProxy(true), 33);
    EXPECT_FALSE(app.GetProperty("Proto.ListenerPort", value));

    std::ofstream(dir / "algd" / "unit.xml", std::ios::trunc)
        << "<algpolicy><proxy name='alg_unit'><general><listen_port>0</listen_port>"
           "</general><handshake/></proxy></algpolicy>";
    EXPECT_EQ(app.CreateProxy(true), 33);  // listen_port 0 is "not specified"

    // A real port: find a free one and use it.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    close(probe);
    std::ofstream(dir / "algd" / "unit.xml", std::ios::trunc)
        << "<algpolicy><proxy name='alg_unit'><general><listen_port>" << port
        << "</listen_port><session_timeout>60</session_timeout></general><handshake/></proxy>"
           "</algpolicy>";
    ASSERT_EQ(app.CreateProxy(true), 0);

    const std::string portText = std::to_string(port);
    EXPECT_EQ(Property(app, "Proto.ListenerPort"), portText);
    EXPECT_EQ(Property(app, "P.ListenerPort"), portText);
    EXPECT_EQ(Property(app, "proto.ListenerPort"), "<none>");
    EXPECT_EQ(Property(app, "Proto.ListenerPort.x"), "<none>");
    EXPECT_EQ(Property(app, "Proto.AuthSystem"), "Stub");
    EXPECT_EQ(Property(app, "Proto.TotalRequests"), "0");

    alg::Proto* listener = alg::Proto::_instance;
    ASSERT_NE(listener, nullptr);
    std::thread acceptLoop([listener] { listener->AcceptConnections(); });
    const int a = ConnectTo(port);
    const int b = ConnectTo(port);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_TRUE(
        WaitUntil([&] { return listener->ActiveRequests() == 2; }, std::chrono::seconds(5)));
    EXPECT_EQ(Property(app, "Proto.TotalRequests"), "2");

    // A client that leaves ends its session; the count follows.
    close(a);
    EXPECT_TRUE(
        WaitUntil([&] { return listener->ActiveRequests() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(listener->TotalRequests(), 2);

    // Terminate reaches the blocked session and the accept loop; the wait returns only
    // once the session thread is gone, well within a second.
    const auto t0 = std::chrono::steady_clock::now();
    listener->Terminate();
    acceptLoop.join();
    listener->WaitForSessions();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(listener->ActiveRequests(), 0);
    char c;
    EXPECT_EQ(recv(b, &c, 1, 0), 0);  // the gateway closed its end
    close(b);
    std::filesystem::remove_all(dir);
}

// The port of a loopback socket bound to port 0 and closed again: free for the listener.
int FreePort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    close(probe);
    return ntohs(addr.sin_port);
}

std::size_t ThreadsOfProcess() {
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

TEST(ProxyAppTest, SessionThreadsServeLaterConnectionsAndEndWithTheirListener) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("proto_reuse_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "algd");
    setenv("ALG_SYSCONFDIR", (dir.string() + "/").c_str(), 1);
    TestApp app;
    const auto seconds = [](int n) { return std::chrono::milliseconds(1000 * n); };

    for (int serving = 0; serving < 2; ++serving) {
        // The second round is what a restart does: the terminated listener, whose threads
        // waited for connections, is destroyed and replaced by a new one (here on a port of
        // its own, as the old one listens until it is destroyed), which serves as it did.
        const int port = FreePort();
        std::ofstream(dir / "algd" / "unit.xml", std::ios::trunc)
            << "<algpolicy><proxy name='alg_unit'><general><listen_port>" << port
            << "</listen_port><session_timeout>60</session_timeout></general><handshake/>"
               "</proxy></algpolicy>";
        ASSERT_EQ(app.CreateProxy(serving == 0), 0);
        alg::Proto* listener = alg::Proto::_instance;
        ASSERT_NE(listener, nullptr);
        std::thread acceptLoop([listener] { listener->AcceptConnections(); });

        // One session thread always waits for connections; with the normal idle time the
        // spare started when it took a connection is soon gone again.
        EXPECT_EQ(listener->IdleThreadMs(), alg::Proto::kIdleThreadMs);
        ASSERT_TRUE(WaitUntil([&] { return listener->IdleThreads() == 1; }, seconds(5)));
        const auto before = ThreadsOfProcess();  // with the accept loop and that one thread
        const int first = ConnectTo(port);
        ASSERT_GE(first, 0);
        ASSERT_TRUE(WaitUntil([&] { return listener->ActiveRequests() == 1; }, seconds(5)));
        EXPECT_TRUE(WaitUntil([&] { return listener->IdleThreads() == 1; }, seconds(5)));
        EXPECT_EQ(ThreadsOfProcess(), before + 1);
        close(first);
        EXPECT_TRUE(WaitUntil([&] { return ThreadsOfProcess() == before; }, seconds(5)));
        EXPECT_EQ(listener->IdleThreads(), 1);
        // From here on they wait far longer than any step takes, so that what is seen does
        // not depend on how fast the machine is.
        listener->SetIdleThreadMs(60000);

        // A session thread whose session ended waits for the next connection and runs it:
        // the process gains no thread for it.
        const int a = ConnectTo(port);
        ASSERT_GE(a, 0);
        ASSERT_TRUE(WaitUntil([&] { return listener->ActiveRequests() == 1; }, seconds(5)));
        close(a);
        ASSERT_TRUE(WaitUntil([&] { return listener->IdleThreads() == 2; }, seconds(5)));
        const auto threads = ThreadsOfProcess();
        const int b = ConnectTo(port);
        ASSERT_GE(b, 0);
        ASSERT_TRUE(WaitUntil([&] { return listener->ActiveRequests() == 1; }, seconds(5)));
        EXPECT_EQ(listener->IdleThreads(), 1);
        EXPECT_EQ(ThreadsOfProcess(), threads);
        EXPECT_EQ(listener->TotalRequests(), 3);
        close(b);

        // At most kMaxIdleThreads wait, however many sessions end at once.
        constexpr int kClients = alg::Proto::kMaxIdleThreads + 4;
        int clients[kClients];
        for (int& c : clients) ASSERT_GE(c = ConnectTo(port), 0);
        ASSERT_TRUE(WaitUntil([&] { return listener->ActiveRequests() == kClients; }, seconds(5)));
        for (int c : clients) close(c);
        ASSERT_TRUE(WaitUntil([&] { return listener->ActiveRequests() == 0; }, seconds(5)));
        EXPECT_TRUE(WaitUntil(
            [&] { return listener->IdleThreads() == alg::Proto::kMaxIdleThreads; }, seconds(5)));
        EXPECT_TRUE(WaitUntil(
            [&] { return ThreadsOfProcess() == before - 1 + alg::Proto::kMaxIdleThreads; },
            seconds(5)));

        // Terminate ends the waiting threads at once: the wait for the sessions does not sit
        // out their idle time.
        const auto t0 = std::chrono::steady_clock::now();
        listener->Terminate();
        acceptLoop.join();
        listener->WaitForSessions();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, seconds(1));
        EXPECT_EQ(listener->IdleThreads(), 0);
        EXPECT_TRUE(WaitUntil([&] { return ThreadsOfProcess() == before - 2; }, seconds(5)));
    }
    std::filesystem::remove_all(dir);
}

}  // namespace

// The summary line in both languages: fields escaped (the Russian constant text stays
// Windows-1251), unknown ones "-", a long field cut, items beyond the bound counted and a reply
// code of an item not kept added to none.
TEST(SessionSummaryTest, LinesInBothLanguagesWithinBounds) {
    alg::SessionSummary s;
    s.user = "a\nb";
    s.destination = std::string(300, 'h');
    s.Did("GET /\x1b");
    s.DidMore("200");
    const auto [en, ru] = s.Texts(alg::SessionSummaryLine, 1.5);
    EXPECT_EQ(en,
              "Session summary: user a\\nb, destination " + std::string(256, 'h') +
                  "..., connected to -, GET /\\x1b 200, bytes to server 0, to client 0, 1.500 s");
    const std::string ruTail =
        "GET /\\x1b 200, \xE1\xE0\xE9\xF2 \xF1\xE5\xF0\xE2\xE5\xF0\xF3 0, "
        "\xEA\xEB\xE8\xE5\xED\xF2\xF3 0, 1.500 \xF1";
    EXPECT_EQ(ru.substr(ru.size() - ruTail.size()), ruTail);
    for (int i = 0; i < 300; ++i) s.Did("RETR f");
    s.DidMore("226");
    const std::string bounded = s.Texts(alg::SessionSummaryLine, 0).first;
    EXPECT_LT(bounded.size(), alg::SessionSummary::kMaxDone + 600);
    EXPECT_NE(bounded.find(", RETR f (+"), std::string::npos) << bounded;
    EXPECT_EQ(bounded.find("226"), std::string::npos);
    alg::SessionSummary url;
    url.Did("GET http://h/" + std::string(70000, 'a'));
    url.DidMore("200");
    EXPECT_NE(url.Texts(alg::SessionSummaryLine, 0).first.find("GET http://h/aaa"),
              std::string::npos);
    EXPECT_NE(url.Texts(alg::SessionSummaryLine, 0).first.find("aaa... 200, "), std::string::npos);
}
