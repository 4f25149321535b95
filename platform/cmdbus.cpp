#include "cmdbus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <list>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "dirmap.h"

namespace {

using cmdbus::kReplyMagic;
using cmdbus::kRequestMagic;
constexpr std::size_t kRequestHeader = 16;    // magic, module, command, length
constexpr std::size_t kReplyHeader = 12;      // magic, status, length
constexpr ModuleIdType kBusModule = 0;        // the bus's own commands
constexpr std::uint32_t kOpenCommand = 0;     // first frame of every session
constexpr int kServerFrameTimeoutMs = 2000;   // a first frame; the rest of a started one; a reply
constexpr int kSliceMs = 100;                 // stop-flag checks of the service
constexpr std::size_t kRecvChunk = 64 << 10;  // payload memory follows the bytes that arrived
// The opening payload: mode, name length, name.
constexpr std::uint32_t kMaxHello = 8 + cmdbus::kMaxSessionName;

std::int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::uint32_t LoadU32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void StoreU32(std::string& out, std::uint32_t v) {
    char b[4];
    std::memcpy(b, &v, 4);
    out.append(b, 4);
}

// Waits for `events` on `fd` until `deadlineMs`; false on time-out or error.
bool WaitFd(int fd, short events, std::int64_t deadlineMs) {
    for (;;) {
        const std::int64_t left = deadlineMs - NowMs();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, int(left));
        if (r > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
        if (r < 0 && errno != EINTR) return false;
    }
}

// Writes all of `data` before `deadlineMs`.
bool SendAll(int fd, std::string_view data, std::int64_t deadlineMs) {
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data.remove_prefix(std::size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFd(fd, POLLOUT, deadlineMs))
            continue;
        return false;
    }
    return true;
}

// Reads exactly `size` bytes into `out` before `deadlineMs`; false on EOF, error or time-out.
bool RecvAll(int fd, char* out, std::size_t size, std::int64_t deadlineMs) {
    while (size > 0) {
        const ssize_t n = recv(fd, out, size, MSG_DONTWAIT);
        if (n > 0) {
            out += n;
            size -= std::size_t(n);
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFd(fd, POLLIN, deadlineMs)) continue;
        return false;
    }
    return true;
}

// Reads a body of `length` bytes into `out` before `deadlineMs`, growing `out` as the bytes
// arrive, so a length announced but never sent costs nothing.
bool RecvBody(int fd, std::uint32_t length, std::string& out, std::int64_t deadlineMs) {
    out.clear();
    while (out.size() < length) {
        const std::size_t got = out.size();
        const std::size_t part = std::min<std::size_t>(length - got, kRecvChunk);
        out.resize(got + part);
        if (!RecvAll(fd, out.data() + got, part, deadlineMs)) return false;
    }
    return true;
}

// The bus is private to one user: the other end must run as this process's user or as root.
// `pid` (when not null) receives the peer's process id.
bool PeerTrusted(int fd, pid_t* pid = nullptr) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred)
        return false;
    if (pid) *pid = cred.pid;
    return cred.uid == geteuid() || cred.uid == 0;
}

bool FillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

// A connected, non-blocking client socket, or -1. Connecting waits at most `timeoutMs`.
int ConnectTo(const std::string& path, int timeoutMs) {
    sockaddr_un addr;
    if (!FillAddress(path, addr)) return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A full backlog makes connect wait; the send time-out bounds that wait.
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        !PeerTrusted(fd)) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// A frame of either direction: the header words, the body's length, the body.
std::string Frame(std::initializer_list<std::uint32_t> header, std::string_view body) {
    std::string frame;
    frame.reserve(4 * (header.size() + 1) + body.size());
    for (const std::uint32_t word : header) StoreU32(frame, word);
    StoreU32(frame, std::uint32_t(body.size()));
    frame.append(body);
    return frame;
}

