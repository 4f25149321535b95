#include "relay.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace alg {

namespace {

constexpr unsigned int kRelayBufferSize = 65535;
constexpr int kSliceMs = 100;

// A pool member that turns the pool's quit signal into a readable descriptor, so that a relay
// can sleep until data or a stop arrives instead of waking every slice to look at its flags.
class QuitWaker : public ALGPoolMember {
  public:
    explicit QuitWaker(ALGPool* pool) : ALGPoolMember(nullptr) {
        if (pool == nullptr) return;
        fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd_ < 0) return;
        joined_ = pool;
        // Joins only now that the descriptor exists: a pool that has already been told to quit
        // signals a new member at once.
        joined_->Add(this);
    }
    ~QuitWaker() override {
        // Leaves the pool before the descriptor is closed, so no signal can reach a closed
        // (or meanwhile reused) descriptor.
        if (joined_ != nullptr) joined_->Remove(this);
        if (fd_ >= 0) ::close(fd_);
    }

    void QuitSignal() override {
        ALGPoolMember::QuitSignal();
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }

    // The descriptor that becomes readable on quit, or -1 when the relay must fall back to
    // sliced waits (no pool, or no descriptor to be had).
    int Descriptor() const { return fd_; }

  private:
    int fd_ = -1;
    ALGPool* joined_ = nullptr;
};

}  // namespace

void RelayStreams(AlgSocket& client, AlgSocket& server, unsigned int timeout) {
    char buffer[kRelayBufferSize];
    AlgSocket* const sockets[2] = {&client, &server};
    bool open[2] = {true, true};     // whether data may still come from sockets[i]
    bool ready[2] = {false, false};  // whether sockets[i] is worth reading without a wait
    const QuitWaker waker(client.Pool());
    const int wait = waker.Descriptor() >= 0 ? -1 : kSliceMs;
    while (open[0] || open[1]) {
        // A busy tunnel skips the wait: a read that filled the buffer is followed by another
        // read at once, so a stream costs one receive and one send per buffer.
        if (!ready[0] && !ready[1]) {
            pollfd p[3];
            for (int i = 0; i < 2; ++i) p[i] = {open[i] ? sockets[i]->Descriptor() : -1, POLLIN, 0};
            p[2] = {waker.Descriptor(), POLLIN, 0};
            const int rc = ::poll(p, 3, wait);
            if (rc < 0 && errno != EINTR) throw SocketError(SelectFail);
            for (int i = 0; i < 2; ++i) ready[i] = rc > 0 && p[i].revents != 0;
        }
        if (client.QuitRaised() || server.QuitRaised() || waker.QuitRaised())
            throw TerminationEvent();
        for (int i = 0; i < 2; ++i) {
            if (!ready[i]) continue;
            AlgSocket& from = *sockets[i];
            AlgSocket& to = *sockets[1 - i];
            try {
                const ssize_t n = ::recv(from.Descriptor(), buffer, kRelayBufferSize, MSG_DONTWAIT);
                if (n < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK) {
                        ready[i] = false;
                    } else if (errno != EINTR) {
                        throw SocketError(RecvFails);
                    }
                    continue;
                }
                if (n == 0) {
                    open[i] = ready[i] = false;
                    ::shutdown(to.Descriptor(), SHUT_WR);
                    continue;
                }
                ready[i] = static_cast<unsigned int>(n) == kRelayBufferSize;
                to.Write(buffer, static_cast<unsigned int>(n), timeout);
            } catch (const SocketError&) {
                // Once one direction has ended the tunnel is winding down: a reset or a closed
                // peer now is its normal end, not a fault to report.
                if (open[0] && open[1]) throw;
                return;
            }
        }
    }
}

}  // namespace alg
