#include "http_request.h"

#include <strings.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <memory>
#include <optional>

#include "alg_xml.h"
#include "basis.h"

namespace alg {

// ---------------------------------------------------------------------------------------------
// Handshake record
// ---------------------------------------------------------------------------------------------

bool HandshakeInfoHolder::GetPropVal(const char* name, std::string& value) const {
    if (name == nullptr) return false;
    const std::string* field = nullptr;
    if (std::strcmp(name, "IP") == 0)
        field = &ip;
    else if (std::strcmp(name, "Host") == 0)
        field = &host;
    else if (std::strcmp(name, "Port") == 0)
        field = &port;
    if (field == nullptr) return false;
    value = *field;
    return true;
}

const char* HandshakeInfoHolder::GetClassName() const {
    return "HandshakeInfoHolder";
}

// ---------------------------------------------------------------------------------------------
// HTTP messages
// ---------------------------------------------------------------------------------------------

namespace {

constexpr std::size_t kReadPiece = 64 * 1024;
constexpr char kChunkedLine[] = "Transfer-Encoding: chunked\r\n";
constexpr char kGzipLine[] = "Content-Encoding: gzip\r\n";
// A body up to this size goes out in one write with its head: one segment and one wake-up of
// the client instead of two.
constexpr std::size_t kBodyWithHead = 64 * 1024;

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A length field's value: decimal digits with blanks (and a line end) around them and nothing
// else; empty otherwise. A value beyond 64 bits gives UINT64_MAX, more than any body.
std::optional<std::uint64_t> DecimalLength(std::string_view value) {
    const std::size_t first = value.find_first_not_of(" \t");
    const std::size_t last = value.find_last_not_of(" \t\r\n");
    if (first == std::string_view::npos || last == std::string_view::npos) return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : value.substr(first, last + 1 - first)) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        n = n > (UINT64_MAX - digit) / 10 ? UINT64_MAX : n * 10 + digit;
    }
    return n;
}

// The value of the first Content-Length line of `headers` when it is a decimal number.
std::optional<std::size_t> ContentLength(const std::list<std::string>& headers) {
    for (const std::string& line : headers) {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos &&
            IEquals(std::string_view(line).substr(0, colon), "Content-Length"))
            return DecimalLength(std::string_view(line).substr(colon + 1));
    }
    return std::nullopt;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// First position at or after `from` of `needle` (lower case) in `hay`, ASCII case ignored.
std::size_t IFind(std::string_view hay, std::string_view needle, std::size_t from) {
    if (from > hay.size()) return std::string_view::npos;
    auto it = std::search(hay.begin() + from, hay.end(), needle.begin(), needle.end(),
                          [](char h, char n) { return Lower(h) == n; });
    return it == hay.end() ? std::string_view::npos : static_cast<std::size_t>(it - hay.begin());
}

// The blanks of the charset expressions: those of a Latin-1 character taken as one byte.
bool IsSpace(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b == ' ' || (b >= '\t' && b <= '\r') || b == 0x85 || b == 0xA0;
}

bool IsTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-';
}

// The end of a "charset\s*=\s*" match starting at `at`, or npos when none starts there.
std::size_t CharsetParameterEnd(std::string_view text, std::size_t at) {
    std::size_t p = at + 7;
    while (p < text.size() && IsSpace(text[p])) ++p;
    if (p >= text.size() || text[p] != '=') return std::string_view::npos;
    ++p;
    while (p < text.size() && IsSpace(text[p])) ++p;
    return p;
}

// The first "[a-zA-Z0-9-]+" at or after `from`.
std::string_view Token(std::string_view text, std::size_t from) {
    while (from < text.size() && !IsTokenChar(text[from])) ++from;
    std::size_t end = from;
    while (end < text.size() && IsTokenChar(text[end])) ++end;
    return text.substr(std::min(from, text.size()), end - std::min(from, text.size()));
}

// ReadToTermChar within what is left of `budget`; false when the budget ran out first.
bool ReadWithin(Reader& reader, std::string& out, char terminator, unsigned int timeout,
                std::size_t& budget) {
    const std::size_t before = out.size();
    reader.ReadToTermChar(out, terminator, timeout, budget);
    budget -= out.size() - before;
    return out.size() > before && out.back() == terminator;
}

