// smtp-gateway: the proxy login over AUTH LOGIN (SmtpHandshakeRequest), the session that greets
// and logs in to the mail server the client named and relays the mail dialogue through the
// processing sections (SmtpStateMachine), its listener and the application.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "algsocket.h"
#include "proto.h"

namespace alg {

ALG_MESSAGE(IncorrectLoginFormat, "Incorrect login/password format",
            "Неправильный формат логина/пароля");
ALG_MESSAGE(ServerNotReady, "Server not ready", "Сервер не готов");
ALG_MESSAGE(ServerNoHello, "Server don't support EHLO & HELO",
            "Сервер не поддерживает EHLO и HELO");
ALG_MESSAGE(ServerAuthFailed, "Remote SMTP Server authentication failed",
            "Не удалось аутентифицироваться на удалённом SMTP-сервере");
ALG_MESSAGE(SmtpLineTooLong, "SMTP line too long", "Слишком длинная строка SMTP");
ALG_MESSAGE(SmtpBareCrOrNul, "Bare CR or NUL in a client line",
            "Одиночный CR или NUL в строке клиента");
ALG_MESSAGE(SmtpReplyTooLong, "SMTP reply has too many lines", "Слишком много строк в ответе SMTP");
ALG_MESSAGE(SmtpHeaderTooLong, "Message header field larger than 1 MiB",
            "Поле заголовка сообщения больше 1 МиБ");
ALG_MESSAGE(SmtpReplyTooLarge, "SMTP reply larger than 1 MiB", "Ответ SMTP больше 1 МиБ");

// Bounds on what a client or a server may make the gateway hold.
inline constexpr std::size_t kSmtpMaxLine = 64 * 1024;  // bytes, line end included
inline constexpr int kSmtpMaxReplyLines = 1000;
inline constexpr std::size_t kSmtpMaxReplyBytes = 1024 * 1024;  // one reply, all its lines
inline constexpr std::size_t kSmtpMaxHeader = 1024 * 1024;      // one header field, all its lines

// Replaces `line` by the next line of `reader`, its LF included. A line longer than
// kSmtpMaxLine throws ParseError(SmtpLineTooLong); reader errors propagate.
void ReadSmtpLine(Reader& reader, std::string& line, unsigned int timeout);

// Appends one complete server reply (continuation lines included) to `text` and returns its
// code. A final line is three digits above 099 followed by a space or the line end.
// ParseError(SmtpReplyTooLong) after kSmtpMaxReplyLines lines without one,
// ParseError(SmtpReplyTooLarge) when the reply grows past kSmtpMaxReplyBytes.
int ReadSmtpReply(Reader& reader, std::string& text, unsigned int timeout);

// The proxy login: the AUTH LOGIN exchange with the client and the credentials it carries.
// User name "<server>[ <port>]$<proxy login>[$<server login>]", password
// "<proxy password>[$<server password>]", both base64 on the wire. Set `port` before Read.
// Properties for the access rules: "IP", "Host", "Port".
class SmtpHandshakeRequest : public HandshakeInfoHolder {
  public:
    // Runs the exchange on the client's `in` and `out`. False when the client quit, sent ten
    // other commands, or sent credentials of the wrong form (nothing more is written to it
    // then). On true `host`, `port`, `user`, `password` and the server credentials are set and
    // `ip` holds the server's address (empty when the name does not resolve). Reader and
    // writer errors propagate.
    bool Read(Reader& in, Writer& out, unsigned int timeout);
    // Answers commands until AUTH LOGIN (true) or QUIT or the tenth other command (false).
    // An initial response after "AUTH LOGIN " is kept in `host` as the user-name line.
    bool WiatForAuthCommand(Reader& in, Writer& out, unsigned int timeout);
    // Unpack the base64 lines held in `host` and `password`; false when one is not base64,
    // decodes to more than 255 bytes, the user name has no "$" or its port is not a port.
    bool ProcessLogin();
    bool ProcessPassword();

    const char* GetClassName() const override { return "SmtpHandshakeRequest"; }

    std::string serverLogin;     // base64, empty when the client gave none
    std::string serverPassword;  // base64, empty when the client gave none

  private:
    bool initialResponse_ = false;
};

// One client connection of smtp-gateway. Created, run and deleted by its session thread.
class SmtpStateMachine : public StateMachine {
  public:
    SmtpStateMachine(Proto& listener, int descriptor)
        : StateMachine(listener, descriptor), clientIn_(ClientSocket()) {}

