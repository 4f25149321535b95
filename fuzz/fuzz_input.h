// What every fuzz target shares: the first input byte picks how the peer splits its bytes
// (and, in its high bits, which reader a target with several runs), the rest is what the peer
// sends, served by the in-memory stream of the unit tests. A reader's documented refusals
// (alg::LogicError, runtime errors: parse, limit, socket, end of stream) end a run quietly;
// anything else (a std::logic_error such as out_of_range, bad_alloc) escapes and is a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "alogger.h"
#include "fake_stream.h"

namespace alg::fuzz {

// One run's input: the selector and the peer, its bytes split as the first byte asks (0 all at
// once, 1..15 that many bytes per receive).
struct Input {
    Input(const std::uint8_t* data, std::size_t size)
        : selector(size == 0 ? 0 : data[0] >> 4),
          stream(size == 0 ? std::string() : std::string(reinterpret_cast<const char*>(data) + 1,
                                                         size - 1),
                 size == 0 || (data[0] & 0x0f) == 0 ? test::FakeStream::kWhole : data[0] & 0x0f) {}

    unsigned selector;
    test::FakeStream stream;
};

template <class Run>
void Refusals(Run&& run) {
    try {
        run();
    } catch (const LogicError&) {
    } catch (const std::runtime_error&) {
    }
}

inline constexpr unsigned kTimeout = 1000;

// Runs on the peer of `data` the one of `readers` (callables taking test::FakeStream&) that the
// selector picks; refusals end the run.
template <class... Readers>
void RunOne(const std::uint8_t* data, std::size_t size, Readers&&... readers) {
    Input in(data, size);
    const std::function<void(test::FakeStream&)> table[] = {std::forward<Readers>(readers)...};
    Refusals([&] { table[in.selector % sizeof...(Readers)](in.stream); });
}

}  // namespace alg::fuzz
