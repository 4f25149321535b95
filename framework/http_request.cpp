#include "http_request.h"

#include <strings.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
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

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The value of the first Content-Length line of `headers` when it is a decimal number.
std::optional<std::size_t> ContentLength(const std::list<std::string>& headers) {
    for (const std::string& line : headers) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos ||
            !IEquals(std::string_view(line).substr(0, colon), "Content-Length"))
            continue;
        std::size_t p = colon + 1, value = 0, digits = 0;
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
        for (; p < line.size() && line[p] >= '0' && line[p] <= '9'; ++p, ++digits) {
            if (value > (SIZE_MAX - 9) / 10) return SIZE_MAX;  // beyond any body we take
            value = value * 10 + static_cast<std::size_t>(line[p] - '0');
        }
        if (digits == 0) return std::nullopt;
        return value;
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

// Appends everything up to the end of the stream; HttpLimitError past `limit` bytes.
void ReadToEnd(Reader& reader, std::string& out, std::size_t limit, unsigned int timeout) {
    std::unique_ptr<char[]> piece(new char[kReadPiece]);
    for (;;) {
        if (!reader.DataIsAvailable(timeout)) throw SocketError(Timeout);
        unsigned int size = kReadPiece;
        if (!reader.Read(piece.get(), size, timeout)) return;
        if (out.size() + size > limit) throw HttpLimitError(HttpResponseTooLarge);
        out.append(piece.get(), size);
    }
}

// A length field's value: decimal digits with blanks (and a line end) around them and nothing
// else, within 64 bits; empty otherwise.
std::optional<std::uint64_t> DecimalLength(std::string_view value) {
    const std::size_t first = value.find_first_not_of(" \t");
    const std::size_t last = value.find_last_not_of(" \t\r\n");
    if (first == std::string_view::npos || last == std::string_view::npos) return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : value.substr(first, last + 1 - first)) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
        n = n * 10 + digit;
    }
    return n;
}

void TooLarge() {
    throw ParseError(HttpRequestTooLarge);
}

// Appends exactly `count` bytes, growing `out` only as they arrive, so that a length the
// client claims but never sends costs no memory.
void ReadExactly(Reader& reader, std::string& out, std::size_t count, unsigned int timeout) {
    constexpr std::size_t kStep = 1 << 20;
    while (count > 0) {
        const std::size_t n = std::min(count, kStep);
        const std::size_t old = out.size();
        out.resize(old + n);
        reader.ReadN(out.data() + old, static_cast<unsigned int>(n), timeout);
        count -= n;
    }
}

}  // namespace

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
    std::size_t budget = HttpLimits::kLine;  // the request line as a whole
    method.clear();
    ReadBounded(reader, method, ' ', timeout, budget);
    CheckMethod();
    // The URI and the version share what the method left of the line's budget.
    std::string uri;
    ReadBounded(reader, uri, ' ', timeout, budget);
    ParseURI(uri);
    version.clear();
    ReadBounded(reader, version, '\n', timeout, budget);
    ReadOptions(reader, timeout);
    if (!FindHostIP(host.c_str(), ip)) return false;
    ExtractAuthInfo();
    return true;
}

void HttpRequest::CheckMethod() {
    while (method.size() >= 2 && method[0] == '\r' && method[1] == '\n') method.erase(0, 2);
    while (!method.empty() && method.back() == ' ') method.pop_back();
    isConnect = method == "CONNECT";
}

void HttpRequest::ReadURI(Reader& reader, unsigned int timeout) {
    std::size_t budget = HttpLimits::kLine;
    std::string uri;
    ReadBounded(reader, uri, ' ', timeout, budget);
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
        line.resize(line.size() - 2);
        std::string name, value;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            name = line;
        } else {
            name = line.substr(0, colon);
            std::size_t v = line.find_first_not_of(" \t", colon + 1);
            if (v == std::string::npos) v = colon + 1;
            value = line.substr(v);
        }
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

std::size_t HttpRequest::ContentLengthValue() const {
    const char* value = GetOptionValue("Content-length");
    if (value == nullptr) return 0;
    const char* p = value;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '-') return 0;
    if (*p == '+') ++p;
    std::size_t n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + static_cast<std::size_t>(*p - '0');
        if (n > HttpLimits::kRequestBody) TooLarge();
    }
    return n;
}

