#include "dirmap.h"

#include <cstdlib>

namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value && *value) ? value : fallback;
}

}  // namespace

std::string systemEtcDir() {
    std::string dir = FromEnvironment("ALG_SYSCONFDIR", "/etc/");
    if (dir.back() != '/') dir += '/';
    return dir;
}

std::string systemRunDir() {
    std::string dir = FromEnvironment("ALG_RUNDIR", "/run/algd");
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}