// Sends one request and reads its reply within the client time-outs. False on any transport
// failure or malformed reply; otherwise `status` and `reply` hold the answer.
bool Exchange(int fd, ModuleIdType module, std::uint32_t command, std::string_view payload,
              std::uint32_t& status, std::string& reply) {
    if (payload.size() > cmdbus::kMaxPayload) return false;
    if (!SendAll(fd, Frame({kRequestMagic, module, command}, payload),
                 NowMs() + cmdbus::kClientTimeoutMs))
        return false;
    const std::int64_t deadline = NowMs() + cmdbus::kClientTimeoutMs;
    char header[kReplyHeader];
    if (!RecvAll(fd, header, sizeof header, deadline)) return false;
    if (LoadU32(header) != kReplyMagic) return false;
    const std::uint32_t length = LoadU32(header + 8);
    if (length > cmdbus::kMaxPayload) return false;
    std::string body;
    if (!RecvBody(fd, length, body, deadline)) return false;
    status = LoadU32(header + 4);
    reply.swap(body);
    return true;
}

}  // namespace

namespace cmdbus {

PayloadWriter& PayloadWriter::U32(std::uint32_t v) {
    StoreU32(out_, v);
    return *this;
}

PayloadWriter& PayloadWriter::Text(std::string_view text) {
    StoreU32(out_, std::uint32_t(text.size()));
    out_.append(text);
    return *this;
}

bool PayloadReader::U32(std::uint32_t& v) {
    if (in_.size() < 4) return false;
    v = LoadU32(in_.data());
    in_.remove_prefix(4);
    return true;
}

bool PayloadReader::Text(std::string& text) {
    if (in_.size() < 4) return false;
    const std::uint32_t length = LoadU32(in_.data());
    if (length > in_.size() - 4) return false;
    text.assign(in_.data() + 4, length);
    in_.remove_prefix(4 + std::size_t(length));
    return true;
}

std::string SocketPath() {
    return systemRunDir() + "/" + kSocketName;
}

}  // namespace cmdbus

// ---- client side ----

BridgeSession::BridgeSession(CommandSender& owner, int fd, std::string name)
    : owner_(owner), fd_(fd), name_(std::move(name)) {}

BridgeSession::~BridgeSession() {
    if (fd_ >= 0) close(fd_);
}

void BridgeSession::Fail() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    state_ = kBroken;
    owner_.NoteFailure();
}

bool BridgeSession::__SendCommand(ModuleIdType module, long command, const void* payload,
                                  unsigned size, std::string* reply) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (state_ != kUsable || fd_ < 0) return false;
    if (command < 0 || command > long(UINT32_MAX) || module == kBusModule ||
        size > cmdbus::kMaxPayload || (size > 0 && payload == nullptr))
        return false;  // refused before sending: the stream stays in step
    std::uint32_t status = 0;
    std::string answer;
    if (!Exchange(fd_, module, std::uint32_t(command),
                  std::string_view(static_cast<const char*>(payload), size), status, answer)) {
        Fail();
        return false;
    }
    if (reply) reply->swap(answer);
    return status == cmdbus::kOk;
}

CommandSender* CommandSender::Instance() {
    static CommandSender sender;
    return &sender;
}

CommandSender::CommandSender(std::string socketPath) : fixedPath_(std::move(socketPath)) {}

std::string CommandSender::Path() const {
    return fixedPath_.empty() ? cmdbus::SocketPath() : fixedPath_;
}

bool CommandSender::Refusing() {
    std::lock_guard<std::mutex> guard(mutex_);
    return failed_ && NowMs() - failedAtMs_ < cmdbus::kRefusalMs;
}

std::int64_t CommandSender::RefusalEndMs() {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::int64_t end = failedAtMs_ + cmdbus::kRefusalMs;
    return failed_ && NowMs() < end ? end : 0;
}

void CommandSender::NoteFailure() {
    std::lock_guard<std::mutex> guard(mutex_);
    failed_ = true;
    failedAtMs_ = NowMs();
}

BridgeSession* CommandSender::OpenNewSession(const std::string& name, ReadWriteMode_t mode) {
    if (name.size() > cmdbus::kMaxSessionName || Refusing()) return nullptr;
    const int fd = ConnectTo(Path(), cmdbus::kClientTimeoutMs);
    if (fd < 0) {
        NoteFailure();
        return nullptr;
    }
    std::string hello;
    cmdbus::PayloadWriter(hello).U32(std::uint32_t(mode)).Text(name);
    std::uint32_t status = 0;
    std::string answer;
    if (!Exchange(fd, kBusModule, kOpenCommand, hello, status, answer) || status != cmdbus::kOk) {
        close(fd);
        NoteFailure();
        return nullptr;
    }
    return new BridgeSession(*this, fd, name);
}

