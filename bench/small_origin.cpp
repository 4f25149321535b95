// The origin of the small-GET rows of run_http_bench.sh: an HTTP/1.0 server on 127.0.0.1 that
// answers every request with the same 100-byte text page and closes the connection, as the
// Python origin of the other rows does for /small, but in one event loop of its own, so that the
// row measures the proxies in front of it rather than the origin.
//
// Usage: small_origin PORTFILE   (listens on a port the system chooses and writes it there;
// runs until killed)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

namespace {

constexpr std::size_t kHeadLimit = 16384;

const std::string& Answer() {
    static const std::string answer =
        "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 100\r\n\r\n" +
        std::string(100, 'x');
    return answer;
}

// One connection: the request head read so far, then the part of the answer not yet sent.
struct Connection {
    std::string head;
    std::size_t sent = 0;
    bool answering = false;
};

void Close(int epoll, int fd, std::unordered_map<int, Connection>& connections) {
    ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    connections.erase(fd);
}

// Reads what `fd` has and answers once the head is complete; false when the connection is done.
bool Serve(int epoll, int fd, Connection& c) {
    if (!c.answering) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                c.head.append(buffer, static_cast<std::size_t>(n));
                if (c.head.find("\r\n\r\n") != std::string::npos) break;
                if (c.head.size() > kHeadLimit) return false;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            return false;  // closed or failed before a whole head
        }
        c.answering = true;
    }
    const std::string& answer = Answer();
    while (c.sent < answer.size()) {
        const ssize_t n =
            ::send(fd, answer.data() + c.sent, answer.size() - c.sent, MSG_NOSIGNAL);
        if (n > 0) {
            c.sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            epoll_event ev{};
            ev.events = EPOLLOUT;
            ev.data.fd = fd;
            ::epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &ev);
            return true;
        }
        return false;
    }
    return false;  // answered: HTTP/1.0 closes
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: small_origin PORTFILE\n");
        return 2;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1024) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("small_origin: listen");
        return 1;
    }
    const std::string port = std::to_string(ntohs(address.sin_port));
    FILE* portFile = std::fopen(argv[1], "w");
    if (portFile == nullptr || std::fputs(port.c_str(), portFile) < 0 ||
        std::fclose(portFile) != 0) {
        std::perror("small_origin: port file");
        return 1;
    }

    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &ev);
    std::unordered_map<int, Connection> connections;
    epoll_event ready[64];
    for (;;) {
        const int n = ::epoll_wait(epoll, ready, 64, -1);
        if (n < 0 && errno != EINTR) {
            std::perror("small_origin: epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == listener) {
                for (int taken; (taken = ::accept4(listener, nullptr, nullptr,
                                                   SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                    epoll_event in{};
                    in.events = EPOLLIN;
                    in.data.fd = taken;
                    ::epoll_ctl(epoll, EPOLL_CTL_ADD, taken, &in);
                    connections[taken];
                }
                continue;
            }
            const auto it = connections.find(fd);
            if (it != connections.end() && !Serve(epoll, fd, it->second))
                Close(epoll, fd, connections);
        }
    }
}
