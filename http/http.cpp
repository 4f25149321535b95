#include "http.h"

#include <sys/socket.h>

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "alg_xml.h"
#include "relay.h"

namespace alg {

namespace {

// The fixed replies, byte for byte.
constexpr char kBadRequestReply[] =
    "HTTP/1.0 400 Bad Request\r\n"
    "Proxy-Connection: close\r\n"
    "Content-type: text/html; unsigned charset=us-ascii\r\n"
    "\r\n"
    "<html><head><title>ALG Proxy: 400 Bad Request</title></head>\r\n"
    "<body>400 Bad Request</body></html>\r\n";
constexpr char kAuthRequiredReply[] =
    "HTTP/1.0 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: Basic realm=\"proxy\"\r\n"
    "Proxy-Connection: close\r\n"
    "Content-type: text/html; unsigned charset=us-ascii\r\n"
    "\r\n"
    "<html><head><title>ALG Proxy: 407 Proxy Authentication Required</title></head>\r\n"
    "<body>407  ALG Proxy Authentication Failed</body></html>\r\n";
constexpr char kRejectedReply[] = "HTTP/1.0 404 Not found\r\n\r\n";
constexpr char kContinueReply[] = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr char kTunnelOpenReply[] =
    "HTTP/1.0 200 Connection established\r\n"
    "Proxy-agent: ALG-Proxy\r\n"
    "\r\n";
static_assert(sizeof kBadRequestReply - 1 == 204 && sizeof kAuthRequiredReply - 1 == 302 &&
              sizeof kRejectedReply - 1 == 26 && sizeof kTunnelOpenReply - 1 == 63);

// The replies that name a destination the gateway could not reach: the status, then a page in
// the shape of the fixed replies naming the host and the cause.
constexpr char kBadRequest[] = "400 Bad Request";
constexpr char kBadGateway[] = "502 Bad Gateway";
constexpr char kGatewayTimeout[] = "504 Gateway Timeout";
constexpr char kHostNotFound[] = "host not found";

// `text` fit for the page: markup characters and bytes outside printable ASCII as references.
std::string HtmlText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b > 0x7E || c == '<' || c == '>' || c == '&' || c == '"' || c == '\'')
            out += "&#" + std::to_string(b) + ";";
        else
            out += c;
    }
    return out;
}

std::string ErrorReply(const char* status, const std::string& host, const std::string& cause) {
    return std::string("HTTP/1.0 ") + status +
           "\r\n"
           "Proxy-Connection: close\r\n"
           "Content-type: text/html; unsigned charset=us-ascii\r\n"
           "\r\n"
           "<html><head><title>ALG Proxy: " +
           status + "</title></head>\r\n<body>" + status + ": " + HtmlText(host) + ": " +
           HtmlText(cause) + "</body></html>\r\n";
}

// A connection to the request's destination, in the listener's pool so that a stop ends it;
// null when it failed: the failure is logged and the client answered 502 (504 for a time-out).
std::unique_ptr<AlgSocket> ConnectTo(const HttpRequest& request, HttpStateMachine& session) {
    const long port = std::strtol(request.port.c_str(), nullptr, 10);
    if (port <= 0 || port > 65535) {
        errno = 0;
        throw SocketError(ConnectFailed, ("[" + request.port + "]").c_str());
    }
    try {
        return session.ConnectServer(request.host, request.ip, static_cast<int>(port));
    } catch (const ConnectError& e) {
        LogError(session, e, event, error);
        const char* status = e.TimedOut() ? kGatewayTimeout : kBadGateway;
        session.Summary().DidMore(std::string_view(status, 3));
        const std::string reply = ErrorReply(status, request.host, e.Cause());
        session.ClientSocket().Write(
            reply.data(), static_cast<unsigned int>(reply.size()),
            static_cast<unsigned int>(session.Listener().SessionTimeout()));
        return nullptr;
    }
}

// What the summary of a session calls the request: the method and the target.
std::string RequestItem(const HttpRequest& request) {
    if (request.isConnect) return request.method + " " + request.host + ":" + request.port;
    const std::string port = request.port == "80" ? "" : ":" + request.port;
    return request.method + " http://" + request.host + port + request.path + request.query;
}

// How long and how much a refused client may go on sending before the connection closes.
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::size_t kLingerBytes = 256u << 20;
constexpr unsigned int kLingerPiece = 64 * 1024;
constexpr unsigned int kLingerWait = 100;

