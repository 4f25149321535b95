#include "algsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace alg {

namespace {

constexpr int kSliceMs = 100;
constexpr unsigned int kReadChunk = 65535;
constexpr std::size_t kPeekBuffer = 65536;

bool Retryable(int err) {
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK;
}

// Waits for `events` on `fd` in slices of at most 100 ms, `timeout` milliseconds in all (one
// polling pass for 0). Every pass counts as a full slice, whatever time it took. Throws
// TerminationEvent when `member` was told to quit, SocketError(`failure`) when poll fails.
bool SlicedWait(int fd, short events, unsigned int timeout, const ALGPoolMember& member,
                const locMSG& failure) {
    long long remaining = timeout;
    for (;;) {
        pollfd p{fd, events, 0};
        const int wait = static_cast<int>(std::min<long long>(remaining, kSliceMs));
        int rc = ::poll(&p, 1, wait);
        if (member.QuitRaised()) throw TerminationEvent();
        if (rc < 0) {
            if (errno != EINTR) throw SocketError(failure);
            rc = 0;
        }
        if (rc > 0 && (p.revents & POLLNVAL)) {
            errno = EBADF;
            throw SocketError(failure);
        }
        remaining -= kSliceMs;
        if (rc > 0) return true;
        if (remaining <= 0) return false;
    }
}

bool FillAddress(sockaddr_in& sa, int port, const char* address) {
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    if (port < 0 || port > 65535) return false;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (address == nullptr) {
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return ::inet_pton(AF_INET, address, &sa.sin_addr) == 1;
}

bool ReadName(int (*get)(int, sockaddr*, socklen_t*), int fd, std::string& address,
              unsigned short& port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (get(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return false;
    char text[INET_ADDRSTRLEN];
    if (::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text) == nullptr) return false;
    address = text;
    port = ntohs(sa.sin_port);
    return true;
}

void SetLingerOff(int fd) {
    linger l{0, 10};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

}  // namespace

std::string SocketError::AddLastErrorDescription(const char* extra) {
    const int err = errno;
    std::string detail;
    if (extra != nullptr) {
        detail += " [";
        detail += extra;
        detail += "] ";
    }
    if (err != 0) {
        char buffer[256];
        const char* text = ::strerror_r(err, buffer, sizeof buffer);
        if (text != nullptr && *text != '\0') {
            detail += " : ";
            detail += text;
        }
    }
    return detail;
}

// ---- AlgSocket ------------------------------------------------------------------------------

AlgSocket::AlgSocket(int localPort, const char* localAddress, int remotePort,
                     const char* remoteAddress, ALGPool* pool)
    : ALGPoolMember(pool) {
    CreateDescriptor();
    try {
        SetOptions(true);
        Bind(localPort, localAddress);
        Connect(remotePort, remoteAddress);
    } catch (...) {
        CloseDescriptor();
        throw;
    }
    UpdateSelfPeerInfo();
}

AlgSocket::AlgSocket(int remotePort, const char* remoteAddress, ALGPool* pool)
    : ALGPoolMember(pool) {
    CreateDescriptor();
    try {
        SetOptions(false);
        Connect(remotePort, remoteAddress);
    } catch (...) {
        CloseDescriptor();
        throw;
    }
    UpdateSelfPeerInfo();
}

AlgSocket::AlgSocket(int descriptor, ALGPool* pool) : ALGPoolMember(pool), fd_(descriptor) {
    if (fd_ == -1) throw SocketError(CreateSocketFail);
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    SetOptions(false);
    UpdateSelfPeerInfo();
}

AlgSocket::~AlgSocket() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    CloseDescriptor();
}

void AlgSocket::CreateDescriptor() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw SocketError(CreateSocketFail);
}

void AlgSocket::CloseDescriptor() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void AlgSocket::SetOptions(bool reuseAddress) {
    SetLingerOff(fd_);
    if (reuseAddress) {
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
}

void AlgSocket::Bind(int port, const char* address) {
    sockaddr_in sa;
    if (!FillAddress(sa, port, address)) {
        errno = EINVAL;
        throw SocketError(BindOnIfPortFailed);
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        throw SocketError(BindOnIfPortFailed);
}

void AlgSocket::Connect(int port, const char* address) {
    sockaddr_in sa;
    if (address == nullptr || !FillAddress(sa, port, address)) {
        errno = EINVAL;
        throw SocketError(ConnectFailed);
    }
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0)
        throw SocketError(ConnectFailed);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) throw SocketError(ConnectFailed);
        // The system bounds the handshake itself (SYN retries); the slices only add the quit
        // flag, so a stop is never held up by a target that does not answer.
        for (;;) {
            pollfd p{fd_, POLLOUT, 0};
            const int rc = ::poll(&p, 1, kSliceMs);
            if (QuitRaised()) throw TerminationEvent();
            if (rc < 0 && errno != EINTR) throw SocketError(ConnectFailed);
            if (rc > 0) break;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            throw SocketError(ConnectFailed);
        if (err != 0) {
            errno = err;
            throw SocketError(ConnectFailed);
        }
    }
    ::fcntl(fd_, F_SETFL, flags);
}

void AlgSocket::UpdateSelfPeerInfo() {
    ReadName(::getsockname, fd_, selfAddress_, selfPort_);
    ReadName(::getpeername, fd_, peerAddress_, peerPort_);
}

void AlgSocket::ThrowIfEOF() const {
    if (eof_) throw LogicError(kReadAfterEOF);
}

void AlgSocket::ThrowPeerClosed() {
    eof_ = true;
    errno = 0;  // the detail names the peer, not a stale system error
    throw SocketEOFEvent(ReadEOF, peerAddress_.c_str());
}

bool AlgSocket::DataIsAvailable(unsigned int timeout) {
    return SlicedWait(fd_, POLLIN, timeout, *this, SelectFail);
}

void AlgSocket::WaitForReadEvent(unsigned int timeout) {
    if (!DataIsAvailable(timeout)) {
        errno = 0;
        throw SocketError(Timeout);
    }
}

int AlgSocket::WaitForWriteEvent(unsigned int timeout) {
    if (!SlicedWait(fd_, POLLOUT, timeout, *this, SelectForWriteFail)) {
        errno = 0;
        throw SocketError(WriteTimeout);
    }
    return 1;
}

bool AlgSocket::Read(char* buffer, unsigned int& size, unsigned int timeout) {
    ThrowIfEOF();
    if (!DataIsAvailable(timeout)) {
        size = 0;  // nothing arrived: the buffer holds no data
        return true;
    }
    const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
    if (n < 0) {
        if (!Retryable(errno)) throw SocketError(RecvFails);
        size = 0;
        return true;
    }
    size = static_cast<unsigned int>(n);
    if (n == 0) eof_ = true;
    return n != 0;
}

unsigned int AlgSocket::ReadN(char* buffer, unsigned int count, unsigned int timeout) {
    ThrowIfEOF();
    unsigned int got = 0;
    unsigned int last = 0;
    while (got < count) {
        WaitForReadEvent(timeout);
        const ssize_t n = ::recv(fd_, buffer + got, count - got, MSG_DONTWAIT);
        if (n < 0) {
            if (Retryable(errno)) continue;
            throw SocketError(RecvFails);
        }
        if (n == 0) ThrowPeerClosed();
        last = static_cast<unsigned int>(n);
        got += last;
    }
    return last;
}

void AlgSocket::ReadAll(std::string& out, unsigned int timeout) {
    ThrowIfEOF();
    char buffer[kReadChunk];
    for (;;) {
        WaitForReadEvent(timeout);
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            if (Retryable(errno)) continue;
            throw SocketError(RecvFails);
        }
        if (n == 0) {
            eof_ = true;
            return;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

void AlgSocket::ReadToTermChar(std::string& out, char terminator, unsigned int timeout,
                               std::size_t maxLength) {
    ThrowIfEOF();
    char buffer[kPeekBuffer];
    std::size_t taken = 0;
    while (taken < maxLength) {
        WaitForReadEvent(timeout);
        const std::size_t want = std::min<std::size_t>(kReadChunk, maxLength - taken);
        const ssize_t n = ::recv(fd_, buffer, want, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0) {
            if (Retryable(errno)) continue;
            throw SocketError(RecvFails);
        }
        if (n == 0) ThrowPeerClosed();
        // Every peeked byte is searched: a zero byte is data like any other.
        const void* hit = std::memchr(buffer, terminator, static_cast<std::size_t>(n));
        const std::size_t take =
            hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - buffer) + 1
                : static_cast<std::size_t>(n);
        const ssize_t consumed = ::recv(fd_, buffer, take, MSG_DONTWAIT);
        if (consumed < 0) {
            if (Retryable(errno)) continue;
            throw SocketError(RecvFails);
        }
        out.append(buffer, static_cast<std::size_t>(consumed));
        taken += static_cast<std::size_t>(consumed);
        if (hit && static_cast<std::size_t>(consumed) == take) return;
    }
}

int AlgSocket::Write(const char* data, unsigned int length, unsigned int timeout) {
    unsigned int sent = 0;
    while (sent < length) {
        const ssize_t n = ::send(fd_, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<unsigned int>(n);
        } else if (n == 0) {
            throw LogicError(SendNotComplete);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            WaitForWriteEvent(timeout);
        } else if (errno != EINTR) {
            throw SocketError(SendFailed);
        }
    }
    return static_cast<int>(sent);
}

// ---- AcceptSocket ---------------------------------------------------------------------------

AcceptSocket::AcceptSocket(int port, ALGPool* pool, bool /*reuseAddress*/, int backlog)
    : ALGPoolMember(pool) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) throw SocketError(CreateAcceptSockFailed);
    // Each failure builds its exception before closing, so the detail names the failing call.
    auto fail = [this](const locMSG& msg) {
        SocketError error(msg);
        ::close(fd_);
        fd_ = -1;
        throw error;
    };
    int on = 1;
    if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) fail(ReuseAddrFailed);
    SetLingerOff(fd_);
    sockaddr_in sa;
    if (!FillAddress(sa, port, nullptr)) {
        errno = EINVAL;
        fail(BindAcceptSocketFailed);
    }
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        fail(IsAddrUsed() ? PortIsBusy : BindAcceptSocketFailed);
    port_ = port;
    if (port == 0) {
        std::string address;
        unsigned short chosen = 0;
        if (ReadName(::getsockname, fd_, address, chosen)) port_ = chosen;
    }
    if (::listen(fd_, backlog) != 0) fail(ErrorListenOnSocket);
}

