// ftp-gateway: the FTP session (proxy login, server login, command relay through the command
// filter, and the data connections of PORT and PASV transfers), its listener and the
// application.
#pragma once

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
    // Relays commands and replies until QUIT.
    void ExchangeLoop(AlgSocket& server);
    // Sends the current command and forwards its reply; without `finalOnly`, the preliminary
    // replies of a transfer and a second reply to STAT or HELP are forwarded as well. The reply
    // to QUIT is read, not forwarded.
    void ObtainResponseFromServer(AlgSocket& server, bool finalOnly);
    // One client command while a transfer runs (ABOR, STAT, ...).
    void ProcessCmd(AlgSocket& server);
    // False when a cut section refuses the command word for the session user.
    bool FilterCommand(const std::string& command);

    // PORT from the client's own address and PASV: the gateway opens both data connections.
    void ContinueWithPORTprocessing(AlgSocket& server);
    void ContinueWithPASVprocessing(AlgSocket& server);
    // Relays commands until a transfer command and runs that transfer on the prepared
    // listening socket; `address`:`port` is the far end of the outgoing data connection.
    void ExchangeLoopWithDataConnection(AlgSocket& server, AcceptSocket& acceptor,
                                        const char* address, int port, bool portMode);
    // Builds the two data connections, sends the transfer command and copies the data;
    // returns the server's reply code (426 when the expected peer did not connect in 500 ms).
    int CreateDataConnection(AlgSocket& server, AcceptSocket& acceptor, const char* address,
                             int port, direction dir, bool portMode);
    // Copies from the sending data connection to the other until the sender closes, serving
    // client commands first. One wait covers the control connection, the sending side and the
    // pool's quit signal, so an idle transfer sleeps. Socket errors end the transfer (logged);
    // a stop throws TerminationEvent.
    void DataLoop(AlgSocket& server, direction dir, AlgSocket& serverData, AlgSocket& clientData);

  private:
    // Writes the fixed text `reply` to the client.
    void Send(const char* reply);
    void Send(const std::string& reply);
    void ForwardResponse();
    // The first connection on `acceptor` within 500 ms (each refused stranger restarting the
    // wait) from `expected`; null when none came. A stop throws TerminationEvent.
    std::unique_ptr<AlgSocket> AcceptDataPeer(AcceptSocket& acceptor, const std::string& expected);
    unsigned int Timeout() const { return static_cast<unsigned int>(Listener().SessionTimeout()); }

    FtpResponseReader response_;
    FtpRequestReader request_;
    std::string user_;
    // ProcessCmd has forwarded the end of the running transfer (ABOR answered 426 and one more
    // reply), so no completion reply is left to wait for.
    bool transferEnded_ = false;
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
