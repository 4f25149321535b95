// The service shell of a gateway program: parses the command line, stays in the foreground
// or detaches into a daemon (the parent ends once the child has started), refuses a second
// copy of the same service and drives the phases initialise, run and finalise. One object
// per process, used from the process's initial thread.
#pragma once

#include <signal.h>

namespace alg {

// Process exit statuses of the service shell and of the programs' main.
inline constexpr int kExitOk = 0;
inline constexpr int kExitAlreadyRunning = 32;  // another copy holds the single-copy guard
inline constexpr int kExitException = 34;       // an exception escaped RegisterService
inline constexpr int kExitNoDevNull = 35;       // child: no /dev/null; parent: start pipe failed
inline constexpr int kExitForkFailed = 36;
inline constexpr int kExitUsage = 37;  // usage error, or the child ended before it started

// Virtual operations are declared in their slot order.
class CService {
  public:
    // `serviceName` and `displayName` must outlive the object; a null display name means the
    // service name. Makes this the current service and changes the working directory to the
    // executable's directory (a failure to do so is ignored).
    CService(const char* serviceName, const char* displayName);
    virtual ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    // The entry point: "-d..." or "-f..." anywhere on the line runs in the foreground; no
    // argument detaches as a daemon; anything else prints the usage line and returns 37.
    // Returns the process exit status.
    virtual int RegisterService(int argc, char** argv);
    // Takes the single-copy guard (service name + "_is_running") and runs the phases.
    virtual int Run(int argc, char** argv);
    // Asks the running service to stop; does nothing here.
    virtual void Stop() {}

  protected:
    // 0 on success; a non-zero result ends Run with that status.
    virtual int doInitialize() = 0;
    // The main loop: here, waits for a signal of signalSet_ other than SIGUSR1 and returns 0.
    virtual int doRun();
    // 0 on success; a non-zero result replaces Run's result.
    virtual int doFinalize() = 0;

  public:
    // The foreground run: Run with the same arguments.
    virtual int DebugService(int argc, char** argv);
    // Write to the system log at informational and error priority.
    virtual void LogServiceInfo(const char* text);
    virtual void LogServiceError(const char* text);

    // The current service; throws std::logic_error when there is none.
    static CService* Instance();

    const char* ServiceName() const { return serviceName_; }
    const char* DisplayName() const { return displayName_; }
    // True when the program was asked to stay in the foreground.
    bool IsForeground() const { return foreground_; }

    // Tells the waiting daemon parent that the service has started; nothing in the foreground.
    void SignalStarted();
    // The daemon parent's wait for the child `pid`: 0 when it signalled its start, 35 when the
    // start pipe failed, 37 when the child ended (or the wait failed) first.
    int WaitForChild(int pid);

    void OSSpecificInit() {}
    unsigned ReportStatus(unsigned, unsigned, unsigned) { return 0; }

  protected:
    // The signals the default doRun waits for (SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1).
    sigset_t signalSet_;

  private:
    int Daemonize(int argc, char** argv);

    const char* serviceName_;
    const char* displayName_;
    bool foreground_ = false;
    int startPipe_[2] = {-1, -1};
};

}  // namespace alg