    // The whole session. A line or reply beyond the bounds ends it with a logged error;
    // socket and termination errors propagate to the listener's worker.
    void Run() override;

    // The mail server's connection and the reader its replies come through.
    struct ServerLink {
        explicit ServerLink(std::unique_ptr<AlgSocket> connected)
            : owned(std::move(connected)), socket(*owned), in(socket) {}
        std::unique_ptr<AlgSocket> owned;
        AlgSocket& socket;
        BufferedSocketReader in;
    };

    // ReadSmtpReply under the session time-out.
    int ReadResponse(Reader& reader, std::string& text);
    // Reads the greeting and sends EHLO, then HELO; false (the client told, the reason
    // logged) when the greeting is not 220 or neither is answered 250.
    bool HelloServer(ServerLink& server, const std::string& name);
    // AUTH LOGIN with the server credentials when there are some; a server that does not
    // answer 334 to AUTH LOGIN is used without. False (the client told) when it rejects them.
    bool AuthenticateOnServer(ServerLink& server);
    // Passes a command line (with its line end) through the processing sections under the
    // name before its first ":" (MAIL FROM and RCPT TO under those names however the client
    // spaced and cased them): false when a cut section refuses it; a rewritten value is
    // put back into `line` after the name as the client wrote it, an unchanged line is kept
    // as it came.
    bool ProcessCommand(std::string& line);
    // Relays commands and replies until the server answers 221; the message after each 354.
    void MailTransaction(ServerLink& server);

    // What the processing sections made of a header field.
    enum class Verdict { keep, rewrite, cut };
    // Passes one unfolded header field (name, ":", value; no line end) through the sections
    // under the name before its first ":", its value with encoded words decoded into the
    // filter code page. On rewrite `field` holds the new field, its value written back with
    // encoded words where it needs them.
    Verdict ProcessHeader(std::string& field);

  private:
    void Serve(unsigned int timeout);
    // The next client line in the form the server gets: a bare LF line end becomes CR LF; a CR
    // or NUL anywhere else throws ParseError(SmtpBareCrOrNul). So the gateway and the server
    // always agree where a command line ends, and no command or header line reaches the
    // server without having passed the rules. True when the client ended it with CR LF.
    bool ReadClientLine(std::string& line, unsigned int timeout);
    // One header field of a message being relayed: its lines as they came, and its text as
    // the rules see it (unfolded: the lines joined without their line ends, each as the server
    // reads it, without the stuffed dot).
    struct HeaderField {
        std::string lines;
        std::string text;
    };
    // Appends `field` to `out` as the rules leave it: its lines as they came, nothing when
    // cut, or one line when rewritten; then empties it. A field is judged whole, so folding
    // cannot split a match, and a cut removes all its lines.
    void RelayHeader(HeaderField& field, std::string& out);
    // One message after 354, up to and including the final dot and the server's reply, whose
    // code it returns. A header field longer than kSmtpMaxHeader throws ParseError(SmtpHeaderTooLong).
    // Only CR LF "." CR LF ends it (`afterCrLf`: the line before the 354 ended with CR LF);
    // a "." line that did not is content and goes on stuffed as "..", so no server behind
    // the gateway can find an end of the message the gateway did not see.
    int RelayMessage(ServerLink& server, bool afterCrLf, unsigned int timeout);

    BufferedSocketReader clientIn_;
    std::string serverLogin_;
    std::string serverPassword_;
    std::string user_;
    int recipients_ = 0;  // accepted for the current transaction
};

// The listener of smtp-gateway: adds the cut and replace sections of the policy's first
// process element (option rules only).
class Smtp : public Proto {
  public:
    Smtp(const ALGproxyType& section, bool firstStart, LogSystem& logSystem);

  protected:
    StateMachine* doCreateStateMachine(int descriptor) override;
};

// The application object of smtp-gateway.
class SmtpProxy : public ProxyApp {
  public:
    using ProxyApp::ProxyApp;

    const char* SettingsFileName() const override { return "smtp.xml"; }
    const char* CfgLoaderName() const override { return "proxy_smtp"; }
    Proto* CreateProto(const ALGproxyType& section, bool firstStart, LogSystem& logSystem) override;
};

}  // namespace alg