// Holds `bytes` in `share` or throws HttpLimitError.
void HoldForResponse(BodyBudget::Share& share, std::size_t bytes) {
    if (!share.Hold(bytes)) throw HttpLimitError(HttpBodiesOverBudget);
}

// Appends everything up to the end of the stream, held in `share`; HttpLimitError past
// `limit` bytes or past the budget.
void ReadToEnd(Reader& reader, std::string& out, BodyBudget::Share& share, std::size_t limit,
               unsigned int timeout) {
    std::unique_ptr<char[]> piece(new char[kReadPiece]);
    for (;;) {
        // Read waits only when nothing has arrived; nothing within the time-out reads as 0.
        unsigned int size = kReadPiece;
        if (!reader.Read(piece.get(), size, timeout)) return;
        if (size == 0) {
            errno = 0;
            throw SocketError(Timeout);
        }
        if (out.size() + size > limit) throw HttpLimitError(HttpResponseTooLarge);
        HoldForResponse(share, out.size() + size);
        out.append(piece.get(), size);
    }
}

constexpr int kEmptyLinesBeforeRequest = 16;
constexpr int kInterimResponses = 16;

// A token character of a method or a field name.
bool IsTchar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool HasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Removes the line end (LF or CR LF); false when a CR remains anywhere in the line or the
// line is empty.
bool StripLineEnd(std::string& line) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return !line.empty() && line.find('\r') == std::string::npos;
}

std::string_view TrimOws(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

void TooLarge() {
    throw ParseError(HttpRequestTooLarge);
}

// Appends exactly `count` bytes, growing `out` only as they arrive, so that a length the
// client claims but never sends costs no memory.
void ReadExactly(Reader& reader, std::string& out, BodyBudget::Share& share, std::size_t count,
                 unsigned int timeout) {
    constexpr std::size_t kStep = 1 << 20;
    while (count > 0) {
        const std::size_t n = std::min(count, kStep);
        const std::size_t old = out.size();
        if (!share.Hold(old + n)) throw ParseError(HttpBodiesOverBudget);
        out.resize(old + n);
        reader.ReadN(out.data() + old, static_cast<unsigned int>(n), timeout);
        count -= n;
    }
}

}  // namespace

BodyBudget& BodyBudget::Process() {
    static BodyBudget budget([] {
        const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
        const unsigned long long physical =
            pages > 0 && pageSize > 0
                ? static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize)
                : ~0ULL;
        return static_cast<std::size_t>(std::min<unsigned long long>(1ULL << 30, physical / 4));
    }());
    return budget;
}

BodyBudget::Share::Share(Share&& other) noexcept : budget_(other.budget_), held_(other.held_) {
    other.held_ = 0;
}

BodyBudget::Share& BodyBudget::Share::operator=(Share&& other) noexcept {
    if (this != &other) {
        Hold(0);
        budget_ = other.budget_;
        held_ = other.held_;
        other.held_ = 0;
    }
    return *this;
}

bool BodyBudget::Share::Hold(std::size_t bytes) {
    std::atomic<std::size_t>& inUse = budget_->inUse_;
    if (bytes <= held_) {
        inUse.fetch_sub(held_ - bytes);
        held_ = bytes;
        return true;
    }
    const std::size_t more = bytes - held_;
    std::size_t current = inUse.load();
    do {
        if (more > budget_->limit_ || current > budget_->limit_ - more) return false;
    } while (!inUse.compare_exchange_weak(current, current + more));
    held_ = bytes;
    return true;
}

void CheckDefaultCharset(const ALGgeneralType& general) {
    if (general.default_charset.empty()) return;
    if (textcode::get_codepage_value(general.default_charset.c_str()) == textcode::kUnknown)
        throw InitializerError(UnknownDefaultCharset, general.default_charset.c_str());
}

// ---- HttpRequest ----------------------------------------------------------------------------

bool HttpRequest::GetPropVal(const char* name, std::string& value) const {
    if (name == nullptr) return false;
    if (std::strcmp(name, "URL") == 0) {
        value = "http://" + host + path;
        return true;
    }
    if (std::strcmp(name, "METHOD") == 0) {
        value = method;
        return true;
    }
    return HandshakeInfoHolder::GetPropVal(name, value);
}

