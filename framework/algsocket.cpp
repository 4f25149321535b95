#include "algsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <utility>

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

// Whether a connection to `address` (host order) can reach a single host other than through a
// back door: "this network" (0.0.0.0/8) reaches the local host past any rule on 127.*, and
// multicast (224.0.0.0/4) and the broadcast address name no single peer.
bool Routable(std::uint32_t address) {
    return (address >> 24) != 0 && (address >> 28) != 0xE && address != 0xFFFFFFFFu;
}

// Lingering off. Only the listening socket sets it: it is the default of every new socket
// and accepted sockets inherit it, so setting it on a connection again would change nothing.
void SetLingerOff(int fd) {
    linger l{0, 10};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// Keepalive probes with the settings of kKeepAliveIdleS and the rest; whether all were taken.
bool SetKeepAlive(int fd) {
    static constexpr struct {
        int level, name, value;
    } kOptions[] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                    {IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleS},
                    {IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalS},
                    {IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes}};
    for (const auto& o : kOptions)
        if (::setsockopt(fd, o.level, o.name, &o.value, sizeof o.value) != 0) return false;
    return true;
}

bool SetUrgentInline(int fd) {
    const int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on) == 0;
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
}

AlgSocket::AlgSocket(int remotePort, const char* remoteAddress, ALGPool* pool,
                     unsigned int connectTimeout)
    : ALGPoolMember(pool) {
    CreateDescriptor();
    try {
        SetOptions(false);
        Connect(remotePort, remoteAddress, connectTimeout);
    } catch (...) {
        CloseDescriptor();
        throw;
    }
}

AlgSocket::AlgSocket(int descriptor, ALGPool* pool, const AcceptSocket* listener)
    : ALGPoolMember(pool),
      fd_(descriptor),
      keepsAlive_(listener && listener->KeepsAlive()),
      urgentInline_(listener && listener->ReadsUrgentInline()) {
    if (fd_ == -1) throw SocketError(CreateSocketFail);
    // The peer is looked up at once: once it has reset the connection the system no longer
    // tells who it was, and the session's closing message still names it.
    ReadName(::getpeername, fd_, peerAddress_, peerPort_);
}

AlgSocket::~AlgSocket() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    CloseDescriptor();
}

void AlgSocket::KeepAlive() {
    if (!keepsAlive_ && fd_ >= 0) keepsAlive_ = SetKeepAlive(fd_);
}

void AlgSocket::UrgentInline() {
    if (!urgentInline_ && fd_ >= 0) urgentInline_ = SetUrgentInline(fd_);
}

void AlgSocket::Abort() {
    if (fd_ < 0) return;
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    CloseDescriptor();
}

void AlgSocket::CreateDescriptor() {
    // Non-blocking for the connect only; Connect makes it blocking again.
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) throw SocketError(CreateSocketFail);
}

void AlgSocket::CloseDescriptor() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void AlgSocket::SetOptions(bool reuseAddress) {
    // Lingering is off on a new socket already (see SetLingerOff).
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

void AlgSocket::Connect(int port, const char* address, unsigned int timeout) {
    // Every failure names the address and port tried.
    const std::string target = std::string(address ? address : "") + ":" + std::to_string(port);
    sockaddr_in sa;
    if (address == nullptr || !FillAddress(sa, port, address)) {
        errno = EINVAL;
        throw SocketError(ConnectFailed, target.c_str());
    }
    if (!Routable(ntohl(sa.sin_addr.s_addr))) {
        errno = ENETUNREACH;
        throw SocketError(ConnectFailed, target.c_str());
    }
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            throw SocketError(ConnectFailed, target.c_str());
        // The system bounds the handshake itself (SYN retries), `timeout` when it is shorter;
        // the slices add the quit flag, so a stop is never held up by a silent target.
        short revents = 0;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
        for (;;) {
            pollfd p{fd_, POLLOUT, 0};
            const int rc = ::poll(&p, 1, kSliceMs);
            if (QuitRaised()) throw TerminationEvent();
            if (rc < 0 && errno != EINTR) throw SocketError(ConnectFailed, target.c_str());
            if (rc > 0) {
                revents = p.revents;
                break;
            }
            if (timeout != kNoConnectLimit && std::chrono::steady_clock::now() >= giveUp) {
                errno = ETIMEDOUT;
                throw SocketError(ConnectFailed, target.c_str());
            }
        }
        // A socket with an error pending always reports it to poll: one that is only writable
        // is connected, and its error need not be fetched.
        if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                throw SocketError(ConnectFailed, target.c_str());
            if (err != 0) {
                errno = err;
                throw SocketError(ConnectFailed, target.c_str());
            }
        }
    }
    // The descriptor was created non-blocking with no other status flag (CreateDescriptor).
    ::fcntl(fd_, F_SETFL, 0);
    // The peer is the address connected to (Routable keeps out "any", which the system would
    // turn into a local address).
    char text[INET_ADDRSTRLEN];
    if (::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text) != nullptr) {
        peerAddress_ = text;
        peerPort_ = static_cast<unsigned short>(port);
    } else {
        ReadName(::getpeername, fd_, peerAddress_, peerPort_);
    }
}

