// ftp-gateway: the FTP session (proxy login, server login, command relay through the command
// filter, and the data connections of PORT and PASV transfers), its listener and the
// application.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "ftptransfer.h"
#include "proto.h"

namespace alg {

ALG_MESSAGE(IncorrectLoginFormat, "Incorrect login/password format",
            "Неправильный формат логина/пароля");
ALG_MESSAGE(ReplaceSectionIgnored, "Replace section ignored for FTP filter",
            "Replace секция не используется в FTP фильтре");
ALG_MESSAGE(BodyElementIgnored, "Body element ignored for FTP cut filter",
            "body - элемент не используется в FTP cut фильтре");
ALG_MESSAGE(DataHostRefused, "FTP data address of another host refused",
            "FTP: отклонён адрес данных другого узла");
ALG_MESSAGE(PassiveHostReplaced,
            "FTP server named another host for passive data; its own address used",
            "FTP: сервер назвал другой узел для пассивных данных; использован адрес сервера");
ALG_MESSAGE(PassiveReplyMalformed, "Malformed passive reply from FTP server",
            "Неправильный ответ сервера FTP на PASV");
ALG_MESSAGE(DataStrangerRefused, "FTP data connection from an unexpected host refused",
            "FTP: отклонено соединение данных с неожиданного узла");

// One client connection of ftp-gateway. Created, run and deleted by its session thread; every
// socket it opens is registered in the listener's pool, so a stop ends each of its waits.
class FtpStateMachine : public StateMachine {
  public:
    FtpStateMachine(Proto& listener, int descriptor);

    // The whole session; returns when it is over. Socket, parse and termination errors
    // propagate to the listener's worker, which reports them.
    void Run() override;

    // Waits for the server's 220 through its 120 replies (2 s apart, within the session
    // time-out; a stop ends the pause at once). False when the session must end; the client
    // then has 421 or the server's reply.
    bool ConnectToRemoteServer(AlgSocket& server);
    // Logs in on the server with the client's server credentials. False (the client has
    // "221 Error on remote FTP server") only when USER is answered with anything but 230, 331
    // or 530; a rejected password leaves the client free to log in through the relay.
    bool LoginOnRemoteServer(AlgSocket& server, const char* login, const char* password);
    // Relays commands and replies until QUIT. PORT and EPRT naming the client's own address,
    // PASV and EPSV prepare a transfer the gateway carries; a transfer command without one is
    // answered 425, since the server would open the data connection straight to the client.
    void ExchangeLoop(AlgSocket& server);
    // Sends the current command and forwards its reply; without `finalOnly`, the preliminary
    // replies of a transfer and a second reply to STAT or HELP are forwarded as well.
    void ObtainResponseFromServer(AlgSocket& server, bool finalOnly);
    // False when a cut section refuses the command word for the session user.
    bool FilterCommand(const std::string& command);

    // PORT or EPRT: anything but a valid data address of the client's own is refused (501,
    // 522 for another network protocol, "502 Host IP rejected" and a log line for another
    // host); otherwise the server is sent a PORT naming a listener of the gateway.
    void ContinueWithPORTprocessing(AlgSocket& server);
    // PASV or EPSV: the server is sent PASV, and the client is given a listener of the gateway
    // (227 or 229). The gateway connects to the address of the server it logged in to, whatever
    // host the 227 names (another one is logged); a 227 that does not decode is answered 425.
    void ContinueWithPASVprocessing(AlgSocket& server);
    // Relays commands until a transfer command and runs that transfer on the prepared
    // listening socket; `address`:`port` is the far end of the outgoing data connection.
    // Another PORT, EPRT, PASV or EPSV abandons the prepared transfer and is served next.
    void ExchangeLoopWithDataConnection(AlgSocket& server, AcceptSocket& acceptor,
                                        const std::string& address, int port, bool portMode);
    // Builds the two data connections (with keepalive), sends the transfer command and carries
    // the transfer to its end, the server's final reply included. A failure or a stop on the
    // way resets both data connections, so neither peer takes a cut file for a whole one.
    void CreateDataConnection(AlgSocket& server, AcceptSocket& acceptor, const std::string& address,
                              int port, direction dir, bool portMode);
    // Copies from the sending data connection to the other until the sender closes, and
    // meanwhile relays client commands and server replies, so a command never stops the data:
    // replies reach the client in the server's order, the gateway's own ones in their place
    // among them; a command that prepares or starts a transfer waits for this one to end. A
    // completion reply that comes while data is still on its way is held until it has been
    // delivered. Returns once the data has ended and every reply owed has been forwarded;
    // after the data each reply is awaited within the session time-out (SocketError(Timeout)),
    // and a client owed 64 replies is not read until some come. A data connection's failure
    // (logged) ends the transfer with a reset of both, and the replies still come: when the
    // sender's connection fails, what it sent before is still delivered and the receiver is
    // reset only once it has acknowledged all of it (AwaitAcknowledged, within the time-out);
    // a receiver that fails, or takes nothing for the time-out, resets both at once. After a
    // whole file the receiver's leg is closed only once it has acknowledged the end, so a byte
    // it sent that nobody read cannot turn the close into a reset that discards the file's
    // tail. A stop, or an error of either control connection, resets both at once and
    // propagates.
    void DataLoop(AlgSocket& server, direction dir, AlgSocket& serverData, AlgSocket& clientData);

  private:
    // Writes the fixed text `reply` to the client.
    void Send(const char* reply);
    void Send(const std::string& reply);
    void ForwardResponse();
    // A reply of the gateway's own during a transfer: sent at once when no server reply is
    // owed before it, else queued behind those.
    void Answer(const char* reply);
    // Forwards the server reply just read during a transfer; a final one settles the oldest
    // reply owed, after which the gateway's own replies queued behind it are sent.
    void ForwardOwedReply();
    // One client command during a transfer.
    void ServeCommandDuringTransfer(AlgSocket& server);
    // Whether the current command is PORT, EPRT, PASV or EPSV.
    bool PreparesTransfer() const;
    // The first connection on `acceptor` within 500 ms (each refused stranger restarting the
    // wait) from `expected`; null when none came. A stop throws TerminationEvent.
    std::unique_ptr<AlgSocket> AcceptDataPeer(AcceptSocket& acceptor, const std::string& expected);
    unsigned int Timeout() const { return static_cast<unsigned int>(Listener().SessionTimeout()); }

    FtpResponseReader response_;
    FtpRequestReader request_;
    std::string user_;
    // The command in request_ was read during a transfer and is still to be served.
    bool held_ = false;
    // While a transfer runs, the replies the client is owed in the order of its commands: an
    // empty entry for a server reply still to come, else a reply of the gateway's own waiting
    // for those before it. The first entry is always a server one.
    std::deque<std::string> owed_;
    // The transfer's final reply is still to come; its code goes into the session summary.
    bool transferCodeOwed_ = false;
};

// The listener of ftp-gateway: cut sections of the first process element, options only.
class Ftp : public Proto {
  public:
    Ftp(const ALGproxyType& section, bool firstStart, LogSystem& logSystem);

  protected:
    StateMachine* doCreateStateMachine(int descriptor) override;
};

// The application object of ftp-gateway.
class FtpProxy : public ProxyApp {
  public:
    using ProxyApp::ProxyApp;

    const char* SettingsFileName() const override { return "ftp.xml"; }
    const char* CfgLoaderName() const override { return "proxy_ftp"; }
    Proto* CreateProto(const ALGproxyType& section, bool firstStart, LogSystem& logSystem) override;
};

}  // namespace alg
