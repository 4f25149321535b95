#include "http_request.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <regex>

#include "framework/fake_stream.h"

namespace {

using alg::HttpLimits;
using alg::HttpRequest;
using alg::HttpResponse;
using alg::test::FakeStream;

TEST(HandshakeInfoHolder, PropertiesAreTheDestination) {
    alg::HandshakeInfoHolder h;
    std::string value = "untouched";
    // Not yet resolved: present, and empty.
    EXPECT_TRUE(h.GetPropVal("IP", value));
    EXPECT_EQ(value, "");

    h.ip = "127.0.0.1";
    h.host = "example.test";
    h.port = "8021";
    h.user = "alice";
    h.password = "secret";
    EXPECT_TRUE(h.GetProperty("IP", value));
    EXPECT_EQ(value, "127.0.0.1");
    EXPECT_TRUE(h.GetProperty("Host", value));
    EXPECT_EQ(value, "example.test");
    EXPECT_TRUE(h.GetProperty("Port", value));
    EXPECT_EQ(value, "8021");

    // Names are exact and the credentials are not properties.
    value = "untouched";
    for (const char* name : {"host", "HOST", "ip", "Hos", "User", "user", "password", ""})
        EXPECT_FALSE(h.GetPropVal(name, value)) << name;
    EXPECT_FALSE(h.GetPropVal(nullptr, value));
    EXPECT_EQ(value, "untouched");
    EXPECT_EQ(h.SetProperty("Host", "other"), 1);
    EXPECT_EQ(h.host, "example.test");
    EXPECT_STREQ(h.GetClassName(), "HandshakeInfoHolder");
}

TEST(ParseError, CarriesTheMessagePair) {
    try {
        throw alg::ParseError(alg::BadRequestFormat);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Bad request format");
        const auto* loc = dynamic_cast<const alg::ErrLocalizer*>(&e);
        ASSERT_NE(loc, nullptr);
        EXPECT_EQ(&loc->Msg(), &alg::BadRequestFormat);
        EXPECT_EQ(loc->Detail(), "");
    }
    EXPECT_STREQ(alg::SlashExpectedAfterHost.en, "'/' Expected at the end of host name");
    EXPECT_STREQ(alg::SlashExpectedBeforePath.en, "'/' Expected at the begining of path");
    // Russian texts are held in Windows-1251 ("В конце", "Непр").
    EXPECT_EQ(std::strncmp(alg::SlashExpectedAfterHost.ru, "\xC2 \xEA\xEE\xED\xF6\xE5", 7), 0);
    EXPECT_EQ(std::strncmp(alg::BadRequestFormat.ru, "\xCD\xE5\xEF\xF0", 4), 0);
}

// Reads `text` as a request, in one piece and byte by byte; both must agree.
HttpRequest ParseRequest(const std::string& text, bool* resolved = nullptr) {
    HttpRequest whole;
    FakeStream all(text);
    const bool ok = whole.Read(all, 1000);
    HttpRequest bytewise;
    FakeStream bytes(text, 1);
    EXPECT_EQ(bytewise.Read(bytes, 1000), ok);
    EXPECT_EQ(bytewise.body, whole.body);
    EXPECT_EQ(bytewise.options, whole.options);
    if (resolved) *resolved = ok;
    return whole;
}

const alg::locMSG* ParseFailure(const std::string& text) {
    try {
        ParseRequest(text);
    } catch (const alg::ParseError& e) {
        return &e.Msg();
    }
    return nullptr;
}

TEST(HttpRequest, RequestLineHostAndFields) {
    struct Case {
        std::string text;
        std::string host, port, path, query, version, url;
        bool connect;
    };
    const Case cases[] = {
        {"GET http://127.0.0.1:8080/a/b?x=1 HTTP/1.1\r\nHost: other\r\n\r\n", "127.0.0.1", "8080",
         "/a/b", "?x=1", "HTTP/1.1\r\n", "http://127.0.0.1/a/b", false},
        {"\r\n\r\nGET / HTTP/1.0\r\nhOsT: 127.0.0.1:81\r\n\r\n", "127.0.0.1", "81", "/", "",
         "HTTP/1.0\r\n", "http://127.0.0.1/", false},
        {"CONNECT 127.0.0.1:443 HTTP/1.1\r\n\r\n", "127.0.0.1", "443", "", "", "HTTP/1.1\r\n",
         "http://127.0.0.1", true},
        {"GET http://127.0.0.1:/p HTTP/1.1\r\n\r\n", "127.0.0.1", "80", "/p", "", "HTTP/1.1\r\n",
         "http://127.0.0.1/p", false},
    };
    for (const Case& c : cases) {
        HttpRequest r = ParseRequest(c.text);
        EXPECT_EQ(r.host, c.host) << c.text;
        EXPECT_EQ(r.port, c.port) << c.text;
        EXPECT_EQ(r.path, c.path) << c.text;
        EXPECT_EQ(r.query, c.query) << c.text;
        EXPECT_EQ(r.version, c.version) << c.text;
        EXPECT_EQ(r.isConnect, c.connect) << c.text;
        std::string url;
        EXPECT_TRUE(r.GetPropVal("URL", url));
        EXPECT_EQ(url, c.url);
        EXPECT_EQ(r.FindOptionC("Host"), r.options.end()) << "Host never kept: " << c.text;
    }

    // Field values lose the blanks after the colon; a bare LF ends a line as CR LF does.
    HttpRequest r = ParseRequest("GET / HTTP/1.1\nHost: 127.0.0.1\r\nA:  \t x y\nB:\t \r\n\n");
    const std::list<HttpRequest::Field> fields = {{"A", "x y"}, {"B", "\t "}};
    EXPECT_EQ(r.options, fields);
    EXPECT_EQ(r.version, "HTTP/1.1\r\n");

    bool resolved = true;
    ParseRequest("GET / HTTP/1.1\r\nHost: no-such-host.invalid\r\n\r\n", &resolved);
    EXPECT_FALSE(resolved);

    EXPECT_EQ(ParseFailure("GET http://127.0.0.1 HTTP/1.1\r\n\r\n"), &alg::SlashExpectedAfterHost);
    EXPECT_EQ(ParseFailure("GET index.html HTTP/1.1\r\n\r\n"), &alg::SlashExpectedBeforePath);
}

TEST(HttpRequest, BodiesAndBounds) {
    const std::string head = "POST http://127.0.0.1/u HTTP/1.1\r\n";
    struct Case {
        std::string fields, body;
        std::string expectBody;
        const char* length;  // Content-length forwarded, null: none
    };
    const Case cases[] = {
        {"Content-Length: 5\r\n", "hello", "hello", "5"},
        {"content-length: 0003\r\nContent-Length: 3 \r\n", "abc", "abc", "3"},
        {"Transfer-Encoding: chunked\r\n",
         "5\r\nhello\r\nA;ext=1\r\n, chunked!\r\n0\r\nT: x\r\n\r\n", "hello, chunked!", "15"},
        // Both: the coding decides, the stated length is dropped.
        {"Content-Length: 2\r\nTransfer-Encoding: Chunked \r\n", "3\r\nabc\r\n0\r\n\r\n", "abc",
         "3"},
    };
    for (const Case& c : cases) {
        HttpRequest r = ParseRequest(head + c.fields + "\r\n" + c.body);
        EXPECT_EQ(r.body, c.expectBody) << c.fields;
        const char* length = r.GetOptionValue("Content-length");
        ASSERT_NE(length, nullptr);
        EXPECT_STREQ(length, c.length);
        EXPECT_EQ(r.GetOptionValue("Transfer-Encoding"), nullptr);
        int lengths = 0;
        for (const auto& f : r.options)
            lengths += strcasecmp(f.first.c_str(), "content-length") == 0;
        EXPECT_EQ(lengths, 1);
    }

    const std::string longLine(HttpLimits::kLine, 'a');
    std::string manyFields;
    for (std::size_t i = 0; i <= HttpLimits::kFields; ++i) manyFields += "X: y\r\n";
    const std::pair<std::string, const alg::locMSG*> refused[] = {
        {head + "X: " + longLine + "\r\n\r\n", &alg::HttpRequestTooLarge},
        {"GET /" + longLine + " HTTP/1.1\r\n\r\n", &alg::HttpRequestTooLarge},
        {head + manyFields + "\r\n", &alg::HttpRequestTooLarge},
        {head + "Content-Length: 268435457\r\n\r\n", &alg::HttpRequestTooLarge},
        {head + "Transfer-Encoding: chunked\r\n\r\n10000001\r\n", &alg::HttpRequestTooLarge},
        {head + "Transfer-Encoding: gzip, chunked\r\n\r\n", &alg::HttpUnsupportedCoding},
        {head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", &alg::BadRequestFormat},
        {head + "Transfer-Encoding: chunked\r\n\r\n2\r\nabcd\r\n", &alg::BadRequestFormat},
        {head + "content-length: -3\r\n\r\n", &alg::HttpBadContentLength},
        {head + "Content-Length: 3\r\nContent-Length: 3, 3\r\n\r\n", &alg::HttpBadContentLength},
        {head + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n",
         &alg::HttpUnsupportedCoding},
        {head + "Content-Length: 18446744073709551616\r\n\r\n", &alg::HttpRequestTooLarge},
    };
    for (const auto& [text, msg] : refused)
        EXPECT_EQ(ParseFailure(text), msg) << text.substr(0, 80);

    // The head alone: a body that may pass as it arrives has no bound, and its length is the
    // one field the head left, in the spelling the server is sent.
    const std::pair<std::string, std::optional<std::uint64_t>> streamable[] = {
        {"Content-Length: 0300000000\r\ncontent-length: 300000000\r\n", 300000000},
        {"Content-Length: 18446744073709551614\r\n", UINT64_MAX - 1},
        {"Content-Length: 0\r\n", std::nullopt},
        {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [fields, length] : streamable) {
        HttpRequest r;
        FakeStream in(head + fields + "\r\n");
        ASSERT_TRUE(r.ReadHead(in, 1000)) << fields;
        EXPECT_EQ(r.StreamableBodyLength(), length) << fields;
        if (length) {
            EXPECT_EQ(r.GetOptionValue("Content-length"), std::to_string(*length)) << fields;
        }
    }
}

TEST(HttpRequest, Credentials) {
    const std::pair<std::string, std::pair<std::string, std::string>> auth[] = {
        {"Basic ZGVtbzpzZWNyZXQ6eA==", {"demo", "secret:x"}},  // demo:secret:x
        {"basic  ZGVtbw==", {"demo", "kept"}},                 // demo, no colon
        {"Digest ZGVtbzpzZWNyZXQ=", {"", "kept"}},
        {"Basic !!!", {"", "kept"}},
    };
    for (const auto& [value, expected] : auth) {
        HttpRequest r;
        r.password = "kept";
        r.options.emplace_back("Proxy-Authorization", value);
        EXPECT_EQ(r.ExtractAuthInfo(), !expected.first.empty()) << value;
        EXPECT_EQ(r.hasAuthInfo, !expected.first.empty());
        EXPECT_EQ(r.user, expected.first);
        EXPECT_EQ(r.password, expected.second);
    }
}

std::string Gzip(const std::string& plain) {
    HttpResponse r;
    r.body = plain;
    EXPECT_TRUE(r.gzip());
    return r.body;
}

TEST(HttpResponse, BodiesDecodedAndWrittenBack) {
    std::string big(300000, 'z');  // compresses far beyond ten to one
    struct Case {
        std::string text;
        std::string body;
        bool gzipped;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: "
         "chunked\r\n\r\n5\r\nhello\r\na\r\n0123456789\r\n0\r\n\r\n",
         "hello0123456789", false},
        // A chunk claiming more than remains takes what remains.
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\nffff\r\nxyz", "abcxyz",
         false},
        {"HTTP/1.1 200 OK\r\ncontent-encoding: GZIP\r\n\r\n" + Gzip(big), big, true},
        {"HTTP/1.1 200 OK\r\nContent-Encoding:gzip\r\n\r\nraw", "raw", false},
        // Nothing decodable: the body stays as received.
        {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\nnot gzip", "not gzip", true},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {FakeStream::kWhole, std::size_t{7}}) {
            HttpResponse r;
            FakeStream in(c.text, piece);
            r.Read(in, 1000);
            EXPECT_EQ(r.body, c.body) << c.text.substr(0, 60);
            EXPECT_EQ(r.gzipped, c.gzipped);
            for (const std::string& line : r.headers)
                EXPECT_EQ(line.find("chunked"), std::string::npos);
        }
    }

    // A cut stream keeps what decoded before the cut and is known to be cut.
    HttpResponse cut;
    cut.body = Gzip("partly decoded text").substr(0, 16);
    EXPECT_TRUE(cut.ungzip());
    EXPECT_TRUE(cut.cutShort);
    EXPECT_FALSE(cut.body.empty());
    EXPECT_EQ(std::string("partly decoded text").rfind(cut.body, 0), 0u) << cut.body;

    // Written back: Content-length replaced in place or added last, gzip put back.
    HttpResponse r;
    FakeStream in(
        "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nContent-Encoding: gzip\r\nX: y\r\n\r\n" +
        Gzip("plain text"));
    r.Read(in, 1000);
    FakeStream out;
    r.Write(out, 1000);
    const std::string gz = Gzip("plain text");
    EXPECT_EQ(out.Written().substr(0, out.Written().size() - r.body.size()),
              "HTTP/1.1 200 OK\r\nContent-length: " + std::to_string(r.body.size()) +
                  "\r\nContent-Encoding: gzip\r\nX: y\r\n\r\n");
    EXPECT_EQ(out.WriteCalls().size(), 1u) << "a small body goes out with its head";
    HttpResponse back;
    back.body = r.body;
    back.ungzip();
    EXPECT_EQ(back.body, "plain text");

    // A server that neither sends more nor closes ends the read of a body without a length.
    HttpResponse stalled;
    FakeStream silent("HTTP/1.1 200 OK\r\n\r\nabc", FakeStream::kWhole, false);
    try {
        stalled.Read(silent, 1000);
        ADD_FAILURE() << "read past the time-out";
    } catch (const alg::SocketError& e) {
        EXPECT_EQ(&e.Msg(), &alg::Timeout);
    }

    HttpResponse informational;
    FakeStream hundred("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 101\r\n\r\n");
    EXPECT_THROW(informational.Read(hundred, 1000), alg::LogicError);
    HttpResponse longHeader;
    FakeStream huge("HTTP/1.1 200 OK\r\nX: " + std::string(HttpLimits::kLine, 'a') + "\r\n\r\n");
    EXPECT_THROW(longHeader.Read(huge, 1000), alg::HttpLimitError);
}

// The searches must give what the expressions give; std::regex stands in for the engine,
// with [\s\S] for a "." that also matches line ends.
TEST(HttpCharset, AgreesWithTheExpressionsOnOrdinaryPages) {
    const auto icase = std::regex::icase | std::regex::ECMAScript;
    const std::regex page("<head[\\s\\S]+charset[\\s\\S]+/head>", icase);
    const std::regex parameter("charset\\s*=\\s*", icase);
    const std::regex token("[a-zA-Z0-9-]+", icase);
    const std::regex html("Content-type[\\s\\S]+text/html[\\s\\S]+", icase);
    const std::regex header("Content-type[\\s\\S]+charset\\s*=\\s*", icase);

    auto tokenAfter = [&](const std::string& text, std::size_t from) -> std::string {
        std::smatch m;
        std::string rest = text.substr(from);
        return std::regex_search(rest, m, token) ? m.str() : "";
    };
    auto fromPage = [&](const std::string& body) -> std::string {
        std::smatch m;
        if (!std::regex_search(body, m, page)) return "";
        std::string rest = body.substr(m.position());
        std::smatch p;
        if (!std::regex_search(rest, p, parameter)) return "";
        return tokenAfter(rest, p.position() + p.length());
    };
    const std::string pages[] = {
        "<html><HEAD><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">"
        "</head><body>x</body></html>",
        "<html><head>\n<meta charset=\"utf-8\">\n<title>t</title>\n</head></html>",
        "<head><meta charset = koi8-r /></head>",
        "<head><title>charset</title><meta charset=iso-8859-5></head>",
        "<head charset=x></head>",     // no character between head and charset's end
        "<head><meta charset=utf-8>",  // no end of head
        "<body>charset=utf-8</body>",  // no head
        "<head><meta charset></head> charset=late",
        "<p>a</p><head>\r\n<meta name=x charset=\t\r\n\"cp866\"></head>",
    };
    for (const std::string& body : pages)
        EXPECT_EQ(std::string(alg::HttpCharset::FromPage(body)), fromPage(body)) << body;

    const std::string lines[] = {
        "Content-Type: text/html; charset=koi8-r\r\n",
        "content-type: TEXT/HTML\r\n",
        "Content-Type: text/html\r\n",
        "Content-Type: text/plain; charset=utf-8\r\n",
        "Content-Type: text/htm\r\n",
        "X-Note: charset=koi8-r\r\n",
        "Content-Type: text/html; charset=\"utf-8\"; x-charset=cp866\r\n",
        "Content-Typetext/html\r\n",
        "Content-Type:text/html",
    };
    for (const std::string& line : lines) {
        EXPECT_EQ(alg::HttpCharset::IsTextHtml(line), std::regex_match(line, html)) << line;
        std::smatch m;
        const std::string expected =
            std::regex_search(line, m, header) ? tokenAfter(line, m.position() + m.length()) : "";
        EXPECT_EQ(std::string(alg::HttpCharset::FromHeader(line)), expected) << line;
    }
}

}  // namespace

