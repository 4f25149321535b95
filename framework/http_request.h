// The handshake record every protocol fills from the client's opening request, the exception
// its readers throw on a message they cannot parse, and the HTTP request and response models.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "algsocket.h"
#include "alogger.h"
#include "misc_classes.h"
#include "textcode.h"

struct ALGgeneralType;

namespace alg {

// ---------------------------------------------------------------------------------------------
// Handshake record
// ---------------------------------------------------------------------------------------------

ALG_MESSAGE(SlashExpectedAfterHost, "'/' Expected at the end of host name",
            "В конце имени хоста должен быть символ '/'");
ALG_MESSAGE(SlashExpectedBeforePath, "'/' Expected at the begining of path",
            "В начале пути должен быть символ '/'");
ALG_MESSAGE(BadRequestFormat, "Bad request format", "Неправильный формат запроса");

// Thrown by the handshake readers when the client's message cannot be parsed; what() is the
// English text of the pair.
ALG_LOCALIZED_EXCEPTION(ParseError);

// Where the client wants to go and the credentials it offers to the proxy. Access rules read
// "IP", "Host" and "Port" (exact names); the credentials are not properties.
class HandshakeInfoHolder : public ObjectWithProperties {
  public:
    std::string ip;        // destination IPv4 address in dotted-decimal text; empty until resolved
    std::string host;      // destination host as the client gave it, without port
    std::string port;      // destination port, decimal text
    std::string user;      // user name offered to the proxy; empty if none
    std::string password;  // password offered to the proxy; empty if none

    bool GetPropVal(const char* name, std::string& value) const override;
    const char* GetClassName() const override;
};

// ---------------------------------------------------------------------------------------------
// HTTP messages
// ---------------------------------------------------------------------------------------------

// Every bound the HTTP models keep on what a client or a server sends.
struct HttpLimits {
    static constexpr std::size_t kLine = 64 * 1024;             // request, status, header line
    static constexpr std::size_t kFields = 100;                 // header fields of a message
    static constexpr std::size_t kRequestBody = 256u << 20;     // request body, decoded
    static constexpr std::size_t kResponseBody = 256u << 20;    // response body, decoded
    static constexpr std::size_t kGzipOutput = 256u << 20;      // one gzip pass's output
    static constexpr std::size_t kChunkedOverhead = 16u << 20;  // chunk framing read on top
};

ALG_MESSAGE(HttpRequestTooLarge, "Request exceeds the limits of the gateway",
            "Запрос превышает ограничения шлюза");
ALG_MESSAGE(HttpUnsupportedCoding, "Unsupported transfer coding in request",
            "Неподдерживаемое кодирование передачи в запросе");
ALG_MESSAGE(HttpResponseTooLarge, "Response exceeds the limits of the gateway",
            "Ответ превышает ограничения шлюза");
ALG_MESSAGE(UnknownDefaultCharset, "Unknown default_charset",
            "Неизвестная кодировка default_charset");
ALG_MESSAGE(HttpBadPort, "Invalid port in request", "Неверный порт в запросе");
ALG_MESSAGE(HttpBadContentLength, "Conflicting or invalid Content-Length in request",
            "Противоречивая или неверная длина содержимого в запросе");
ALG_MESSAGE(HttpMalformedResponse, "Malformed response status line",
            "Неправильная строка состояния ответа");

ALG_MESSAGE(HttpBodiesOverBudget, "Bodies held by the gateway exceed its memory budget",
            "Тела сообщений в памяти шлюза превышают бюджет памяти");

// A response over one of HttpLimits or over the body budget: the exchange ends without a reply.
ALG_LOCALIZED_EXCEPTION(HttpLimitError);

// One bound on the bytes of message bodies that sessions hold in memory together, each stage
// of decoding and filtering counted while it exists. Thread-safe.
class BodyBudget {
  public:
    explicit BodyBudget(std::size_t limit) : limit_(limit) {}
    BodyBudget(const BodyBudget&) = delete;
    BodyBudget& operator=(const BodyBudget&) = delete;

    // The process's budget: 1 GiB, or a quarter of physical memory when that is less.
    static BodyBudget& Process();

    std::size_t Limit() const { return limit_; }
    std::size_t InUse() const { return inUse_.load(); }

    // What one holder (a message, a filtering stage) has taken from a budget; given back when
    // it ends. Movable, not copyable.
    class Share {
      public:
        explicit Share(BodyBudget& budget = Process()) : budget_(&budget) {}
        Share(Share&& other) noexcept;
        Share& operator=(Share&& other) noexcept;
        ~Share() { Hold(0); }