void AlgSocket::UpdateSelfPeerInfo() {
    ReadName(::getsockname, fd_, selfAddress_, selfPort_);
    selfKnown_ = true;
    ReadName(::getpeername, fd_, peerAddress_, peerPort_);
}

void AlgSocket::LookUpSelf() const {
    if (selfKnown_) return;
    selfKnown_ = true;
    ReadName(::getsockname, fd_, selfAddress_, selfPort_);
}

const std::string& AlgSocket::SelfAddress() const {
    LookUpSelf();
    return selfAddress_;
}

unsigned short AlgSocket::SelfPort() const {
    LookUpSelf();
    return selfPort_;
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

ssize_t AlgSocket::Receive(char* buffer, std::size_t size, int flags, unsigned int timeout) {
    if (QuitRaised()) throw TerminationEvent();
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, size, flags | MSG_DONTWAIT);
        if (n >= 0 || !Retryable(errno)) return n;
        if (errno == EINTR) continue;
        if (!DataIsAvailable(timeout)) {
            errno = EAGAIN;
            return -1;
        }
    }
}

void AlgSocket::ThrowReceiveFailure() {
    if (errno != EAGAIN) throw SocketError(RecvFails);
    errno = 0;
    throw SocketError(Timeout);
}

bool AlgSocket::Read(char* buffer, unsigned int& size, unsigned int timeout) {
    ThrowIfEOF();
    const ssize_t n = Receive(buffer, size, 0, timeout);
    if (n < 0) {
        if (errno != EAGAIN) throw SocketError(RecvFails);
        size = 0;  // nothing arrived: the buffer holds no data
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
        const ssize_t n = Receive(buffer + got, count - got, 0, timeout);
        if (n < 0) ThrowReceiveFailure();
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
        const ssize_t n = Receive(buffer, sizeof buffer, 0, timeout);
        if (n < 0) ThrowReceiveFailure();
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
        const std::size_t want = std::min<std::size_t>(kReadChunk, maxLength - taken);
        const ssize_t n = Receive(buffer, want, MSG_PEEK, timeout);
        if (n < 0) ThrowReceiveFailure();
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
            CountSent(static_cast<std::size_t>(n));
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
    : ALGPoolMember(nullptr) {
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
    // Without the wake-up descriptor an endless wait falls back to 100 ms slices.
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    JoinPool(pool, wake_);
}

AcceptSocket::~AcceptSocket() {
    LeavePool();
    if (fd_ >= 0) ::close(fd_);
    if (wake_ >= 0) ::close(wake_);
}

int AcceptSocket::Accept(unsigned int timeout) {
    const unsigned long long limit = static_cast<unsigned long long>(timeout) * 1000ULL;
    unsigned long long elapsed = 0;
    // An endless wait sleeps until a connection or the quit signal arrives; a bounded one is
    // cut into slices so that it can count its passes.
    const bool endless = timeout == kInfinite && wake_ >= 0;
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        int rc = endless ? ::poll(p, 2, -1) : ::poll(p, 1, kSliceMs);
        if (QuitRaised()) return -1;
        if (rc > 0 && !(p[0].revents & POLLIN)) rc = 0;
        if (rc < 0) {
            if (errno != EINTR) throw SocketError(SelectForAcceptFail);
            rc = 0;
        }
        if (rc > 0) {
            // A ready connection is always taken, whatever the time-out: a time-out of 0
            // polls once and accepts what is there.
            const int fd = TakeConnection();
            if (fd >= 0) return fd;
        }
        if (timeout != kInfinite) {
            elapsed += kSliceMs * 1000ULL;
            if (elapsed > limit) return -1;
        }
    }
}

int AcceptSocket::TakeConnection() {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        throw AcceptShortage(AcceptFailed);
    if (!Retryable(errno) && errno != ECONNABORTED) throw SocketError(AcceptFailed);
    return -1;
}

bool AcceptSocket::KeepAlive() {
    if (!keepsAlive_ && fd_ >= 0) keepsAlive_ = SetKeepAlive(fd_);
    return keepsAlive_;
}

bool AcceptSocket::UrgentInline() {
    if (!urgentInline_ && fd_ >= 0) urgentInline_ = SetUrgentInline(fd_);
    return urgentInline_;
}

bool AcceptSocket::Pause(int ms) {
    pollfd p{wake_, POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (int left = ms; left > 0 && !QuitRaised();) {
        // Without the wake-up descriptor poll merely sleeps; the slices then watch the flag.
        // poll refuses more descriptors than the descriptor limit allows (EINVAL), which is
        // just when a pause is wanted: the slice is then slept without it.
        const int slice = std::min(left, kSliceMs);
        if (::poll(&p, wake_ >= 0 ? 1 : 0, slice) < 0 && errno != EINTR)
            std::this_thread::sleep_for(std::chrono::milliseconds(slice));
        left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    until - std::chrono::steady_clock::now())
                                    .count());
    }
    return !QuitRaised();
}

