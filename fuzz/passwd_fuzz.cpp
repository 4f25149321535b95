// The password file as the plaintext authentication reads it, and a login checked against it.
#include <sstream>

#include "auth.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    PairReader pairs(in, "=");
    AuthPlaintext users(std::move(static_cast<std::map<std::string, std::string>&>(pairs)));
    fuzz::Refusals([&] { users.authenticate("demo", "demo-password"); });
    return 0;
}
