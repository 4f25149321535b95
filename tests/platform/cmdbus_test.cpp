#include "cmdbus.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

std::string TempSocket() {
    char dir[] = "/tmp/cmdbus_test.XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return std::string(dir) + "/cmdbus.sock";
}

std::string U32(std::uint32_t v) {
    std::string s;
    cmdbus::PayloadWriter(s).U32(v);
    return s;
}

std::string ReplyHeader(std::uint32_t status, std::uint32_t length) {
    return U32(cmdbus::kReplyMagic) + U32(status) + U32(length);
}

// A scripted peer on a raw socket: accepts connections and runs `script` on each, so tests
// can play a service that misbehaves in ways the real one never does.
class RawService {
  public:
    RawService(const std::string& path, std::function<void(int fd)> script)
        : path_(path), script_(std::move(script)) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(fd_, 4), 0);
        thread_ = std::thread([this] {
            for (;;) {
                const int c = accept(fd_, nullptr, nullptr);
                if (c < 0 || stop_) {
                    if (c >= 0) close(c);
                    return;
                }
                ++accepted;
                script_(c);
                held_.push_back(c);
            }
        });
    }
    ~RawService() {
        stop_ = true;
        // A connection of our own wakes the blocked accept.
        const int wake = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path_.c_str());
        connect(wake, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        thread_.join();
        close(wake);
        for (int c : held_) close(c);
        close(fd_);
    }
    std::atomic<int> accepted{0};

  private:
    std::string path_;
    std::function<void(int)> script_;
    int fd_;
    std::atomic<bool> stop_{false};
    std::vector<int> held_;
    std::thread thread_;
};

// Reads one whole request frame (header and payload) so the peer's send completes: `length` is
// the payload length the header names, `got` what the payload read returned.
void ReadFrame(int fd, std::uint32_t& length, ssize_t& got) {
    char header[16];
    ASSERT_EQ(recv(fd, header, 16, MSG_WAITALL), 16);
    std::memcpy(&length, header + 12, 4);
    std::string payload(length, '\0');
    got = recv(fd, payload.data(), length, MSG_WAITALL);
}

// Reads the session's opening frame and accepts it.
void AnswerHello(int fd) {
    std::uint32_t length = 0;
    ssize_t got = -1;
    ASSERT_NO_FATAL_FAILURE(ReadFrame(fd, length, got));
    ASSERT_EQ(got, ssize_t(length));
    const std::string ok = ReplyHeader(cmdbus::kOk, 0);
    ASSERT_EQ(send(fd, ok.data(), ok.size(), MSG_NOSIGNAL), ssize_t(ok.size()));
}

// Reads one whole request frame and drops it.
void SwallowRequest(int fd) {
    std::uint32_t length = 0;
    ssize_t got = -1;
    ReadFrame(fd, length, got);
}

TEST(PayloadTest, LengthsAreCheckedAgainstTheBytesLeft) {
    std::string p;
    cmdbus::PayloadWriter(p).U32(7).Text("abc").Text("");
    cmdbus::PayloadReader in(p);
    std::uint32_t v = 0;
    std::string a = "x", b = "y";
    ASSERT_TRUE(in.U32(v) && in.Text(a) && in.Text(b));
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(a, "abc");
    EXPECT_EQ(b, "");
    EXPECT_TRUE(in.AtEnd());

    // A text length one past the end, and a huge one, are refused without touching the output.
    for (std::uint32_t claimed : {4u, 0xFFFFFFFFu}) {
        std::string bad = U32(claimed) + "abc";
        cmdbus::PayloadReader r(bad);
        std::string out = "kept";
        EXPECT_FALSE(r.Text(out));
        EXPECT_EQ(out, "kept");
    }
    cmdbus::PayloadReader shortInt(std::string_view("\x01\x02", 2));
    EXPECT_FALSE(shortInt.U32(v));
}

