#include "socks_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/fake_stream.h"

namespace alg {
namespace {

using namespace std::string_literals;
using test::FakeStream;

// Peer segmentations every parse must survive.
const std::vector<std::size_t> kPieces = {1, 3, FakeStream::kWhole};

struct ParseCase {
    const char* name;
    unsigned char version;
    std::string bytes;  // the request as it arrives (for version 4 without the VN byte)
    bool served;
    unsigned char command;
    unsigned short portNumber;
    std::string host, ip, user;
    std::string unread;  // what must be left for the relay
};

TEST(SocksRequestTest, RequestsParseWhateverTheSegmentation) {
    const std::string name255(255, 'n');
    const std::vector<ParseCase> cases = {
        {"socks4 connect", 4,
         "\x01\x1f\x90\x7f\x00\x00\x01"
         "alice\0"
         "REST"s,
         true, 1, 8080, "127.0.0.1", "127.0.0.1", "alice", "REST"},
        {"socks4 address 0.0.0.0 reads no host name", 4, "\x02\x00\x15\x00\x00\x00\x00\0NAME\0"s,
         true, 2, 21, "0.0.0.0", "0.0.0.0", "", "NAME\0"s},
        {"socks4a host name", 4,
         "\x01\x00\x50\x00\x00\x00\x01u\0"
         "127.0.0.2\0"s,
         true, 1, 80, "127.0.0.2", "127.0.0.2", "u", ""},
        {"socks5 ipv4", 5, "\x05\x01\x00\x01\x7f\x00\x00\x03\x1f\x90+"s, true, 1, 8080, "127.0.0.3",
         "127.0.0.3", "", "+"},
        {"socks5 domain, unknown command kept", 5,
         "\x05\x03\x00\x03\x09"
         "127.0.0.4\x00\x35"s,
         true, 3, 53, "127.0.0.4", "127.0.0.4", "", ""},
        {"socks5 ipv6 is not read", 5, "\x05\x01\x00\x04"s + std::string(18, '\x01'), false, 1, 0,
         "", "", "", std::string(18, '\x01')},
        {"socks5 empty domain", 5, "\x05\x01\x00\x03\x00\x00\x50"s, false, 1, 80, "", "", "", ""},
        {"socks5 domain with a zero byte", 5,
         "\x05\x01\x00\x03\x0b"
         "127.0.0.1\0x\x00\x50"s,
         false, 1, 80, "127.0.0.1\0x"s, "", "", ""},
    };
    for (const ParseCase& c : cases) {
        for (std::size_t piece : kPieces) {
            SCOPED_TRACE(std::string(c.name) + ", piece " + std::to_string(piece));
            FakeStream in(c.bytes, piece, false);
            SocksCommandRequest r(c.version);
            r.ip = "stale";
            try {
                EXPECT_EQ(r.Read(in, 1000), c.served);
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
                continue;
            }
            EXPECT_EQ(r.command, c.command);
            EXPECT_EQ(r.portNumber, c.portNumber);
            EXPECT_EQ(r.host, c.host);
            if (c.served || !c.host.empty()) {
                EXPECT_EQ(r.ip, c.ip);
                EXPECT_EQ(r.port, std::to_string(c.portNumber));
            }
            EXPECT_EQ(r.user, c.user);
            EXPECT_EQ(in.Unread(), c.unread);
        }
    }

    // A 255-byte name is read whole and the port after it is right.
    FakeStream in("\x05\x01\x00\x03\xff"s + name255 + "\x1f\x90", 1);
    SocksCommandRequest r(5);
    EXPECT_TRUE(r.Socks5Read(in, 1000));
    EXPECT_EQ(r.host, name255);
    EXPECT_EQ(r.portNumber, 8080);

    // The user id is appended to what the session put there; properties reach the rules.
    FakeStream in4("\x01\x00\x50\x7f\x00\x00\x01id\0"s, 1);
    SocksCommandRequest r4(4);
    r4.user = "pre-";
    ASSERT_TRUE(r4.Read(in4, 1000));
    EXPECT_EQ(r4.user, "pre-id");
    std::string value;
    EXPECT_TRUE(r4.GetPropVal("Port", value));
    EXPECT_EQ(value, "80");
    EXPECT_STREQ(r4.GetClassName(), "SocksCommandRequest");
}

TEST(SocksRequestTest, MalformedRequestsAreRefusedWithBoundedReads) {
    struct Bad {
        const char* name;
        unsigned char version;
        std::string bytes;
    };
    const std::string endless(4000, 'x');  // no terminator anywhere
    const std::vector<Bad> cases = {
        {"rsv not zero", 5, "\x05\x01\x01\x01\x7f\x00\x00\x01\x00\x50"s},
        {"version differs from the first byte", 5, "\x04\x01\x00\x01\x7f\x00\x00\x01\x00\x50"s},
        {"user id without terminator", 4, "\x01\x00\x50\x7f\x00\x00\x01"s + endless},
        {"socks4a host without terminator", 4, "\x01\x00\x50\x00\x00\x00\x01u\0"s + endless},
    };
    for (const Bad& c : cases) {
        for (std::size_t piece : kPieces) {
            SCOPED_TRACE(std::string(c.name) + ", piece " + std::to_string(piece));
            FakeStream in(c.bytes, piece, false);
            SocksCommandRequest r(c.version);
            try {
                r.Read(in, 1000);
                ADD_FAILURE() << "malformed request accepted";
            } catch (const ParseError& e) {
                EXPECT_STREQ(e.what(), "Bad request format");
                EXPECT_EQ(&e.Msg(), &BadRequestFormat);
            }
            // Nothing beyond a bounded prefix was taken from the peer.
            EXPECT_GE(in.Unread().size(), c.bytes.size() > 300 ? c.bytes.size() - 300 : 0u);
        }
    }
    // A user id of exactly 255 bytes is still fine.
    FakeStream ok("\x01\x00\x50\x7f\x00\x00\x01"s + std::string(255, 'u') + '\0', 7);
    SocksCommandRequest r(4);
    EXPECT_TRUE(r.Socks4Read(ok, 1000));
    EXPECT_EQ(r.user.size(), 255u);

    // A request cut short by the peer is an end of stream, not a parse.
    FakeStream cut(
        "\x05\x01\x00\x03\x09"
        "127"s,
        1);
    SocksCommandRequest r5(5);
    EXPECT_THROW(r5.Read(cut, 1000), SocketEOFEvent);
}

TEST(SocksRequestTest, RepliesHaveExactBytes) {
    auto bytes = [](const SocksResponse& r) {
        return std::string(reinterpret_cast<const char*>(r.Data()), r.Size());
    };
    EXPECT_EQ(bytes(SocksResponse(5, 0, "10.1.2.3", 8080)),
              "\x05\x00\x00\x01\x0a\x01\x02\x03\x1f\x90"s);
    EXPECT_EQ(bytes(SocksResponse(5, 4, "10.1.2.3", 1)),
              "\x05\x04\x00\x01\x0a\x01\x02\x03\x00\x01"s);
    EXPECT_EQ(bytes(SocksResponse(4, 0, "10.1.2.3", 8080)), "\x00\x5a\x1f\x90\x0a\x01\x02\x03"s);
    EXPECT_EQ(bytes(SocksResponse(4, 7, "10.1.2.3", 8080)), "\x00\x5b\x1f\x90\x0a\x01\x02\x03"s);
    EXPECT_EQ(bytes(SocksResponse(4, 2, "host.example", 0)), "\x00\x5b\x00\x00\xff\xff\xff\xff"s);
    EXPECT_EQ(bytes(SocksResponse(5, 0, nullptr, 0)), "\x05\x00\x00\x01\xff\xff\xff\xff\x00\x00"s);

    FakeStream out;
    SocksResponse reply(5, 2, "127.0.0.1", 1080);
    EXPECT_EQ(reply.Write(out, 100), 10);
    SocksResponse none(6, 0, "127.0.0.1", 1080);
    EXPECT_EQ(none.Write(out, 100), 0);
    EXPECT_EQ(out.Written(), "\x05\x02\x00\x01\x7f\x00\x00\x01\x04\x38"s);
    EXPECT_EQ(out.WriteCalls(), (std::vector<unsigned int>{10, 0}));

    // A text reply goes out byte for byte in one write, as often as it is written.
    StrMessageWriter text("502 Host IP rejected\r\n");
    StrMessageWriter empty("");
    FakeStream sink;
    EXPECT_EQ(text.Write(sink, 100), 22);
    text.Write(sink, 100);
    empty.Write(sink, 100);
    EXPECT_EQ(sink.Written(), "502 Host IP rejected\r\n502 Host IP rejected\r\n");
    EXPECT_EQ(sink.WriteCalls(), (std::vector<unsigned int>{22, 22, 0}));
}

TEST(SocksRequestTest, UsernamePasswordBody) {
    for (std::size_t piece : kPieces) {
        SCOPED_TRACE(piece);
        char user[256];
        char password[256];
        FakeStream in(
            "\x05"
            "alice\x06"
            "s3cret"
            "NEXT"s,
            piece, false);
        ReadUsernamePassword(in, user, password, 1000);
        EXPECT_STREQ(user, "alice");
        EXPECT_STREQ(password, "s3cret");
        EXPECT_EQ(in.Unread(), "NEXT");

        FakeStream empty("\x00\x00"s, piece);
        ReadUsernamePassword(empty, user, password, 1000);
        EXPECT_STREQ(user, "");
        EXPECT_STREQ(password, "");

        const std::string longest(255, 'p');
        FakeStream full("\xff" + std::string(255, 'u') + "\xff" + longest, piece);
        ReadUsernamePassword(full, user, password, 1000);
        EXPECT_EQ(std::string(user), std::string(255, 'u'));
        EXPECT_EQ(std::string(password), longest);

        FakeStream cut(
            "\x05"
            "al"s,
            piece);
        EXPECT_THROW(ReadUsernamePassword(cut, user, password, 1000), SocketEOFEvent);
        FakeStream silent(
            "\x05"
            "al"s,
            piece, false);
        EXPECT_THROW(ReadUsernamePassword(silent, user, password, 1000), SocketError);
    }
}

}  // namespace
}  // namespace alg
