#include "traps.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
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

// A UDP socket on a free loopback port that stands in for the management station.
class Station {
  public:
    Station() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), len), 0);
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len), 0);
        port_ = std::to_string(ntohs(a.sin_port));
    }
    ~Station() { ::close(fd_); }
    const std::string& Port() const { return port_; }
    std::optional<std::string> Receive() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return std::nullopt;
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }

  private:
    int fd_;
    std::string port_;
};

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(SnmpLoggerClass, ReadsItsParametersAndRefusesWhatCannotWork) {
    const alg::LoggerClass* snmp = alg::LoggerClass::Find("SNMP");
    ASSERT_EQ(snmp, &alg::snmpLoggerInst);
    struct Case {
        Params params;
        const char* peer;  // null: creation fails with NotEnoughParamsToSendTrap
    } cases[] = {
        {{{"IP", "127.0.0.1"}, {"Community", "public"}}, "127.0.0.1:162"},
        {{{"IP", ""}, {"IP", "127.0.0.2"}, {"IP", "127.0.0.3"}, {"Port", ""}, {"Port", "1620"},
          {"Port", "1621"}, {"Community", "c"}},
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
    EXPECT_THROW(alg::LoggerClass::Create(Logger("loud", cases[0].params)), alg::InitializerError);
    EXPECT_THROW(alg::LoggerClass::Create(
                     Logger("event", {{"IP", "127.0.0.1"}, {"Community", "c"}, {"Encoding", "X"}})),
                 alg::FactoryError);
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
    auto logger = alg::LoggerClass::Create(
        Logger("event", {{"IP", "127.0.0.1"}, {"Community", "public"}}));
    EXPECT_EQ(static_cast<alg::snmpLogger&>(*logger).Sender().Destination(),
              "UDP: [127.0.0.1]:162");
}

TEST(TrapSender, SendsSourceAndLineAsTheLastBytesAndCutsLongTexts) {
    Station station;
    alg::TrapSender sender(("127.0.0.1:" + station.Port()).c_str(), "public");
    const std::string line = "Started \xf0\xe1\xe2";
    sender.send_trap(alg::error, "alg_socks ", line.c_str());
    auto trap = station.Receive();
    ASSERT_TRUE(trap);
    // The one binding's OCTET STRING is the last element of the datagram.
    EXPECT_TRUE(EndsWith(*trap, "alg_socks " + line));
    EXPECT_NE(trap->find("public"), std::string::npos);

    const std::string longLine(4 * alg::kMaxTrapText, 'x');
    sender.send_trap(alg::info, nullptr, (longLine + "END").c_str());
    trap = station.Receive();
    ASSERT_TRUE(trap);
    ASSERT_TRUE(EndsWith(*trap, std::string(alg::kMaxTrapText, 'x')));
    EXPECT_NE((*trap)[trap->size() - alg::kMaxTrapText - 1], 'x');
}

}  // namespace
