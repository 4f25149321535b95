#include "relay.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <vector>

namespace alg {

namespace {

constexpr int kSliceMs = 100;
// Buffers a busy stream may carry without a wait before the other side is looked at again.
constexpr int kRelayBusyPasses = 8;
constexpr unsigned int kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;
// A tunnel that has moved nothing for this long gives back its empty pipes, so that an idle
// tunnel holds three descriptors whatever it carried before.
constexpr long long kPipeIdleMs = 1000;
// The pipe of a stream that has filled its first one. A larger pipe saves calls, but its pages
// have left the processor's cache by the time the receiving peer copies them: on loopback 256 KiB
// carried more than 1 MiB (and 4 MiB cost more processor time as well).
constexpr int kGrownPipe = 256 << 10;
// What a receive takes at an urgent mark: an empty pipe takes a write of that much whole.
constexpr std::size_t kMarkChunk = PIPE_BUF;
// Looks at a send queue that is being taken: nothing tells when it has emptied, and on a near
// peer that is a matter of microseconds, so the looks start often and grow sparse.
constexpr int kFirstDrainLookMs = 1;
constexpr int kLastDrainLookMs = 64;

bool Retryable(int err) {
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK;
}

// One direction of a tunnel: the bytes read from `from` and not yet written to `to`.
struct RelayDirection {
    RelayDirection(AlgSocket& source, AlgSocket& sink)
        : from(&source), to(&sink), mover(source, sink) {}

    AlgSocket* from;
    AlgSocket* to;
    StreamMover mover;
    bool reading = true;  // `from` has neither ended its stream nor failed
    bool done = false;    // its end has been passed on to `to`, or it was cut
    bool ended = false;   // `from` ended its stream cleanly
    bool failed = false;  // reading `from` failed: `to` is to get a reset, not an end of stream
    // The last pass filled the room there was and sent it all: `from` very likely has more.
    bool busy = false;
    std::chrono::steady_clock::time_point lastProgress;  // of the pending bytes

    bool Pending() const { return mover.Pending() > 0; }
    bool Room() const { return reading && mover.Room(); }
    // Ends the direction at once: `to` can take nothing more.
    void Cut() {
        mover.Discard();
        reading = busy = false;
        done = true;
    }
};

// Milliseconds until the first pending direction runs out of `timeout` (0 when one has), or -1
// when nothing is pending.
int WriteWaitLeft(const RelayDirection (&dirs)[2], unsigned int timeout) {
    if (!dirs[0].Pending() && !dirs[1].Pending()) return -1;
    const auto now = std::chrono::steady_clock::now();
    long long left = std::numeric_limits<int>::max();
    for (const RelayDirection& d : dirs) {
        if (!d.Pending()) continue;
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - d.lastProgress).count();
        left = std::min(left, std::max<long long>(0, static_cast<long long>(timeout) - spent));
    }
    return static_cast<int>(left);
}

// Milliseconds until the empty pipes of a tunnel that moved nothing since `lastMoved` are given
// back (0: now), or -1 when it holds none.
int PipeIdleLeft(const RelayDirection (&dirs)[2],
                 std::chrono::steady_clock::time_point lastMoved) {
    if (!(dirs[0].mover.Spliced() && !dirs[0].Pending()) &&
        !(dirs[1].mover.Spliced() && !dirs[1].Pending()))
        return -1;
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - lastMoved)
                          .count();
    return static_cast<int>(std::max<long long>(0, kPipeIdleMs - idle));
}

// Bytes queued on `fd` that its peer has not acknowledged yet; 0 once the connection is closed,
// when nothing more will be taken.
long Unacknowledged(int fd) {
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued <= 0) return 0;
    // A closed connection may still count what it never had acknowledged.
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        info.tcpi_state == TCP_CLOSE)
        return 0;
    return queued;
}

// The two-way relay of one tunnel (see RelayStreams). Socket i is read by direction i and
// written by direction 1 - i.
class Tunnel {
  public:
    Tunnel(AlgSocket& client, AlgSocket& server, unsigned int timeout)
        : sockets_{&client, &server},
          d_{{client, server}, {server, client}},
          timeout_(timeout),
          waker_(client.Pool()) {}

    void Run();

