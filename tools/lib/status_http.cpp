#include "status_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace alg::ctl {

namespace {

std::int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Closes a descriptor on scope exit.
struct Closer {
    int fd;
    ~Closer() {
        if (fd >= 0) close(fd);
    }
};

// Waits up to the deadline for `events` on `fd`; false when the time ran out or on an error.
bool WaitFor(int fd, short events, std::int64_t deadline) {
    for (;;) {
        const std::int64_t left = deadline - NowMs();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, int(left));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool SendAll(int fd, const std::string& data, std::int64_t deadline) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += std::size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFor(fd, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Sends `reply`, then ends the sending side and reads what the client still sends (at most
// kDrain bytes within kDrainMs) before the descriptor is closed, so that an answer to a request
// that was not read in full is not lost to a reset.
constexpr std::size_t kDrain = 64 << 10;
constexpr int kDrainMs = 500;

void Finish(int fd, const std::string& reply, std::int64_t deadline) {
    if (!SendAll(fd, reply, deadline)) return;
    shutdown(fd, SHUT_WR);
    const std::int64_t end = NowMs() + kDrainMs;
    char sink[4096];
    for (std::size_t drained = 0; drained < kDrain;) {
        const ssize_t n = recv(fd, sink, sizeof sink, 0);
        if (n > 0)
            drained += std::size_t(n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR) || !WaitFor(fd, POLLIN, end))
            return;
    }
}

std::string Answer(const char* status, const std::string& type, const std::string& body,
                   const char* extra = "") {
    return std::string("HTTP/1.0 ") + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n" + extra + "\r\n" + body;
}

std::string Plain(const char* status, const char* extra = "") {
    return Answer(status, "text/plain; charset=utf-8", std::string(status) + "\n", extra);
}

}  // namespace

StatusHttp::StatusHttp() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

StatusHttp::~StatusHttp() {
    const std::uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0) {
        // Cannot happen for an eventfd below its maximum; the join below would then hang, so
        // the thread is left to end with the process.
        if (thread_.joinable()) thread_.detach();
    }
    if (thread_.joinable()) thread_.join();
    for (const Endpoint& e : endpoints_) close(e.fd);
    close(wake_);
}

std::string StatusHttp::Listen(const std::string& where, HttpHandler handler) {
    const std::size_t colon = where.rfind(':');
    std::string host = colon == std::string::npos ? "" : where.substr(0, colon);
    const std::string port = colon == std::string::npos ? where : where.substr(colon + 1);
    if (host.empty()) host = "127.0.0.1";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (port.empty() || getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
        throw std::runtime_error("cannot listen on \"" + where + "\": not an IPv4 ADDR:PORT");
    sockaddr_in addr{};
    std::memcpy(&addr, found->ai_addr, sizeof addr);
    freeaddrinfo(found);
    Closer s{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    const int on = 1;
    socklen_t len = sizeof addr;
    if (s.fd < 0 || setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s.fd, 16) != 0 ||
        getsockname(s.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen on \"" + where + "\": " + std::strerror(errno));
    endpoints_.push_back({s.fd, std::move(handler)});
    s.fd = -1;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

void StatusHttp::Start() {
    thread_ = std::thread([this] { Run(); });
}

void StatusHttp::Run() {
    std::vector<pollfd> polled;
    for (const Endpoint& e : endpoints_) polled.push_back({e.fd, POLLIN, 0});
    polled.push_back({wake_, POLLIN, 0});
    for (;;) {
        if (poll(polled.data(), polled.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (polled.back().revents) return;
        for (std::size_t i = 0; i < endpoints_.size(); ++i) {
            if (!polled[i].revents) continue;
            const int fd = accept4(endpoints_[i].fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                Serve(fd, endpoints_[i].handler);
            } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The connection stays queued and the socket readable: pause rather than spin,
                // still waking at once for a stop.
                pollfd stop{wake_, POLLIN, 0};
                if (poll(&stop, 1, kShortagePauseMs) > 0) return;
            }
        }
    }
}

void StatusHttp::Serve(int fd, const HttpHandler& handler) {
    Closer closer{fd};
    const std::int64_t start = NowMs();
    std::string request;
    char buffer[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.find("\n\n") == std::string::npos) {
        if (request.size() >= kMaxRequest) {
            Finish(fd, Plain("431 Request Header Fields Too Large"), NowMs() + kWriteMs);
            return;
        }
        const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, kMaxRequest - request.size()), 0);
        if (n > 0) {
            request.append(buffer, std::size_t(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFor(fd, POLLIN, start + kRequestMs)) {
                Finish(fd, Plain("408 Request Timeout"), NowMs() + kWriteMs);
                return;
            }
        } else {
            return;  // the client went away
        }
    }
    const std::string line = request.substr(0, request.find_first_of("\r\n"));
    const std::size_t sp1 = line.find(' '), sp2 = line.find(' ', sp1 + 1);
    std::string reply;
    if (sp1 == std::string::npos || sp2 == std::string::npos || line.compare(sp2 + 1, 5, "HTTP/") != 0)
        reply = Plain("400 Bad Request");
    else if (line.compare(0, sp1, "GET") != 0)
        reply = Plain("405 Method Not Allowed", "Allow: GET\r\n");
    else {
        std::string path = line.substr(sp1 + 1, sp2 - sp1 - 1);
        path = path.substr(0, path.find('?'));
        const std::optional<HttpAnswer> answer = handler(path);
        reply = answer ? Answer("200 OK", answer->contentType, answer->body) : Plain("404 Not Found");
    }
    Finish(fd, reply, NowMs() + kWriteMs);
}

}  // namespace alg::ctl