TEST(CmdbusTest, CommandsReachTheHandlerAndRepliesComeBack) {
    const std::string path = TempSocket();
    std::string seenSession;
    cmdbus::Server server(path, [&](const cmdbus::Request& r, std::string& reply) {
        if (r.module == 99) return cmdbus::kUnknownModule;
        seenSession = r.session;
        reply = std::to_string(r.module) + "/" + std::to_string(r.command) + ":" +
                std::string(r.payload.substr(0, 8)) + "#" + std::to_string(r.payload.size());
        return cmdbus::kOk;
    });
    server.Start();
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    CommandSender sender(path);
    BridgeSession* s = sender.OpenNewSession("Loader", 1);
    ASSERT_NE(s, nullptr);
    std::string reply;
    EXPECT_TRUE(s->__SendCommand(20, 3, "payload!", 8, &reply));
    EXPECT_EQ(reply, "20/3:payload!#8");
    EXPECT_EQ(seenSession, "Loader");
    EXPECT_TRUE(s->__SendCommand(20, 4, nullptr, 0, &reply));
    EXPECT_EQ(reply, "20/4:#0");
    const std::string big(1 << 20, 'b');
    EXPECT_TRUE(s->__SendCommand(23, 6, big.data(), unsigned(big.size()), &reply));
    EXPECT_EQ(reply, "23/6:bbbbbbbb#1048576");

    // Refusals that keep the stream in step: an unknown module, a bad command number, the
    // reserved module 0 and an oversize payload; the session stays usable.
    EXPECT_FALSE(s->__SendCommand(99, 1, nullptr, 0, &reply));
    EXPECT_FALSE(s->__SendCommand(20, -1, nullptr, 0, &reply));
    EXPECT_FALSE(s->__SendCommand(0, 1, nullptr, 0, &reply));
    EXPECT_FALSE(s->__SendCommand(20, 1, big.data(), cmdbus::kMaxPayload + 1, &reply));
    EXPECT_EQ(s->State(), BridgeSession::kUsable);
    EXPECT_TRUE(s->__SendCommand(20, 4, nullptr, 0, nullptr));

    // A second server on the same path is refused while the first answers.
    cmdbus::Server second(path, [](const cmdbus::Request&, std::string&) { return cmdbus::kOk; });
    EXPECT_THROW(second.Start(), std::runtime_error);

    // The service going away breaks the session on its next command.
    server.Stop();
    EXPECT_FALSE(s->__SendCommand(20, 4, nullptr, 0, &reply));
    EXPECT_NE(s->State(), BridgeSession::kUsable);
    sender.CloseSession(s);
}

