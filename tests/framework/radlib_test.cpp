#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "basis.h"
#include "md5.h"
#include "radlibc.h"
#include "radlibi.h"

namespace {

const std::string kSecret = "a secret well past thirty-one characters, used whole";
const char kAuth[RAD_AUTH_SIZE + 1] = "0123456789abcdef";

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Md5(const std::string& data) {
    const HashMD5 h(data.data(), static_cast<unsigned>(data.size()));
    return std::string(reinterpret_cast<const char*>(h.Digest()), RAD_AUTH_SIZE);
}

std::string Hmac(const std::string& data, const std::string& key) {
    unsigned char mac[16];
    hmac_md5(mac, reinterpret_cast<const unsigned char*>(data.data()),
             static_cast<unsigned>(data.size()), reinterpret_cast<const unsigned char*>(key.data()),
             static_cast<unsigned>(key.size()));
    return std::string(reinterpret_cast<const char*>(mac), 16);
}

// The RFC 2865 hiding written out from the text: c(1) = p(1) xor MD5(S + RA),
// c(i) = p(i) xor MD5(S + c(i-1)).
std::string HideByTheBook(std::string password, const std::string& secret) {
    while (password.size() % 16 != 0) password += '\0';
    std::string out, previous(kAuth, RAD_AUTH_SIZE);
    for (std::size_t at = 0; at < password.size(); at += 16) {
        const std::string pad = Md5(secret + previous);
        std::string block;
        for (int i = 0; i < 16; ++i) block += static_cast<char>(password[at + i] ^ pad[i]);
        out += block;
        previous = block;
    }
    return out;
}

// Attributes of a packet as (type, value), in order.
std::vector<std::pair<int, std::string>> Attributes(const char* packet, int length) {
    std::vector<std::pair<int, std::string>> out;
    for (int at = RAD_HEADER_SIZE; at + 2 <= length;) {
        const int n = static_cast<unsigned char>(packet[at + 1]);
        out.emplace_back(static_cast<unsigned char>(packet[at]),
                         std::string(packet + at + 2, n - 2));
        at += n;
    }
    return out;
}

TEST(RadiusPacket, HiddenPasswordsFollowTheRfc) {
    for (const auto& [password, hiddenLength] :
         std::vector<std::pair<std::string, int>>{{"", 0},
                                                  {std::string(16, 'p'), 16},
                                                  {std::string(17, 'q'), 32},
                                                  {std::string(128, 'r'), 128}}) {
        char out[RAD_MAX_PASSWORD];
        int length = -1;
        ASSERT_EQ(EncryptPassword(password.c_str(), kSecret.c_str(), kAuth, out, &length), 0);
        EXPECT_EQ(length, hiddenLength);
        EXPECT_EQ(std::string(out, length), HideByTheBook(password, kSecret)) << password.size();
    }
    char out[RAD_MAX_PASSWORD + 16];
    int length = 0;
    EXPECT_EQ(EncryptPassword(std::string(129, 'x').c_str(), "s", kAuth, out, &length), -1);
    EXPECT_EQ(EncryptPassword(nullptr, "s", kAuth, out, &length), -1);
}

TEST(RadiusPacket, HmacMd5MatchesRfc2202) {
    for (const auto& [data, key, mac] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"Hi There", std::string(16, '\x0b'), "9294727a3638bb1c13f48ef8158bfc9d"},
             {"what do ya want for nothing?", "Jefe", "750c783e6ab0b503eaa86e310a5db738"},
             {"Test Using Larger Than Block-Size Key - Hash Key First", std::string(80, '\xaa'),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"}})
        EXPECT_EQ(Hex(Hmac(data, key)), mac);
}

TEST(RadiusPacket, AccessRequestLayoutLengthAndSignature) {
    for (const std::string state : {"", "st"}) {
        char hidden[RAD_MAX_PASSWORD];
        RadAuthRequest r{};
        r.authenticator = kAuth;
        r.identifier = 77;
        r.userName = "alice";
        r.password = hidden;
        EncryptPassword("wonderland", kSecret.c_str(), kAuth, hidden, &r.passwordLength);
        r.state = state.c_str();
        std::memcpy(r.nasIP, "\x7f\x00\x00\x01", 4);
        r.secret = kSecret.c_str();
        char packet[RAD_MAX_PACKET];
        const int length = BuildRadAuthPkt(packet, &r);
        ASSERT_GT(length, RAD_HEADER_SIZE);
        EXPECT_EQ(packet[0], RAD_ACCESS_REQUEST);
        EXPECT_EQ(static_cast<unsigned char>(packet[1]), 77);
        EXPECT_EQ(
            (static_cast<unsigned char>(packet[2]) << 8) | static_cast<unsigned char>(packet[3]),
            length);
        EXPECT_EQ(std::string(packet + 4, 16), std::string(kAuth, 16));

        const auto attrs = Attributes(packet, length);
        std::vector<int> types;
        for (const auto& a : attrs) types.push_back(a.first);
        std::vector<int> expected{80, 1, 2, 4, 5};
        if (!state.empty()) expected.insert(expected.begin() + 3, 24);
        EXPECT_EQ(types, expected);
        EXPECT_EQ(attrs[1].second, "alice");
        EXPECT_EQ(attrs[2].second, HideByTheBook("wonderland", kSecret));
        EXPECT_EQ(attrs[attrs.size() - 2].second, std::string("\x7f\x00\x00\x01", 4));
        EXPECT_EQ(attrs.back().second, std::string(4, '\0'));

        // The signature is the HMAC-MD5 of the packet with the signature zeroed.
        std::string unsigned_(packet, length);
        std::memset(unsigned_.data() + RAD_HEADER_SIZE + 2, 0, 16);
        EXPECT_EQ(attrs[0].second, Hmac(unsigned_, kSecret));
    }

    RadAuthRequest tooLong{};
    const std::string name(254, 'n');
    tooLong.authenticator = kAuth;
    tooLong.userName = name.c_str();
    tooLong.state = "";
    tooLong.secret = "s";
    char packet[RAD_MAX_PACKET];
    EXPECT_EQ(BuildRadAuthPkt(packet, &tooLong), -1);
    EXPECT_EQ(AddPacketItem(packet, 1, name.data(), 254), nullptr);
}

TEST(RadiusPacket, IdentifiersWrapAndStartAtRandom) {
    for (const auto& [from, to] : std::vector<std::pair<int, int>>{{255, 1}, {254, 255}, {1, 2}}) {
        unsigned char id = static_cast<unsigned char>(from);
        EXPECT_EQ(GeneratePacketID(&id), to);
        EXPECT_EQ(id, to);
    }
    bool differed = false;
    int first = -1;
    for (int i = 0; i < 64; ++i) {
        unsigned char id = 0;
        const int value = GeneratePacketID(&id);
        EXPECT_GE(value, 1);
        EXPECT_LE(value, 254);
        if (first < 0) first = value;
        differed = differed || value != first;
    }
    EXPECT_TRUE(differed);
    char a[16], b[16];
    ASSERT_NE(GenerateAuthenticator(a), nullptr);
    ASSERT_NE(GenerateAuthenticator(b), nullptr);
    EXPECT_NE(std::string(a, 16), std::string(b, 16));
}

// An answer to `request` as a server writes it: code, identifier, attributes, with the
// Response Authenticator and, when `signed_`, a Message-Authenticator.
std::string Answer(const char* request, int code, std::string attrs, bool signed_) {
    if (signed_) attrs = std::string("\x50\x12", 2) + std::string(16, '\0') + attrs;
    const int length = RAD_HEADER_SIZE + static_cast<int>(attrs.size());
    std::string head{static_cast<char>(code), request[1], static_cast<char>(length >> 8),
                     static_cast<char>(length & 0xff)};
    const std::string requestAuth(request + 4, 16);
    if (signed_) attrs.replace(2, 16, Hmac(head + requestAuth + attrs, kSecret));
    return head + Md5(head + requestAuth + attrs + kSecret) + attrs;
}

TEST(RadiusPacket, OnlyTheAnswerToTheRequestCounts) {
    char request[RAD_MAX_PACKET] = {};
    request[0] = RAD_ACCESS_REQUEST;
    request[1] = 9;
    std::memcpy(request + 4, kAuth, 16);
    const std::string reply = std::string("\x12\x06", 2) + "hi\x01\x02";
    struct Case {
        const char* what;
        std::string packet;
        int expected;
    };
    std::string badSignature = Answer(request, 2, "", true);
    badSignature[RAD_HEADER_SIZE + 5] ^= 1;
    badSignature.replace(4, 16,
                         Md5(badSignature.substr(0, 4) + std::string(kAuth, 16) +
                             badSignature.substr(20) + kSecret));
    std::string otherId = Answer(request, 2, "", false);
    otherId[1] = 10;
    std::string wrongAuth = Answer(request, 2, "", false);
    wrongAuth[7] ^= 1;
    std::string broken = Answer(request, 3, "\x12\x01", false);
    const std::vector<Case> cases{
        {"accept", Answer(request, 2, "", false), 0},
        {"signed reject with attributes", Answer(request, 3, reply, true), 0},
        {"padding after the packet", Answer(request, 2, "", true) + "pad", 0},
        {"another identifier", otherId, -1},
        {"wrong response authenticator", wrongAuth, -1},
        {"wrong message authenticator", badSignature, -1},
        {"attribute length 1", broken, -1},
        {"shorter than its length field", Answer(request, 2, reply, false).substr(0, 24), -1},
        {"shorter than a header", Answer(request, 2, "", false).substr(0, 19), -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckRadiusReply(c.packet.data(), static_cast<int>(c.packet.size()), request,
                                   kSecret.c_str()),
                  c.expected)
            << c.what;
    const std::string good = Answer(request, 2, "", false);
    EXPECT_EQ(CheckRadiusReply(good.data(), static_cast<int>(good.size()), request, "other"), -1);
}

TEST(RadiusSocket, OneSocketServesBothServersUnlessTheyDiffer) {
    int auth = -1, acct = -77, err = 0;
    sockaddr_in authServer{}, acctServer{};
    unsigned short ports[2] = {0, 0};
    ASSERT_EQ(InitRadiusSocket(&auth, &authServer, &acct, &acctServer, "127.0.0.2", "127.0.0.2",
                               ports, 1812, 1812, &err),
              0);
    EXPECT_GE(auth, 0);
    EXPECT_EQ(acct, -77);
    EXPECT_EQ(ports[0], 0);
    EXPECT_EQ(authServer.sin_addr.s_addr, inet_addr("127.0.0.2"));
    EXPECT_EQ(ntohs(authServer.sin_port), 1812);
    TermRadiusSocket(auth, acct);

    ASSERT_EQ(InitRadiusSocket(&auth, &authServer, &acct, &acctServer, "127.0.0.2", "127.0.0.3",
                               ports, 1812, 1813, &err),
              0);
    EXPECT_GE(acct, 0);
    EXPECT_NE(acct, auth);
    EXPECT_NE(ports[0], 0);
    EXPECT_EQ(acctServer.sin_addr.s_addr, inet_addr("127.0.0.3"));
    TermRadiusSocket(auth, acct);
}

}  // namespace

namespace {

void Interrupted(int) {}

}  // namespace

// Signals arriving while a reply is awaited neither end the wait nor count as its time-out.
TEST(RadiusSocket, SignalsDoNotCutTheWaitForAReplyShort) {
    struct sigaction action = {};
    struct sigaction old = {};
    action.sa_handler = &Interrupted;  // without SA_RESTART: poll fails with EINTR
    ASSERT_EQ(::sigaction(SIGUSR2, &action, &old), 0);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof self;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&self), length), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length), 0);
    const pthread_t waiter = ::pthread_self();
    std::thread signaller([&] {
        for (int i = 0; i < 20; ++i) {
            ::pthread_kill(waiter, SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::sendto(fd, "late", 4, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self);
    });
    char buffer[16];
    sockaddr_in from{};
    int err = 0;
    const int n = ReceiveRadiusReply(fd, &from, buffer, sizeof buffer, 20000, &err);
    signaller.join();
    ::close(fd);
    ::sigaction(SIGUSR2, &old, nullptr);
    ASSERT_EQ(n, 4) << "error " << err;
    EXPECT_EQ(std::string(buffer, 4), "late");
}