void HttpRequest::ReadBounded(Reader& reader, std::string& out, char terminator,
                              unsigned int timeout, std::size_t& budget) {
    if (!ReadWithin(reader, out, terminator, timeout, budget)) TooLarge();
}

bool HttpRequest::Read(Reader& reader, unsigned int timeout) {
    if (!ReadHead(reader, timeout)) return false;
    if (!isConnect) ReadBody(reader, timeout);
    return true;
}

bool HttpRequest::ReadHead(Reader& reader, unsigned int timeout) {
    ReadRequestLine(reader, timeout);
    ReadOptions(reader, timeout);
    CheckFraming();
    ExtractAuthInfo();
    return FindHostIP(host.c_str(), ip);
}

void HttpRequest::ReadRequestLine(Reader& reader, unsigned int timeout) {
    std::string line;
    // Empty lines before the request line are skipped, as the server would skip them.
    for (int skipped = 0;; ++skipped) {
        if (skipped > kEmptyLinesBeforeRequest) throw ParseError(BadRequestFormat);
        std::size_t budget = HttpLimits::kLine;
        line.clear();
        ReadBounded(reader, line, '\n', timeout, budget);
        if (line != "\r\n" && line != "\n") break;
    }
    if (!StripLineEnd(line)) throw ParseError(BadRequestFormat);
    const std::size_t blank = line.find(' ');
    const std::size_t blank2 = blank == std::string::npos ? blank : line.find(' ', blank + 1);
    if (blank2 == std::string::npos) throw ParseError(BadRequestFormat);
    method = line.substr(0, blank);
    CheckMethod();
    // The target is written out again as it came: nothing in it may end or add a line.
    const std::string uri = line.substr(blank + 1, blank2 - blank);
    const std::string_view v = std::string_view(line).substr(blank2 + 1);
    if (HasControl(uri) || v.size() != 8 || v.compare(0, 5, "HTTP/") != 0 || !IsDigit(v[5]) ||
        v[6] != '.' || !IsDigit(v[7]))
        throw ParseError(BadRequestFormat);
    ParseURI(uri);
    version = line.substr(blank2 + 1) + "\r\n";
}

void HttpRequest::CheckMethod() {
    while (method.size() >= 2 && method[0] == '\r' && method[1] == '\n') method.erase(0, 2);
    while (!method.empty() && method.back() == ' ') method.pop_back();
    if (method.empty() || !std::all_of(method.begin(), method.end(), IsTchar))
        throw ParseError(BadRequestFormat);
    isConnect = method == "CONNECT";
}

void HttpRequest::ReadURI(Reader& reader, unsigned int timeout) {
    std::size_t budget = HttpLimits::kLine;
    std::string uri;
    ReadBounded(reader, uri, ' ', timeout, budget);
    if (HasControl(uri)) throw ParseError(BadRequestFormat);
    ParseURI(uri);
}

void HttpRequest::ParseURI(const std::string& uri) {
    std::size_t pathStart = 0;
    if (uri.compare(0, 7, "http://") == 0) {
        const std::size_t slash = uri.find('/', 7);
        if (slash == std::string::npos) throw ParseError(SlashExpectedAfterHost);
        host = uri.substr(7, slash - 7);
        CutPortFromHost();
        pathStart = slash;
    } else if (uri.empty() || uri[0] != '/') {
        if (!isConnect) throw ParseError(SlashExpectedBeforePath);
        host = uri;
        if (!host.empty() && host.back() == ' ') host.pop_back();
        CutPortFromHost();
        return;
    }
    if (isConnect) return;
    // The URI ends with its terminating blank, which belongs to neither part.
    const std::size_t end = uri.empty() ? 0 : uri.size() - 1;
    const std::size_t mark = uri.find('?', pathStart);
    if (mark == std::string::npos || mark >= end) {
        path = uri.substr(pathStart, end - std::min(pathStart, end));
    } else {
        path = uri.substr(pathStart, mark - pathStart);
        query = uri.substr(mark, end - mark);
    }
}

