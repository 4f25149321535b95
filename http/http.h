// http-gateway: the HTTP forward-proxy session (one request per client connection, Basic
// proxy authentication on every request, CONNECT tunnels, header and body rules, response
// charset settled before the body rules, bodies no rule must see passed on as they arrive), its
// listener and the application.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "http_request.h"
#include "proto.h"

namespace alg {

ALG_MESSAGE(NoConnectionInfo, "No connection info in request",
            "В запросе нет информации о соединении");
ALG_MESSAGE(UnknownPageCharset, "Unknown page charset. Rejected",
            "Неизвестная кодировка страницы. Страница отклонена");
ALG_MESSAGE(CharsetFromPage, "Charset from HTML page is ", "Кодовая страница из HTML страницы - ");
ALG_MESSAGE(TextHtmlPage, "This is text/html page", "Это html-страница (содержит текст)");
ALG_MESSAGE(CharsetFromOptions, "Charset from HTTP options is ",
            "Кодовая страница из HTTP опций - ");
ALG_MESSAGE(ResultingCharset, "Resulting charset is ",
            "Кодовая страница, полученная в результате, - ");
ALG_MESSAGE(BodyNotText, "Body is not text in its code page: left to the cut rules only",
            "Тело не является текстом в своей кодировке: применяются только правила вырезания");
ALG_MESSAGE(ResponseCutShort, "Response cut short by the server. Not passed on",
            "Ответ прерван сервером. Клиенту не передан");
ALG_MESSAGE(StreamCutShort, "Response cut short by the server. Client connection reset",
            "Ответ прерван сервером. Соединение с клиентом сброшено");
ALG_MESSAGE(UploadCutShort, "Request body cut short by the client. Server connection reset",
            "Тело запроса прервано клиентом. Соединение с сервером сброшено");

// One client connection of http-gateway: a single exchange. Created, run and deleted by its
// session thread.
class HttpStateMachine : public StateMachine {
  public:
    HttpStateMachine(Proto& listener, int descriptor)
        : StateMachine(listener, descriptor), clientReader_(ClientSocket()) {}

    // The whole exchange. A malformed request is answered 400 here; socket errors, time-outs,
    // a 101 response, a response over the limits, broken chunk framing and termination leave
    // Run for the worker (after a reset of the peer a body was being passed on to). The
    // request's body is taken only once its head has passed the credentials and access rules.
    void Run() override;

    // False when a cut rule refused the request (the rejected reply has been written).
    // `bodyFollows`: the body passes to the server after the head, as it arrives, and the
    // Content-length stays as the client sent it.
    bool filterRequest_step(HttpRequest& request, bool bodyFollows = false);
    // False when a cut rule refused the response (the rejected reply has been written).
    bool filterResponse_step(const char* user, HttpResponse& response);
    // The code page declared in the HTML head of `body`, or -1.
    codepage_t ObtainCharset(const std::string& body);
    // Sets response.codepage; false when a text/html page has no usable charset and the
    // listener no default code page.
    bool setResponseCharset_step(HttpResponse& response);

  private:
    // The body rules on `body` in `codepage`: true when a cut rule refuses it. Replace rules
    // run only on a body that comes back unchanged from the filter code page; any other is
    // left as it is (logged at level detail). The copies the rules make count against the
    // body budget: past it a request body throws ParseError, a response body HttpLimitError.
    bool FilterBody(const char* user, std::string& body, codepage_t codepage, bool request);
    void WriteClient(const char* text, std::size_t length);
    // Writes a refusal and closes lingering: the client may still be sending its request.
    void Refuse(const char* reply, std::size_t length);
    // Shuts down writing, then reads and drops what the client sends, for a bounded time and
    // amount, so that the close does not reset the connection under an unread reply.
    void CloseLingering();
    void Tunnel(const HttpRequest& request);
    // The code page the header lines settle, logging what they show when `log`: false when a
    // text/html page names no charset the converter knows and the listener has no default.
    bool CharsetFromHead(const std::list<std::string>& headers, bool log, codepage_t& cp);
    // Whether the response body may pass as it arrives: its framing is clear, no rule for
    // `user` must see it, and the charset step can decide from the head.
    bool MayStream(const char* user, const HttpResponse& response, const HttpBodyFraming& framing);
    // A response whose body passes as it arrives: the head through the charset step and the
    // header rules, then the body with the server's own framing. A body cut short, and any
    // failure on the way, reach the client as a reset.
    void StreamResponse(const char* user, HttpResponse& response, bool chunked,
                        const HttpBodyFraming& framing, AlgSocket& server,
                        BufferedSocketReader& serverReader);
    // Passes a request body of `length` bytes to the server as it arrives: false (and the
    // server's connection reset) when the client ended first.
    bool SendBody(AlgSocket& server, std::uint64_t length);

    // Every read of the request goes through here; a tunnel passes on what it holds.
    BufferedSocketReader clientReader_;
};

// The listener of http-gateway: builds its cut and replace sections with body rules; a
// default_charset the converter does not know is logged as a warning and counts as none.
class Http : public Proto {
  public:
    Http(const ALGproxyType& section, bool firstStart, LogSystem& logSystem);

  protected:
    StateMachine* doCreateStateMachine(int descriptor) override;
};

// The application object of http-gateway.
class HttpProxy : public ProxyApp {
  public:
    using ProxyApp::ProxyApp;

    const char* SettingsFileName() const override { return "http.xml"; }
    const char* CfgLoaderName() const override { return "proxy_http"; }
    Proto* CreateProto(const ALGproxyType& section, bool firstStart, LogSystem& logSystem) override;
};

}  // namespace alg