void CommandSender::CloseSession(BridgeSession* session) {
    delete session;
}

// ---- service side ----

namespace cmdbus {

struct Server::Impl {
    struct Connection {
        std::thread thread;
        int fd = -1;                       // closed by Reap, after the thread is joined
        std::int64_t acceptedAtMs = 0;     // its first frame is due 2 s later
        std::atomic<bool> opened{false};   // the opening frame was accepted
        std::atomic<bool> evicted{false};  // shut down to make room for a newer connection
        std::atomic<bool> done{false};
    };

    Handler handler;
    std::function<void(std::uint64_t)> onClose;
    int listenFd = -1;
    std::atomic<bool> stop{false};
    std::thread acceptThread;
    std::list<Connection> connections;  // touched by the accept thread only, then by Stop
    std::uint64_t nextConnection = 1;

    void AcceptLoop();
    void Serve(Connection& c, std::uint64_t id, pid_t pid);
    void Reap(bool all);
    // Makes room by shutting down the oldest connection that has not opened its session yet;
    // false when there is none.
    bool EvictUnopened();
    // Waits for the first byte of a frame until `deadlineMs` (0: no limit), checking the stop
    // flag; false on stop/EOF/error/time-out.
    bool WaitIdle(int fd, std::int64_t deadlineMs);
    // Reads one frame whose payload is at most `maxLength` bytes. `deadlineMs` bounds the
    // whole frame; 0 lets the connection idle until the frame begins and gives it 2 s then.
    bool ReadFrame(int fd, std::uint32_t& module, std::uint32_t& command, std::string& payload,
                   std::int64_t deadlineMs, std::uint32_t maxLength);
    bool WriteReply(int fd, std::uint32_t status, std::string_view reply);
};

Server::Server(std::string socketPath, Handler handler, std::function<void(std::uint64_t)> onClose)
    : path_(std::move(socketPath)), impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->onClose = std::move(onClose);
}

Server::~Server() {
    Stop();
}

