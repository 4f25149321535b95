// The process-wide system log and the location of the running executable. Every function
// here may be called from any thread.
#pragma once

#include <string>

#include "threadkit.h"

namespace alg {

// Opens the system log with `ident` and the facility LOCAL0 + `facility` for an index of 0
// to 7, LOCAL0 for any other index; no options (no process id in the record). Returns 1.
// `ident` must stay valid until the log is closed.
int OpenSysLog(const char* ident, int facility);

// The system log, opened on first use with the executable name as identifier and LOCAL0;
// closed at process exit. Calls from different threads are serialised.
class SysLog {
  public:
    static SysLog& Instance();

    // Re-opens the log with the facility index `facility` (see OpenSysLog).
    void SetFacility(int facility);
    // Writes `text` with syslog priority `priority` (LOG_ERR etc.); a null text writes "".
    void LogMessage(int priority, const char* text);

    void ReportInfo(const char* text);     // LOG_INFO
    void ReportNotice(const char* text);   // LOG_NOTICE
    void ReportWarning(const char* text);  // LOG_WARNING
    void ReportError(const char* text);    // LOG_ERR

    SysLog(const SysLog&) = delete;
    SysLog& operator=(const SysLog&) = delete;

  private:
    SysLog();
    ~SysLog();

    threadkit::ObjectLevelLockable lock_;
    std::string ident_;  // handed to openlog, so it must outlive every open
};

// The running executable: its last path component, its resolved full path and its directory
// (no trailing "/"). All three are empty when /proc/self/exe cannot be read; the next call
// then tries again. Once known they never change.
std::string GetExecutableName();
std::string GetExecutableFullName();
std::string GetExecutablePath();

}  // namespace alg
