// A Reader over a connected socket that receives into a small buffer, so that a handshake of
// many short fields costs one receive per message the peer sent rather than a wait and a
// receive per field.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "algsocket.h"

namespace alg {

// Reads `socket` through a buffer of kCapacity bytes; the operations keep the meaning and the
// errors of AlgSocket's (SocketError "timeout" when a wait runs out, SocketEOFEvent when the
// peer closed first, TerminationEvent when the socket's quit flag is raised). Bytes received
// but not yet consumed are Pending(): whoever takes over the socket must pass them on first.
// Used by one thread; not copyable.
class BufferedSocketReader : public Reader {
  public:
    static constexpr std::size_t kCapacity = 1024;

    explicit BufferedSocketReader(AlgSocket& socket) : socket_(socket) {}
    BufferedSocketReader(const BufferedSocketReader&) = delete;
    BufferedSocketReader& operator=(const BufferedSocketReader&) = delete;

    bool DataIsAvailable(unsigned int timeout) override;
    void ReadAll(std::string& out, unsigned int timeout) override;
    unsigned int ReadN(char* buffer, unsigned int count, unsigned int timeout) override;
    void ReadToTermChar(std::string& out, char terminator, unsigned int timeout,
                        std::size_t maxLength = kNoLimit) override;
    bool Read(char* buffer, unsigned int& size, unsigned int timeout) override;

    // Received bytes not consumed yet.
    std::string_view Pending() const { return {buffer_ + begin_, end_ - begin_}; }

  private:
    // Makes at least one byte available in the buffer, waiting at most `timeout` per wait.
    void Fill(unsigned int timeout);

    AlgSocket& socket_;
    char buffer_[kCapacity];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace alg