void HttpRequest::ReadOptions(Reader& reader, unsigned int timeout) {
    std::string line;
    for (std::size_t lines = 0; ReadFieldLine(reader, line, lines, timeout);) {
        // A bare CR or a folded line would show the server a field the rules never saw; a
        // name with blanks before its colon would hide the field from the rules for it.
        if (!StripLineEnd(line) || line[0] == ' ' || line[0] == '\t')
            throw ParseError(BadRequestFormat);
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0 ||
            !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon), IsTchar))
            throw ParseError(BadRequestFormat);
        std::string name = line.substr(0, colon);
        std::size_t v = line.find_first_not_of(" \t", colon + 1);
        if (v == std::string::npos) v = colon + 1;
        std::string value = line.substr(v);
        if (strcasecmp(name.c_str(), "host") == 0) {
            if (host.empty()) {
                host = value;
                CutPortFromHost();
            }
            continue;
        }
        options.emplace_back(std::move(name), std::move(value));
    }
}

void HttpRequest::CheckFraming() {
    std::optional<std::uint64_t> length;
    int codings = 0;
    for (const Field& f : options) {
        if (strcasecmp(f.first.c_str(), "Transfer-Encoding") == 0) {
            if (++codings > 1 || !IEquals(TrimOws(f.second), "chunked"))
                throw ParseError(HttpUnsupportedCoding);
        } else if (strcasecmp(f.first.c_str(), "Content-Length") == 0) {
            const std::optional<std::uint64_t> n = DecimalLength(f.second);
            if (!n || (length && *length != *n)) throw ParseError(HttpBadContentLength);
            // A body passed on as it arrives has no bound, but its length must be one the
            // server reads as the gateway does.
            if (*n == UINT64_MAX) TooLarge();
            length = n;
        }
    }
    if (!length) return;
    // One field in canonical form; with a transfer coding the length is known once read.
    bool kept = codings != 0;
    for (auto it = options.begin(); it != options.end();) {
        if (strcasecmp(it->first.c_str(), "Content-Length") != 0) {
            ++it;
        } else if (!kept) {
            it->second = std::to_string(*length);
            kept = true;
            ++it;
        } else {
            it = options.erase(it);
        }
    }
}

std::size_t HttpRequest::ContentLengthValue() const {
    const char* value = GetOptionValue("Content-length");
    const std::optional<std::uint64_t> n = value ? DecimalLength(value) : std::nullopt;
    if (!n) return 0;
    if (*n > HttpLimits::kRequestBody) TooLarge();
    return static_cast<std::size_t>(*n);
}

std::optional<std::uint64_t> HttpRequest::StreamableBodyLength() const {
    if (FindOptionC("Transfer-Encoding") != options.end()) return std::nullopt;
    const char* value = GetOptionValue("Content-length");
    const std::optional<std::uint64_t> length = value ? DecimalLength(value) : std::nullopt;
    if (length && *length == 0) return std::nullopt;
    return length;
}

bool HttpRequest::AwaitsContinue() const {
    const char* expect = GetOptionValue("Expect");
    if (expect == nullptr || !IEquals(TrimOws(expect), "100-continue")) return false;
    // The version is "HTTP/" digit "." digit and the line end (ReadRequestLine).
    if (version.size() < 8 || (version[5] == '0' || (version[5] == '1' && version[7] == '0')))
        return false;
    if (FindOptionC("Transfer-Encoding") != options.end()) return true;
    const char* length = GetOptionValue("Content-length");
    const std::optional<std::uint64_t> n = length ? DecimalLength(length) : std::nullopt;
    return n && *n > 0;
}

void HttpRequest::ReadBody(Reader& reader, unsigned int timeout) {
    body.clear();
    if (const char* coding = GetOptionValue("Transfer-Encoding")) {
        std::string_view c(coding);
        while (!c.empty() && (c.back() == ' ' || c.back() == '\t')) c.remove_suffix(1);
        if (!IEquals(c, "chunked")) throw ParseError(HttpUnsupportedCoding);
        ReadChunkedBody(reader, timeout);
        // The server learns the length the gateway read, never a second opinion on it.
        RemoveOption("Transfer-Encoding");
        while (FindOptionC("Content-length") != options.end()) RemoveOption("Content-length");
        SetOptionValue("Content-length", std::to_string(body.size()));
        return;
    }
    ReadExactly(reader, body, bodyShare, ContentLengthValue(), timeout);
}