  private:
    // One pass over direction i: receives when its source is ready and there is room, sends
    // what is pending when it was just received or the sink is ready, and passes the end of
    // the stream on once nothing is pending. Whether any byte was received or sent, or the
    // direction failed.
    bool Move(int i, short fromEvents, short toEvents);
    // Socket i can take no more bytes (its peer reset, or it failed): the direction writing to
    // it ends at once, the one reading it goes on with what it still holds, and the tunnel will
    // end with a reset on both sides. `failure`, when given, is the failure to report (with
    // errno as it was left).
    void Broken(int i, const locMSG* failure);
    // Resets both sockets: a broken one at once, a healthy one once its peer has taken what was
    // queued for it (see AwaitAcknowledged).
    void ResetBoth();
    void AbortBoth() {
        for (AlgSocket* s : sockets_) s->Abort();
    }
    bool QuitRaised() const {
        return sockets_[0]->QuitRaised() || sockets_[1]->QuitRaised() || waker_.QuitRaised();
    }

    AlgSocket* sockets_[2];
    RelayDirection d_[2];
    const unsigned int timeout_;
    const QuitWaker waker_;
    bool broken_[2] = {false, false};
    std::exception_ptr error_;  // the first failure
};

void Tunnel::Broken(int i, const locMSG* failure) {
    // Built at once, while errno still tells what failed.
    if (failure != nullptr && !error_) error_ = std::make_exception_ptr(SocketError(*failure));
    broken_[i] = true;
    if (!d_[1 - i].done) d_[1 - i].Cut();
}

bool Tunnel::Move(int i, short fromEvents, short toEvents) {
    RelayDirection& dir = d_[i];
    if (dir.done) return false;
    const bool wasPending = dir.Pending();
    bool full = false;
    bool received = false;
    dir.busy = false;
    // A failing connection is the common end of a tunnel, so failures come back as values
    // here: only what the tunnel finally reports is thrown.
    if ((fromEvents & (POLLIN | POLLHUP | POLLERR)) && dir.Room()) {
        const long n = dir.mover.TryReceive();
        if (n == StreamMover::kFailed) {
            // What was read before the failure is still delivered.
            dir.reading = false;
            dir.failed = received = true;
            Broken(i, &RecvFails);
        } else {
            dir.ended = n == 0;
            dir.reading = n != 0;
            received = n > 0;
            full = n > 0 && (!dir.mover.Room() || n >= static_cast<long>(StreamMover::kBufferSize));
        }
    }
    // Bytes just received are sent at once: the peer usually has room for them.
    bool progress = false;
    if (dir.Pending() && (!wasPending || (toEvents & (POLLOUT | POLLHUP | POLLERR)))) {
        const long n = dir.mover.TrySend();
        if (n == StreamMover::kFailed) {
            Broken(1 - i, &SendFailed);
            return true;
        }
        progress = n > 0;
    }
    if (!dir.Pending()) {
        dir.busy = full;
    } else if (progress || !wasPending) {
        dir.lastProgress = std::chrono::steady_clock::now();
    }
    if (!dir.reading && !dir.Pending() && !dir.done) {
        if (!dir.failed) ::shutdown(dir.to->Descriptor(), SHUT_WR);
        dir.done = true;
    }
    return received || progress;
}

void Tunnel::ResetBoth() {
    AlgSocket* healthy[2];
    std::size_t count = 0;
    for (int i = 0; i < 2; ++i) {
        if (broken_[i])
            sockets_[i]->Abort();
        else
            healthy[count++] = sockets_[i];
    }
    AwaitAcknowledged({healthy, count}, timeout_, waker_);
    AbortBoth();
}

