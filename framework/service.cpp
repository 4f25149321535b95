#include "service.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "basis.h"
#include "sys_log.h"

namespace alg {

namespace {

constexpr char kGuardSuffix[] = "_is_running";
constexpr char kOnlyOneCopy[] = "Error: Only one copy of service is allowed";
constexpr char kGuardFailed[] = "Error: Cannot take the single-copy guard ";
constexpr char kInitializationFailed[] = "Initialization failed.";
constexpr char kNoService[] = "Service isn`t initialized yet or already destroyed";
constexpr char kUsage[] = "usage: %s [-f]\n";
constexpr char kHelp[] =
    "Without arguments the gateway becomes a daemon; -f keeps it in the foreground, where\n"
    "console loggers are seen. SIGHUP re-reads the policy, SIGTERM stops the gateway.\n"
    "Policy: $ALG_SYSCONFDIR/algd/ (default /etc/algd/); run folder: $ALG_RUNDIR (default\n"
    "/run/algd). See the program's manual page and algd-policy(5).\n";
constexpr char kStartedByte = 's';
constexpr long kWaitPauseNs = 10 * 1000 * 1000;  // between passes of the parent's wait

CService* currentService = nullptr;

bool IsForegroundArgument(const char* arg) {
    return arg && arg[0] == '-' && (arg[1] == 'd' || arg[1] == 'f');
}

// Moves `fd` above the standard descriptors (which the daemon path closes before the start
// pipe is made) so that pointing 0, 1 and 2 at /dev/null cannot overwrite it.
int AboveStandardDescriptors(int fd) {
    if (fd > STDERR_FILENO) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

void CloseDescriptor(int& fd) {
    if (fd != -1) ::close(fd);
    fd = -1;
}

// Every connection costs descriptors (a relayed tunnel three: two sockets and a wake-up
// descriptor, plus a pipe per direction that carries bulk data): the soft limit goes up to what
// the hard limit allows. Failing leaves the limit as it was, which still works, only for fewer
// clients.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

CService::CService(const char* serviceName, const char* displayName)
    : serviceName_(serviceName), displayName_(displayName ? displayName : serviceName) {
    sigemptyset(&signalSet_);
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1})
        sigaddset(&signalSet_, signal);
    currentService = this;
    const std::string path = GetExecutablePath();
    if (!path.empty() && ::chdir(path.c_str()) != 0) {
        // Relative names then resolve against the starting directory; nothing else to do.
    }
}

CService::~CService() {
    if (currentService == this) currentService = nullptr;
    CloseDescriptor(startPipe_[0]);
    CloseDescriptor(startPipe_[1]);
}

CService* CService::Instance() {
    if (!currentService) throw std::logic_error(kNoService);
    return currentService;
}

int CService::RegisterService(int argc, char** argv) {
    const char* program = argc > 0 && argv[0] ? argv[0] : "";
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf(kUsage, program);
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs(productVersionLine(program).c_str(), stdout);
        return kExitOk;
    }
    RaiseDescriptorLimit();
    for (int i = 1; i < argc; ++i) {
        if (IsForegroundArgument(argv[i])) {
            foreground_ = true;
            return DebugService(argc, argv);
        }
    }
    if (argc > 2 || (argc == 2 && std::string(argv[1]) != "-f")) {
        std::fprintf(stderr, kUsage, argc > 0 && argv[0] ? argv[0] : "");
        return kExitUsage;
    }
    return Daemonize(argc, argv);
}

int CService::Daemonize(int argc, char** argv) {
    std::fflush(nullptr);
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    ::close(STDERR_FILENO);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return kExitForkFailed;
    startPipe_[0] = AboveStandardDescriptors(fds[0]);
    startPipe_[1] = AboveStandardDescriptors(fds[1]);
    if (startPipe_[0] == -1 || startPipe_[1] == -1) {
        CloseDescriptor(startPipe_[0]);
        CloseDescriptor(startPipe_[1]);
        return kExitForkFailed;
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        CloseDescriptor(startPipe_[0]);
        CloseDescriptor(startPipe_[1]);
        return kExitForkFailed;
    }
    if (pid > 0) {
        CloseDescriptor(startPipe_[1]);
        ::fcntl(startPipe_[0], F_SETFL, ::fcntl(startPipe_[0], F_GETFL) | O_NONBLOCK);
        const int status = WaitForChild(pid);
        CloseDescriptor(startPipe_[0]);
        return status;
    }

    CloseDescriptor(startPipe_[0]);
    ::setsid();
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull < 0) {
        std::perror(argc > 0 && argv[0] ? argv[0] : "");
        CloseDescriptor(startPipe_[1]);
        return kExitNoDevNull;
    }
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (devNull != fd) ::dup2(devNull, fd);
    }
    if (devNull > STDERR_FILENO) ::close(devNull);
    ::umask(0);
    const int result = Run(argc, argv);
    CloseDescriptor(startPipe_[1]);
    return result;
}

int CService::WaitForChild(int pid) {
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        char byte = 0;
        const ssize_t n = ::read(startPipe_[0], &byte, 1);
        if (n == 1 && byte == kStartedByte) return kExitOk;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return kExitNoDevNull;
        if (ended != 0) return kExitUsage;
        const timespec pause{0, kWaitPauseNs};
        ::nanosleep(&pause, nullptr);
    }
}

void CService::SignalStarted() {
    if (startPipe_[1] == -1) return;
    const char byte = kStartedByte;
    while (::write(startPipe_[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

int CService::DebugService(int argc, char** argv) {
    return Run(argc, argv);
}

int CService::Run(int, char**) {
    const std::string guardName = std::string(serviceName_ ? serviceName_ : "") + kGuardSuffix;
    SCChecker guard;
    if (!guard.lock(guardName.c_str())) {
        // A guard that cannot be made at all is told apart from another copy holding it, so
        // that the administrator is not sent hunting for a process that does not exist.
        if (guard.error() == 0) {
            LogServiceError(kOnlyOneCopy);
        } else {
            const std::string text = kGuardFailed + SCChecker::LockFilePath(guardName.c_str()) +
                                     ": " + std::strerror(guard.error());
            LogServiceError(text.c_str());
        }
        return kExitAlreadyRunning;
    }
    int result = doInitialize();
    if (result != 0) {
        LogServiceError(kInitializationFailed);
    } else {
        SignalStarted();
        result = doRun();
        const int finalized = doFinalize();
        if (finalized != 0) result = finalized;
    }
    guard.unlock();
    return result;
}

int CService::doRun() {
    // sigwait takes only blocked signals; otherwise their default action would end the process.
    pthread_sigmask(SIG_BLOCK, &signalSet_, nullptr);
    for (;;) {
        int signal = 0;
        // A failing sigwait cannot succeed later; ending beats spinning.
        if (sigwait(&signalSet_, &signal) != 0) return kExitOk;
        if (signal != 0 && signal != SIGUSR1) return kExitOk;
    }
}

void CService::LogServiceInfo(const char* text) {
    SysLog::Instance().ReportInfo(text);
}

void CService::LogServiceError(const char* text) {
    SysLog::Instance().ReportError(text);
}

}  // namespace alg
