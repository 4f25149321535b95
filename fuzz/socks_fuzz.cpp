// SOCKS 4/4a and 5 command requests (without the host look-up) and the username/password
// sub-negotiation.
#include "fuzz_input.h"
#include "socks_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    fuzz::RunOne(
        data, size,
        [](test::FakeStream& peer) { SocksCommandRequest(4).Socks4Read(peer, fuzz::kTimeout); },
        [](test::FakeStream& peer) { SocksCommandRequest(5).Socks5Read(peer, fuzz::kTimeout); },
        [](test::FakeStream& peer) {
            char user[256], password[256];
            ReadUsernamePassword(peer, user, password, fuzz::kTimeout);
        });
    return 0;
}
