#include "buffered_reader.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace alg {

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
