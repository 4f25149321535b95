#include "relay.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace alg {

namespace {

constexpr unsigned int kRelayBufferSize = 65535;
constexpr int kSliceMs = 100;

}  // namespace

void RelayStreams(AlgSocket& client, AlgSocket& server, unsigned int timeout) {
    char buffer[kRelayBufferSize];
    AlgSocket* const sockets[2] = {&client, &server};
    bool open[2] = {true, true};  // whether data may still come from sockets[i]
    while (open[0] || open[1]) {
        pollfd p[2];
        for (int i = 0; i < 2; ++i) p[i] = {open[i] ? sockets[i]->Descriptor() : -1, POLLIN, 0};
        const int rc = ::poll(p, 2, kSliceMs);
        if (client.QuitRaised() || server.QuitRaised()) throw TerminationEvent();
        if (rc < 0) {
            if (errno == EINTR) continue;
            throw SocketError(SelectFail);
        }
        for (int i = 0; i < 2 && rc > 0; ++i) {
            if (p[i].revents == 0) continue;
            AlgSocket& from = *sockets[i];
            AlgSocket& to = *sockets[1 - i];
            try {
                unsigned int size = kRelayBufferSize;
                if (!from.Read(buffer, size, 0)) {
                    open[i] = false;
                    ::shutdown(to.Descriptor(), SHUT_WR);
                    continue;
                }
                if (size > 0) to.Write(buffer, size, timeout);
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