void Server::Start() {
    if (impl_->listenFd >= 0) return;
    sockaddr_un addr;
    if (!FillAddress(path_, addr)) throw std::runtime_error("command bus socket path too long");
    // Whoever may write the folder may plant a socket of their own at the path first.
    const std::size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path_.substr(0, slash);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw std::runtime_error("no run folder " + dir);
    if (st.st_mode & S_IWOTH)
        throw std::runtime_error("run folder writable by others, refused: " + dir);
    if (st.st_uid != geteuid() && st.st_uid != 0)
        throw std::runtime_error("run folder owned by another user, refused: " + dir);
    if (lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw std::runtime_error("not a socket, left in place: " + path_);
        const int probe = ConnectTo(path_, kClientTimeoutMs);
        if (probe >= 0) {
            close(probe);
            throw std::runtime_error("another service answers on " + path_);
        }
        unlink(path_.c_str());  // stale socket of a service that is gone
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    // The socket file must never be reachable by others, not even for a moment.
    const mode_t old = umask(0177);
    const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int bindErrno = errno;
    umask(old);
    if (bound != 0 || chmod(path_.c_str(), 0600) != 0 || listen(fd, 16) != 0) {
        const std::string why = std::strerror(bound != 0 ? bindErrno : errno);
        close(fd);
        if (bound == 0) unlink(path_.c_str());
        throw std::runtime_error("cannot listen on " + path_ + ": " + why);
    }
    impl_->listenFd = fd;
    impl_->stop = false;
    impl_->acceptThread = std::thread([this] { impl_->AcceptLoop(); });
}

void Server::Stop() {
    if (impl_->listenFd < 0) return;
    impl_->stop = true;
    if (impl_->acceptThread.joinable()) impl_->acceptThread.join();
    impl_->Reap(true);
    close(impl_->listenFd);
    impl_->listenFd = -1;
    unlink(path_.c_str());
}

void Server::Impl::Reap(bool all) {
    for (auto it = connections.begin(); it != connections.end();) {
        if (all || it->done) {
            it->thread.join();
            close(it->fd);
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::Impl::AcceptLoop() {
    while (!stop) {
        Reap(false);
        pollfd p{listenFd, POLLIN, 0};
        if (poll(&p, 1, kSliceMs) <= 0) continue;
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            // Out of descriptors or memory, the pending connection stays ready: pause for a
            // slice rather than spin on it.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                poll(nullptr, 0, kSliceMs);
            continue;
        }
        pid_t pid = 0;
        // A connection still owes its opening frame: a full table sheds the oldest such one
        // (silent clients cannot shut others out); the list holds at most twice the limit
        // while those shed are ending.
        if (!PeerTrusted(fd, &pid) ||
            (connections.size() >= std::size_t(kMaxConnections) &&
             (connections.size() >= 2 * std::size_t(kMaxConnections) || !EvictUnopened()))) {
            close(fd);
            continue;
        }
        Connection& c = connections.emplace_back();
        c.fd = fd;
        c.acceptedAtMs = NowMs();
        const std::uint64_t id = nextConnection++;
        try {
            c.thread = std::thread([this, id, pid, &c] {
                Serve(c, id, pid);
                if (onClose) onClose(id);
                c.done = true;
            });
        } catch (const std::system_error&) {
            // No thread to be had: refuse this session, and keep no entry Reap could not join.
            connections.pop_back();
            close(fd);
        }
    }
}

bool Server::Impl::EvictUnopened() {
    for (Connection& c : connections) {
        if (c.opened || c.evicted || c.done) continue;
        c.evicted = true;
        // Wakes its thread at once; the descriptor stays open until Reap.
        shutdown(c.fd, SHUT_RDWR);
        return true;
    }
    return false;
}

bool Server::Impl::WaitIdle(int fd, std::int64_t deadlineMs) {
    while (!stop) {
        int slice = kSliceMs;
        if (deadlineMs != 0) {
            const std::int64_t left = deadlineMs - NowMs();
            if (left <= 0) return false;
            slice = int(std::min<std::int64_t>(left, kSliceMs));
        }
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, slice);
        if (r > 0) return (p.revents & POLLIN) != 0;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

bool Server::Impl::ReadFrame(int fd, std::uint32_t& module, std::uint32_t& command,
                             std::string& payload, std::int64_t deadlineMs,
                             std::uint32_t maxLength) {
    if (!WaitIdle(fd, deadlineMs)) return false;
    const std::int64_t deadline = deadlineMs != 0 ? deadlineMs : NowMs() + kServerFrameTimeoutMs;
    char header[kRequestHeader];
    if (!RecvAll(fd, header, sizeof header, deadline)) return false;
    const std::uint32_t length = LoadU32(header + 12);
    if (LoadU32(header) != kRequestMagic || length > maxLength) return false;
    module = LoadU32(header + 4);
    command = LoadU32(header + 8);
    return RecvBody(fd, length, payload, deadline);
}

bool Server::Impl::WriteReply(int fd, std::uint32_t status, std::string_view reply) {
    if (reply.size() > kMaxPayload) {
        status = kBadRequest;
        reply = {};
    }
    return SendAll(fd, Frame({kReplyMagic, status}, reply), NowMs() + kServerFrameTimeoutMs);
}

void Server::Impl::Serve(Connection& c, std::uint64_t id, pid_t pid) {
    const int fd = c.fd;
    std::uint32_t module = 0, command = 0;
    std::string payload;
    // The first frame names the session; anything else ends the connection.
    if (!ReadFrame(fd, module, command, payload, c.acceptedAtMs + kServerFrameTimeoutMs,
                   kMaxHello) ||
        module != kBusModule || command != kOpenCommand)
        return;
    PayloadReader hello(payload);
    std::uint32_t mode = 0;
    std::string name;
    if (!hello.U32(mode) || !hello.Text(name) || !hello.AtEnd() || name.size() > kMaxSessionName)
        return;
    c.opened = true;
    if (!WriteReply(fd, kOk, {})) return;
    std::string reply;
    while (ReadFrame(fd, module, command, payload, 0, kMaxPayload)) {
        reply.clear();
        Status status = kBadRequest;
        if (module != kBusModule) {
            try {
                status = handler(Request{id, name, module, command, payload, pid}, reply);
            } catch (const std::exception&) {
                status = kBadRequest;
                reply.clear();
            }
        }
        if (!WriteReply(fd, status, reply)) return;
    }
}

}  // namespace cmdbus