TEST(BodyBudget, SharesStayWithinTheLimitTogether) {
    alg::BodyBudget budget(100);
    {
        alg::BodyBudget::Share a(budget), b(budget);
        EXPECT_TRUE(a.Hold(60));
        EXPECT_FALSE(b.Hold(50));  // 110 would pass the limit: b keeps nothing
        EXPECT_EQ(b.Held(), 0u);
        EXPECT_TRUE(a.Hold(20));  // giving back always succeeds
        EXPECT_TRUE(b.Hold(80));
        EXPECT_FALSE(a.Hold(21));
        alg::BodyBudget::Share moved(std::move(b));
        EXPECT_EQ(budget.InUse(), 100u);
    }
    EXPECT_EQ(budget.InUse(), 0u);

    // A response whose decoded body would pass the budget is refused while it is read.
    alg::BodyBudget small(64 * 1024);
    const std::string plain(1 << 20, 'x');
    for (const std::string& text :
         {"HTTP/1.1 200 OK\r\n\r\n" + plain,
          "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + Gzip(plain)}) {
        HttpResponse r;
        r.bodyShare = alg::BodyBudget::Share(small);
        FakeStream in(text);
        try {
            r.Read(in, 1000);
            ADD_FAILURE() << "read past the budget";
        } catch (const alg::HttpLimitError& e) {
            EXPECT_EQ(&e.Msg(), &alg::HttpBodiesOverBudget);
        }
    }
    EXPECT_EQ(small.InUse(), 0u);
}