AcceptSocket::~AcceptSocket() {
    if (fd_ >= 0) ::close(fd_);
}

int AcceptSocket::Accept(unsigned int timeout) {
    const unsigned long long limit = static_cast<unsigned long long>(timeout) * 1000ULL;
    unsigned long long elapsed = 0;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int rc = ::poll(&p, 1, kSliceMs);
        if (QuitRaised()) return -1;
        if (rc < 0) {
            if (errno != EINTR) throw SocketError(SelectForAcceptFail);
            rc = 0;
        }
        if (timeout != kInfinite) {
            elapsed += kSliceMs * 1000ULL;
            if (elapsed > limit) return -1;
        }
        if (rc == 0) continue;
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return fd;
        // A connection reset before it was taken leaves nothing to accept; wait again.
        if (Retryable(errno) || errno == ECONNABORTED) continue;
        throw SocketError(AcceptFailed);
    }
}

// ---- free functions -------------------------------------------------------------------------

bool FindHostIP(const char* name, std::string& address) {
    address.clear();
    if (name == nullptr || *name == '\0') return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    char text[INET_ADDRSTRLEN];
    const auto* sa = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const bool ok = ::inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text) != nullptr;
    ::freeaddrinfo(found);
    if (ok) address = text;
    return ok;
}

bool IsAddrUsed() {
    return errno == EADDRINUSE;
}

bool IsInterrupted() {
    return errno == EINTR;
}

}  // namespace alg