void HttpRequest::ReadChunkedBody(Reader& reader, unsigned int timeout) {
    for (;;) {
        std::size_t budget = HttpLimits::kLine;
        std::string line;
        ReadBounded(reader, line, '\n', timeout, budget);
        std::size_t p = line.find_first_not_of(" \t");
        std::size_t size = 0;
        const std::size_t digits = p;
        for (; p < line.size() && std::isxdigit(static_cast<unsigned char>(line[p])); ++p) {
            const char c = Lower(line[p]);
            size = size * 16 + static_cast<std::size_t>(c <= '9' ? c - '0' : c - 'a' + 10);
            if (size > HttpLimits::kRequestBody) TooLarge();
        }
        if (p == digits || digits == std::string::npos) throw ParseError(BadRequestFormat);
        if (size == 0) break;
        if (body.size() + size > HttpLimits::kRequestBody) TooLarge();
        ReadExactly(reader, body, bodyShare, size, timeout);
        std::string end;
        budget = 2;
        if (!ReadWithin(reader, end, '\n', timeout, budget) || (end != "\r\n" && end != "\n"))
            throw ParseError(BadRequestFormat);
    }
    // Trailer fields up to the empty line are read and dropped.
    std::string line;
    for (std::size_t lines = 0; ReadFieldLine(reader, line, lines, timeout);) {
    }
}

bool HttpRequest::ReadFieldLine(Reader& reader, std::string& line, std::size_t& lines,
                                unsigned int timeout) {
    if (lines++ > HttpLimits::kFields) TooLarge();
    std::size_t budget = HttpLimits::kLine;
    line.clear();
    ReadBounded(reader, line, '\n', timeout, budget);
    return line != "\r\n" && line != "\n";
}

void HttpRequest::CutPortFromHost() {
    const std::size_t colon = host.find(':');
    if (colon == std::string::npos) return;
    if (colon + 1 < host.size()) {
        int number = 0;
        if (!ParsePort(std::string_view(host).substr(colon + 1), number))
            throw ParseError(HttpBadPort);
        port = std::to_string(number);
    }
    host.resize(colon);
}

bool HttpRequest::ExtractAuthInfo() {
    const char* value = GetOptionValue("Proxy-Authorization");
    if (value == nullptr || strncasecmp(value, "Basic", 5) != 0) return false;
    char decoded[256];
    const unsigned n = base64_decode(value + 5, decoded, 255);
    if (n > 255) return false;
    decoded[n] = '\0';
    hasAuthInfo = true;
    const std::string text(decoded);  // up to an embedded NUL
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        user = text;
    } else {
        user = text.substr(0, colon);
        password = text.substr(colon + 1);
    }
    ::explicit_bzero(decoded, sizeof decoded);
    return true;
}

void HttpRequest::WriteRelativeURI(std::string& out) const {
    if (isConnect) {
        out += host;
        if (!port.empty()) out += ":" + port;
    } else {
        out += path;
        out += query;
        out += ' ';
    }
}

void HttpRequest::Write(Writer& writer, unsigned int timeout) const {
    std::string head = method + ' ';
    WriteRelativeURI(head);
    head += version;
    for (const Field& f : options) head += f.first + ": " + f.second + "\r\n";
    head += "Host: " + host;
    if (strcasecmp(port.c_str(), "80") != 0) head += ":" + port;
    head += "\r\n\r\n";
    writer.Write(head.data(), static_cast<unsigned int>(head.size()), timeout);
    if (!body.empty()) writer.Write(body.data(), static_cast<unsigned int>(body.size()), timeout);
}

std::list<HttpRequest::Field>::iterator HttpRequest::FindOption(const char* name) {
    return std::find_if(options.begin(), options.end(),
                        [&](const Field& f) { return strcasecmp(f.first.c_str(), name) == 0; });
}

std::list<HttpRequest::Field>::const_iterator HttpRequest::FindOptionC(const char* name) const {
    return std::find_if(options.begin(), options.end(),
                        [&](const Field& f) { return strcasecmp(f.first.c_str(), name) == 0; });
}

