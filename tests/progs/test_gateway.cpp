// A gateway with a trivial line protocol, used only by the tests of the framework. The client
// sends one line "HOST PORT USER PASSWORD"; the session checks access and the login, connects
// to HOST:PORT, answers "+OK" and relays bytes both ways until either side closes.
#include <memory>
#include <sstream>
#include <string>

#include "proto.h"

namespace {

constexpr char kRejected[] = "-ERR access denied\r\n";
constexpr char kAuthFailed[] = "-ERR authentication failed\r\n";
constexpr char kBadRequest[] = "-ERR bad request\r\n";
constexpr char kConnectFailed[] = "-ERR connect failed\r\n";
constexpr char kConnected[] = "+OK\r\n";

constexpr unsigned kMaxRequestLine = 1024;
constexpr unsigned kRelayChunk = 16384;
// Each direction is polled for this long per turn of the relay loop.
constexpr unsigned kRelayPollMs = 10;

class TestSession : public alg::StateMachine {
  public:
    using StateMachine::StateMachine;

    void Run() override {
        const unsigned timeout = static_cast<unsigned>(Listener().SessionTimeout());
        alg::AlgSocket& client = ClientSocket();
        std::string line;
        if (!ReadRequestLine(client, line, timeout)) {
            client.Write(kBadRequest, sizeof kBadRequest - 1, timeout);
            return;
        }
        alg::HandshakeInfoHolder request;
        std::istringstream fields(line);
        if (!(fields >> request.host >> request.port >> request.user >> request.password)) {
            client.Write(kBadRequest, sizeof kBadRequest - 1, timeout);
            return;
        }
        alg::FindHostIP(request.host.c_str(), request.ip);

        alg::StrMessageWriter rejection(kRejected);
        if (!AccessAllowed(request, rejection)) return;
        if (!Authenticate(request.user.c_str(), request.password.c_str())) {
            client.Write(kAuthFailed, sizeof kAuthFailed - 1, timeout);
            return;
        }
        const int port = ParsePort(request.port);
        if (port == 0 || request.ip.empty()) {
            client.Write(kConnectFailed, sizeof kConnectFailed - 1, timeout);
            return;
        }
        std::unique_ptr<alg::AlgSocket> server;
        try {
            server = std::make_unique<alg::AlgSocket>(port, request.ip.c_str(), &Listener().Pool());
        } catch (const alg::SocketError&) {
            client.Write(kConnectFailed, sizeof kConnectFailed - 1, timeout);
            throw;
        }
        client.Write(kConnected, sizeof kConnected - 1, timeout);
        Relay(client, *server, timeout);
    }

  private:
    // Reads up to LF, at most kMaxRequestLine bytes; false when the line is too long.
    static bool ReadRequestLine(alg::AlgSocket& client, std::string& line, unsigned timeout) {
        client.ReadToTermChar(line, '\n', timeout, kMaxRequestLine);
        if (line.empty() || line.back() != '\n') return false;
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }

    // A decimal TCP port 1..65535, or 0.
    static int ParsePort(const std::string& text) {
        if (text.empty() || text.size() > 5) return 0;
        int port = 0;
        for (char c : text) {
            if (c < '0' || c > '9') return 0;
            port = port * 10 + (c - '0');
        }
        return port <= 65535 ? port : 0;
    }

    // Moves what one side has to the other; false when that side has closed.
    static bool Pass(alg::AlgSocket& from, alg::AlgSocket& to, unsigned timeout, bool& moved) {
        if (!from.DataIsAvailable(kRelayPollMs)) return true;
        char buffer[kRelayChunk];
        unsigned size = sizeof buffer;
        if (!from.Read(buffer, size, timeout)) return false;
        to.Write(buffer, size, timeout);
        moved = true;
        return true;
    }

    // Relays until either side closes or nothing moves for the session time-out.
    static void Relay(alg::AlgSocket& client, alg::AlgSocket& server, unsigned timeout) {
        unsigned idle = 0;
        for (;;) {
            bool moved = false;
            if (!Pass(client, server, timeout, moved) || !Pass(server, client, timeout, moved))
                return;
            idle = moved ? 0 : idle + 2 * kRelayPollMs;
            if (idle >= timeout) return;
        }
    }
};

class TestProto : public alg::Proto {
  public:
    using Proto::Proto;

  protected:
    alg::StateMachine* doCreateStateMachine(int descriptor) override {
        return new TestSession(*this, descriptor);
    }
};

class TestProxy : public alg::ProxyApp {
  public:
    using ProxyApp::ProxyApp;
    const char* SettingsFileName() const override { return "test.xml"; }
    // Registers as the SOCKS loader so that the management tool's push can reach it.
    const char* CfgLoaderName() const override { return "proxy_socks"; }
    alg::Proto* CreateProto(const ALGproxyType& section, bool firstStart,
                            alg::LogSystem& logSystem) override {
        return new TestProto(section, firstStart, logSystem);
    }
};

}  // namespace

int main(int argc, char** argv) {
    return alg::ServiceMain<TestProxy>("alg_test", argc, argv);
}
