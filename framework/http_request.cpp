#include "http_request.h"

#include <cstring>

namespace alg {

// ---------------------------------------------------------------------------------------------
// Handshake record
// ---------------------------------------------------------------------------------------------

bool HandshakeInfoHolder::GetPropVal(const char* name, std::string& value) const {
    if (name == nullptr) return false;
    const std::string* field = nullptr;
    if (std::strcmp(name, "IP") == 0)
        field = &ip;
    else if (std::strcmp(name, "Host") == 0)
        field = &host;
    else if (std::strcmp(name, "Port") == 0)
        field = &port;
    if (field == nullptr) return false;
    value = *field;
    return true;
}

const char* HandshakeInfoHolder::GetClassName() const {
    return "HandshakeInfoHolder";
}

}  // namespace alg
