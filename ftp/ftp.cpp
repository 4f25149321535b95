#include "ftp.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "relay.h"

namespace alg {

namespace {

// Texts sent to the client by the session.
constexpr char HelloMsg[] =
    "220-ALG Proxy server ready\r\n"
    "USER format: <target ftp-server ip>[ <port>]$<proxy login>$<ftp-server login>\r\n"
    "PASS format: <proxy password>$<target ftp-server password>\r\n"
    "220 \r\n";
constexpr char authFail[] = "221 Authentication on proxy failed\r\n";
constexpr char ProxyFilterReject[] = "502 Host IP rejected\r\n";
constexpr char serviceNA[] = "421 Remote FTP service not available\r\n";
constexpr char remServErr[] = "221 Error on remote FTP server\r\n";
constexpr char targetFTPServerLoginFailed[] =
    " Error login on ftp-server. Try again with login and pass of REMOTE server\r\n";
constexpr char strPORTarguments[] = "501 Incorrect arguments for 'PORT' command\r\n";
constexpr char dataConnectionError[] = "425 Can't open data connection\r\n";
constexpr char kPasvReplyHead[] = "227 PASV command succesful (";
// Clients and scripts count on these texts to the byte.
static_assert(sizeof HelloMsg - 1 == 173 && sizeof authFail - 1 == 36 &&
              sizeof ProxyFilterReject - 1 == 22 && sizeof serviceNA - 1 == 38 &&
              sizeof remServErr - 1 == 32 && sizeof targetFTPServerLoginFailed - 1 == 76 &&
              sizeof strPORTarguments - 1 == 44 && sizeof dataConnectionError - 1 == 32);

constexpr int kLoginAttempts = 3;
constexpr int kServiceWaitMs = 2000;
constexpr unsigned int kDataAcceptMs = 500;
constexpr unsigned int kSecondReplyMs = 1000;
constexpr int kSliceMs = 100;
// Full pipes (or buffers) a transfer may move without a wait before the control connection is
// looked at.
constexpr int kBusyPasses = 8;
// The shortest address run of a 227 reply worth decoding ("1,1,1,1,1,1" has 11).
constexpr std::size_t kMinPasvRun = 12;

// Sleeps `ms` milliseconds unless the pool is told to quit first (TerminationEvent then).
void PauseUnlessQuit(ALGPool& pool, int ms) {
    const QuitWaker waker(&pool);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (waker.QuitRaised()) throw TerminationEvent();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return;
        // Without a wake-up descriptor the flag is looked at every slice.
        const int wait = waker.Descriptor() >= 0 ? static_cast<int>(left)
                                                 : std::min<int>(static_cast<int>(left), kSliceMs);
        pollfd p = {waker.Descriptor(), POLLIN, 0};
        ::poll(&p, 1, wait);
    }
}

bool IsDigitOrComma(char c) {
    return (c >= '0' && c <= '9') || c == ',';
}

}  // namespace

// ---- FtpStateMachine: login and relay -------------------------------------------------------

FtpStateMachine::FtpStateMachine(Proto& listener, int descriptor)
    : StateMachine(listener, descriptor) {}

void FtpStateMachine::Send(const char* reply) {
    ClientSocket().Write(reply, static_cast<unsigned int>(std::strlen(reply)), Timeout());
}

void FtpStateMachine::Send(const std::string& reply) {
    ClientSocket().Write(reply.data(), static_cast<unsigned int>(reply.size()), Timeout());
}

void FtpStateMachine::ForwardResponse() {
    response_.Write(ClientSocket(), Timeout());
}

void FtpStateMachine::Run() {
    AlgSocket& client = ClientSocket();
    Send(HelloMsg);
    FtpHandshakeRequest login;
    login.port = "21";
    for (int attempt = 0; attempt < kLoginAttempts; ++attempt) {
        const unsigned char outcome = login.Read(client, client, Timeout());
        if (outcome == 1) return;
        if (outcome == 2) {
            LoggedMessage m(IncorrectLoginFormat, event, warning);
            Log(m);
            continue;
        }
        const bool authenticated = Authenticate(login.user.c_str(), login.password.c_str());
        ::explicit_bzero(login.password.data(), login.password.size());
        if (!authenticated) {
            Send(authFail);
            continue;
        }
        user_ = login.user;
        StrMessageWriter refusal(ProxyFilterReject);
        if (!AccessAllowed(login, refusal)) return;
        // A port that is no TCP port would reach some other port once truncated.
        const long port = std::strtol(login.port.c_str(), nullptr, 10);
        if (port <= 0 || port > 65535) throw SocketError(ConnectFailed, login.port.c_str());
        const std::unique_ptr<AlgSocket> server =
            ConnectServer(login.host, login.ip, static_cast<int>(port));
        if (ConnectToRemoteServer(*server) &&
            LoginOnRemoteServer(*server, login.serverLogin.c_str(), login.serverPassword.c_str()))
            ExchangeLoop(*server);
        return;
    }
}

