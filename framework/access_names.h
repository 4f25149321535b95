// The property names each gateway's access rules are asked about. A filter matches a property
// of the request's handshake record by its exact name (letter case significant); a name the
// record does not answer never matches, so a rule that names one is a typo that silently
// changes what the policy lets through. The gateways warn about such filters when they build
// their listener and `algpolicy check` reports them, both through FindUnknownProperties.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "alg_xml.h"
#include "alogger.h"

namespace alg {

ALG_MESSAGE(UnknownFilterProperty,
            "Access rule filters on a property the gateway does not set: the filter never matches",
            "Правило доступа проверяет свойство, которого шлюз не задаёт: фильтр не срабатывает");

// The names the handshake records answer (HandshakeInfoHolder; HttpRequest adds two).
inline constexpr const char* kHandshakeProperties[] = {"Host", "IP", "Port"};
inline constexpr const char* kHttpProperties[] = {"Host", "IP", "Port", "URL", "METHOD"};

// The names of the gateway that serves the proxy section `service` ("alg_ftp", "alg_http",
// "alg_smtp", "alg_socks"); empty for any other name (null included), which is then not judged.
std::span<const char* const> AccessPropertiesOf(const char* service);

// A filter of an access rule that names a property its gateway never sets.
struct UnknownProperty {
    int rule = 0;    // 1-based position of the access rule in the handshake section
    int filter = 0;  // 1-based position of the filter in its rule
    const ALGfilterbyType* record = nullptr;
    // What is wrong, e.g. `"host": not one of Host, IP, Port (did you mean "Host"?)`.
    std::string text;
};

// The filters of `handshake` that name a property the gateway of `service` never sets, in
// document order; none when `service` is not a gateway's section name.
std::vector<UnknownProperty> FindUnknownProperties(const ALGhandshakeType& handshake,
                                                   const char* service);

// Logs UnknownFilterProperty (level event, warning) through `log` for each of them, the suffix
// naming the rule: " (access rule 2, filter 1): ..." and the text.
void WarnUnknownProperties(const ALGhandshakeType& handshake, const char* service,
                           I_ToLogSystem& log);

}  // namespace alg
