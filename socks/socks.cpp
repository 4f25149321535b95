#include "socks.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "relay.h"

namespace alg {

namespace {

// Protocol constants and the fixed two-byte replies.
constexpr unsigned char kSocks4 = 4;
constexpr unsigned char kSocks5 = 5;
constexpr unsigned char kCommandConnect = 1;
constexpr unsigned char kCommandBind = 2;
constexpr unsigned char kReplySucceeded = 0;
constexpr unsigned char kReplyNotAllowed = 2;
constexpr unsigned char kReplyHostUnreachable = 4;
constexpr unsigned char kReplyCommandNotSupported = 7;
constexpr unsigned char kMethodUserPassword = 2;
constexpr unsigned char kUserPasswordVersion = 1;
constexpr char kMethodReplyUserPassword[2] = {5, 2};
constexpr char kMethodReplyNoAcceptable[2] = {5, static_cast<char>(0xFF)};
constexpr char kLoginReplySuccess[2] = {1, 0};
constexpr char kLoginReplyFailure[2] = {1, 3};

constexpr int kBindBacklog = 5;
constexpr int kSliceMs = 100;

unsigned char ReadByte(Reader& reader, unsigned int timeout) {
    char c;
    reader.ReadN(&c, 1, timeout);
    return static_cast<unsigned char>(c);
}

// What the summary of a session calls a command.
std::string CommandName(unsigned char version, unsigned char command) {
    const std::string socks = "SOCKS" + std::to_string(version) + " ";
    if (command == kCommandConnect) return socks + "CONNECT";
    if (command == kCommandBind) return socks + "BIND";
    return socks + "command " + std::to_string(command);
}

// The BIND address that lets any host connect.
constexpr char kAnyAddress[] = "0.0.0.0";

}  // namespace

// ---- SocksStateMachine ----------------------------------------------------------------------

void SocksStateMachine::Run() {
    const unsigned int timeout = static_cast<unsigned int>(Listener().SessionTimeout());
    version_ = ReadByte(handshake_, timeout);

    char user[256] = {};
    if (version_ == kSocks5) {
        if (!AuthNegotiation(user, timeout)) return;
    } else if (version_ == kSocks4) {
        LoggedMessage m(Socks4NoAuth, detail, info);
        Log(m);
    } else {
        return;
    }

    SocksCommandRequest request(version_);
    request.user = user;
    if (!request.Read(handshake_, timeout)) {
        LoggedMessage m(BadAddressTypeOrValue, detail, warning);
        if (!request.host.empty()) m.AddSuffix(": " + request.host + ":" + request.port);
        Log(m);
        return;
    }
    const unsigned short port = request.portNumber;
    SocksResponse refusal(version_, kReplyNotAllowed, request.ip.c_str(), port);
    Summary().Did(CommandName(version_, request.command));
    if (!AccessAllowed(request, refusal)) return;

    switch (request.command) {
        case kCommandConnect:
            ConnectRequest(request.host, request.ip.c_str(), port, timeout);
            break;
        case kCommandBind:
            BindRequest(request.ip.c_str(), port, timeout);
            break;
        default:
            Reply(kReplyCommandNotSupported, request.ip.c_str(), port, timeout);
            break;
    }
}

bool SocksStateMachine::ChooseLgnPwdAuthMethod(unsigned int timeout) {
    const unsigned char count = ReadByte(handshake_, timeout);
    char methods[256];
    if (count > 0) handshake_.ReadN(methods, count, timeout);
    const bool offered = std::memchr(methods, kMethodUserPassword, count) != nullptr;
    const char* reply = offered ? kMethodReplyUserPassword : kMethodReplyNoAcceptable;
    ClientSocket().Write(reply, 2, timeout);
    return offered;
}

bool SocksStateMachine::AuthNegotiation(char (&user)[256], unsigned int timeout) {
    if (!ChooseLgnPwdAuthMethod(timeout)) return false;
    if (ReadByte(handshake_, timeout) != kUserPasswordVersion) return false;
    char password[256];
    ReadUsernamePassword(handshake_, user, password, timeout);
    const bool ok = Authenticate(user, password);
    ::explicit_bzero(password, sizeof password);
    ClientSocket().Write(ok ? kLoginReplySuccess : kLoginReplyFailure, 2, timeout);
    return ok;
}

void SocksStateMachine::ConnectRequest(const std::string& host, const char* address,
                                       unsigned short port, unsigned int timeout) {
    std::unique_ptr<AlgSocket> server;
    try {
        server = ConnectServer(host, address, port);
    } catch (const SocketError&) {
        // The client learns of the failure when it can; the connect error is what is reported.
        try {
            Reply(kReplyHostUnreachable, address, port, timeout);
        } catch (const std::exception&) {
        }
        throw;
    }
    AlgSocket& client = ClientSocket();
    Reply(kReplySucceeded, client.SelfAddress().c_str(), client.SelfPort(), timeout);
    PassPending(*server, timeout);
    ClientDataTransactionsWith(*server, timeout);
}

void SocksStateMachine::BindRequest(const char* address, unsigned short /*port*/,
                                    unsigned int timeout) {
    AlgSocket& client = ClientSocket();
    AcceptSocket acceptor(0, &Listener().Pool(), false, kBindBacklog);
    Reply(kReplySucceeded, client.SelfAddress().c_str(),
          static_cast<unsigned short>(acceptor.Port()), timeout);
    std::unique_ptr<AlgSocket> found = AwaitBindPeer(acceptor, address, timeout);
    if (!found) return;
    AlgSocket& peer = *found;
    Summary().Connected(peer);
    Reply(kReplySucceeded, peer.PeerAddress().c_str(), peer.PeerPort(), timeout);
    PassPending(peer, timeout);
    ClientDataTransactionsWith(peer, timeout);
}

std::unique_ptr<AlgSocket> SocksStateMachine::AwaitBindPeer(AcceptSocket& acceptor,
                                                            const char* expected,
                                                            unsigned int timeout) {
    AlgSocket& client = ClientSocket();
    const bool anyone = std::strcmp(expected, kAnyAddress) == 0;
    bool clientEnded = false;  // the client has half closed: its bytes wait for the peer
    std::chrono::steady_clock::time_point giveUp;
    for (;;) {
        pollfd p[2] = {{acceptor.Descriptor(), POLLIN, 0},
                       {client.Descriptor(), static_cast<short>(clientEnded ? 0 : POLLRDHUP), 0}};
        const int rc = ::poll(p, 2, kSliceMs);
        if (acceptor.QuitRaised() || client.QuitRaised()) return nullptr;
        if (rc < 0) {
            if (errno == EINTR) continue;
            throw SocketError(SelectForAcceptFail);
        }
        // A reset or an error means nobody would take the relayed data.
        if (p[1].revents & (POLLHUP | POLLERR)) return nullptr;
        if (p[1].revents & POLLRDHUP) {
            clientEnded = true;
            giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
        }
        if (p[0].revents & POLLIN) {
            const int descriptor = acceptor.Accept(0);
            if (descriptor >= 0) {
                auto peer = std::make_unique<AlgSocket>(descriptor, &Listener().Pool());
                if (anyone || peer->PeerAddress() == expected) return peer;
                // Refused at once and the wait goes on: a stranger can neither get in nor
                // cancel the BIND by connecting first.
                LoggedMessage m(BindStrangerRefused, event, warning);
                m.AddSuffix(": " + peer->PeerAddress());
                Log(m);
                peer->Abort();
            }
        }
        // An abandoned BIND whose client only half closed still ends.
        if (clientEnded && std::chrono::steady_clock::now() >= giveUp) return nullptr;
    }
}

void SocksStateMachine::ClientDataTransactionsWith(AlgSocket& other, unsigned int timeout) {
    RelayStreams(ClientSocket(), other, timeout);
}

void SocksStateMachine::Reply(unsigned char code, const char* address, unsigned short port,
                              unsigned int timeout) {
    SocksResponse(version_, code, address, port).Write(ClientSocket(), timeout);
}

void SocksStateMachine::PassPending(AlgSocket& to, unsigned int timeout) {
    const std::string_view pending = handshake_.Pending();
    if (!pending.empty())
        to.Write(pending.data(), static_cast<unsigned int>(pending.size()), timeout);
}

// ---- Socks, SocksProxy ----------------------------------------------------------------------

StateMachine* Socks::doCreateStateMachine(int descriptor) {
    return new SocksStateMachine(*this, descriptor);
}

Proto* SocksProxy::CreateProto(const ALGproxyType& section, bool firstStart, LogSystem& logSystem) {
    return new Socks(section, firstStart, logSystem);
}

}  // namespace alg

int main(int argc, char** argv) {
    return alg::ServiceMain<alg::SocksProxy>("alg_socks", argc, argv);
}