bool FtpStateMachine::ConnectToRemoteServer(AlgSocket& server) {
    long budget = static_cast<long>(Timeout());
    for (;;) {
        response_.Read(server, Timeout());
        if (response_.code == 220) return true;
        if (response_.code != 120) {
            ForwardResponse();
            return false;
        }
        budget -= kServiceWaitMs;
        if (budget < 0) {
            Send(serviceNA);
            return false;
        }
        PauseUnlessQuit(Listener().Pool(), kServiceWaitMs);
    }
}

bool FtpStateMachine::LoginOnRemoteServer(AlgSocket& server, const char* login,
                                          const char* password) {
    std::string line = std::string("USER ") + login + "\r\n";
    server.Write(line.data(), static_cast<unsigned int>(line.size()), Timeout());
    response_.Read(server, Timeout());
    if (response_.code == 230) {
        ForwardResponse();
        return true;
    }
    if (response_.code != 331 && response_.code != 530) {
        Send(remServErr);
        return false;
    }
    line = std::string("PASS ") + password + "\r\n";
    server.Write(line.data(), static_cast<unsigned int>(line.size()), Timeout());
    ::explicit_bzero(line.data(), line.size());
    response_.Read(server, Timeout());
    if (response_.code == 230)
        ForwardResponse();
    else
        Send(std::to_string(response_.code) + targetFTPServerLoginFailed);
    return true;
}

void FtpStateMachine::ExchangeLoop(AlgSocket& server) {
    AlgSocket& client = ClientSocket();
    while (!request_.Is("QUIT")) {
        request_.Read(client, Timeout());
        if (!FilterCommand(request_.Command())) {
            Send(ProxyFilterReject);
        } else if (request_.PORTcommandNeeded(client.PeerAddress().c_str())) {
            ContinueWithPORTprocessing(server);
        } else if (request_.Is("PASV")) {
            ContinueWithPASVprocessing(server);
        } else {
            ObtainResponseFromServer(server, false);
        }
    }
}

void FtpStateMachine::ObtainResponseFromServer(AlgSocket& server, bool finalOnly) {
    request_.Write(server, Timeout());
    response_.Read(server, Timeout());
    if (!finalOnly) {
        if (response_.code == 125 || response_.code == 150) {
            do {
                ForwardResponse();
                response_.Read(server, Timeout());
            } while (response_.code == 110);
        } else if ((response_.code == 211 || response_.code == 214) &&
                   server.DataIsAvailable(kSecondReplyMs)) {
            ForwardResponse();
            response_.Read(server, Timeout());
        }
    }
    if (!request_.Is("QUIT")) ForwardResponse();
}

void FtpStateMachine::ProcessCmd(AlgSocket& server) {
    request_.Read(ClientSocket(), Timeout());
    if (!FilterCommand(request_.Command())) {
        Send(ProxyFilterReject);
        return;
    }
    ObtainResponseFromServer(server, true);
    if (request_.Is("ABOR") && response_.code == 426) {
        response_.Read(server, Timeout());
        ForwardResponse();
        transferEnded_ = true;
    }
}

bool FtpStateMachine::FilterCommand(const std::string& command) {
    std::string value = command;
    return !Listener().ProcessSections().ProcessOption(user_.c_str(), "COMMAND", value, *this);
}

// ---- FtpStateMachine: data connections ------------------------------------------------------

void FtpStateMachine::ContinueWithPASVprocessing(AlgSocket& server) {
    request_.Write(server, Timeout());
    response_.Read(server, Timeout());
    const std::string& reply = response_.text;
    if (response_.code != 227 || reply.size() <= 16) return ForwardResponse();
    std::size_t begin = 3;
    while (begin < reply.size() && !IsDigitOrComma(reply[begin])) ++begin;
    std::size_t end = begin;
    while (end < reply.size() && IsDigitOrComma(reply[end])) ++end;
    if (begin >= reply.size() || end >= reply.size() || end - begin < kMinPasvRun)
        return ForwardResponse();
    std::string address;
    int port = 0;
    if (!FTPUnpackIP(reply.substr(begin, end - begin), address, port)) return ForwardResponse();

    AcceptSocket acceptor(0, &Listener().Pool(), false);
    std::string hostPort;
    if (!PackIP(ClientSocket().SelfAddress(), acceptor.Port(), hostPort)) return ForwardResponse();
    Send(kPasvReplyHead + hostPort + ")\r\n");
    ExchangeLoopWithDataConnection(server, acceptor, address.c_str(), port, false);
}

