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

#include <strings.h>

#include <algorithm>
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

// What the client may still send after its answer, read before the descriptor is closed.
constexpr std::size_t kDrain = 64 << 10;
constexpr int kDrainMs = 500;

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
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    const std::string bound = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
    endpoints_.push_back({s.fd, std::move(handler), bound});
    s.fd = -1;
    return bound;
}

void StatusHttp::Start() {
    thread_ = std::thread([this] { Run(); });
}

namespace {

// The request's Host value (without its port), "" when it has none; false when it has more
// than one.
bool HostOf(const std::string& request, std::string& host) {
    host.clear();
    int seen = 0;
    std::size_t at = request.find('\n');
    while (at != std::string::npos && at + 1 < request.size()) {
        const std::size_t end = request.find('\n', at + 1);
        std::string field = request.substr(at + 1, end == std::string::npos ? end : end - at - 1);
        at = end;
        if (!field.empty() && field.back() == '\r') field.pop_back();
        if (field.empty()) break;
        const std::size_t colon = field.find(':');
        if (colon == std::string::npos || strncasecmp(field.c_str(), "Host", colon) != 0 ||
            colon != 4)
            continue;
        if (++seen > 1) return false;
        std::string value = field.substr(colon + 1);
        const std::size_t first = value.find_first_not_of(" \t");
        const std::size_t last = value.find_last_not_of(" \t");
        value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
        const std::size_t port = value.rfind(':');
        if (port != std::string::npos &&
            value.find_first_not_of("0123456789", port + 1) == std::string::npos)
            value.resize(port);
        host = value;
    }
    return true;
}

// Whether `host` names this endpoint: the address the connection came to, the bound address,
// "localhost" or one of the host's own names. A page read through another name (a rebound
// DNS name, say) would hand its contents to that name's site.
bool HostNamesUs(const std::string& host, int fd, const std::string& bound) {
    if (host.empty()) return true;  // no Host at all: not a browser
    if (strcasecmp(host.c_str(), "localhost") == 0) return true;
    const std::string boundHost = bound.substr(0, bound.rfind(':'));
    if (host == boundHost && boundHost != "0.0.0.0") return true;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    char text[INET_ADDRSTRLEN] = "";
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
        inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) && host == text)
        return true;
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0 || !*name) return false;
    if (strcasecmp(host.c_str(), name) == 0) return true;
    const char* dot = std::strchr(name, '.');
    return dot && host.size() == std::size_t(dot - name) &&
           strncasecmp(host.c_str(), name, host.size()) == 0;
}

}  // namespace

// One connection: reading its request until kRequestMs after it came, then writing the
// answer until kWriteMs after that, then draining what the client still sends for kDrainMs.
struct StatusHttp::Connection {
    enum Phase { reading, writing, draining };
    int fd = -1;
    std::size_t endpoint = 0;
    Phase phase = reading;
    std::int64_t deadline = 0;
    std::string request;
    std::string reply;
    std::size_t sent = 0;
    std::size_t drained = 0;
};

