// The small HTTP listeners of `algctl serve` (--metrics, --http). All of them are served by
// one thread of their own, which waits on every listener and every connection at once and
// serves each connection as it becomes ready, against its own deadlines: its request read
// within kRequestMs and kMaxRequest bytes, its answer taken within kWriteMs. So an idle or slow
// client delays only itself; at most kMaxConnections are open at a time (more wait in the
// listen queue). Only GET is answered, and only for a Host naming the endpoint (its address,
// "localhost" or the host's own name; no Host at all is accepted): any other Host gets
// 421, so that a page reached through a rebound DNS name shows nothing. The handlers take
// their data from the management service without going over the bus, so no HTTP client
// delays a gateway.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace alg::ctl {

struct HttpAnswer {
    std::string contentType;
    std::string body;
};
// The answer for a path ("/", "/metrics"); nullopt for 404.
using HttpHandler = std::function<std::optional<HttpAnswer>(const std::string& path)>;

class StatusHttp {
  public:
    static constexpr std::size_t kMaxRequest = 8192;
    static constexpr int kRequestMs = 2000;
    static constexpr int kWriteMs = 5000;
    static constexpr std::size_t kMaxConnections = 64;
    // Between tries to accept while descriptors or memory are short.
    static constexpr int kShortagePauseMs = 100;

    StatusHttp();
    // Stops the thread and closes every socket.
    ~StatusHttp();
    StatusHttp(const StatusHttp&) = delete;
    StatusHttp& operator=(const StatusHttp&) = delete;

    // Listens on `where` ("PORT", ":PORT" or "ADDR:PORT", IPv4; the address defaults to
    // 127.0.0.1, port 0 picks a free one) and returns the bound "ADDR:PORT". Throws
    // std::runtime_error when it cannot. Call before Start.
    std::string Listen(const std::string& where, HttpHandler handler);
    // Starts the serving thread.
    void Start();

  private:
    struct Connection;
    void Run();
    // Moves one connection on; false when it is done and must be closed.
    bool Step(Connection& c, bool ready, std::int64_t now);
    std::string Respond(const Connection& c) const;

    struct Endpoint {
        int fd;
        HttpHandler handler;
        std::string bound;  // "ADDR:PORT"
    };
    std::vector<Endpoint> endpoints_;
    int wake_ = -1;  // eventfd written by the destructor to end the thread
    std::thread thread_;
};

}  // namespace alg::ctl
