// SOCKS 4/4a and 5 command requests (without the host look-up) and the username/password
// sub-negotiation.
#include "fuzz_input.h"
#include "socks_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    fuzz::Input in(data, size);
    test::FakeStream& stream = in.stream;
    fuzz::Refusals([&] {
        switch (in.selector % 3) {
            case 0: {
                SocksCommandRequest request(4);
                request.Socks4Read(stream, fuzz::kTimeout);
                break;
            }
            case 1: {
                SocksCommandRequest request(5);
                request.Socks5Read(stream, fuzz::kTimeout);
                break;
            }
            default: {
                char user[256], password[256];
                ReadUsernamePassword(stream, user, password, fuzz::kTimeout);
                break;
            }
        }
    });
    return 0;
}
