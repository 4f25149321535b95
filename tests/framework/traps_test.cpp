#include "traps.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "alg_xml.h"

namespace {

using Params = std::vector<std::pair<const char*, const char*>>;

ALGloggerType Logger(const char* loglevel, const Params& params) {
    ALGloggerType cfg;
    cfg.name.set("SNMP");
    cfg.loglevel.set(loglevel);
    for (const auto& [name, value] : params) {
        ALGparamType& p = cfg.param.appendNew();
        p.name.set(name);
        p.value.set(value);
    }
    return cfg;
}

TEST(SnmpLoggerClass, ReadsItsParametersAndRefusesWhatCannotWork) {
    const alg::LoggerClass* snmp = alg::LoggerClass::Find("SNMP");
    ASSERT_EQ(snmp, &alg::snmpLoggerInst);
    struct Case {
        Params params;
        const char* peer;  // null: creation fails with NotEnoughParamsToSendTrap
    } cases[] = {
        {{{"IP", "127.0.0.1"}, {"Community", "public"}}, "127.0.0.1:162"},
        {{{"IP", ""},
          {"IP", "127.0.0.2"},
          {"IP", "127.0.0.3"},
          {"Port", ""},
          {"Port", "1620"},
          {"Port", "1621"},
          {"Community", "c"}},
         "127.0.0.2:1620"},
        {{{"ip", "127.0.0.1"}, {"IP", "localhost"}, {"Community", "c"}}, "localhost:162"},
        {{{"IP", "127.0.0.1"}}, nullptr},
        {{{"IP", "127.0.0.1"}, {"Community", ""}}, nullptr},
        {{{"Port", "162"}, {"Community", "public"}}, nullptr},
        {{{"IP", "127.0.0.1"}, {"community", "public"}}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.peer ? c.peer : "refused");
        const ALGloggerType cfg = Logger("event", c.params);
        if (c.peer == nullptr) {
            try {
                alg::LoggerClass::Create(cfg);
                ADD_FAILURE() << "created";
            } catch (const alg::InitializerError& e) {
                EXPECT_EQ(&e.Msg(), &alg::NotEnoughParamsToSendTrap);
                EXPECT_EQ(e.Detail(), "");
            }
            continue;
        }
        auto logger = alg::LoggerClass::Create(cfg);
        ASSERT_STREQ(logger->GetClassName(), "SNMP");
        EXPECT_EQ(logger->GetLogLevel(), alg::event);
        EXPECT_EQ(static_cast<alg::snmpLogger&>(*logger).Sender().PeerName(), c.peer);
    }
}

TEST(TrapSender, RefusesPeerNamesWithoutPortAndSendsToPort162ByDefault) {
    for (const char* peer : {static_cast<const char*>(nullptr), "none", "127.0.0.1", ""}) {
        try {
            alg::TrapSender sender(peer, "public");
            ADD_FAILURE() << peer;
        } catch (const alg::InitializerError& e) {
            EXPECT_EQ(&e.Msg(), &alg::IncorrectAddrForTRAPServer);
        }
    }
    // The port the opened session sends to, read back from its transport: nothing is bound.
    auto logger =
        alg::LoggerClass::Create(Logger("event", {{"IP", "127.0.0.1"}, {"Community", "public"}}));
    EXPECT_EQ(static_cast<alg::snmpLogger&>(*logger).Sender().Destination(),
              "UDP: [127.0.0.1]:162");
}

TEST(TrapSender, CutsLongTextsToOneDatagramBeforeACharacterThatWouldNotFit) {
    // A UDP socket on a free loopback port stands in for the station.
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    const timeval wait{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    alg::TrapSender sender(("127.0.0.1:" + std::to_string(ntohs(a.sin_port))).c_str(), "pub");
    const std::string source = "alg_socks ";
    const std::size_t room = alg::kMaxTrapText - source.size();
    auto xs = [](std::size_t n) { return std::string(n, 'x'); };
    // (the line, what of it the trap carries): 1200 bytes in all unless a character of two,
    // three or four bytes would be cut; bytes that are no UTF-8 are cut anywhere.
    const std::vector<std::pair<std::string, std::string>> cases{
        {xs(4 * alg::kMaxTrapText), xs(room)},
        {xs(room - 1) + "\xd0\xb6" + "y", xs(room - 1)},
        {xs(room - 2) + "\xe2\x82\xac", xs(room - 2)},
        {xs(room - 3) + "\xf0\x9f\x98\x80", xs(room - 3)},
        {xs(room - 2) + "\xd0\xb6" + "y", xs(room - 2) + "\xd0\xb6"},
        {xs(room - 4) + std::string(5, '\x80'), xs(room - 4) + std::string(4, '\x80')},
    };
    for (const auto& [line, kept] : cases) {
        sender.send_trap(alg::info, source.c_str(), line.c_str());
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        // The one binding's OCTET STRING ends the datagram: tag, length in two bytes, then the
        // source text and the start of the line.
        const std::size_t size = source.size() + kept.size();
        const std::string text = std::string("\x04\x82", 2) + static_cast<char>(size >> 8) +
                                 static_cast<char>(size & 0xFF) + source + kept;
        ASSERT_GT(n, static_cast<ssize_t>(text.size())) << kept.size();
        const std::string trap(buffer, static_cast<std::size_t>(n));
        EXPECT_EQ(trap.substr(trap.size() - text.size()), text) << kept.size();
    }
    ::close(fd);
}

}  // namespace