void StatusHttp::Run() {
    std::vector<Connection> connections;
    std::vector<pollfd> polled;
    bool running = true;
    while (running) {
        polled.clear();
        const bool room = connections.size() < kMaxConnections;
        for (const Endpoint& e : endpoints_) polled.push_back({e.fd, short(room ? POLLIN : 0), 0});
        polled.push_back({wake_, POLLIN, 0});
        std::int64_t next = -1;
        for (const Connection& c : connections) {
            polled.push_back({c.fd, short(c.phase == Connection::writing ? POLLOUT : POLLIN), 0});
            if (next < 0 || c.deadline < next) next = c.deadline;
        }
        const int timeout = next < 0 ? -1 : int(std::max<std::int64_t>(0, next - NowMs()));
        if (poll(polled.data(), polled.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (polled[endpoints_.size()].revents) break;
        const std::int64_t now = NowMs();
        for (std::size_t i = 0; i < connections.size(); ++i) {
            const short ready = polled[endpoints_.size() + 1 + i].revents;
            if (!Step(connections[i], ready != 0, now)) {
                close(connections[i].fd);
                connections[i].fd = -1;
            }
        }
        std::erase_if(connections, [](const Connection& c) { return c.fd < 0; });
        for (std::size_t i = 0; i < endpoints_.size(); ++i) {
            if (!polled[i].revents || connections.size() >= kMaxConnections) continue;
            const int fd = accept4(endpoints_[i].fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                Connection c;
                c.fd = fd;
                c.endpoint = i;
                c.deadline = now + kRequestMs;
                connections.push_back(std::move(c));
            } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The connection stays queued and the socket readable: pause rather than spin,
                // still waking at once for a stop.
                pollfd stop{wake_, POLLIN, 0};
                if (poll(&stop, 1, kShortagePauseMs) > 0) running = false;
                break;
            }
        }
    }
    for (const Connection& c : connections) close(c.fd);
}

bool StatusHttp::Step(Connection& c, bool ready, std::int64_t now) {
    if (c.phase == Connection::reading) {
        char buffer[2048];
        while (ready && c.request.find("\r\n\r\n") == std::string::npos &&
               c.request.find("\n\n") == std::string::npos && c.request.size() < kMaxRequest) {
            const ssize_t n =
                recv(c.fd, buffer, std::min(sizeof buffer, kMaxRequest - c.request.size()), 0);
            if (n > 0)
                c.request.append(buffer, std::size_t(n));
            else if (n < 0 && (errno == EAGAIN || errno == EINTR))
                break;
            else
                return false;  // the client went away
        }
        const bool complete = c.request.find("\r\n\r\n") != std::string::npos ||
                              c.request.find("\n\n") != std::string::npos;
        if (complete)
            c.reply = Respond(c);
        else if (c.request.size() >= kMaxRequest)
            c.reply = Plain("431 Request Header Fields Too Large");
        else if (now >= c.deadline)
            c.reply = Plain("408 Request Timeout");
        else
            return true;
        c.phase = Connection::writing;
        c.deadline = now + kWriteMs;
        ready = true;
    }
    if (c.phase == Connection::writing) {
        while (ready && c.sent < c.reply.size()) {
            const ssize_t n =
                send(c.fd, c.reply.data() + c.sent, c.reply.size() - c.sent, MSG_NOSIGNAL);
            if (n > 0)
                c.sent += std::size_t(n);
            else if (n < 0 && (errno == EAGAIN || errno == EINTR))
                break;
            else
                return false;
        }
        if (c.sent < c.reply.size()) return now < c.deadline;
        // The answer is out: end the sending side and read what the client still sends, so
        // that an answer to a request that was not read in full is not lost to a reset.
        shutdown(c.fd, SHUT_WR);
        c.phase = Connection::draining;
        c.deadline = now + kDrainMs;
        std::string().swap(c.reply);
        ready = true;
    }
    char sink[4096];
    while (ready && c.drained < kDrain) {
        const ssize_t n = recv(c.fd, sink, sizeof sink, 0);
        if (n > 0)
            c.drained += std::size_t(n);
        else if (n < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        else
            return false;
    }
    return c.drained < kDrain && now < c.deadline;
}

std::string StatusHttp::Respond(const Connection& c) const {
    const std::string& request = c.request;
    const std::string line = request.substr(0, request.find_first_of("\r\n"));
    const std::size_t sp1 = line.find(' '), sp2 = line.find(' ', sp1 + 1);
    std::string host;
    if (sp1 == std::string::npos || sp2 == std::string::npos ||
        line.compare(sp2 + 1, 5, "HTTP/") != 0 || !HostOf(request, host))
        return Plain("400 Bad Request");
    if (!HostNamesUs(host, c.fd, endpoints_[c.endpoint].bound))
        return Plain("421 Misdirected Request");
    if (line.compare(0, sp1, "GET") != 0) return Plain("405 Method Not Allowed", "Allow: GET\r\n");
    std::string path = line.substr(sp1 + 1, sp2 - sp1 - 1);
    path = path.substr(0, path.find('?'));
    const std::optional<HttpAnswer> answer = endpoints_[c.endpoint].handler(path);
    return answer ? Answer("200 OK", answer->contentType, answer->body) : Plain("404 Not Found");
}

}  // namespace alg::ctl
