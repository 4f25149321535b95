// The handshake record every protocol fills from the client's opening request, and the
// exception its readers throw on a message they cannot parse.
#pragma once

#include <string>

#include "alogger.h"
#include "misc_classes.h"

namespace alg {

// ---------------------------------------------------------------------------------------------
// Handshake record
// ---------------------------------------------------------------------------------------------

ALG_MESSAGE(SlashExpectedAfterHost, "'/' Expected at the end of host name",
            "В конце имени хоста должен быть символ '/'");
ALG_MESSAGE(SlashExpectedBeforePath, "'/' Expected at the begining of path",
            "В начале пути должен быть символ '/'");
ALG_MESSAGE(BadRequestFormat, "Bad request format", "Неправильный формат запроса");

// Thrown by the handshake readers when the client's message cannot be parsed; what() is the
// English text of the pair.
ALG_LOCALIZED_EXCEPTION(ParseError);

// Where the client wants to go and the credentials it offers to the proxy. Access rules read
// "IP", "Host" and "Port" (exact names); the credentials are not properties.
class HandshakeInfoHolder : public ObjectWithProperties {
  public:
    std::string ip;        // destination IPv4 address in dotted-decimal text; empty until resolved
    std::string host;      // destination host as the client gave it, without port
    std::string port;      // destination port, decimal text
    std::string user;      // user name offered to the proxy; empty if none
    std::string password;  // password offered to the proxy; empty if none

    bool GetPropVal(const char* name, std::string& value) const override;
    const char* GetClassName() const override;
};

}  // namespace alg