// ---- AcceptWaiter --------------------------------------------------------------------------

AcceptWaiter::AcceptWaiter(AcceptSocket& socket) : socket_(socket) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) throw SocketError(SelectForAcceptFail);
    // The quit signal stays registered: it is the same for every thread and wakes them all.
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.fd = socket.wake_;
    if (socket.wake_ >= 0 && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, socket.wake_, &wake) != 0) {
        SocketError error(SelectForAcceptFail);
        ::close(epoll_);
        throw error;
    }
}

AcceptWaiter::~AcceptWaiter() {
    ::close(epoll_);
}

int AcceptWaiter::Accept(long timeoutMs) {
    epoll_event listening{};
    listening.events = EPOLLIN | EPOLLEXCLUSIVE;
    listening.data.fd = socket_.fd_;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, socket_.fd_, &listening) != 0)
        throw SocketError(SelectForAcceptFail);
    struct Leave {
        int epoll, fd;
        ~Leave() { ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr); }
    } leave{epoll_, socket_.fd_};

    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (socket_.QuitRaised()) return -1;
        // Without the wake-up descriptor the wait is cut into slices that watch the flag.
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<long>(left.count(), 0));
        }
        if (socket_.wake_ < 0 && (wait < 0 || wait > kSliceMs)) wait = kSliceMs;
        epoll_event ready[2];
        const int n = ::epoll_wait(epoll_, ready, 2, wait);
        if (n < 0 && errno != EINTR) throw SocketError(SelectForAcceptFail);
        if (socket_.QuitRaised()) return -1;
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.fd != socket_.fd_) continue;
            const int fd = socket_.TakeConnection();
            if (fd >= 0) return fd;
        }
        if (timeoutMs >= 0 && n == 0 && std::chrono::steady_clock::now() >= until) return -1;
    }
}

// ---- free functions -------------------------------------------------------------------------

bool IsCanonicalDottedQuad(std::string_view text) {
    int fields = 0;
    std::size_t i = 0;
    while (true) {
        const std::size_t start = i;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
            value = value * 10 + (text[i++] - '0');
        const std::size_t digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
        if (++fields == 4) return i == text.size();
        if (i >= text.size() || text[i] != '.') return false;
        ++i;
    }
}

bool ParsePort(std::string_view text, int& port) {
    long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > 65535) return false;
    }
    if (value == 0) return false;  // also the empty text
    port = static_cast<int>(value);
    return true;
}