// Whether `text` comes back byte for byte from the filter's UTF-8 reading; taken in pieces
// cut before a character's first byte, so that no whole copy of the text is made.
bool SurvivesUtf8(const std::string& text) {
    constexpr std::size_t kPiece = 64 * 1024;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = std::min(text.size(), at + kPiece);
        for (int i = 0;
             i < 4 && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80;
             ++i)
            ++end;
        const int size = static_cast<int>(end - at);
        const QByteArray back = QString::fromUtf8(text.data() + at, size).toUtf8();
        if (back.size() != size || std::memcmp(back.constData(), text.data() + at, end - at) != 0)
            return false;
        at = end;
    }
    return true;
}

// Whether the rules for `user` leave a body and the fields that frame it alone, so that it may
// pass as it arrives: no body rule, and no replace rule that could make a length or a coding
// say other than the bytes passed.
bool RulesLeaveBody(const ProcessSection& sections, const char* user) {
    return !sections.HasBodyRules(user) && !sections.MayReplace(user, "Content-Length") &&
           !sections.MayReplace(user, "Transfer-Encoding");
}

void LogWithSuffix(I_ToLogSystem& log, const locMSG& msg, const char* suffix) {
    LoggedMessage m(msg, event, info);
    if (suffix != nullptr) m.AddSuffix(suffix);
    log.Log(m);
}

}  // namespace

// ---- HttpStateMachine -----------------------------------------------------------------------

void HttpStateMachine::WriteClient(const char* text, std::size_t length) {
    ClientSocket().Write(text, static_cast<unsigned int>(length),
                         static_cast<unsigned int>(Listener().SessionTimeout()));
}

void HttpStateMachine::Run() {
    const unsigned int timeout = static_cast<unsigned int>(Listener().SessionTimeout());
    try {
        HttpRequest request;
        // The head decides everything that needs no body: a client refused on it never
        // gets the gateway to hold its body.
        const bool resolved = request.ReadHead(clientReader_, timeout);
        Summary().Did(RequestItem(request));
        if (!resolved) {
            LoggedMessage m(NoConnectionInfo, detail, warning);
            m.AddSuffix(": " + request.host);
            Log(m);
            Summary().DidMore("400");
            const std::string reply = ErrorReply(kBadRequest, request.host, kHostNotFound);
            Refuse(reply.data(), reply.size());
            return;
        }
        if (!request.hasAuthInfo || !Authenticate(request.user.c_str(), request.password.c_str())) {
            Summary().DidMore("407");
            Refuse(kAuthRequiredReply, sizeof kAuthRequiredReply - 1);
            return;
        }
        StrMessageWriter rejected(kRejectedReply);
        if (!AccessAllowed(request, rejected)) {
            CloseLingering();
            return;
        }
        if (request.isConnect) {
            Tunnel(request);
            return;
        }
        // Only a request let through has its body taken: one no rule must see passes to the
        // server as it arrives, any other is read whole now.
        std::optional<std::uint64_t> upload;
        if (RulesLeaveBody(Listener().ProcessSections(), request.user.c_str()))
            upload = request.StreamableBodyLength();
        // A client that waits to be told before it sends its body is told so once the head
        // has been let through, just before the body is taken.
        const bool awaitsContinue = request.AwaitsContinue();
        if (!upload) {
            if (awaitsContinue) WriteClient(kContinueReply, sizeof kContinueReply - 1);
            request.ReadBody(clientReader_, timeout);
        }
        if (!filterRequest_step(request, upload.has_value())) {
            // A refused upload still on its way is drained, so the reply is not lost to a reset.
            if (upload) CloseLingering();
            return;
        }

        std::unique_ptr<AlgSocket> server = ConnectTo(request, *this);
        if (!server) return;
        request.Write(*server, timeout);
        if (upload && awaitsContinue) WriteClient(kContinueReply, sizeof kContinueReply - 1);
        if (upload && !SendBody(*server, *upload)) return;
        HttpResponse response;
        BufferedSocketReader serverReader(*server);
        const bool chunked = response.ReadHead(serverReader, timeout);
        const HttpBodyFraming framing = response.BodyFraming(request.method, chunked);
        if (MayStream(request.user.c_str(), response, framing)) {
            StreamResponse(request.user.c_str(), response, chunked, framing, *server, serverReader);
            return;
        }
        response.ReadBody(serverReader, timeout, chunked);
        // A HEAD response announces the length of a body it never carries.
        if (response.cutShort && request.method != "HEAD") {
            LoggedMessage m(ResponseCutShort, event, warning);
            Log(m);
            return;
        }
        if (!setResponseCharset_step(response)) {
            LoggedMessage m(UnknownPageCharset, event, warning);
            Log(m);
            return;
        }
        if (!filterResponse_step(request.user.c_str(), response)) return;
        Summary().DidMore(response.status.substr(0, response.status.find(' ')));
        response.Write(ClientSocket(), timeout);
    } catch (const ParseError& e) {
        LogError(*this, e, event, error);
        Summary().DidMore("400");
        Refuse(kBadRequestReply, sizeof kBadRequestReply - 1);
    }
}