const char* HttpRequest::GetOptionValue(const char* name) const {
    auto it = FindOptionC(name);
    return it == options.end() ? nullptr : it->second.c_str();
}

void HttpRequest::SetOptionValue(const char* name, const std::string& value) {
    auto it = FindOption(name);
    if (it == options.end())
        options.emplace_back(name, value);
    else
        it->second = value;
}

void HttpRequest::RemoveOption(const char* name) {
    auto it = FindOption(name);
    if (it != options.end()) options.erase(it);
}

// ---- HttpResponse ---------------------------------------------------------------------------

bool HttpResponse::Read(Reader& reader, unsigned int timeout) {
    return ReadBody(reader, timeout, ReadHead(reader, timeout));
}

bool HttpResponse::ReadHead(Reader& reader, unsigned int timeout) {
    // Interim responses are not passed on (an HTTP/1.0 client must not get them); 101 is
    // final and left to ShouldHasBody.
    for (int interim = 0;; ++interim) {
        if (interim > kInterimResponses) throw HttpLimitError(HttpResponseTooLarge);
        const bool chunked = ReadOneHead(reader, timeout);
        if (status[0] != '1' || status == "101 ") return chunked;
    }
}

bool HttpResponse::ReadBody(Reader& reader, unsigned int timeout, bool chunked) {
    cutShort = false;
    if (!ShouldHasBody()) return false;
    body.clear();
    ReadToEnd(reader, body, bodyShare,
              HttpLimits::kResponseBody + (chunked ? HttpLimits::kChunkedOverhead : 0), timeout);
    if (chunked) {
        cutShort = !unchunk();
    } else {
        const std::optional<std::size_t> announced = ContentLength(headers);
        cutShort = announced && body.size() < *announced;
    }
    if (body.size() > HttpLimits::kResponseBody) throw HttpLimitError(HttpResponseTooLarge);
    if (!gzipped || body.empty()) return true;
    return ungzip();
}

bool HttpResponse::ReadOneHead(Reader& reader, unsigned int timeout) {
    std::size_t budget = HttpLimits::kLine;
    std::string line;
    if (!ReadWithin(reader, line, '\n', timeout, budget))
        throw HttpLimitError(HttpResponseTooLarge);
    // Version, blank, three digits, then a blank and a reason or the line end at once.
    const std::size_t blank = line.find(' ');
    const std::size_t code = blank + 1;
    if (blank == std::string::npos || line.size() < code + 4 || !IsDigit(line[code]) ||
        !IsDigit(line[code + 1]) || !IsDigit(line[code + 2]) ||
        (line[code + 3] != ' ' && line[code + 3] != '\r' && line[code + 3] != '\n'))
        throw HttpLimitError(HttpMalformedResponse);
    version = line.substr(0, code);
    status = line.substr(code, 3) + ' ';
    reason = line.substr(line[code + 3] == ' ' ? code + 4 : code + 3);
    headers.clear();
    bool chunked = false;
    gzipped = false;
    for (;;) {
        budget = HttpLimits::kLine;
        line.clear();
        if (!ReadWithin(reader, line, '\n', timeout, budget))
            throw HttpLimitError(HttpResponseTooLarge);
        if (IEquals(line, kGzipLine)) {
            gzipped = true;
        } else if (IEquals(line, kChunkedLine)) {
            chunked = true;
            continue;
        }
        if (line == "\r\n" || line == "\n") return chunked;
        if (headers.size() >= HttpLimits::kFields) throw HttpLimitError(HttpResponseTooLarge);
        headers.push_back(std::move(line));
    }
}

