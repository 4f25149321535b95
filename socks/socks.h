// socks-gateway: the SOCKS 4/4a/5 session (handshake, username/password login for version 5,
// access check, CONNECT and BIND, then the two-way relay), its listener and the application.
#pragma once

#include <memory>

#include "algsocket.h"
#include "proto.h"

namespace alg {

ALG_MESSAGE(Socks4NoAuth, "Socks version 4, authentication not implemented",
            "Socks версии 4, аутентификация не поддерживается");
ALG_MESSAGE(BadAddressTypeOrValue, "Bad address type or value",
            "Плохой формат адреса или его значение");
ALG_MESSAGE(BindStrangerRefused, "BIND: connection from an unexpected host refused",
            "BIND: отклонено соединение с неожиданного узла");

// One client connection of socks-gateway. Created, run and deleted by its session thread.
class SocksStateMachine : public StateMachine {
  public:
    SocksStateMachine(Proto& listener, int descriptor)
        : StateMachine(listener, descriptor), handshake_(ClientSocket()) {}

    // The whole session; returns when it is over. Socket, parse and termination errors
    // propagate to the listener's worker, which reports them.
    void Run() override;

    // Version 5 method selection and username/password sub-negotiation; fills `user`. False
    // when the session must end (no usable method, bad sub-negotiation, failed login).
    bool AuthNegotiation(char (&user)[256], unsigned int timeout);
    // Reads the offered methods and answers 5 and the choice; true when username/password
    // (the only method accepted) was offered.
    bool ChooseLgnPwdAuthMethod(unsigned int timeout);
    // Connects to `address`:`port` (named `host` by the client) and relays; a failed connect is
    // answered with code 4 and rethrown.
    void ConnectRequest(const std::string& host, const char* address, unsigned short port,
                        unsigned int timeout);
    // Listens on an ephemeral port, reports it, waits for one connection from `address` (from
    // anyone when it is 0.0.0.0), reports the peer and relays. The wait has no time limit; it
    // ends early when the client resets or the service stops, and `timeout` after the client
    // half closed (its bytes reach the peer when one comes in time).
    void BindRequest(const char* address, unsigned short port, unsigned int timeout);
    // The relay between the client and `other` (RelayStreams).
    void ClientDataTransactionsWith(AlgSocket& other, unsigned int timeout);

    unsigned char Version() const { return version_; }

  private:
    // Sends a reply of the session's version to the client.
    void Reply(unsigned char code, const char* address, unsigned short port, unsigned int timeout);
    // The BIND's peer: the first connection from `expected` (any host for 0.0.0.0); others
    // are reset and logged. Null when the wait ends without one (see BindRequest).
    std::unique_ptr<AlgSocket> AwaitBindPeer(AcceptSocket& acceptor, const char* expected,
                                             unsigned int timeout);
    // Writes to `to` what the client sent after its request (before the reply) and the
    // handshake reader has already received.
    void PassPending(AlgSocket& to, unsigned int timeout);

    // Every read of the client's handshake goes through here.
    BufferedSocketReader handshake_;
    unsigned char version_ = 0;
};

// The listener of socks-gateway.
class Socks : public Proto {
  public:
    using Proto::Proto;

  protected:
    StateMachine* doCreateStateMachine(int descriptor) override;
};

// The application object of socks-gateway.
class SocksProxy : public ProxyApp {
  public:
    using ProxyApp::ProxyApp;

    const char* SettingsFileName() const override { return "socks.xml"; }
    const char* CfgLoaderName() const override { return "proxy_socks"; }
    Proto* CreateProto(const ALGproxyType& section, bool firstStart, LogSystem& logSystem) override;
};

}  // namespace alg
