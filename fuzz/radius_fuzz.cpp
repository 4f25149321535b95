// The RADIUS answer check: any datagram against one fixed Access-Request. Inputs that start
// with the request's identifier and carry the right authenticators reach the attribute walk
// through the seeds, which are built under the same secret.
#include <cstddef>
#include <cstdint>

#include "radlibi.h"

namespace {

constexpr char kSecret[] = "fuzz-secret";

// The Access-Request every answer is checked against, built once.
struct Request {
    char packet[RAD_MAX_PACKET];
    int length = 0;
    Request() {
        const char authenticator[17] = "0123456789abcdef";
        char hidden[RAD_MAX_PASSWORD];
        int hiddenLength = 0;
        EncryptPassword("password", kSecret, authenticator, hidden, &hiddenLength);
        RadAuthRequest r{authenticator, 7,      "user", hidden, hiddenLength, "",
                         {127, 0, 0, 1}, {0, 0, 0, 1}, kSecret};
        length = BuildRadAuthPkt(packet, &r);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Request request;
    if (size > RAD_MAX_PACKET) return 0;  // a datagram is received into RAD_MAX_PACKET bytes
    CheckRadiusReply(reinterpret_cast<const char*>(data), static_cast<int>(size), request.packet,
                     kSecret);
    return 0;
}