void HttpStateMachine::Refuse(const char* reply, std::size_t length) {
    WriteClient(reply, length);
    CloseLingering();
}

void HttpStateMachine::CloseLingering() {
    AlgSocket& client = ClientSocket();
    ::shutdown(client.Descriptor(), SHUT_WR);
    // Unread bytes at close would turn it into a reset, which can destroy the reply before
    // the client reads it; so what the client still sends is taken and dropped for a while.
    const auto deadline = std::chrono::steady_clock::now() + kLingerTime;
    std::unique_ptr<char[]> sink(new char[kLingerPiece]);
    try {
        for (std::size_t dropped = 0;
             dropped < kLingerBytes && std::chrono::steady_clock::now() < deadline;) {
            if (!client.DataIsAvailable(kLingerWait)) continue;
            unsigned int size = kLingerPiece;
            if (!client.Read(sink.get(), size, kLingerWait)) return;
            dropped += size;
        }
    } catch (const SocketError&) {
        // The client reset the connection: nothing is left to protect.
    }
}

void HttpStateMachine::Tunnel(const HttpRequest& request) {
    const unsigned int timeout = static_cast<unsigned int>(Listener().SessionTimeout());
    std::unique_ptr<AlgSocket> server = ConnectTo(request, *this);
    if (!server) return;
    Summary().DidMore("200");
    WriteClient(kTunnelOpenReply, sizeof kTunnelOpenReply - 1);
    // What the client sent right behind its request was received with it.
    const std::string_view pending = clientReader_.Pending();
    if (!pending.empty())
        server->Write(pending.data(), static_cast<unsigned int>(pending.size()), timeout);
    RelayStreams(ClientSocket(), *server, timeout);
}

bool HttpStateMachine::SendBody(AlgSocket& server, std::uint64_t length) {
    const std::string_view early = clientReader_.Pending();
    const std::size_t taken =
        static_cast<std::size_t>(std::min<std::uint64_t>(early.size(), length));
    try {
        BodyRelay relay(ClientSocket(), server,
                        static_cast<unsigned int>(Listener().SessionTimeout()));
        relay.Write(early.substr(0, taken));
        if (relay.Copy(length - taken) == length - taken) return true;
    } catch (...) {
        server.Abort();
        throw;
    }
    LoggedMessage m(UploadCutShort, event, warning);
    Log(m);
    server.Abort();
    return false;
}

bool HttpStateMachine::MayStream(const char* user, const HttpResponse& response,
                                 const HttpBodyFraming& framing) {
    codepage_t cp = textcode::kUnknown;
    return framing.kind != HttpBodyFraming::Kind::unclear &&
           RulesLeaveBody(Listener().ProcessSections(), user) &&
           CharsetFromHead(response.headers, false, cp);
}

