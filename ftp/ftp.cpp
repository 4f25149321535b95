#include "ftp.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "relay.h"

namespace alg {

namespace {

// Texts sent to the client by the session.
constexpr char HelloMsg[] =
    "220-ALG Proxy server ready\r\n"
    "USER format: <target ftp-server ip>[ <port>]$<proxy login>$<ftp-server login>\r\n"
    "PASS format: <proxy password>$<target ftp-server password>\r\n"
    "220 \r\n";
constexpr char authFail[] = "530 Authentication on proxy failed\r\n";
constexpr char ProxyFilterReject[] = "502 Host IP rejected\r\n";
constexpr char serviceNA[] = "421 Remote FTP service not available\r\n";
constexpr char remServErr[] = "221 Error on remote FTP server\r\n";
constexpr char targetFTPServerLoginFailed[] =
    " Error login on ftp-server. Try again with login and pass of REMOTE server\r\n";
constexpr char strPORTarguments[] = "501 Incorrect arguments for 'PORT' command\r\n";
constexpr char dataConnectionError[] = "425 Can't open data connection\r\n";
constexpr char kPasvReplyHead[] = "227 PASV command succesful (";
constexpr char kEpsvReplyHead[] = "229 Entering Extended Passive Mode (|||";
constexpr char strEPRTarguments[] = "501 Incorrect arguments for 'EPRT' command\r\n";
constexpr char strEPSVarguments[] = "501 Incorrect arguments for 'EPSV' command\r\n";
constexpr char kProtocolNotSupported[] = "522 Network protocol not supported, use (1)\r\n";
constexpr char kEpsvAllReply[] = "200 EPSV ALL command successful\r\n";
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
// How much of a malformed server reply the log shows.
constexpr std::size_t kLoggedReply = 100;
// Commands a client may send during a transfer before their replies have come.
constexpr std::size_t kMaxOwedReplies = 64;
// Full pipes (or buffers) a transfer may move without a wait before the control connection is
// looked at.
constexpr int kBusyPasses = 8;

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
    // A client that sends ABOR as urgent data (its last byte marked) must still be read to the
    // end of the line.
    client.UrgentInline();
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
        // The login parser let through only ports of ParsePort, in its canonical form.
        int port = 0;
        if (!ParsePort(login.port, port)) throw SocketError(ConnectFailed, login.port.c_str());
        const std::unique_ptr<AlgSocket> server = ConnectServer(login.host, login.ip, port);
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
        if (!held_) request_.Read(client, Timeout());
        held_ = false;
        if (!FilterCommand(request_.Command())) {
            Send(ProxyFilterReject);
        } else if (request_.Is("PORT") || request_.Is("EPRT")) {
            ContinueWithPORTprocessing(server);
        } else if (request_.Is("PASV") || request_.Is("EPSV")) {
            ContinueWithPASVprocessing(server);
        } else if (request_.TransferDirection() != noTransfer) {
            Send(dataConnectionError);
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
    ForwardResponse();
}

bool FtpStateMachine::FilterCommand(const std::string& command) {
    std::string value = command;
    return !Listener().ProcessSections().ProcessOption(user_.c_str(), "COMMAND", value, *this);
}

bool FtpStateMachine::PreparesTransfer() const {
    return request_.Is("PORT") || request_.Is("EPRT") || request_.Is("PASV") || request_.Is("EPSV");
}

// ---- FtpStateMachine: data connections ------------------------------------------------------

void FtpStateMachine::ContinueWithPASVprocessing(AlgSocket& server) {
    const bool extended = request_.Is("EPSV");
    if (extended && request_.argument != nullptr && *request_.argument != '\0') {
        // "EPSV 1" asks for IPv4, which is what the gateway offers anyway.
        const std::string_view argument(request_.argument);
        int protocol = 0;
        if (strcasecmp(request_.argument, "ALL") == 0) return Send(kEpsvAllReply);
        if (!ParsePort(argument, protocol)) return Send(strEPSVarguments);
        if (protocol != 1) return Send(kProtocolNotSupported);
    }
    static constexpr char kPasv[] = "PASV\r\n";
    server.Write(kPasv, sizeof kPasv - 1, Timeout());
    response_.Read(server, Timeout());
    const std::string& reply = response_.text;
    if (response_.code != 227) return ForwardResponse();
    std::size_t begin = 3;
    while (begin < reply.size() && !IsDigitOrComma(reply[begin])) ++begin;
    std::size_t end = begin;
    while (end < reply.size() && IsDigitOrComma(reply[end])) ++end;
    std::string address;
    int port = 0;
    if (!FTPUnpackIP(reply.substr(begin, end - begin), address, port) || port == 0) {
        // Passed on, the reply would send the client to some host past the gateway.
        LoggedMessage m(PassiveReplyMalformed, event, warning);
        m.AddSuffix(": " + reply.substr(0, std::min(reply.find_first_of("\r\n"), kLoggedReply)));
        Log(m);
        return Send(dataConnectionError);
    }
    // The access rules judged the server logged in to, not whatever host its reply names.
    if (address != server.PeerAddress()) {
        LoggedMessage m(PassiveHostReplaced, event, warning);
        m.AddSuffix(": " + address);
        Log(m);
    }

    AcceptSocket acceptor(0, &Listener().Pool(), false);
    if (extended) {
        Send(kEpsvReplyHead + std::to_string(acceptor.Port()) + "|)\r\n");
    } else {
        std::string hostPort;
        if (!PackIP(ClientSocket().SelfAddress(), acceptor.Port(), hostPort))
            return Send(dataConnectionError);
        Send(kPasvReplyHead + hostPort + ")\r\n");
    }
    ExchangeLoopWithDataConnection(server, acceptor, server.PeerAddress(), port, false);
}

void FtpStateMachine::ContinueWithPORTprocessing(AlgSocket& server) {
    const bool extended = request_.Is("EPRT");
    std::string address;
    int port = 0;
    switch (request_.DataPort(address, port)) {
        case DataPortForm::malformed:
            return Send(extended ? strEPRTarguments : strPORTarguments);
        case DataPortForm::otherProtocol:
            return Send(kProtocolNotSupported);
        case DataPortForm::valid:
            break;
    }
    // The server would connect wherever the client says and write there what the client
    // chooses: only the client itself may be named.
    if (address != ClientSocket().PeerAddress()) {
        LoggedMessage m(DataHostRefused, event, warning);
        m.AddSuffix(": " + address);
        Log(m);
        return Send(ProxyFilterReject);
    }
    AcceptSocket acceptor(0, &Listener().Pool(), false);
    std::string hostPort;
    if (!PackIP(server.SelfAddress(), acceptor.Port(), hostPort)) return Send(strPORTarguments);
    const std::string line = "PORT " + hostPort + "\r\n";
    server.Write(line.data(), static_cast<unsigned int>(line.size()), Timeout());
    response_.Read(server, Timeout());
    ForwardResponse();
    if (response_.code == 200)
        ExchangeLoopWithDataConnection(server, acceptor, address, port, true);
}

void FtpStateMachine::ExchangeLoopWithDataConnection(AlgSocket& server, AcceptSocket& acceptor,
                                                     const std::string& address, int port,
                                                     bool portMode) {
    for (;;) {
        if (request_.Is("QUIT")) return;
        request_.Read(ClientSocket(), Timeout());
        if (!FilterCommand(request_.Command())) return Send(ProxyFilterReject);
        if (PreparesTransfer()) {
            held_ = true;
            return;
        }
        const direction dir = request_.TransferDirection();
        if (dir != noTransfer) {
            const char* argument = request_.argument;
            Summary().Did(std::string(request_.Command()) + (argument ? " " : "") +
                          (argument ? argument : ""));
            return CreateDataConnection(server, acceptor, address, port, dir, portMode);
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

void FtpStateMachine::CreateDataConnection(AlgSocket& server, AcceptSocket& acceptor,
                                           const std::string& address, int port, direction dir,
                                           bool portMode) {
    AlgSocket& client = ClientSocket();
    ALGPool* pool = &Listener().Pool();
    std::unique_ptr<AlgSocket> clientData;
    std::unique_ptr<AlgSocket> serverData;
    try {
        if (!portMode) {
            clientData = AcceptDataPeer(acceptor, client.PeerAddress());
            if (!clientData) return Send(dataConnectionError);
            serverData = std::make_unique<AlgSocket>(Listener().ListenerPort() + 1,
                                                     server.SelfAddress().c_str(), port,
                                                     address.c_str(), pool);
            ObtainResponseFromServer(server, true);
            if (response_.code > 399) {
                // The server refused the transfer: the client's data connection carried nothing.
                clientData->Abort();
                serverData->Abort();
                return;
            }
        } else {
            ObtainResponseFromServer(server, true);
            if (response_.code > 399) return;
            serverData = AcceptDataPeer(acceptor, server.PeerAddress());
            if (!serverData) {
                // The server failed to connect; its own final reply comes in its time.
                if (response_.code < 200) {
                    response_.Read(server, Timeout());
                    ForwardResponse();
                }
                return;
            }
            clientData = std::make_unique<AlgSocket>(Listener().ListenerPort() - 1,
                                                     client.SelfAddress().c_str(), port,
                                                     address.c_str(), pool);
        }
    } catch (...) {
        if (clientData) clientData->Abort();
        if (serverData) serverData->Abort();
        throw;
    }
    clientData->KeepAlive();
    serverData->KeepAlive();
    DataLoop(server, dir, *serverData, *clientData);
}

void FtpStateMachine::Answer(const char* reply) {
    if (owed_.empty())
        Send(reply);
    else
        owed_.emplace_back(reply);
}

void FtpStateMachine::ForwardOwedReply() {
    ForwardResponse();
    if (response_.code < 200 || owed_.empty()) return;
    if (transferCodeOwed_) {
        Summary().DidMore(std::to_string(response_.code));
        transferCodeOwed_ = false;
    }
    owed_.pop_front();
    while (!owed_.empty() && !owed_.front().empty()) {
        Send(owed_.front());
        owed_.pop_front();
    }
}

void FtpStateMachine::ServeCommandDuringTransfer(AlgSocket& server) {
    request_.Read(ClientSocket(), Timeout());
    if (!FilterCommand(request_.Command())) return Answer(ProxyFilterReject);
    if (PreparesTransfer() || request_.TransferDirection() != noTransfer) {
        held_ = true;
        return;
    }
    request_.Write(server, Timeout());
    owed_.emplace_back();
}

void FtpStateMachine::DataLoop(AlgSocket& server, direction dir, AlgSocket& serverData,
                               AlgSocket& clientData) {
    using Clock = std::chrono::steady_clock;
    AlgSocket& client = ClientSocket();
    AlgSocket& from = dir == clientToServer ? clientData : serverData;
    AlgSocket& to = dir == clientToServer ? serverData : clientData;
    // The transfer command's final reply, unless the server gave it at once.
    owed_.clear();
    transferCodeOwed_ = response_.code < 200;
    if (transferCodeOwed_)
        owed_.emplace_back();
    else
        Summary().DidMore(std::to_string(response_.code));
    // A completion reply that came while data was still on its way.
    std::string heldReply;
    unsigned short heldCode = 0;
    StreamMover mover(from, to);
    Summary().CountSent(to, dir == serverToClient);
    // The pool's quit signal as a descriptor, so the wait needs no slices.
    const QuitWaker waker(&Listener().Pool());
    const int idleWait = waker.Descriptor() >= 0 ? -1 : kSliceMs;
    bool flowing = true;  // the data has not ended yet
    bool reading = true;  // the sender has neither closed nor failed yet
    bool failed = false;  // the sender's connection failed: the transfer ends with resets
    bool busy = false;    // the last receive filled the room there was: more is very likely there
    int busyPasses = 0;
    Clock::time_point lastProgress = Clock::now();  // of the pending bytes
    auto waitedMs = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastProgress)
            .count();
    };
    // While data flows the server may keep its replies until the end; after that each one is
    // awaited within the time-out.
    Clock::time_point replyWait = Clock::now();
    auto sinceReply = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - replyWait)
            .count();
    };
    // The receiver can take no more (or a stop): both legs are reset at once, so that neither
    // peer takes the part it got for a whole file.
    auto reset = [&] {
        from.Abort();
        to.Abort();
        flowing = busy = false;
    };
    // Everything the sender sent has been given to the receiver's leg.
    auto finish = [&] {
        flowing = busy = false;
        if (!failed) {
            // The end of the file, passed on as the sender gave it.
            ::shutdown(to.Descriptor(), SHUT_WR);
            return;
        }
        // As on a direct connection, the receiver is reset only once it has what was sent
        // before the sender's failure.
        from.Abort();
        AlgSocket* const receiver[] = {&to};
        AwaitAcknowledged(receiver, Timeout(), waker);
        to.Abort();
    };
    try {
        while (flowing || !owed_.empty()) {
            if (flowing) replyWait = Clock::now();
            if (!flowing && !heldReply.empty()) {
                // Every byte has reached its receiver: now the server's word that it is whole.
                response_.text.swap(heldReply);
                response_.code = heldCode;
                heldReply.clear();
                ForwardOwedReply();
                continue;
            }
            if (busy && busyPasses < kBusyPasses) {
                // A busy stream reads on without a wait; every kBusyPasses passes the wait
                // looks at the control connections again.
                ++busyPasses;
            } else {
                busyPasses = 0;
                const bool pending = flowing && mover.Pending() > 0;
                // A client that sends faster than the server answers waits for the answers.
                const bool commands =
                    !held_ && !request_.Is("QUIT") && owed_.size() < kMaxOwedReplies;
                const bool replies = !owed_.empty() && heldReply.empty();
                // The receiver's leg is still watched for errors with nothing to send (a
                // keepalive that found its peer gone, a reset); the sender's is read only when
                // there is room, since its failure ends nothing before what it sent has been
                // read and delivered.
                pollfd p[5] = {
                    {commands ? client.Descriptor() : -1, POLLIN, 0},
                    {replies ? server.Descriptor() : -1, POLLIN, 0},
                    {flowing && reading && mover.Room() ? from.Descriptor() : -1, POLLIN, 0},
                    {flowing ? to.Descriptor() : -1, static_cast<short>(pending ? POLLOUT : 0), 0},
                    {waker.Descriptor(), POLLIN, 0}};
                int wait = idleWait;
                if (pending || !flowing) {
                    // Bytes wait for their receiver, or the data has ended and the server's
                    // replies are awaited: both within the time-out.
                    const long long left =
                        std::max<long long>(0, Timeout() - (pending ? waitedMs() : sinceReply()));
                    wait =
                        static_cast<int>(idleWait < 0 ? left : std::min<long long>(left, idleWait));
                }
                const int ready = ::poll(p, 5, wait);
                if (ready < 0) {
                    if (errno == EINTR) continue;
                    throw SocketError(SelectFail);
                }
                if (waker.QuitRaised()) throw TerminationEvent();
                if (ready == 0 && !flowing && sinceReply() >= Timeout()) {
                    errno = 0;
                    throw SocketError(alg::Timeout);
                }
                if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                    response_.Read(server, Timeout());
                    replyWait = Clock::now();
                    if (flowing && (response_.code == 226 || response_.code == 250)) {
                        heldReply = response_.text;
                        heldCode = response_.code;
                    } else {
                        ForwardOwedReply();
                    }
                }
                if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) ServeCommandDuringTransfer(server);
                if (!flowing) continue;
                try {
                    if (p[3].events == 0 && (p[3].revents & (POLLERR | POLLHUP))) {
                        int err = 0;
                        socklen_t len = sizeof err;
                        ::getsockopt(p[3].fd, SOL_SOCKET, SO_ERROR, &err, &len);
                        errno = err != 0 ? err : ECONNRESET;
                        throw SocketError(SendFailed);
                    }
                    if (pending && !(p[3].revents & (POLLOUT | POLLHUP | POLLERR)) &&
                        waitedMs() >= Timeout()) {
                        errno = 0;
                        throw SocketError(WriteTimeout);
                    }
                } catch (const SocketError& e) {
                    LogError(*this, e, detail, warning);
                    reset();
                    continue;
                }
                if (!(p[2].revents & (POLLIN | POLLHUP | POLLERR)) &&
                    !(p[3].revents & (POLLOUT | POLLHUP | POLLERR)))
                    continue;
            }
            if (client.QuitRaised() || from.QuitRaised() || to.QuitRaised())
                throw TerminationEvent();
            const bool wasPending = mover.Pending() > 0;
            busy = false;
            if (reading && mover.Room()) {
                try {
                    const long n = mover.Receive();
                    reading = n != 0;
                    busy = n > 0 &&
                           (!mover.Room() || n >= static_cast<long>(StreamMover::kBufferSize));
                } catch (const SocketError& e) {
                    LogError(*this, e, detail, warning);
                    reading = false;
                    failed = true;
                }
            }
            try {
                if ((mover.Pending() > 0 && mover.Send() > 0) || !wasPending)
                    lastProgress = Clock::now();
            } catch (const SocketError& e) {
                LogError(*this, e, detail, warning);
                reset();
                continue;
            }
            // Bytes the receiver did not take wait for it in the poll, not in a busy pass.
            if (mover.Pending() > 0) busy = false;
            if (!reading && mover.Pending() == 0) finish();
        }
        // The legs are closed once the receiver has everything: a byte it sent that nobody read
        // turns the close into a reset, which must not overtake the end of the file.
        AlgSocket* const receiver[] = {&to};
        AwaitAcknowledged(receiver, Timeout(), waker);
    } catch (...) {
        // A stop or a failed control connection: the transfer is cut, and both peers are told
        // so by a reset rather than the end of a file.
        if (flowing) reset();
        owed_.clear();
        throw;
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