void FtpStateMachine::ContinueWithPORTprocessing(AlgSocket& server) {
    std::string address;
    int port = 0;
    if (request_.argument == nullptr || !FTPUnpackIP(request_.argument, address, port))
        return Send(strPORTarguments);
    AcceptSocket acceptor(0, &Listener().Pool(), false);
    std::string hostPort;
    if (!PackIP(server.SelfAddress(), acceptor.Port(), hostPort)) return Send(strPORTarguments);
    const std::string line = "PORT " + hostPort + "\r\n";
    server.Write(line.data(), static_cast<unsigned int>(line.size()), Timeout());
    response_.Read(server, Timeout());
    ForwardResponse();
    if (response_.code == 200)
        ExchangeLoopWithDataConnection(server, acceptor, address.c_str(), port, true);
}

void FtpStateMachine::ExchangeLoopWithDataConnection(AlgSocket& server, AcceptSocket& acceptor,
                                                     const char* address, int port, bool portMode) {
    for (;;) {
        if (request_.Is("QUIT")) return;
        request_.Read(ClientSocket(), Timeout());
        if (!FilterCommand(request_.Command())) return Send(ProxyFilterReject);
        const direction dir = request_.TransferDirection();
        if (dir != noTransfer) {
            transferEnded_ = false;
            const char* argument = request_.argument;
            Summary().Did(std::string(request_.Command()) + (argument ? " " : "") +
                          (argument ? argument : ""));
            const int code = CreateDataConnection(server, acceptor, address, port, dir, portMode);
            if ((code == 150 || code == 125) && !transferEnded_) {
                response_.Read(server, Timeout());
                ForwardResponse();
            }
            Summary().DidMore(std::to_string(code == 150 || code == 125 ? response_.code : code));
            return;
        }
        ObtainResponseFromServer(server, false);
    }
}

std::unique_ptr<AlgSocket> FtpStateMachine::AcceptDataPeer(AcceptSocket& acceptor,
                                                           const std::string& expected) {
    for (;;) {
        const int descriptor = acceptor.Accept(kDataAcceptMs);
        if (acceptor.QuitRaised()) {
            if (descriptor >= 0) ::close(descriptor);
            throw TerminationEvent();
        }
        if (descriptor < 0) return nullptr;
        auto peer = std::make_unique<AlgSocket>(descriptor, &Listener().Pool());
        if (peer->PeerAddress() == expected) return peer;
        LoggedMessage m(DataStrangerRefused, event, warning);
        m.AddSuffix(": " + peer->PeerAddress());
        Log(m);
        peer->Abort();
    }
}

int FtpStateMachine::CreateDataConnection(AlgSocket& server, AcceptSocket& acceptor,
                                          const char* address, int port, direction dir,
                                          bool portMode) {
    AlgSocket& client = ClientSocket();
    ALGPool* pool = &Listener().Pool();
    if (!portMode) {
        std::unique_ptr<AlgSocket> clientData = AcceptDataPeer(acceptor, client.PeerAddress());
        if (!clientData) {
            Send(dataConnectionError);
            return 426;
        }
        AlgSocket serverData(Listener().ListenerPort() + 1, server.SelfAddress().c_str(), port,
                             address, pool);
        ObtainResponseFromServer(server, true);
        const int code = response_.code;
        if (code <= 399) DataLoop(server, dir, serverData, *clientData);
        return code;
    }
    ObtainResponseFromServer(server, true);
    const int code = response_.code;
    if (code >= 400) return code;
    std::unique_ptr<AlgSocket> serverData = AcceptDataPeer(acceptor, server.PeerAddress());
    if (!serverData) return 426;
    AlgSocket clientData(Listener().ListenerPort() - 1, client.SelfAddress().c_str(), port, address,
                         pool);
    DataLoop(server, dir, *serverData, clientData);
    return code;
}