HttpBodyFraming HttpResponse::BodyFraming(std::string_view method, bool chunked) const {
    using Kind = HttpBodyFraming::Kind;
    if (status.size() < 3 || !std::all_of(status.begin(), status.begin() + 3,
                                          [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    if (status[0] == '1') return {};
    std::optional<std::uint64_t> length;
    for (const std::string& line : headers) {
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) return {};
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string_view name(line.data(), colon);
        const std::string_view bare = name.substr(0, name.find_last_not_of(" \t") + 1);
        if (IEquals(bare, "Transfer-Encoding")) return {};
        if (!IEquals(bare, "Content-Length")) continue;
        const std::optional<std::uint64_t> value =
            DecimalLength(std::string_view(line).substr(colon + 1));
        if (bare.size() != name.size() || !value || *value == UINT64_MAX ||
            (length && *length != *value))
            return {};
        length = value;
    }
    if (method == "HEAD" || status.compare(0, 3, "204") == 0 || status.compare(0, 3, "304") == 0)
        return {Kind::none, 0};
    if (chunked) return length ? HttpBodyFraming{} : HttpBodyFraming{Kind::chunked, 0};
    return length ? HttpBodyFraming{Kind::length, *length} : HttpBodyFraming{Kind::close, 0};
}

std::string HttpResponse::StreamedHead(bool chunked) const {
    std::string head = version + status + reason;
    for (const std::string& line : headers) head += line;
    if (chunked) head += kChunkedLine;
    head += "\r\n";
    return head;
}

bool HttpResponse::ShouldHasBody() const {
    if (!status.empty() && status[0] == '1') throw LogicError("1xx status code recived");
    return status != "204 " && status != "304 " && status != "406 ";
}

bool HttpResponse::unchunk() {
    const std::string_view in(body);
    HoldForResponse(bodyShare, 2 * in.size());
    std::string out;
    out.reserve(in.size());
    std::size_t p = 0;
    bool last = false;
    for (;;) {
        while (p < in.size() && IsSpace(in[p])) ++p;
        const std::size_t digits = p;
        std::size_t size = 0;
        for (; p < in.size() && std::isxdigit(static_cast<unsigned char>(in[p])); ++p) {
            const char c = Lower(in[p]);
            size = size * 16 + static_cast<std::size_t>(c <= '9' ? c - '0' : c - 'a' + 10);
            if (size > in.size()) size = in.size() + 1;  // more than remains, whatever follows
        }
        if (p == digits) break;
        if (size == 0) {
            last = true;
            break;
        }
        // Past the size line (a chunk extension included).
        const std::size_t eol = in.find('\n', p);
        if (eol == std::string_view::npos) break;
        p = eol + 1;
        const std::size_t take = std::min(size, in.size() - p);
        out.append(in.substr(p, take));
        p += take;
        if (take < size) break;
        p = std::min(p + 2, in.size());
    }
    body.swap(out);
    std::string().swap(out);
    bodyShare.Hold(body.size());
    return last;
}

bool HttpResponse::ungzip() {
    z_stream zs{};
    if (inflateInit2(&zs, 31) != Z_OK) {
        inflateEnd(&zs);
        return false;
    }
    std::string out;
    std::unique_ptr<char[]> piece(new char[kReadPiece]);
    zs.next_in = reinterpret_cast<Bytef*>(body.data());
    zs.avail_in = static_cast<uInt>(body.size());
    bool complete = false;  // the input so far ends on the end of a member
    for (;;) {
        zs.next_out = reinterpret_cast<Bytef*>(piece.get());
        zs.avail_out = kReadPiece;
        const int rc = inflate(&zs, Z_NO_FLUSH);
        const std::size_t produced = kReadPiece - zs.avail_out;
        if (out.size() + produced > HttpLimits::kGzipOutput) {
            inflateEnd(&zs);
            throw HttpLimitError(HttpResponseTooLarge);
        }
        if (out.size() + produced > out.capacity() &&
            !bodyShare.Hold(body.size() + std::max(2 * out.capacity(), out.size() + produced))) {
            inflateEnd(&zs);
            throw HttpLimitError(HttpBodiesOverBudget);
        }
        out.append(piece.get(), produced);
        if (rc == Z_OK) continue;
        complete = rc == Z_STREAM_END;
        if (!complete || zs.avail_in == 0) break;
        // Another member follows, or the zero padding some servers put after the last one.
        const auto* rest = reinterpret_cast<const char*>(zs.next_in);
        if (std::all_of(rest, rest + zs.avail_in, [](char c) { return c == '\0'; })) break;
        inflateReset(&zs);
        complete = false;
    }
    inflateEnd(&zs);
    // Nothing decodable at all: the body is not gzip whatever its label says, and goes on
    // as it came. Anything else that did not end on a member's end is not the whole body.
    if (out.empty() && !complete) return true;
    cutShort = cutShort || !complete;
    body.swap(out);
    std::string().swap(out);
    bodyShare.Hold(body.capacity());
    return true;
}

bool HttpResponse::gzip() {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        deflateEnd(&zs);
        return false;
    }
    // The output grows piece by piece: compressed text is mostly far smaller than the body,
    // which need not be held twice over.
    std::string out;
    std::unique_ptr<char[]> piece(new char[kReadPiece]);
    zs.next_in = reinterpret_cast<Bytef*>(body.data());
    zs.avail_in = static_cast<uInt>(body.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(piece.get());
        zs.avail_out = kReadPiece;
        rc = deflate(&zs, Z_FINISH);
        const std::size_t produced = kReadPiece - zs.avail_out;
        if (out.size() + produced > HttpLimits::kGzipOutput ||
            (out.size() + produced > out.capacity() &&
             !bodyShare.Hold(body.size() + std::max(2 * out.capacity(), out.size() + produced))))
            rc = Z_MEM_ERROR;
        else
            out.append(piece.get(), produced);
    }
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) {
        bodyShare.Hold(body.size());
        return false;
    }
    body.swap(out);
    std::string().swap(out);
    bodyShare.Hold(body.capacity());
    return true;
}

