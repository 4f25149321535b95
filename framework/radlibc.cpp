#include "radlibc.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "radlibi.h"

namespace {

// Datagrams one attempt looks at before it gives up early: a flood of foreign datagrams ends
// the attempt rather than keeping the thread busy until its deadline.
constexpr int kMaxDatagramsPerAttempt = 1024;
constexpr int kDefaultTimeoutSeconds = 10;
// Interrupted waits one receive sits out before it counts as a time-out after all.
constexpr int kMaxInterruptedWaits = 10000;

void SetErr(int* err, int value) {
    if (err) *err = value;
}

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// The first IPv4 address of `host` in network order, or false.
bool LookUp(const char* host, in_addr* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    *out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

}  // namespace

extern "C" int OpenRadiusSocket(unsigned short localPort, int* err) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetErr(err, errno);
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(localPort);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        SetErr(err, errno);
        close(fd);
        return -1;
    }
    return fd;
}

extern "C" int ResolveRadiusServer(const char* host, unsigned short port, sockaddr_in* out,
                                   int* err) {
    memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    if (host && (inet_pton(AF_INET, host, &out->sin_addr) == 1 || LookUp(host, &out->sin_addr)))
        return 0;
    out->sin_addr.s_addr = 0;
    SetErr(err, EHOSTUNREACH);
    return -1;
}

extern "C" int InitRadiusSocket(int* authFd, sockaddr_in* authServer, int* acctFd,
                                sockaddr_in* acctServer, const char* authHost, const char* acctHost,
                                unsigned short* localPorts, unsigned short authPort,
                                unsigned short acctPort, int* err) {
    const int fd = OpenRadiusSocket(localPorts[0], err);
    if (fd < 0) return -1;
    ResolveRadiusServer(authHost, authPort, authServer, err);
    *authFd = fd;
    const bool sameHost = authHost && acctHost && strcmp(authHost, acctHost) == 0;
    if (acctPort == authPort && sameHost) return 0;

    const int other = OpenRadiusSocket(localPorts[0] != 0 ? localPorts[1] : 0, err);
    if (other < 0) {
        close(fd);
        *authFd = -1;
        return -1;
    }
    ResolveRadiusServer(acctHost, acctPort, acctServer, err);
    *acctFd = other;
    if (localPorts[0] == 0) {
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
            localPorts[0] = ntohs(bound.sin_port);
    }
    return 0;
}

extern "C" void TermRadiusSocket(int authFd, int acctFd) {
    if (authFd >= 0) close(authFd);
    if (acctFd >= 0 && acctFd != authFd) close(acctFd);
}

extern "C" int GetLocalIP(unsigned int* address) {
    char name[129] = {};
    in_addr found{};
    if (gethostname(name, sizeof name - 1) == 0 && LookUp(name, &found) && found.s_addr != 0) {
        *address = found.s_addr;
        return 0;
    }
    *address = htonl(INADDR_LOOPBACK);
    return -1;
}

extern "C" int GetLocalIPTowards(const sockaddr_in* server, unsigned int* address) {
    // Connecting a datagram socket only asks the routing table which source it would use.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        const bool found =
            server->sin_addr.s_addr != 0 &&
            connect(fd, reinterpret_cast<const sockaddr*>(server), sizeof *server) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
            local.sin_addr.s_addr != 0;
        close(fd);
        if (found) {
            *address = local.sin_addr.s_addr;
            return 0;
        }
    }
    return GetLocalIP(address);
}

extern "C" int SendRadiusRequest(int fd, const sockaddr_in* server, const char* packet, int* err) {
    const size_t length = static_cast<size_t>(static_cast<unsigned char>(packet[2])) << 8 |
                          static_cast<unsigned char>(packet[3]);
    for (int attempts = 0; attempts < 8; ++attempts) {
        if (sendto(fd, packet, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(server),
                   sizeof *server) == static_cast<ssize_t>(length))
            return 0;
        if (errno != EINTR) break;
    }
    SetErr(err, errno);
    return -1;
}