        // Makes the share `bytes`; false, with the share unchanged, when that would take the
        // budget past its limit. Giving back never fails.
        bool Hold(std::size_t bytes);
        std::size_t Held() const { return held_; }

      private:
        BodyBudget* budget_;
        std::size_t held_ = 0;
    };

  private:
    const std::size_t limit_;
    std::atomic<std::size_t> inUse_{0};
};

// Throws InitializerError(UnknownDefaultCharset) with the name as detail when `general` names
// a default_charset the converter does not know; an absent or empty one is accepted.
void CheckDefaultCharset(const ALGgeneralType& general);

// One HTTP request as the proxy receives it. What the server is sent is what the rules saw:
// ReadHead throws ParseError for a head that a server could read otherwise than the gateway -
// a malformed URI, a method that is not a token, a control character in the target, a bare CR
// anywhere, a folded or nameless field line, a port that is not 1..65535 in plain decimal
// (HttpBadPort), differing or non-numeric Content-Length fields (HttpBadContentLength), a
// transfer coding other than one "chunked" (HttpUnsupportedCoding) - and for a request over
// HttpLimits (HttpRequestTooLarge); socket errors and time-outs propagate from the reader.
// Properties: "URL", "METHOD", "IP", "Host", "Port" (the port in canonical decimal).
class HttpRequest : public HandshakeInfoHolder {
  public:
    using Field = std::pair<std::string, std::string>;

    HttpRequest() { port = "80"; }

    std::string method;
    std::string path;     // from "/", without the query
    std::string query;    // with its "?", or empty
    std::string version;  // rest of the request line, line end included
    bool hasAuthInfo = false;
    bool isConnect = false;
    std::list<Field> options;  // header fields in order received, never "Host"
    std::string body;
    BodyBudget::Share bodyShare;  // the body's part of the process's body budget

    bool GetPropVal(const char* name, std::string& value) const override;
    const char* GetClassName() const override { return "HttpRequest"; }

    // The whole request: false (nothing after the header read) when the host does not resolve.
    // A CONNECT request has no body: what follows its head belongs to the tunnel.
    bool Read(Reader& reader, unsigned int timeout);
    // Request line and header fields up to the empty line, credentials decoded, the host
    // resolved (false when it does not resolve); the body is left unread. On return the
    // fields hold at most one Content-length, in canonical decimal.
    bool ReadHead(Reader& reader, unsigned int timeout);
    // Skips leading CR LF pairs and trailing blanks, sets isConnect; throws
    // ParseError(BadRequestFormat) when what remains is not a token.
    void CheckMethod();
    void ReadURI(Reader& reader, unsigned int timeout);
    void ReadOptions(Reader& reader, unsigned int timeout);
    // A chunked body is decoded and its field replaced by a Content-length; without a transfer
    // coding exactly ContentLengthValue() bytes are read.
    void ReadBody(Reader& reader, unsigned int timeout);
    // The value of "Content-length"; absent or not decimal gives 0, beyond the body bound
    // throws ParseError(HttpRequestTooLarge).
    std::size_t ContentLengthValue() const;
    // The length of a body that can pass to the server as it arrives, without a bound: the
    // Content-length ReadHead left, above 0, and no "Transfer-Encoding". Empty for every other
    // request, whose body ReadBody reads whole.
    std::optional<std::uint64_t> StreamableBodyLength() const;
    // Whether the client waits for a "100 Continue" before it sends its body: a request of
    // HTTP/1.1 or later with a body (a Content-length above 0, or a transfer coding) whose
    // Expect is "100-continue" in any letter case. An HTTP/1.0 client's expectation is none a
    // server may answer.
    bool AwaitsContinue() const;
    // Splits ":port" off `host`; the port must pass ParsePort (ParseError(HttpBadPort)) and is
    // kept in canonical decimal. An empty port after the colon keeps the previous one.
    void CutPortFromHost();
    bool ExtractAuthInfo();
    void WriteRelativeURI(std::string& out) const;
    // Origin form, fields in order, "Host" last, then the body; one write.
    void Write(Writer& writer, unsigned int timeout) const;

    std::list<Field>::iterator FindOption(const char* name);
    std::list<Field>::const_iterator FindOptionC(const char* name) const;
    const char* GetOptionValue(const char* name) const;
    void SetOptionValue(const char* name, const std::string& value);
    void RemoveOption(const char* name);