bool FindHostIP(const char* name, std::string& address) {
    address.clear();
    if (name == nullptr || *name == '\0') return false;
    // A dotted quad already is its own address text, and the resolver would only say so.
    if (IsCanonicalDottedQuad(name)) {
        address = name;
        return true;
    }
    // inet_aton is the reader getaddrinfo uses for numeric names: anything else it takes is a
    // second name for an address, in a spelling other than the one the access rules compare.
    in_addr numeric{};
    if (::inet_aton(name, &numeric) != 0) return false;
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

// ---- QuitWaker -----------------------------------------------------------------------------

namespace {

// The eventfd of the last QuitWaker of this thread, kept for the next one: a session thread runs
// one tunnel after another, and each would otherwise open and close one. Only a descriptor that
// was never signalled is kept, so it holds no count.
class SpareEventFd {
  public:
    ~SpareEventFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Take() { return std::exchange(fd_, -1); }
    // Keeps `fd` when none is kept yet; closes it otherwise.
    void Give(int fd) {
        if (fd_ < 0) {
            fd_ = fd;
        } else {
            ::close(fd);
        }
    }

  private:
    int fd_ = -1;
};

thread_local SpareEventFd tSpareEventFd;

}  // namespace

QuitWaker::QuitWaker(ALGPool* pool) : ALGPoolMember(nullptr) {
    if (pool == nullptr) return;
    fd_ = tSpareEventFd.Take();
    if (fd_ < 0) fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) return;
    // Joins only now that the descriptor exists: a pool that has already been told to quit
    // signals a new member at once.
    JoinPool(pool, fd_);
}

void QuitWaker::DropSpare() {
    if (const int fd = tSpareEventFd.Take(); fd >= 0) ::close(fd);
}

QuitWaker::~QuitWaker() {
    // Leaves the pool before the descriptor is closed, so no signal can reach a closed (or
    // meanwhile reused) descriptor.
    LeavePool();
    if (fd_ < 0) return;
    // No signal can come any more: one that came may have left a count behind.
    if (QuitRaised()) {
        ::close(fd_);
    } else {
        tSpareEventFd.Give(fd_);
    }
}


void BufferedSocketReader::Fill(unsigned int timeout) {
    if (begin_ < end_) return;
    begin_ = end_ = 0;
    for (;;) {
        if (socket_.QuitRaised()) throw TerminationEvent();
        // Receiving first and waiting only when nothing is there saves a wait per message.
        const ssize_t n = ::recv(socket_.Descriptor(), buffer_, kCapacity, MSG_DONTWAIT);
        if (n > 0) {
            end_ = static_cast<std::size_t>(n);
            return;
        }
        if (n == 0) {
            errno = 0;  // the detail names the peer, not a stale system error
            throw SocketEOFEvent(ReadEOF, socket_.PeerAddress().c_str());
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) throw SocketError(RecvFails);
        socket_.WaitForReadEvent(timeout);
    }
}

bool BufferedSocketReader::DataIsAvailable(unsigned int timeout) {
    return begin_ < end_ || socket_.DataIsAvailable(timeout);
}

void BufferedSocketReader::ReadAll(std::string& out, unsigned int timeout) {
    out.append(Pending());
    begin_ = end_ = 0;
    socket_.ReadAll(out, timeout);
}

unsigned int BufferedSocketReader::ReadN(char* buffer, unsigned int count, unsigned int timeout) {
    unsigned int got = 0;
    while (got < count) {
        Fill(timeout);
        const std::size_t n = std::min<std::size_t>(count - got, end_ - begin_);
        std::memcpy(buffer + got, buffer_ + begin_, n);
        begin_ += n;
        got += static_cast<unsigned int>(n);
    }
    return got;
}

void BufferedSocketReader::ReadToTermChar(std::string& out, char terminator, unsigned int timeout,
                                          std::size_t maxLength) {
    std::size_t taken = 0;
    while (taken < maxLength) {
        Fill(timeout);
        const char* start = buffer_ + begin_;
        const std::size_t avail = std::min(end_ - begin_, maxLength - taken);
        const void* hit = std::memchr(start, terminator, avail);
        const std::size_t n =
            hit != nullptr ? static_cast<std::size_t>(static_cast<const char*>(hit) - start) + 1
                           : avail;
        out.append(start, n);
        begin_ += n;
        taken += n;
        if (hit != nullptr) return;
    }
}

bool BufferedSocketReader::Read(char* buffer, unsigned int& size, unsigned int timeout) {
    if (begin_ == end_) return socket_.Read(buffer, size, timeout);
    size = static_cast<unsigned int>(std::min<std::size_t>(size, end_ - begin_));
    std::memcpy(buffer, buffer_ + begin_, size);
    begin_ += size;
    return true;
}

}  // namespace alg