void HttpResponse::Write(Writer& writer, unsigned int timeout) {
    std::string head = version + status + reason;
    // An empty body stays empty: compressing it would give a body to a reply that has none.
    const bool labelHolds = !gzipped || body.empty() || gzip();
    bool lengthWritten = false;
    const std::string length = "Content-length: " + std::to_string(body.size()) + "\r\n";
    for (const std::string& line : headers) {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos &&
            IEquals(std::string_view(line).substr(0, colon), "Content-length")) {
            head += length;
            lengthWritten = true;
        } else if (!labelHolds && IEquals(line, kGzipLine)) {
            continue;  // the body goes out plain, so it must not be labelled gzip
        } else {
            head += line;
        }
    }
    if (!ShouldHasBody()) {
        head += "\r\n";
        writer.Write(head.data(), static_cast<unsigned int>(head.size()), timeout);
        return;
    }
    if (!lengthWritten) head += length;
    head += "\r\n";
    const bool together = body.size() <= kBodyWithHead;
    if (together) head += body;
    writer.Write(head.data(), static_cast<unsigned int>(head.size()), timeout);
    if (!together) writer.Write(body.data(), static_cast<unsigned int>(body.size()), timeout);
}

// ---- HttpCharset ----------------------------------------------------------------------------

std::string_view HttpCharset::FromPage(std::string_view body) {
    const std::size_t head = IFind(body, "<head", 0);
    if (head == std::string_view::npos) return {};
    // The leftmost "charset" and "/head>" leave the most room for the ".+" between them.
    const std::size_t charset = IFind(body, "charset", head + 6);
    if (charset == std::string_view::npos) return {};
    if (IFind(body, "/head>", charset + 8) == std::string_view::npos) return {};
    for (std::size_t from = head;;) {
        const std::size_t at = IFind(body, "charset", from);
        if (at == std::string_view::npos) return {};
        const std::size_t end = CharsetParameterEnd(body, at);
        if (end != std::string_view::npos) return Token(body, end);
        from = at + 1;
    }
}

bool HttpCharset::IsTextHtml(std::string_view line) {
    if (IFind(line.substr(0, 12), "content-type", 0) != 0) return false;
    const std::size_t at = IFind(line, "text/html", 13);
    return at != std::string_view::npos && at + 9 < line.size();
}

std::string_view HttpCharset::FromHeader(std::string_view line) {
    const std::size_t type = IFind(line, "content-type", 0);
    if (type == std::string_view::npos) return {};
    // The greedy ".+" makes the last parameter after the field name the one that counts.
    std::size_t end = std::string_view::npos;
    for (std::size_t at = IFind(line, "charset", type + 13); at != std::string_view::npos;
         at = IFind(line, "charset", at + 1)) {
        const std::size_t e = CharsetParameterEnd(line, at);
        if (e != std::string_view::npos) end = e;
    }
    if (end == std::string_view::npos) return {};
    return Token(line, end);
}

}  // namespace alg