void Tunnel::Run() {
    sockets_[0]->KeepAlive();
    sockets_[1]->KeepAlive();
    const int idleWait = waker_.Descriptor() >= 0 ? -1 : kSliceMs;
    int busyPasses = 0;
    auto lastMoved = std::chrono::steady_clock::now();
    while (!d_[0].done || !d_[1].done) {
        pollfd p[3];
        if ((d_[0].busy || d_[1].busy) && busyPasses < kRelayBusyPasses) {
            // A busy stream reads on without a wait (one receive and one send per buffer);
            // every kRelayBusyPasses buffers the wait looks at both sides again.
            ++busyPasses;
            for (int i = 0; i < 2; ++i) p[i] = {-1, 0, static_cast<short>(d_[i].busy ? POLLIN : 0)};
        } else {
            busyPasses = 0;
            // With nothing to do a socket is still watched for errors (a keepalive that found
            // its peer gone, a reset) while it may still be written to; shut for sending it
            // would report a hang-up on every wait.
            for (int i = 0; i < 2; ++i) {
                const short events = static_cast<short>((d_[i].Room() ? POLLIN : 0) |
                                                        (d_[1 - i].Pending() ? POLLOUT : 0));
                const bool watched = events != 0 || !d_[1 - i].done;
                p[i] = {watched ? sockets_[i]->Descriptor() : -1, events, 0};
            }
            p[2] = {waker_.Descriptor(), POLLIN, 0};
            int wait = WriteWaitLeft(d_, timeout_);
            if (wait < 0 || (idleWait >= 0 && wait > idleWait)) wait = idleWait;
            const int pipeWait = PipeIdleLeft(d_, lastMoved);
            if (pipeWait >= 0 && (wait < 0 || wait > pipeWait)) wait = pipeWait;
            if (::poll(p, 3, wait) < 0) {
                if (errno != EINTR) {
                    SocketError error(SelectFail);
                    AbortBoth();
                    throw error;
                }
                for (int i = 0; i < 2; ++i) p[i].revents = 0;
            }
        }
        if (QuitRaised()) {
            AbortBoth();
            throw TerminationEvent();
        }
        // An error on a socket watched for nothing else: it can be written to no more, but
        // what its peer sent before is still read, once there is room for it.
        for (int i = 0; i < 2; ++i)
            if (p[i].events == 0 && (p[i].revents & (POLLERR | POLLHUP))) Broken(i, nullptr);
        bool moved = false;
        for (int i = 0; i < 2; ++i) moved |= Move(i, p[i].revents, p[1 - i].revents);
        if (moved) {
            lastMoved = std::chrono::steady_clock::now();
        } else if (PipeIdleLeft(d_, lastMoved) == 0) {
            for (RelayDirection& dir : d_) dir.mover.Release();
        }
        if (WriteWaitLeft(d_, timeout_) == 0) {
            // The peer that took nothing for so long gets its reset at once; the other one
            // once it has what was queued for it.
            for (int i = 0; i < 2; ++i)
                if (d_[i].Pending()) broken_[1 - i] = true;
            for (RelayDirection& dir : d_) dir.Cut();
            errno = 0;
            const SocketError timedOut(WriteTimeout);
            ResetBoth();
            throw timedOut;
        }
    }
    if (!broken_[0] && !broken_[1]) return;
    ResetBoth();
    // A peer that closed its side and then reset the connection (or was reset) ended the
    // tunnel normally; a failure while both sides were sending is reported.
    if (error_ && !d_[0].ended && !d_[1].ended) std::rethrow_exception(error_);
}

}  // namespace

void AwaitAcknowledged(std::span<AlgSocket* const> legs, unsigned int timeout,
                       const QuitWaker& waker) {
    using Clock = std::chrono::steady_clock;
    struct Wait {
        long queued = -1;
        Clock::time_point since;  // of the last change of `queued`
        bool done = false;
    };
    std::vector<Wait> waits(legs.size());
    int look = kFirstDrainLookMs;
    for (;;) {
        bool waiting = false;
        for (std::size_t i = 0; i < legs.size(); ++i) {
            Wait& w = waits[i];
            if (w.done || legs[i]->Descriptor() < 0) continue;
            const long queued = Unacknowledged(legs[i]->Descriptor());
            const auto now = Clock::now();
            if (queued != w.queued) w.since = now;
            w.queued = queued;
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - w.since).count();
            w.done = queued == 0 || waited >= static_cast<long long>(timeout);
            waiting |= !w.done;
        }
        if (!waiting) return;
        pollfd p{waker.Descriptor(), POLLIN, 0};
        ::poll(&p, 1, look);
        look = std::min(look * 2, kLastDrainLookMs);
        bool quit = waker.QuitRaised();
        for (const AlgSocket* leg : legs) quit |= leg->QuitRaised();
        if (quit) {
            for (AlgSocket* leg : legs) leg->Abort();
            throw TerminationEvent();
        }
    }
}

