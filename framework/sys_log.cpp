#include "sys_log.h"

#include <syslog.h>
#include <unistd.h>

#include <mutex>

namespace alg {

namespace {

constexpr std::size_t kExePathMax = 4096;
constexpr int kFacilityCount = 8;

// The executable location, filled once /proc/self/exe can be read and never changed after.
struct ExecutableLocation {
    std::mutex mutex;
    std::string fullName;
    std::string path;
    std::string name;
};

ExecutableLocation& Location() {
    static ExecutableLocation location;
    return location;
}

// Fills the cache when it is empty; the caller holds the cache's mutex.
void FillLocation(ExecutableLocation& location) {
    if (!location.name.empty()) return;
    char buffer[kExePathMax + 1];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, kExePathMax);
    if (n <= 0) {
        location.fullName.clear();
        location.path.clear();
        location.name.clear();
        return;
    }
    buffer[n] = '\0';
    location.fullName.assign(buffer, static_cast<std::size_t>(n));
    const std::size_t slash = location.fullName.find_last_of('/');
    if (slash == std::string::npos) {
        location.path.clear();
        location.name = location.fullName;
    } else {
        location.path = location.fullName.substr(0, slash);
        location.name = location.fullName.substr(slash + 1);
    }
}

}  // namespace

int OpenSysLog(const char* ident, int facility) {
    const int index = (facility >= 0 && facility < kFacilityCount) ? facility : 0;
    ::openlog(ident, 0, LOG_LOCAL0 + 8 * index);
    return 1;
}

SysLog& SysLog::Instance() {
    static SysLog instance;
    return instance;
}

SysLog::SysLog() : ident_(GetExecutableName()) {
    OpenSysLog(ident_.c_str(), 0);
}

SysLog::~SysLog() {
    ::closelog();
}

void SysLog::SetFacility(int facility) {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    ::closelog();
    OpenSysLog(ident_.c_str(), facility);
}

void SysLog::LogMessage(int priority, const char* text) {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    ::syslog(priority, "%s", text ? text : "");
}

void SysLog::ReportInfo(const char* text) {
    LogMessage(LOG_INFO, text);
}

void SysLog::ReportNotice(const char* text) {
    LogMessage(LOG_NOTICE, text);
}

void SysLog::ReportWarning(const char* text) {
    LogMessage(LOG_WARNING, text);
}

void SysLog::ReportError(const char* text) {
    LogMessage(LOG_ERR, text);
}

std::string GetExecutableName() {
    ExecutableLocation& location = Location();
    std::lock_guard<std::mutex> guard(location.mutex);
    FillLocation(location);
    return location.name;
}

std::string GetExecutableFullName() {
    ExecutableLocation& location = Location();
    std::lock_guard<std::mutex> guard(location.mutex);
    FillLocation(location);
    return location.fullName;
}

std::string GetExecutablePath() {
    ExecutableLocation& location = Location();
    std::lock_guard<std::mutex> guard(location.mutex);
    FillLocation(location);
    return location.path;
}

}  // namespace alg
