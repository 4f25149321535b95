// A follower of the chunked transfer coding: finds where a chunked body ends while its bytes are
// relayed as they are, without decoding them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "alogger.h"

namespace alg {

ALG_MESSAGE(BrokenChunkedFraming, "Chunked body framing broken",
            "Нарушено деление тела сообщения на части (chunked)");

// Framing that cannot be followed: the end of the body is unknown.
ALG_LOCALIZED_EXCEPTION(FramingError);

// The state of one chunked body between the bytes already seen and those to come. A size line is
// hexadecimal digits (at most 15, so a size stays below 2^60), then anything up to its LF (blanks
// and chunk extensions); the data of a chunk ends with CR LF or LF; after the last chunk (size 0)
// come trailer lines up to an empty line. A line is at most kMaxLine bytes, the trailer at most
// kMaxTrailer; anything else throws FramingError(BrokenChunkedFraming), never reading past the
// bytes given. Keeps no bytes: memory stays constant whatever the body's size.
class ChunkedFraming {
  public:
    static constexpr std::size_t kMaxLine = 4096;
    static constexpr std::size_t kMaxTrailer = 64 * 1024;

    // Takes the bytes that follow those given before and returns how many of them belong to the
    // body: all of them until its end, then the count up to and including its last byte.
    std::size_t Scan(std::string_view bytes);
    // Data bytes of the current chunk still to come; while it is above 0 they may be moved
    // elsewhere and passed over with SkipData.
    std::uint64_t DataLeft() const { return state_ == State::data ? left_ : 0; }
    // Passes over `count` data bytes (at most DataLeft()) moved without Scan.
    void SkipData(std::uint64_t count);
    // Whether the last chunk and the trailer have passed.
    bool Complete() const { return state_ == State::done; }

  private:
    enum class State { size, extension, data, dataEnd, dataLF, trailer, done };

    [[noreturn]] static void Broken();
    // One byte of a size line, of the line end after the data or of the trailer.
    void Step(char c);

    State state_ = State::size;
    std::uint64_t left_ = 0;  // the size being read, then the data bytes still to come
    std::size_t digits_ = 0;
    std::size_t line_ = 0;     // bytes of the current line so far
    std::size_t trailer_ = 0;  // bytes of the trailer so far
    char first_ = 0;           // of the current trailer line
};

}  // namespace alg