namespace {

// Makes `fd` non-blocking; false when it could not. `restore` gets the flags to put back at the
// end, or -1 when it was non-blocking already (made so by the other direction's mover, which
// restores it).
bool SetNonBlocking(int fd, int& restore) {
    restore = -1;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    if (flags & O_NONBLOCK) return true;
    if (::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    restore = flags;
    return true;
}

void RestoreFlags(const AlgSocket& socket, int flags) {
    if (flags >= 0 && socket.Descriptor() >= 0) ::fcntl(socket.Descriptor(), F_SETFL, flags);
}

// Whether a splice failure means these descriptors cannot be spliced at all (rather than a
// failing connection).
bool SpliceRefused(int err) {
    return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

}  // namespace

// ---- StreamMover ---------------------------------------------------------------------------

StreamMover::StreamMover(AlgSocket& from, AlgSocket& to) : from_(from), to_(to) {
    // Both legs, whichever of them this direction reads.
    from.UrgentInline();
    to.UrgentInline();
}

bool StreamMover::OpenPipe() {
    if (::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) == 0) {
        // Once made non-blocking, the sockets stay so until the mover ends, pipe or not.
        const bool nonBlocking =
            (fromFlags_ >= 0 || SetNonBlocking(from_.Descriptor(), fromFlags_)) &&
            (toFlags_ >= 0 || SetNonBlocking(to_.Descriptor(), toFlags_));
        const int size = ::fcntl(pipe_[0], F_GETPIPE_SZ);
        if (nonBlocking && size > 0) {
            capacity_ = static_cast<std::size_t>(size);
            // A splice into a socket the peer has reset raises SIGPIPE in this thread: held
            // back while the mover lasts and dropped at its end, since the call itself reports
            // the failure.
            if (!releaseSigPipe_) {
                sigset_t pipeSignal, old;
                sigemptyset(&pipeSignal);
                sigaddset(&pipeSignal, SIGPIPE);
                pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
                releaseSigPipe_ = !sigismember(&old, SIGPIPE);
            }
            return true;
        }
        ClosePipe();
    }
    pipeRefused_ = true;
    return false;
}

StreamMover::~StreamMover() {
    if (releaseSigPipe_) {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        const timespec noWait{0, 0};
        // A thread holds at most one pending instance of a standard signal.
        ::sigtimedwait(&pipeSignal, nullptr, &noWait);
        pthread_sigmask(SIG_UNBLOCK, &pipeSignal, nullptr);
    }
    ClosePipe();
    // Reverse order of setting, in case both flags belong to one socket.
    RestoreFlags(to_, toFlags_);
    RestoreFlags(from_, fromFlags_);
}

void StreamMover::ClosePipe() {
    for (int& fd : pipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool StreamMover::Release() {
    if (!Spliced() || pending_ > 0) return false;
    ClosePipe();
    capacity_ = kBufferSize;
    full_ = bulk_ = grown_ = false;
    return true;
}

void StreamMover::Discard() {
    ClosePipe();
    buffer_.reset();
    capacity_ = kBufferSize;
    pending_ = begin_ = 0;
    full_ = bulk_ = grown_ = false;
}

bool StreamMover::FallBackToCopying() {
    // Whatever the pipe holds moves into the buffer first, in order.
    std::unique_ptr<char[]> buffer(new char[std::max(capacity_, pending_)]);
    std::size_t got = 0;
    while (got < pending_) {
        const ssize_t n = ::read(pipe_[0], buffer.get() + got, pending_ - got);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) errno = EIO;
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    capacity_ = std::max(capacity_, pending_);
    buffer_ = std::move(buffer);
    begin_ = 0;
    full_ = false;
    pipeRefused_ = true;
    ClosePipe();
    return true;
}

void StreamMover::Grow() {
    if (grown_) return;
    grown_ = true;
    const int size = ::fcntl(pipe_[1], F_SETPIPE_SZ, kGrownPipe);
    if (size > 0 && static_cast<std::size_t>(size) > capacity_) {
        capacity_ = static_cast<std::size_t>(size);
        full_ = false;
    }
}

long StreamMover::Receive(std::size_t limit) {
    const long n = TryReceive(limit);
    if (n == kFailed) throw SocketError(RecvFails);
    return n;
}

long StreamMover::TryReceive(std::size_t limit) {
    // A bulk stream moves on to a pipe once its buffer is empty, so no byte overtakes another.
    if (!Spliced() && bulk_ && pending_ == 0 && !pipeRefused_) {
        buffer_.reset();
        OpenPipe();
    }
    if (Spliced()) {
        const ssize_t n = ::splice(from_.Descriptor(), nullptr, pipe_[1], nullptr,
                                   std::min(capacity_ - pending_, limit), kSpliceFlags);
        if (n > 0) {
            pending_ += static_cast<std::size_t>(n);
            if (pending_ == capacity_) Grow();
            return n;
        }
        if (n == 0) return ReceiveAtMark(limit);
        if (Retryable(errno)) {
            // With bytes in the pipe the refusal may be the pipe's, which has no free slot.
            full_ = errno != EINTR && pending_ > 0;
            if (full_) Grow();
            return -1;
        }
        if (!SpliceRefused(errno) || !FallBackToCopying()) return kFailed;
    }
    if (!buffer_) {
        buffer_.reset(new char[capacity_]);
        begin_ = 0;
    } else if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, pending_);
        begin_ = 0;
    }
    const ssize_t n = ::recv(from_.Descriptor(), buffer_.get() + pending_,
                             std::min(capacity_ - pending_, limit), MSG_DONTWAIT);
    if (n >= 0) {
        pending_ += static_cast<std::size_t>(n);
        if (pending_ == capacity_) bulk_ = true;
        return n;
    }
    return Retryable(errno) ? -1 : kFailed;
}

long StreamMover::ReceiveAtMark(std::size_t limit) {
    // splice stops in front of an urgent byte and says 0 there as at the end of the stream; a
    // receive tells them apart, and takes the urgent byte in line.
    char bytes[kMarkChunk];
    if (pending_ > 0) {
        const ssize_t n = ::recv(from_.Descriptor(), bytes, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) return 0;
        if (n < 0 && !Retryable(errno)) return kFailed;
        // The bytes from the mark on are received once the pipe is empty, so none overtakes
        // what the pipe holds; until a send has made room there is no receive to try.
        full_ = true;
        return -1;
    }
    const ssize_t n =
        ::recv(from_.Descriptor(), bytes, std::min(sizeof bytes, limit), MSG_DONTWAIT);
    if (n <= 0) return n == 0 ? 0 : Retryable(errno) ? -1 : kFailed;
    ssize_t put;
    do {
        put = ::write(pipe_[1], bytes, static_cast<std::size_t>(n));
    } while (put < 0 && errno == EINTR);
    if (put != n) {
        if (put >= 0) errno = EIO;
        return kFailed;
    }
    pending_ = static_cast<std::size_t>(n);
    return n;
}

std::size_t StreamMover::Send() {
    const long n = TrySend();
    if (n == kFailed) throw SocketError(SendFailed);
    return static_cast<std::size_t>(n);
}

long StreamMover::TrySend() {
    if (pending_ == 0) return 0;
    ssize_t n;
    if (Spliced()) {
        n = ::splice(pipe_[0], nullptr, to_.Descriptor(), nullptr, pending_, kSpliceFlags);
        if (n < 0 && SpliceRefused(errno)) return FallBackToCopying() ? TrySend() : kFailed;
    } else {
        n = ::send(to_.Descriptor(), buffer_.get() + begin_, pending_, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (n < 0) return Retryable(errno) ? 0 : kFailed;
    const std::size_t sent = static_cast<std::size_t>(n);
    to_.CountSent(sent);
    pending_ -= sent;
    begin_ = pending_ == 0 ? 0 : begin_ + sent;
    // An interactive stream gives its buffer back whenever it is empty, so a tunnel that waits
    // holds none; the allocator hands the same memory to the next message or tunnel.
    if (pending_ == 0 && !bulk_ && !Spliced()) buffer_.reset();
    if (sent > 0) full_ = false;
    return static_cast<long>(sent);
}

void RelayStreams(AlgSocket& client, AlgSocket& server, unsigned int timeout) {
    Tunnel(client, server, timeout).Run();
}

// ---- BodyRelay -----------------------------------------------------------------------------

namespace {

// A socket watched for nothing but errors that reports one: its failure, as a receive would.
void ThrowIfIdleSocketFailed(const pollfd& p) {
    if (p.events != 0 || !(p.revents & (POLLERR | POLLHUP))) return;
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    errno = err != 0 ? err : ECONNRESET;
    throw SocketError(RecvFails);
}

// The framing of a chunked body is read through user space a piece at a time; chunk data beyond
// a piece moves by the mover.
constexpr std::size_t kFramingPiece = 32 * 1024;

}  // namespace

BodyRelay::BodyRelay(AlgSocket& from, AlgSocket& to, unsigned int timeout)
    : from_(from), to_(to), timeout_(timeout), mover_(from, to), waker_(from.Pool()) {
    const int on = 1;
    ::setsockopt(to.Descriptor(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void BodyRelay::ThrowIfQuit() const {
    if (from_.QuitRaised() || to_.QuitRaised() || waker_.QuitRaised()) throw TerminationEvent();
}

void BodyRelay::Write(std::string_view bytes) {
    if (!bytes.empty()) to_.Write(bytes.data(), static_cast<unsigned int>(bytes.size()), timeout_);
}

void BodyRelay::Wait(bool read, bool write) {
    pollfd p[3] = {{from_.Descriptor(), static_cast<short>(read ? POLLIN : 0), 0},
                   {to_.Descriptor(), static_cast<short>(write ? POLLOUT : 0), 0},
                   {waker_.Descriptor(), POLLIN, 0}};
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const long long spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
        long long wait = static_cast<long long>(timeout_) - spent;
        if (wait <= 0) {
            errno = 0;
            throw SocketError(write ? WriteTimeout : Timeout);
        }
        if (waker_.Descriptor() < 0) wait = std::min<long long>(wait, kSliceMs);
        const int ready = ::poll(p, 3, static_cast<int>(wait));
        if (ready < 0 && errno != EINTR) throw SocketError(SelectFail);
        ThrowIfQuit();
        if (ready <= 0) continue;
        ThrowIfIdleSocketFailed(p[0]);
        ThrowIfIdleSocketFailed(p[1]);
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) ||
            (p[1].revents & (POLLOUT | POLLHUP | POLLERR)))
            return;
    }
}

std::uint64_t BodyRelay::Copy(std::uint64_t count) {
    std::uint64_t received = 0;
    bool ended = false;
    for (;;) {
        ThrowIfQuit();
        bool moved = false;
        if (!ended && received < count && mover_.Room()) {
            const long n = mover_.Receive(static_cast<std::size_t>(
                std::min<std::uint64_t>(count - received, StreamMover::kNoLimit)));
            ended = n == 0;
            if (n > 0) {
                received += static_cast<std::uint64_t>(n);
                moved = true;
            }
        }
        if (mover_.Pending() > 0 && mover_.Send() > 0) moved = true;
        const bool reading = !ended && received < count;
        if (!reading && mover_.Pending() == 0) return received;
        if (!moved) Wait(reading && mover_.Room(), mover_.Pending() > 0);
    }
}

std::size_t BodyRelay::ReceiveSome(char* buffer, std::size_t size) {
    for (;;) {
        ThrowIfQuit();
        const ssize_t n = ::recv(from_.Descriptor(), buffer, size, MSG_DONTWAIT);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (!Retryable(errno)) throw SocketError(RecvFails);
        Wait(true, false);
    }
}

bool BodyRelay::CopyChunked(ChunkedFraming& framing) {
    std::unique_ptr<char[]> piece;
    while (!framing.Complete()) {
        if (const std::uint64_t left = framing.DataLeft()) {
            const std::uint64_t moved = Copy(left);
            framing.SkipData(moved);
            if (moved < left) return false;
            continue;
        }
        if (!piece) piece.reset(new char[kFramingPiece]);
        const std::size_t n = ReceiveSome(piece.get(), kFramingPiece);
        if (n == 0) return false;
        Write({piece.get(), framing.Scan({piece.get(), n})});
    }
    return true;
}

}  // namespace alg