std::optional<std::uint64_t> HttpRequest::StreamableBodyLength() const {
    if (FindOptionC("Transfer-Encoding") != options.end()) return std::nullopt;
    const char* value = nullptr;
    for (const Field& f : options) {
        if (strcasecmp(f.first.c_str(), "Content-length") != 0) continue;
        if (value != nullptr) return std::nullopt;
        value = f.second.c_str();
    }
    if (value == nullptr) return std::nullopt;
    const std::optional<std::uint64_t> length = DecimalLength(value);
    if (length && *length == 0) return std::nullopt;
    return length;
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
    ReadExactly(reader, body, ContentLengthValue(), timeout);
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
        ReadExactly(reader, body, size, timeout);
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
    return line.size() >= 3;
}

void HttpRequest::CutPortFromHost() {
    const std::size_t colon = host.find(':');
    if (colon == std::string::npos) return;
    if (colon + 1 < host.size()) port = host.substr(colon + 1);
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
    std::size_t budget = HttpLimits::kLine;
    version.clear();
    status.clear();
    reason.clear();
    if (!ReadWithin(reader, version, ' ', timeout, budget) ||
        !ReadWithin(reader, status, ' ', timeout, budget) ||
        !ReadWithin(reader, reason, '\n', timeout, budget))
        throw HttpLimitError(HttpResponseTooLarge);
    headers.clear();
    bool chunked = false;
    for (;;) {
        budget = HttpLimits::kLine;
        std::string line;
        if (!ReadWithin(reader, line, '\n', timeout, budget))
            throw HttpLimitError(HttpResponseTooLarge);
        if (IEquals(line, kGzipLine)) {
            gzipped = true;
        } else if (IEquals(line, kChunkedLine)) {
            chunked = true;
            continue;
        }
        if (line.size() < 3) break;
        if (headers.size() >= HttpLimits::kFields) throw HttpLimitError(HttpResponseTooLarge);
        headers.push_back(std::move(line));
    }
    return chunked;
}

bool HttpResponse::ReadBody(Reader& reader, unsigned int timeout, bool chunked) {
    cutShort = false;
    if (!ShouldHasBody()) return false;
    body.clear();
    ReadToEnd(reader, body,
              HttpLimits::kResponseBody + (chunked ? HttpLimits::kChunkedOverhead : 0), timeout);
    if (chunked) {
        cutShort = !unchunk();
    } else {
        const std::optional<std::size_t> announced = ContentLength(headers);
        cutShort = announced && body.size() < *announced;
    }
    if (body.size() > HttpLimits::kResponseBody) throw HttpLimitError(HttpResponseTooLarge);
    return gzipped ? ungzip() : true;
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
        if (bare.size() != name.size() || !value || (length && *length != *value)) return {};
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
    int rc = Z_OK;
    do {
        zs.next_out = reinterpret_cast<Bytef*>(piece.get());
        zs.avail_out = kReadPiece;
        rc = inflate(&zs, Z_NO_FLUSH);
        const std::size_t produced = kReadPiece - zs.avail_out;
        if (out.size() + produced > HttpLimits::kGzipOutput) {
            inflateEnd(&zs);
            throw HttpLimitError(HttpResponseTooLarge);
        }
        out.append(piece.get(), produced);
    } while (rc == Z_OK && zs.avail_out == 0);
    inflateEnd(&zs);
    if (!out.empty()) body.swap(out);
    return true;
}

bool HttpResponse::gzip() {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        deflateEnd(&zs);
        return false;
    }
    const std::size_t room = std::min<std::size_t>(
        deflateBound(&zs, static_cast<uLong>(body.size())), HttpLimits::kGzipOutput);
    std::string out(room, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(body.data());
    zs.avail_in = static_cast<uInt>(body.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(room);
    const int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) return false;
    body.swap(out);
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
    writer.Write(head.data(), static_cast<unsigned int>(head.size()), timeout);
    if (!body.empty()) writer.Write(body.data(), static_cast<unsigned int>(body.size()), timeout);
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
