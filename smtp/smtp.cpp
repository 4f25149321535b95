#include "smtp.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <string_view>

#include "basis.h"
#include "header_text.h"

namespace alg {

namespace {

// Replies of the proxy login.
constexpr std::string_view ProxyHelloReply =
    "250-ALG Proxy Hello. Please, authenticate yourself\r\n250 AUTH LOGIN\r\n";
constexpr std::string_view ProxyWaitForAUTHReply =
    "503 Waiting for AUTH command. You must authenticate before\r\n";
constexpr std::string_view ProxyLoginRequest = "334 VXNlcm5hbWU6\r\n";
constexpr std::string_view ProxyPasswordRequest = "334 UGFzc3dvcmQ6\r\n";
// Replies of the session.
constexpr std::string_view ProxyReadyReply = "220 ALG Proxy ESMTP server ready\r\n";
constexpr std::string_view ProxyAuthFailedReply =
    "504-Authentication failed\r\n421 Service closing\r\n";
constexpr std::string_view ProxyFilterReject = "550-Filter blocked\r\n421 Service closing\r\n";
constexpr std::string_view ProxyShutdownReply =
    "421 Service not available, closing transmission channel\r\n";
constexpr std::string_view ProxyAuthSuccedReply = "235 Authentication successful\r\n";
constexpr std::string_view ProxyCutOptionReply =
    "553 Request action not taken: mailbox name not allowed\r\n";
constexpr std::string_view ProxyNoChunkingReply = "502 5.5.1 BDAT not implemented\r\n";

constexpr int kMaxWrongCommands = 10;
constexpr unsigned kCredentialBytes = 255;
// Message lines gathered before one write to the server.
constexpr std::size_t kRelayChunk = 16 * 1024;

void Write(Writer& to, std::string_view text, unsigned int timeout) {
    to.Write(text.data(), static_cast<unsigned int>(text.size()), timeout);
}

bool StartsNoCase(const std::string& line, const char* word) {
    const std::size_t n = std::strlen(word);
    return line.size() >= n && ::strncasecmp(line.c_str(), word, n) == 0;
}

// The line without its CR LF (or bare LF).
std::size_t ContentLength(const std::string& line) {
    std::size_t n = line.size();
    if (n > 0 && line[n - 1] == '\n') --n;
    if (n > 0 && line[n - 1] == '\r') --n;
    return n;
}

// Whether the command is BDAT, whatever its letter case and arguments.
bool IsChunkCommand(const std::string& line) {
    return StartsNoCase(line, "BDAT") &&
           (ContentLength(line) == 4 || line[4] == ' ' || line[4] == '\t');
}

// The decoded form of a base64 credential line, up to its first NUL; false when it is not
// base64 or longer than kCredentialBytes.
bool DecodeCredential(const std::string& line, std::string& text) {
    char decoded[kCredentialBytes + 1];
    const unsigned n = base64_decode(line.c_str(), decoded, kCredentialBytes);
    if (n > kCredentialBytes) return false;
    decoded[n] = '\0';
    text = decoded;
    ::explicit_bzero(decoded, sizeof decoded);
    return true;
}

bool EncodeCredential(const std::string& text, std::string& encoded) {
    char out[kCredentialBytes + 1];
    const int n =
        base64_encode(text.data(), static_cast<unsigned>(text.size()), out, kCredentialBytes);
    if (n < 0) return false;
    encoded.assign(out, static_cast<std::size_t>(n));
    ::explicit_bzero(out, sizeof out);
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The name the rules know the command or header before a ":" by. Servers read the envelope
// commands word by word, so "rcpt  to" and "RCPT\tTO" are the RCPT TO command for them and
// must be for the rules: those two are given their canonical names "MAIL FROM" and "RCPT TO";
// any other name is taken without its surrounding blanks ("Subject :" names Subject, an
// obsolete form some mailers write).
std::string ItemName(std::string_view name) {
    name = TrimBlanks(name);
    std::size_t blank = 0;
    while (blank < name.size() && !IsBlank(name[blank])) ++blank;
    const std::string_view verb = name.substr(0, blank);
    const std::string_view rest = TrimBlanks(name.substr(blank));
    if (EqualsNoCase(verb, "MAIL") && EqualsNoCase(rest, "FROM")) return "MAIL FROM";
    if (EqualsNoCase(verb, "RCPT") && EqualsNoCase(rest, "TO")) return "RCPT TO";
    return std::string(name);
}

}  // namespace

void ReadSmtpLine(Reader& reader, std::string& line, unsigned int timeout) {
    line.clear();
    reader.ReadToTermChar(line, '\n', timeout, kSmtpMaxLine);
    if (line.empty() || line.back() != '\n') throw ParseError(SmtpLineTooLong);
}

// ---- SmtpHandshakeRequest -------------------------------------------------------------------

bool SmtpHandshakeRequest::WiatForAuthCommand(Reader& in, Writer& out, unsigned int timeout) {
    std::string line;
    for (int answered = 0; answered < kMaxWrongCommands; ++answered) {
        ReadSmtpLine(in, line, timeout);
        if (StartsNoCase(line, "auth login")) {
            // "AUTH LOGIN <user name>": without taking it, the client would answer the
            // user-name prompt with its password.
            const std::size_t end = ContentLength(line);
            std::size_t start = 10;
            if (start < end && line[start] == ' ') {
                while (start < end && line[start] == ' ') ++start;
                if (start < end) {
                    host.assign(line, start, end - start);
                    initialResponse_ = true;
                }
            }
            return true;
        }
        if (StartsNoCase(line, "quit")) return false;
        Write(out, StartsNoCase(line, "ehlo") ? ProxyHelloReply : ProxyWaitForAUTHReply, timeout);
    }
    return false;
}

bool SmtpHandshakeRequest::Read(Reader& in, Writer& out, unsigned int timeout) {
    if (!WiatForAuthCommand(in, out, timeout)) return false;
    if (!initialResponse_) {
        Write(out, ProxyLoginRequest, timeout);
        ReadSmtpLine(in, host, timeout);
    }
    Write(out, ProxyPasswordRequest, timeout);
    ReadSmtpLine(in, password, timeout);
    if (!ProcessLogin() || !ProcessPassword()) return false;
    FindHostIP(host.c_str(), ip);
    return true;
}

bool SmtpHandshakeRequest::ProcessLogin() {
    std::string text;
    if (!DecodeCredential(host, text)) return false;
    const std::size_t dollar = text.find('$');
    if (dollar == std::string::npos) return false;
    std::string server = text.substr(0, dollar);
    const std::size_t space = server.find(' ');
    if (space != std::string::npos) {
        // Read here, once: the rules judge the canonical form of the port that is then
        // connected to ("025" is "25"), and "25x" or "70000" is refused.
        int number = 0;
        if (!ParsePort(server.substr(space + 1), number)) return false;
        port = std::to_string(number);
        server.resize(space);
    }
    std::string login = text.substr(dollar + 1);
    const std::size_t second = login.find('$');
    if (second != std::string::npos) {
        if (!EncodeCredential(login.substr(second + 1), serverLogin)) return false;
        login.resize(second);
    }
    host = server;
    user = login;
    return true;
}

bool SmtpHandshakeRequest::ProcessPassword() {
    std::string text;
    if (!DecodeCredential(password, text)) return false;
    const std::size_t dollar = text.find('$');
    if (dollar != std::string::npos) {
        if (!EncodeCredential(text.substr(dollar + 1), serverPassword)) return false;
        text.resize(dollar);
    }
    password = text;
    ::explicit_bzero(text.data(), text.size());
    return true;
}

// ---- SmtpStateMachine -----------------------------------------------------------------------

void SmtpStateMachine::Run() {
    const unsigned int timeout = static_cast<unsigned int>(Listener().SessionTimeout());
    try {
        Serve(timeout);
    } catch (const ParseError& e) {
        // An over-long line or reply: logged with the session's number.
        LogError(*this, e, event, error);
    }
}

void SmtpStateMachine::Serve(unsigned int timeout) {
    Write(ClientSocket(), ProxyReadyReply, timeout);
    SmtpHandshakeRequest login;
    login.port = "25";
    if (!login.Read(clientIn_, ClientSocket(), timeout)) {
        LoggedMessage m(IncorrectLoginFormat, detail, warning);
        Log(m);
        return;
    }
    const bool accepted = Authenticate(login.user.c_str(), login.password.c_str());
    ::explicit_bzero(login.password.data(), login.password.size());
    if (!accepted) {
        Write(ClientSocket(), ProxyAuthFailedReply, timeout);
        return;
    }
    user_ = login.user;
    serverLogin_ = login.serverLogin;
    serverPassword_ = login.serverPassword;
    StrMessageWriter refusal{std::string(ProxyFilterReject)};
    if (!AccessAllowed(login, refusal)) return;

    ServerLink server(ConnectServer(login.host, login.ip, std::stoi(login.port)));
    if (!HelloServer(server, "ALG")) return;
    if (!AuthenticateOnServer(server)) return;
    Write(ClientSocket(), ProxyAuthSuccedReply, timeout);
    MailTransaction(server);
}

int SmtpStateMachine::ReadResponse(Reader& reader, std::string& text) {
    return ReadSmtpReply(reader, text, static_cast<unsigned int>(Listener().SessionTimeout()));
}

int ReadSmtpReply(Reader& reader, std::string& text, unsigned int timeout) {
    std::string line;
    std::size_t size = 0;
    for (int lines = 0; lines < kSmtpMaxReplyLines; ++lines) {
        ReadSmtpLine(reader, line, timeout);
        size += line.size();
        if (size > kSmtpMaxReplyBytes) throw ParseError(SmtpReplyTooLarge);
        text += line;
        const auto digit = [&](std::size_t i) {
            return std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        };
        if (line.size() < 4 || !digit(0) || !digit(1) || !digit(2)) continue;
        // "250 text" or a bare "250": both end the reply.
        const char after = line[3];
        if (after != ' ' && after != '\r' && after != '\n') continue;
        const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        if (code > 99) return code;
    }
    throw ParseError(SmtpReplyTooLong);
}

bool SmtpStateMachine::HelloServer(ServerLink& server, const std::string& name) {
    const unsigned int timeout = static_cast<unsigned int>(Listener().SessionTimeout());
    std::string reply;
    if (ReadResponse(server.in, reply) != 220) {
        LoggedMessage m(ServerNotReady, detail, info);
        Log(m);
        Write(ClientSocket(), ProxyShutdownReply, timeout);
        return false;
    }
    for (const char* verb : {"EHLO ", "HELO "}) {
        Write(server.socket, verb + name + "\r\n", timeout);
        reply.clear();
        if (ReadResponse(server.in, reply) == 250) return true;
    }
    LoggedMessage m(ServerNoHello, detail, error);
    Log(m);
    Write(ClientSocket(), ProxyShutdownReply, timeout);
    return false;
}

bool SmtpStateMachine::AuthenticateOnServer(ServerLink& server) {
    if (serverLogin_.empty()) return true;
    const unsigned int timeout = static_cast<unsigned int>(Listener().SessionTimeout());
    std::string reply;
    Write(server.socket, "AUTH LOGIN\r\n", timeout);
    if (ReadResponse(server.in, reply) != 334) return true;
    Write(server.socket, serverLogin_ + "\r\n", timeout);
    reply.clear();
    bool accepted = ReadResponse(server.in, reply) == 334;
    if (accepted) {
        Write(server.socket, serverPassword_ + "\r\n", timeout);
        reply.clear();
        accepted = ReadResponse(server.in, reply) == 235;
    }
    if (accepted) return true;
    LoggedMessage m(ServerAuthFailed, detail, info);
    Log(m);
    Write(ClientSocket(), ProxyAuthFailedReply, timeout);
    return false;
}

bool SmtpStateMachine::ProcessCommand(std::string& line) {
    const ProcessSection& sections = Listener().ProcessSections();
    if (sections.Empty()) return true;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return true;
    const std::string name = line.substr(0, colon);
    const std::string item = ItemName(name);
    const std::string original = line.substr(colon + 1, ContentLength(line) - colon - 1);
    std::string value = original;
    if (sections.ProcessOption(user_.c_str(), item.c_str(), value, *this)) return false;
    if (value != original) line = name + ":" + value + "\r\n";
    return true;
}

bool SmtpStateMachine::ReadClientLine(std::string& line, unsigned int timeout) {
    ReadSmtpLine(clientIn_, line, timeout);
    const std::size_t content = ContentLength(line);
    if (line.find_first_of(std::string_view("\r\0", 2)) < content)
        throw ParseError(SmtpBareCrOrNul);
    if (content < line.size() - 1) return true;
    line.insert(content, 1, '\r');
    return false;
}

void SmtpStateMachine::MailTransaction(ServerLink& server) {
    const unsigned int timeout = static_cast<unsigned int>(Listener().SessionTimeout());
    std::string line;
    std::string reply;
    for (;;) {
        const bool crlf = ReadClientLine(line, timeout);
        if (!ProcessCommand(line)) {
            Write(ClientSocket(), ProxyCutOptionReply, timeout);
            continue;
        }
        // The gateway offers no CHUNKING, and a server that does would wait for a chunk that
        // this loop never passes on: BDAT is answered here, and what follows it is read as
        // commands, as any server without the extension reads it.
        if (IsChunkCommand(line)) {
            Write(ClientSocket(), ProxyNoChunkingReply, timeout);
            continue;
        }
        Write(server.socket, line, timeout);
        reply.clear();
        const int code = ReadResponse(server.in, reply);
        Write(ClientSocket(), reply, timeout);
        if (code == 221) return;
        // The command as the rules saw it, whatever blanks and letter case the client used.
        const std::size_t colon = line.find(':');
        const std::string item = colon == std::string::npos ? "" : ItemName(line.substr(0, colon));
        if (code == 250 && item == "MAIL FROM") {
            Summary().Did("MAIL FROM:" + line.substr(colon + 1, ContentLength(line) - colon - 1));
            recipients_ = 0;
        }
        if ((code == 250 || code == 251) && item == "RCPT TO") ++recipients_;
        if (code == 354) {
            const int final = RelayMessage(server, crlf, timeout);
            Summary().DidMore("RCPT " + std::to_string(recipients_) + " " + std::to_string(final));
        }
    }
}

SmtpStateMachine::Verdict SmtpStateMachine::ProcessHeader(std::string& field) {
    const ProcessSection& sections = Listener().ProcessSections();
    if (sections.Empty()) return Verdict::keep;
    const std::size_t colon = field.find(':');
    if (colon == std::string::npos) return Verdict::keep;
    const std::string name = field.substr(0, colon);
    const std::string original = DecodeHeaderText(std::string_view(field).substr(colon + 1));
    std::string value = original;
    if (sections.ProcessOption(user_.c_str(), ItemName(name).c_str(), value, *this))
        return Verdict::cut;
    if (value == original) return Verdict::keep;
    field = name + ":" + EncodeHeaderText(value);
    return Verdict::rewrite;
}

void SmtpStateMachine::RelayHeader(HeaderField& field, std::string& out) {
    if (field.lines.empty()) return;
    switch (ProcessHeader(field.text)) {
        case Verdict::keep:
            out += field.lines;
            break;
        case Verdict::rewrite:
            // One line, stuffed again where it now begins with a dot.
            if (field.text.front() == '.') out += '.';
            out += field.text;
            out += "\r\n";
            break;
        case Verdict::cut:
            break;
    }
    field.lines.clear();
    field.text.clear();
}

int SmtpStateMachine::RelayMessage(ServerLink& server, bool afterCrLf, unsigned int timeout) {
    bool header = true;
    HeaderField field;  // the header field whose lines are being gathered
    std::string line;
    std::string out;  // lines not yet written to the server
    for (;;) {
        const bool crlf = ReadClientLine(line, timeout);
        const bool last = line == ".\r\n" && afterCrLf && crlf;
        if (line == ".\r\n" && !last) line.insert(0, 1, '.');
        afterCrLf = crlf;
        if (header) {
            // The line as the server will read it: without the dot a sender stuffs in front
            // of a line that begins with one, and without its CR LF.
            std::string_view content(line);
            if (content.front() == '.') content.remove_prefix(1);
            content.remove_suffix(2);
            const bool folded = !content.empty() && IsBlank(content.front());
            if (!last && folded && !field.lines.empty()) {
                if (field.lines.size() + line.size() > kSmtpMaxHeader)
                    throw ParseError(SmtpHeaderTooLong);
                field.lines += line;
                field.text += content;
                continue;
            }
            RelayHeader(field, out);
            if (last || content.empty()) {
                header = false;
            } else {
                field.lines = line;
                field.text = content;
                continue;
            }
        }
        out += line;
        // Written when the client has nothing more in hand, so a message costs a few writes
        // rather than one per line, and nothing waits in the buffer while the client is slow.
        if (last || out.size() >= kRelayChunk || clientIn_.Pending().empty()) {
            Write(server.socket, out, timeout);
            out.clear();
        }
        if (last) break;
    }
    std::string reply;
    const int code = ReadResponse(server.in, reply);
    Write(ClientSocket(), reply, timeout);
    return code;
}

// ---- Smtp, SmtpProxy ------------------------------------------------------------------------

Smtp::Smtp(const ALGproxyType& section, bool firstStart, LogSystem& logSystem)
    : Proto(section, firstStart, logSystem) {
    const ALGprocessType* process = section.process.first();
    if (process == nullptr) return;
    ProcessSections().AddReplaceSections(process->replace, BodyRules::skip, *ProxyApp::Instance());
    ProcessSections().AddCutSections(process->cut, BodyRules::skip, *ProxyApp::Instance());
}

StateMachine* Smtp::doCreateStateMachine(int descriptor) {
    return new SmtpStateMachine(*this, descriptor);
}

Proto* SmtpProxy::CreateProto(const ALGproxyType& section, bool firstStart, LogSystem& logSystem) {
    return new Smtp(section, firstStart, logSystem);
}

}  // namespace alg

int main(int argc, char** argv) {
    return alg::ServiceMain<alg::SmtpProxy>("alg_smtp", argc, argv);
}
