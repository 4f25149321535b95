#include "algsocket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace alg {
namespace {

using namespace std::chrono_literals;

// The reader on one end of a stream pair; the test writes to the other end.
class BufferedReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        peer = fds[1];
        socket = std::make_unique<AlgSocket>(fds[0], &pool);
        reader = std::make_unique<BufferedSocketReader>(*socket);
    }
    void TearDown() override {
        if (peer >= 0) ::close(peer);
    }
    void Send(const std::string& data) {
        ASSERT_EQ(static_cast<ssize_t>(data.size()), ::send(peer, data.data(), data.size(), 0));
    }

    ALGPool pool;
    int peer = -1;
    std::unique_ptr<AlgSocket> socket;
    std::unique_ptr<BufferedSocketReader> reader;
};

// Fields that arrive byte by byte, or many messages in one piece, read the same; what follows
// the last field stays pending, also when it is longer than the buffer.
TEST_F(BufferedReaderTest, FieldsAcrossPiecesAndPendingRest) {
    const std::string head = std::string("\x05\x02", 2) + "user-id" + std::string(1, '\0');
    std::thread slow([&] {
        for (char c : head) {
            Send(std::string(1, c));
            std::this_thread::sleep_for(2ms);
        }
    });
    char two[2];
    reader->ReadN(two, 2, 5000);
    std::string id;
    reader->ReadToTermChar(id, '\0', 5000, 256);
    slow.join();
    EXPECT_EQ(std::string("\x05\x02", 2), std::string(two, 2));
    EXPECT_EQ(std::string("user-id") + '\0', id);
    EXPECT_TRUE(reader->Pending().empty());

    const std::string body(3000, 'b');
    Send("abc" + std::string("host") + '\0' + body);
    char three[3];
    reader->ReadN(three, 3, 5000);
    std::string host;
    reader->ReadToTermChar(host, '\0', 5000, 256);
    EXPECT_EQ(std::string("host") + '\0', host);
    // Only what one receive brought in is pending; the rest is still in the socket.
    const std::string pending(reader->Pending());
    EXPECT_EQ(BufferedSocketReader::kCapacity - 8, pending.size());
    std::string rest;
    ::close(peer);
    peer = -1;
    reader->ReadAll(rest, 5000);
    EXPECT_EQ(body, rest);
}

// A field without its terminator stops at the bound; the peer closing inside a field is an end
// of stream, silence a time-out, and a raised quit flag a termination.
TEST_F(BufferedReaderTest, BoundsAndEndings) {
    Send(std::string(300, 'x'));
    std::string field;
    reader->ReadToTermChar(field, '\0', 5000, 256);
    EXPECT_EQ(std::string(256, 'x'), field);
    EXPECT_EQ(44u, reader->Pending().size());

    char buffer[100];
    EXPECT_THROW(reader->ReadN(buffer, 45, 200), SocketError);  // 44 there, then silence

    pool.SendQuitSignal();
    EXPECT_THROW(reader->ReadN(buffer, 1, 5000), TerminationEvent);
}

TEST_F(BufferedReaderTest, PeerClosingInsideAFieldIsEndOfStream) {
    Send("ab");
    ::close(peer);
    peer = -1;
    char buffer[4];
    EXPECT_THROW(reader->ReadN(buffer, 4, 5000), SocketEOFEvent);
}

}  // namespace
}  // namespace alg