  private:
    void ParseURI(const std::string& uri);
    void ReadRequestLine(Reader& reader, unsigned int timeout);
    // One Content-Length at most, one Transfer-Encoding at most and only "chunked".
    void CheckFraming();
    // Reads up to `terminator`, counting against the line budget; ParseError when exceeded.
    void ReadBounded(Reader& reader, std::string& out, char terminator, unsigned int timeout,
                     std::size_t& budget);
    void ReadChunkedBody(Reader& reader, unsigned int timeout);
    // One header or trailer line into `line`, counted in `lines`; false at the empty line.
    bool ReadFieldLine(Reader& reader, std::string& line, std::size_t& lines, unsigned int timeout);
};

// How the end of a response body is found while the body passes on unchanged.
struct HttpBodyFraming {
    enum class Kind {
        none,     // no body follows the head (HEAD, 204, 304)
        length,   // `length` bytes
        chunked,  // the chunked coding, up to its last chunk and trailer
        close,    // up to the server's end of stream
        unclear,  // a head readers may take in more than one way: the response is held instead
    };
    Kind kind = Kind::unclear;
    std::uint64_t length = 0;
};

// One HTTP response as read from the server: its body decoded (chunked, gzip) for the
// filters, written back with an exact Content-length and gzip put back. Interim responses
// (1xx but 101) are read and dropped. Read throws HttpLimitError over HttpLimits or for a
// status line that is not version, blank, three digits and an optional reason
// (HttpMalformedResponse), and LogicError "1xx status code recived" for a 101.
class HttpResponse {
  public:
    codepage_t codepage = -1;
    bool gzipped = false;
    std::string version;             // with its ending blank
    std::string status;              // three digits and a blank
    std::string reason;              // rest of the status line, line end included
    std::list<std::string> headers;  // whole lines with CR LF; no chunked line, no end line
    std::string body;
    // The body's part of the process's body budget, with the copies decoding makes; a
    // response that would go past the budget throws HttpLimitError(HttpBodiesOverBudget).
    BodyBudget::Share bodyShare;
    // Set by Read when the server ended before the body its Content-Length announced, before
    // the last chunk or inside a gzip member: a cut transfer, not to be passed on as whole.
    bool cutShort = false;

    // Everything up to the server's end of stream; the result is that of ungzip, or false
    // when the status admits no body. ReadHead, then ReadBody.
    bool Read(Reader& reader, unsigned int timeout);
    // The status line and the header lines of the final response, interim ones skipped: whether
    // the body comes in the chunked coding (whose line is then dropped from `headers`).
    bool ReadHead(Reader& reader, unsigned int timeout);
    // The body that follows the head, as Read takes it; `chunked` as ReadHead returned.
    bool ReadBody(Reader& reader, unsigned int timeout, bool chunked);
    // How the body after this head ends, for a request of `method` and `chunked` as ReadHead
    // returned. Unclear for a 101 or unreadable status, a folded header line, a
    // Transfer-Encoding line other than the one ReadHead dropped, a Content-Length that is not
    // decimal digits (or is beyond 64 bits) or differs from another, or both codings at once.
    HttpBodyFraming BodyFraming(std::string_view method, bool chunked) const;
    // The status line and the header lines (a chunked coding's line put back last), for a
    // body that passes on unchanged.
    std::string StreamedHead(bool chunked) const;
    bool ShouldHasBody() const;
    // Takes chunks until a size of 0 or one that does not parse; a chunk claiming more than
    // remains takes what remains and ends the body. True when the body ended on the last
    // (zero-size) chunk.
    bool unchunk();
    // Decodes every gzip member. False only when zlib cannot set up; a body of which nothing
    // decodes stays as it was; one that stops or breaks inside a member keeps what decoded
    // and sets cutShort. Output past HttpLimits throws HttpLimitError.
    bool ungzip();
    // False with the body unchanged when compression fails or exceeds HttpLimits.
    bool gzip();
    // Status line, header lines with Content-length set to the body size (a failed gzip drops
    // the "Content-Encoding: gzip" line), then the body.
    void Write(Writer& writer, unsigned int timeout);

  private:
    // Status line and header lines of one response, final or interim: whether its body comes
    // in the chunked coding.
    bool ReadOneHead(Reader& reader, unsigned int timeout);
};

// The linear equivalents of the charset searches of a response (a backtracking engine takes
// time far beyond the size of a hostile page); texts are bytes, letters compared in ASCII case.
struct HttpCharset {
    // The name token "[a-zA-Z0-9-]+" found after "charset\s*=\s*" searched from the first
    // "<head" of a body that matches "<head.+charset.+/head>"; empty when any step fails.
    static std::string_view FromPage(std::string_view body);
    // Whether the whole line matches "Content-type.+text/html.+".
    static bool IsTextHtml(std::string_view line);
    // The token after the match of "Content-type.+charset\s*=\s*" in the line; empty if none.
    static std::string_view FromHeader(std::string_view line);
};

}  // namespace alg