void FtpStateMachine::DataLoop(AlgSocket& server, direction dir, AlgSocket& serverData,
                               AlgSocket& clientData) {
    using Clock = std::chrono::steady_clock;
    AlgSocket& client = ClientSocket();
    AlgSocket& from = dir == clientToServer ? clientData : serverData;
    AlgSocket& to = dir == clientToServer ? serverData : clientData;
    StreamMover mover(from, to);
    Summary().CountSent(to, dir == serverToClient);
    // The pool's quit signal as a descriptor, so the wait needs no slices.
    const QuitWaker waker(&Listener().Pool());
    const int idleWait = waker.Descriptor() >= 0 ? -1 : kSliceMs;
    bool reading = true;  // the sender has not closed yet
    bool busy = false;    // the last receive filled the room there was: more is very likely there
    int busyPasses = 0;
    Clock::time_point lastProgress = Clock::now();  // of the pending bytes
    auto waitedMs = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastProgress)
            .count();
    };
    try {
        while (reading || mover.Pending() > 0) {
            if (busy && busyPasses < kBusyPasses) {
                // A busy stream reads on without a wait; every kBusyPasses passes the wait
                // looks at the control connection again.
                ++busyPasses;
            } else {
                busyPasses = 0;
                const bool pending = mover.Pending() > 0;
                pollfd p[4] = {{client.Descriptor(), POLLIN, 0},
                               {reading && mover.Room() ? from.Descriptor() : -1, POLLIN, 0},
                               {pending ? to.Descriptor() : -1, POLLOUT, 0},
                               {waker.Descriptor(), POLLIN, 0}};
                int wait = idleWait;
                if (pending) {
                    const long long left = std::max<long long>(0, Timeout() - waitedMs());
                    wait =
                        static_cast<int>(idleWait < 0 ? left : std::min<long long>(left, idleWait));
                }
                if (::poll(p, 4, wait) < 0) {
                    if (errno == EINTR) continue;
                    throw SocketError(SelectFail);
                }
                if (waker.QuitRaised()) throw TerminationEvent();
                // A control command first: this is how ABOR and STAT reach the server in time.
                if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) ProcessCmd(server);
                if (pending && !(p[2].revents & (POLLOUT | POLLHUP | POLLERR)) &&
                    waitedMs() >= Timeout()) {
                    errno = 0;
                    throw SocketError(WriteTimeout);
                }
                if (!(p[1].revents & (POLLIN | POLLHUP | POLLERR)) &&
                    !(p[2].revents & (POLLOUT | POLLHUP | POLLERR)))
                    continue;
            }
            if (client.QuitRaised() || from.QuitRaised() || to.QuitRaised())
                throw TerminationEvent();
            const bool wasPending = mover.Pending() > 0;
            busy = false;
            if (reading && mover.Room()) {
                const long n = mover.Receive();
                if (n == 0) reading = false;
                busy = n > 0 && (!mover.Room() || n >= static_cast<long>(StreamMover::kBufferSize));
            }
            if ((mover.Pending() > 0 && mover.Send() > 0) || !wasPending)
                lastProgress = Clock::now();
            // Bytes the receiver did not take wait for it in the poll, not in a busy pass.
            if (mover.Pending() > 0) busy = false;
        }
    } catch (const SocketError& e) {
        LogError(*this, e, detail, warning);
        // Both data connections are reset, so that neither peer takes the part it got for a
        // whole file.
        from.Abort();
        to.Abort();
    }
}

// ---- Ftp, FtpProxy --------------------------------------------------------------------------

Ftp::Ftp(const ALGproxyType& section, bool firstStart, LogSystem& logSystem)
    : Proto(section, firstStart, logSystem) {
    const ALGprocessType* process = section.process.first();
    if (process == nullptr) return;
    I_ToLogSystem& log = *ProxyApp::Instance();
    if (!process->replace.empty()) {
        LoggedMessage m(ReplaceSectionIgnored, detail, warning);
        log.Log(m);
    }
    for (const ALGreplaceType* cut : process->cut) {
        if (cut->body.empty()) continue;
        LoggedMessage m(BodyElementIgnored, detail, warning);
        log.Log(m);
    }
    ProcessSections().AddCutSections(process->cut, BodyRules::skip, log);
}

StateMachine* Ftp::doCreateStateMachine(int descriptor) {
    return new FtpStateMachine(*this, descriptor);
}

Proto* FtpProxy::CreateProto(const ALGproxyType& section, bool firstStart, LogSystem& logSystem) {
    return new Ftp(section, firstStart, logSystem);
}

}  // namespace alg

int main(int argc, char** argv) {
    return alg::ServiceMain<alg::FtpProxy>("alg_ftp", argc, argv);
}