void HttpStateMachine::StreamResponse(const char* user, HttpResponse& response, bool chunked,
                                      const HttpBodyFraming& framing, AlgSocket& server,
                                      BufferedSocketReader& serverReader) {
    using Kind = HttpBodyFraming::Kind;
    // The head alone settles the charset (MayStream), so the step logs only what it shows.
    setResponseCharset_step(response);
    if (!filterResponse_step(user, response)) return;
    Summary().DidMore(response.status.substr(0, response.status.find(' ')));
    // The head goes out with the body bytes received behind it, in one write.
    std::string out = response.StreamedHead(chunked);
    const std::string_view early = serverReader.Pending();
    bool whole = true;
    try {
        BodyRelay relay(server, ClientSocket(),
                        static_cast<unsigned int>(Listener().SessionTimeout()));
        switch (framing.kind) {
            case Kind::length: {
                const std::size_t taken =
                    static_cast<std::size_t>(std::min<std::uint64_t>(early.size(), framing.length));
                relay.Write(out.append(early.substr(0, taken)));
                whole = relay.Copy(framing.length - taken) == framing.length - taken;
                break;
            }
            case Kind::chunked: {
                ChunkedFraming body;
                relay.Write(out.append(early.substr(0, body.Scan(early))));
                whole = body.Complete() || relay.CopyChunked(body);
                break;
            }
            case Kind::close:
                relay.Write(out.append(early));
                relay.Copy(BodyRelay::kToEnd);
                break;
            case Kind::none:
            case Kind::unclear:
                relay.Write(out);
                break;
        }
    } catch (...) {
        ClientSocket().Abort();
        throw;
    }
    if (whole) return;
    LoggedMessage m(StreamCutShort, event, warning);
    Log(m);
    ClientSocket().Abort();
}

bool HttpStateMachine::filterRequest_step(HttpRequest& request, bool bodyFollows) {
    request.RemoveOption("Proxy-Connection");
    request.RemoveOption("Proxy-Authorization");
    // The body goes right behind the header, so the server has nothing to wait for: the
    // gateway answers the client's expectation itself.
    request.RemoveOption("Expect");
    request.SetOptionValue("Connection", "close");
    const ProcessSection& sections = Listener().ProcessSections();
    const char* user = request.user.c_str();
    for (auto it = request.options.begin(); it != request.options.end();) {
        if (sections.ProcessOption(user, it->first.c_str(), it->second, *this)) {
            WriteClient(kRejectedReply, sizeof kRejectedReply - 1);
            return false;
        }
        it = it->second.empty() ? request.options.erase(it) : std::next(it);
    }
    if (!request.body.empty() && FilterBody(user, request.body, textcode::kUnknown, true)) {
        WriteClient(kRejectedReply, sizeof kRejectedReply - 1);
        return false;
    }
    // Whatever the rules made of the body or of the length field, the server reads exactly
    // the body that is sent; one that follows keeps its length, which no rule may touch.
    if (bodyFollows) return true;
    if (!request.body.empty() || request.FindOptionC("Content-length") != request.options.end())
        request.SetOptionValue("Content-length", std::to_string(request.body.size()));
    return true;
}

bool HttpStateMachine::filterResponse_step(const char* user, HttpResponse& response) {
    const ProcessSection& sections = Listener().ProcessSections();
    for (auto it = response.headers.begin(); it != response.headers.end();) {
        const std::size_t colon = it->find(':');
        if (colon == std::string::npos) {
            ++it;
            continue;
        }
        // The rules see the value without its line end, which is put back after them.
        std::size_t end = it->size();
        if (end > colon + 1 && (*it)[end - 1] == '\n') --end;
        if (end > colon + 1 && (*it)[end - 1] == '\r') --end;
        const std::string name = it->substr(0, colon);
        std::string value = it->substr(colon + 1, end - colon - 1);
        const bool hadValue = !value.empty();
        if (sections.ProcessOption(user, name.c_str(), value, *this)) {
            WriteClient(kRejectedReply, sizeof kRejectedReply - 1);
            return false;
        }
        // A rule that empties a value removes its line; a line that came empty stays.
        if (value.empty() && hadValue) {
            it = response.headers.erase(it);
            continue;
        }
        it->replace(colon + 1, end - colon - 1, value);
        ++it;
    }
    if (!response.body.empty() && FilterBody(user, response.body, response.codepage, false)) {
        WriteClient(kRejectedReply, sizeof kRejectedReply - 1);
        return false;
    }
    return true;
}

