#include "chunked_framing.h"

#include <algorithm>

namespace alg {

namespace {

constexpr std::size_t kMaxSizeDigits = 15;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void ChunkedFraming::Broken() {
    throw FramingError(BrokenChunkedFraming);
}

std::size_t ChunkedFraming::Scan(std::string_view bytes) {
    std::size_t p = 0;
    while (p < bytes.size() && state_ != State::done) {
        if (state_ == State::data) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(left_, bytes.size() - p));
            p += n;
            SkipData(n);
        } else {
            Step(bytes[p++]);
        }
    }
    return p;
}

void ChunkedFraming::SkipData(std::uint64_t count) {
    if (state_ != State::data || count > left_) Broken();
    left_ -= count;
    if (left_ == 0) state_ = State::dataEnd;
}

void ChunkedFraming::Step(char c) {
    switch (state_) {
        case State::size:
        case State::extension:
            if (++line_ > kMaxLine) Broken();
            if (state_ == State::size) {
                const int digit = HexValue(c);
                if (digit >= 0) {
                    if (++digits_ > kMaxSizeDigits) Broken();
                    left_ = left_ * 16 + static_cast<std::uint64_t>(digit);
                    return;
                }
                // After the size only blanks, an extension or the line end.
                if (digits_ == 0 || (c != ' ' && c != '\t' && c != ';' && c != '\r' && c != '\n'))
                    Broken();
                state_ = State::extension;
            }
            if (c != '\n') return;
            line_ = digits_ = 0;
            state_ = left_ == 0 ? State::trailer : State::data;
            return;
        case State::dataEnd:
            if (c == '\r') {
                state_ = State::dataLF;
                return;
            }
            [[fallthrough]];
        case State::dataLF:
            if (c != '\n') Broken();
            state_ = State::size;
            return;
        case State::trailer:
            if (++trailer_ > kMaxTrailer || ++line_ > kMaxLine) Broken();
            if (line_ == 1) first_ = c;
            if (c != '\n') return;
            // The empty line: LF alone or CR LF.
            if (line_ == 1 || (line_ == 2 && first_ == '\r')) state_ = State::done;
            line_ = 0;
            return;
        case State::data:
        case State::done:
            return;
    }
}

}  // namespace alg