TEST(CmdbusTest, NoServiceThenRefusalForThreeSeconds) {
    const std::string path = TempSocket();
    CommandSender sender(path);
    const auto start = Clock::now();
    EXPECT_EQ(sender.OpenNewSession("Monitor", 1), nullptr);
    EXPECT_LT(MsSince(start), 1000);

    // A service that appears now is not tried until the refusal period is over.
    cmdbus::Server server(path, [](const cmdbus::Request&, std::string&) { return cmdbus::kOk; });
    server.Start();
    EXPECT_EQ(sender.OpenNewSession("Monitor", 1), nullptr);
    BridgeSession* s = nullptr;
    for (int i = 0; i < 60 && !s; ++i) {
        s = sender.OpenNewSession("Monitor", 1);
        if (!s) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_NE(s, nullptr);
    EXPECT_GE(MsSince(start), 2900);
    sender.CloseSession(s);
}

TEST(CmdbusTest, StuckServiceCostsOneShortWaitPerPeriod) {
    const std::string path = TempSocket();
    // Accepts and never reads: the opening handshake times out.
    RawService stuck(path, [](int) {});
    CommandSender sender(path);
    auto start = Clock::now();
    EXPECT_EQ(sender.OpenNewSession("Monitor", 1), nullptr);
    EXPECT_LT(MsSince(start), 1000);
    // Within the refusal period no further connection is even attempted.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(sender.OpenNewSession("Monitor", 1), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(stuck.accepted.load(), 1);
}

TEST(CmdbusTest, ServiceThatStopsAnsweringTimesOut) {
    const std::string path = TempSocket();
    RawService mute(path, [](int fd) { AnswerHello(fd); });
    CommandSender sender(path);
    BridgeSession* s = sender.OpenNewSession("Loader", 1);
    ASSERT_NE(s, nullptr);
    const auto start = Clock::now();
    std::string reply = "old";
    EXPECT_FALSE(s->__SendCommand(20, 4, nullptr, 0, &reply));
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_NE(s->State(), BridgeSession::kUsable);
    EXPECT_EQ(reply, "old");
    EXPECT_FALSE(s->__SendCommand(20, 4, nullptr, 0, &reply));  // broken stays broken
    EXPECT_EQ(sender.OpenNewSession("Loader", 1), nullptr);     // and the sender refuses
    sender.CloseSession(s);
}

TEST(CmdbusTest, MalformedRepliesBreakTheSession) {
    struct Case {
        const char* what;
        std::string reply;
    };
    const Case cases[] = {
        {"oversize length", ReplyHeader(cmdbus::kOk, cmdbus::kMaxPayload + 1)},
        {"short body", ReplyHeader(cmdbus::kOk, 100) + std::string(10, 'x')},
        {"wrong magic", U32(0x12345678) + U32(0) + U32(0)},
        {"short header", std::string("\x43\x55", 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = TempSocket();
        RawService bad(path, [&](int fd) {
            AnswerHello(fd);
            SwallowRequest(fd);
            send(fd, c.reply.data(), c.reply.size(), MSG_NOSIGNAL);
        });
        CommandSender sender(path);
        BridgeSession* s = sender.OpenNewSession("Loader", 1);
        ASSERT_NE(s, nullptr);
        std::string reply = "old";
        const auto start = Clock::now();
        EXPECT_FALSE(s->__SendCommand(20, 4, nullptr, 0, &reply));
        EXPECT_LT(MsSince(start), 1000);
        EXPECT_EQ(reply, "old");
        EXPECT_NE(s->State(), BridgeSession::kUsable);
        sender.CloseSession(s);
    }
}

// Sends raw bytes to a real server and tells whether it closed the connection.
bool ServerCloses(const std::string& path, const std::string& bytes) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    timeval tv{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char b[64];
    ssize_t n;
    while ((n = recv(fd, b, sizeof b, 0)) > 0) {
    }
    close(fd);
    return n == 0;
}

TEST(CmdbusTest, ServerClosesOnMalformedFrames) {
    const std::string path = TempSocket();
    std::atomic<int> handled{0};
    cmdbus::Server server(path, [&](const cmdbus::Request&, std::string&) {
        ++handled;
        return cmdbus::kOk;
    });
    server.Start();
    const std::string magic = U32(cmdbus::kRequestMagic);
    std::string hello;
    cmdbus::PayloadWriter(hello).U32(1).Text("x");
    const std::string goodHello = magic + U32(0) + U32(0) + U32(hello.size()) + hello;
    // A first frame that is not the opening one.
    EXPECT_TRUE(ServerCloses(path, magic + U32(20) + U32(4) + U32(0)));
    // An opening frame whose name length runs past its payload.
    std::string badHello = U32(1) + U32(50) + "x";
    EXPECT_TRUE(ServerCloses(path, magic + U32(0) + U32(0) + U32(badHello.size()) + badHello));
    // A command claiming more than the maximum payload, and one with a wrong magic.
    EXPECT_TRUE(
        ServerCloses(path, goodHello + magic + U32(20) + U32(4) + U32(cmdbus::kMaxPayload + 1)));
    EXPECT_TRUE(ServerCloses(path, goodHello + U32(7) + U32(20) + U32(4) + U32(0)));
    EXPECT_EQ(handled.load(), 0);
    // The server still serves well-formed sessions afterwards.
    CommandSender sender(path);
    BridgeSession* s = sender.OpenNewSession("Loader", 1);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->__SendCommand(20, 4, nullptr, 0, nullptr));
    EXPECT_EQ(handled.load(), 1);
    sender.CloseSession(s);
}

}  // namespace