bool HttpStateMachine::FilterBody(const char* user, std::string& body, codepage_t codepage,
                                  bool request) {
    const ProcessSection& sections = Listener().ProcessSections();
    const auto judges = [user](const SectionBase& s) {
        return !s.bodies.empty() && s.AppliesTo(user);
    };
    const bool replacing = std::any_of(sections.replaces.begin(), sections.replaces.end(), judges);
    if (!replacing && std::none_of(sections.cuts.begin(), sections.cuts.end(), judges))
        return false;
    // The rules match a UTF-16 copy of the text; a replacement builds its result besides.
    // Those copies count against the body budget while they may exist.
    BodyBudget::Share stage;
    const std::size_t copies = replacing ? 5 : 2;
    if (!stage.Hold(copies * body.size())) {
        if (request) throw ParseError(HttpBodiesOverBudget);
        throw HttpLimitError(HttpBodiesOverBudget);
    }
    // The text the rules read: the body itself, or its conversion to the filter code page
    // (without a known code page the bytes are matched as they are).
    const bool converts = codepage != kFilterCodepage && codepage != textcode::kUnknown;
    std::string converted;
    if (converts) {
        converted = body;
        ProcessSection::PrepareToFilter(converted, codepage);
    }
    std::string& text = converts ? converted : body;
    bool replaceable = replacing && SurvivesUtf8(text);
    if (replaceable && converts) {
        std::string back = converted;
        ProcessSection::PrepareToShow(back, codepage);
        replaceable = back == body;
    }
    for (const CutSection& cut : sections.cuts)
        if (cut.ProcessBody(user, text, *this)) return true;
    if (!replacing) return false;
    if (!replaceable) {
        // A replace rule would rewrite every byte that is not text, not only its match.
        LoggedMessage m(BodyNotText, detail, info);
        Log(m);
        return false;
    }
    if (converts) std::string().swap(body);
    for (const ReplaceSection& replace : sections.replaces) replace.ProcessBody(user, text, *this);
    if (converts) {
        ProcessSection::PrepareToShow(converted, codepage);
        body.swap(converted);
    }
    return false;
}

codepage_t HttpStateMachine::ObtainCharset(const std::string& body) {
    const std::string_view name = HttpCharset::FromPage(body);
    if (name.empty()) return textcode::kUnknown;
    return textcode::get_codepage_value(std::string(name).c_str());
}

bool HttpStateMachine::CharsetFromHead(const std::list<std::string>& headers, bool log,
                                       codepage_t& cp) {
    cp = textcode::kUnknown;
    bool textSeen = false;
    for (const std::string& line : headers) {
        if (HttpCharset::IsTextHtml(line)) {
            if (log) LogWithSuffix(*this, TextHtmlPage, nullptr);
            textSeen = true;
        } else if (!textSeen) {
            continue;
        }
        const std::string name(HttpCharset::FromHeader(line));
        if (name.empty()) continue;
        if (log) LogWithSuffix(*this, CharsetFromOptions, name.c_str());
        cp = textcode::get_codepage_value(name.c_str());
        break;
    }
    // A charset the converter does not know counts as none.
    if (cp == textcode::kUnknown && textSeen) cp = Listener().DefaultCodepage();
    return cp != textcode::kUnknown || !textSeen;
}

bool HttpStateMachine::setResponseCharset_step(HttpResponse& response) {
    codepage_t cp = ObtainCharset(response.body);
    if (cp != textcode::kUnknown)
        LogWithSuffix(*this, CharsetFromPage, textcode::get_codepage_name(cp));
    else if (!CharsetFromHead(response.headers, true, cp))
        return false;
    LogWithSuffix(*this, ResultingCharset, textcode::get_codepage_name(cp));
    response.codepage = cp;
    return true;
}

// ---- Http, HttpProxy ------------------------------------------------------------------------

Http::Http(const ALGproxyType& section, bool firstStart, LogSystem& logSystem)
    : Proto(section, firstStart, logSystem) {
    // An unknown name leaves the listener without a default code page, as an absent one does.
    try {
        CheckDefaultCharset(*section.general[0]);
    } catch (const InitializerError& e) {
        LogError(*ProxyApp::Instance(), e, event, warning);
    }
    if (const ALGprocessType* process = section.process.first()) {
        I_ToLogSystem& log = *ProxyApp::Instance();
        ProcessSections().AddReplaceSections(process->replace, BodyRules::build, log);
        ProcessSections().AddCutSections(process->cut, BodyRules::build, log);
    }
}

StateMachine* Http::doCreateStateMachine(int descriptor) {
    return new HttpStateMachine(*this, descriptor);
}

Proto* HttpProxy::CreateProto(const ALGproxyType& section, bool firstStart, LogSystem& logSystem) {
    return new Http(section, firstStart, logSystem);
}

}  // namespace alg

int main(int argc, char** argv) {
    return alg::ServiceMain<alg::HttpProxy>("alg_http", argc, argv);
}
