#include "access_names.h"

#include <strings.h>

#include <cstring>

namespace alg {

namespace {

struct ServiceProperties {
    const char* service;
    std::span<const char* const> names;
};

constexpr ServiceProperties kServices[] = {
    {"alg_ftp", kHandshakeProperties},
    {"alg_http", kHttpProperties},
    {"alg_smtp", kHandshakeProperties},
    {"alg_socks", kHandshakeProperties},
};

std::string Describe(const char* name, std::span<const char* const> known) {
    std::string text = std::string("\"") + name + "\": not one of ";
    const char* sameLetters = nullptr;
    for (std::size_t i = 0; i < known.size(); ++i) {
        if (i > 0) text += ", ";
        text += known[i];
        if (strcasecmp(known[i], name) == 0) sameLetters = known[i];
    }
    if (sameLetters) text += std::string(" (did you mean \"") + sameLetters + "\"?)";
    return text;
}

}  // namespace

std::span<const char* const> AccessPropertiesOf(const char* service) {
    if (service == nullptr) return {};
    for (const ServiceProperties& s : kServices)
        if (std::strcmp(s.service, service) == 0) return s.names;
    return {};
}

std::vector<UnknownProperty> FindUnknownProperties(const ALGhandshakeType& handshake,
                                                   const char* service) {
    std::vector<UnknownProperty> found;
    const std::span<const char* const> known = AccessPropertiesOf(service);
    if (known.empty()) return found;
    int rule = 0;
    for (const ALGaccessType* access : handshake.access) {
        ++rule;
        if (access == nullptr) continue;
        int filter = 0;
        for (const ALGfilterbyType* f : access->filterby) {
            ++filter;
            if (f == nullptr) continue;
            const char* name = f->name.c_str();
            bool isKnown = false;
            for (const char* k : known) isKnown = isKnown || std::strcmp(k, name) == 0;
            if (!isKnown) found.push_back({rule, filter, f, Describe(name, known)});
        }
    }
    return found;
}

void WarnUnknownProperties(const ALGhandshakeType& handshake, const char* service,
                           I_ToLogSystem& log) {
    for (const UnknownProperty& u : FindUnknownProperties(handshake, service)) {
        LoggedMessage m(UnknownFilterProperty, event, warning);
        m.AddSuffix(" (access rule " + std::to_string(u.rule) + ", filter " +
                    std::to_string(u.filter) + "): " + u.text);
        log.Log(m);
    }
}

}  // namespace alg
