// Complete replies that write themselves to a Writer, and the SOCKS 4, 4a and 5 messages: the
// client's command request (also the handshake record the access rules read), the proxy's
// reply, and the username/password sub-negotiation body.
#pragma once

#include <string>

#include "algsocket.h"
#include "http_request.h"

namespace alg {

// One complete protocol message. Write puts the whole of it onto `writer` with one Write call,
// passing `timeout` (milliseconds) on, and returns what the writer returned; writer errors
// propagate. Writing does not change the message, so it may be written again.
class MessageWriter {
  public:
    virtual int Write(Writer& writer, unsigned int timeout) = 0;
    virtual ~MessageWriter() = default;
};

// A fixed reply text, written byte for byte (line endings included, nothing added).
class StrMessageWriter : public MessageWriter {
  public:
    explicit StrMessageWriter(std::string text) : text_(std::move(text)) {}
    int Write(Writer& writer, unsigned int timeout) override;
    const std::string& Text() const { return text_; }

  private:
    const std::string text_;
};

// A SOCKS command request. `version` (4 or 5) is set before Read; Read fills `command`,
// `portNumber`, `host`, `port` and `ip`, and for version 4 appends the user id to `user`.
// Properties for the access rules: "IP", "Host", "Port".
class SocksCommandRequest : public HandshakeInfoHolder {
  public:
    // Longest SOCKS 4 user id or SOCKS 4a host name accepted, terminator not counted.
    static constexpr std::size_t kMaxSocks4Field = 255;

    explicit SocksCommandRequest(unsigned char requestVersion = 0) : version(requestVersion) {}

    unsigned char version;
    unsigned char command = 0;      // as received: 1 CONNECT, 2 BIND, anything else kept
    unsigned short portNumber = 0;  // host byte order

    // Reads one request (version 5: from its VER byte; version 4: after the VN byte the caller
    // consumed) and resolves `host` into `ip`. False when the address type is not supported,
    // the host name is unusable or it does not resolve (`ip` then empty). Malformed requests
    // throw ParseError "Bad request format"; reader errors propagate.
    bool Read(Reader& reader, unsigned int timeout);
    // Decoders; true when an address was read. Neither resolves the host.
    bool Socks4Read(Reader& reader, unsigned int timeout);
    bool Socks5Read(Reader& reader, unsigned int timeout);

    const char* GetClassName() const override;
};

// The proxy's reply, built at construction: 10 bytes for version 5, 8 for version 4, none for
// any other version. `address` is dotted text; anything else gives 255.255.255.255. A version 4
// reply carries 90 for reply code 0 and 91 for every other code.
class SocksResponse : public MessageWriter {
  public:
    SocksResponse(unsigned char version, unsigned char replyCode, const char* address,
                  unsigned short port);
    int Write(Writer& writer, unsigned int timeout) override;

    const unsigned char* Data() const { return reply_; }
    unsigned short Size() const { return size_; }

  private:
    unsigned char reply_[10] = {};
    unsigned short size_ = 0;
};

// Reads the username/password sub-negotiation body that follows its version byte (ULEN, UNAME,
// PLEN, PASSWD) into two zero-terminated arrays. Reader errors propagate.
void ReadUsernamePassword(Reader& reader, char (&user)[256], char (&password)[256],
                          unsigned int timeout);

}  // namespace alg
