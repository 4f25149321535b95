// An in-process alg::Reader / alg::Writer for parser and writer tests. It hands out its input in
// pieces of at most `piece` bytes per receive (1 imitates a peer sending byte by byte) and
// records every write. At the end of the input it behaves like a peer that closed
// (`closeAtEnd`) or like one that went silent (every wait runs out with "timeout").
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "algsocket.h"

namespace alg::test {

class FakeStream : public Reader, public Writer {
  public:
    static constexpr std::size_t kWhole = std::numeric_limits<std::size_t>::max();

    explicit FakeStream(std::string input = {}, std::size_t piece = kWhole, bool closeAtEnd = true)
        : input_(std::move(input)),
          piece_(std::max<std::size_t>(piece, 1)),
          closeAtEnd_(closeAtEnd) {}

    // Everything written, and the length of each Write call in order.
    const std::string& Written() const { return written_; }
    const std::vector<unsigned int>& WriteCalls() const { return writeCalls_; }
    // Bytes of input not yet consumed.
    std::string Unread() const { return input_.substr(pos_); }
    bool EndOfStream() const { return eof_; }

    bool DataIsAvailable(unsigned int) override { return pos_ < input_.size() || closeAtEnd_; }

    void ReadAll(std::string& out, unsigned int timeout) override {
        CheckEOF();
        for (;;) {
            Wait(timeout);
            const std::size_t n = Take(kWhole);
            if (n == 0) {
                eof_ = true;
                return;
            }
            out.append(input_, pos_ - n, n);
        }
    }

    unsigned int ReadN(char* buffer, unsigned int count, unsigned int timeout) override {
        CheckEOF();
        unsigned int got = 0;
        unsigned int last = 0;
        while (got < count) {
            Wait(timeout);
            last = static_cast<unsigned int>(Take(count - got));
            if (last == 0) PeerClosed();
            std::memcpy(buffer + got, input_.data() + pos_ - last, last);
            got += last;
        }
        return last;
    }

    void ReadToTermChar(std::string& out, char terminator, unsigned int timeout,
                        std::size_t maxLength = kNoLimit) override {
        CheckEOF();
        std::size_t taken = 0;
        while (taken < maxLength) {
            Wait(timeout);
            const std::size_t avail = std::min({piece_, input_.size() - pos_, maxLength - taken});
            if (avail == 0) PeerClosed();
            const std::size_t hit = input_.find(terminator, pos_);
            const bool found = hit != std::string::npos && hit < pos_ + avail;
            const std::size_t n = found ? hit - pos_ + 1 : avail;
            out.append(input_, pos_, n);
            pos_ += n;
            taken += n;
            if (found) return;
        }
    }

    bool Read(char* buffer, unsigned int& size, unsigned int timeout) override {
        CheckEOF();
        if (!DataIsAvailable(timeout)) {
            size = 0;
            return true;
        }
        const std::size_t n = Take(size);
        std::memcpy(buffer, input_.data() + pos_ - n, n);
        size = static_cast<unsigned int>(n);
        if (n == 0) eof_ = true;
        return n != 0;
    }

    int Write(const char* data, unsigned int length, unsigned int) override {
        written_.append(data, length);
        writeCalls_.push_back(length);
        return static_cast<int>(length);
    }

  private:
    void CheckEOF() const {
        if (eof_) throw LogicError(kReadAfterEOF);
    }
    void Wait(unsigned int timeout) {
        if (!DataIsAvailable(timeout)) {
            errno = 0;
            throw SocketError(Timeout);
        }
    }
    [[noreturn]] void PeerClosed() {
        eof_ = true;
        errno = 0;
        throw SocketEOFEvent(ReadEOF, "fake peer");
    }
    // Consumes one piece of at most `limit` bytes; returns its length.
    std::size_t Take(std::size_t limit) {
        const std::size_t n = std::min({piece_, input_.size() - pos_, limit});
        pos_ += n;
        return n;
    }

    std::string input_;
    std::size_t pos_ = 0;
    std::size_t piece_;
    bool closeAtEnd_;
    bool eof_ = false;
    std::string written_;
    std::vector<unsigned int> writeCalls_;
};

}  // namespace alg::test