namespace {

// ReceiveRadiusReply that also ends, with RAD_ERR_QUIT, once `quitFd` (when not -1) is readable.
int ReceiveReply(int fd, int quitFd, sockaddr_in* from, char* buffer, int size, int timeoutMs,
                 int* err) {
    pollfd p[2] = {{fd, POLLIN, 0}, {quitFd, POLLIN, 0}};
    const long long deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    int ready;
    // A signal cuts the wait short: it goes on for what remains rather than count as a time-out
    // (which would send the request again early).
    for (int pass = 0;; ++pass) {
        const long long left = deadline - NowMs();
        ready = poll(p, quitFd < 0 ? 1 : 2, left < 0 ? 0 : static_cast<int>(left));
        if (ready >= 0 || errno != EINTR || pass == kMaxInterruptedWaits) break;
    }
    if (ready < 0 && errno != EINTR) {
        SetErr(err, errno);
        return RAD_ERR_SYSTEM;
    }
    if (ready > 0 && p[1].revents != 0) return RAD_ERR_QUIT;
    if (ready <= 0) {
        SetErr(err, ETIMEDOUT);
        return RAD_ERR_TIMEOUT;
    }
    socklen_t length = sizeof *from;
    const ssize_t n = recvfrom(fd, buffer, static_cast<size_t>(size), 0,
                               reinterpret_cast<sockaddr*>(from), &length);
    if (n < 0) {
        // Readiness without data (a datagram with a bad checksum) is a wait that goes on.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        SetErr(err, errno);
        return RAD_ERR_SYSTEM;
    }
    return static_cast<int>(n);
}

}  // namespace

extern "C" int ReceiveRadiusReply(int fd, sockaddr_in* from, char* buffer, int size, int timeoutMs,
                                  int* err) {
    return ReceiveReply(fd, -1, from, buffer, size, timeoutMs, err);
}

extern "C" int SendRecvRadiusPkt(int fd, const sockaddr_in* server, const char* packet,
                                 const char* secret, char* reply, int size, sockaddr_in* from,
                                 int retries, int timeoutSeconds, int* result) {
    return SendRecvRadiusPktUntil(fd, -1, server, packet, secret, reply, size, from, retries,
                                  timeoutSeconds, result);
}

extern "C" int SendRecvRadiusPktUntil(int fd, int quitFd, const sockaddr_in* server,
                                      const char* packet, const char* secret, char* reply,
                                      int size, sockaddr_in* from, int retries,
                                      int timeoutSeconds, int* result) {
    const long long waitMs =
        1000LL * (timeoutSeconds > 0 ? timeoutSeconds : kDefaultTimeoutSeconds);
    int err = 0;
    for (int attempt = 0; attempt <= retries; ++attempt) {
        if (SendRadiusRequest(fd, server, packet, &err) != 0) return RAD_ERR_SYSTEM;
        const long long deadline = NowMs() + waitMs;
        for (int seen = 0; seen < kMaxDatagramsPerAttempt; ++seen) {
            const long long left = deadline - NowMs();
            if (left <= 0) break;
            const int n =
                ReceiveReply(fd, quitFd, from, reply, size, static_cast<int>(left), &err);
            if (n == RAD_ERR_TIMEOUT) break;
            if (n == RAD_ERR_QUIT) return RAD_ERR_QUIT;
            if (n < 0) return RAD_ERR_RECEIVE;
            if (n == 0) continue;
            if (!SameEndpoint(*from, *server) || CheckRadiusReply(reply, n, packet, secret) != 0) {
                *result = RAD_ERR_FOREIGN;
                continue;
            }
            *result = static_cast<unsigned char>(reply[0]);
            return RAD_OK;
        }
    }
    return RAD_ERR_TIMEOUT;
}
