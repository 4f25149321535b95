// The small HTTP listeners of `algctl serve` (--metrics, --http). All of them are served by
// one thread of their own, one connection at a time: a request is read within kRequestMs and
// kMaxRequest bytes, only GET is answered, the answer must be taken within kWriteMs. The
// handlers take their data from the management service without going over the bus, so a slow
// or hostile HTTP client delays only other HTTP clients, never a gateway.
#pragma once

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
    void Run();
    void Serve(int fd, const HttpHandler& handler);

    struct Endpoint {
        int fd;
        HttpHandler handler;
    };
    std::vector<Endpoint> endpoints_;
    int wake_ = -1;  // eventfd written by the destructor to end the thread
    std::thread thread_;
};

}  // namespace alg::ctl
