#include "proto.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "access_names.h"
#include "basis.h"
#include "dirmap.h"

namespace alg {

namespace {

// Decorations of the messages of this module.
// " - address:port" after the session edges, "(n) " before every session message.
constexpr char kSessionEdgeLead[] = " - ";
constexpr char kSessionEdgePort[] = ":";
constexpr char kSessionNumberOpen[] = "(";
constexpr char kSessionNumberClose[] = ") ";
constexpr char kSectionWanted[] = ": <proxy name='";
constexpr char kSectionsListed[] = "'>, sections from policy: ";
constexpr char kNoSections[] = "'>, no sections in policy";
constexpr char kSectionSeparator[] = ", ";
constexpr char kSettingsDir[] = "algd/";

constexpr size_t kThreadStack = 1048576;
constexpr int kProxyFailed = 33;
constexpr int kProxyCrashed = kExitException;
// How often a listener that waits for its sessions to end looks at them.
constexpr long kSessionPollMs = 20;

// The control signals; taken by the signal thread only.
void ControlSignals(sigset_t& set) {
    sigemptyset(&set);
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) sigaddset(&set, s);
}

// The signals that stop the program.
void StopSignals(sigset_t& set) {
    sigemptyset(&set);
    for (int s : {SIGINT, SIGQUIT, SIGTERM}) sigaddset(&set, s);
}

// Sent by Stop() to the watcher thread alone, so that the watcher can sleep in its wait
// without waking up to look at a flag.
int WakeSignal() {
    return SIGRTMIN;
}

// The control signals plus the watcher's wake-up signal: blocked in every thread.
void WatchedSignals(sigset_t& set) {
    ControlSignals(set);
    sigaddset(&set, WakeSignal());
}

// A pair whose two texts are the same run-time text.
locMSG SameText(const char* text) {
    return locMSG{text, text};
}

void LogText(I_ToLogSystem& to, const char* text, LogLevel level, MsgType type) {
    LoggedMessage m(SameText(text), level, type);
    to.Log(m);
}

// Prepares attributes of a thread with a 1 MiB stack and system contention scope.
bool PrepareThreadAttr(pthread_attr_t& attr, bool detached) {
    if (pthread_attr_init(&attr) != 0) return false;
    if (pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM) != 0 ||
        pthread_attr_setstacksize(&attr, kThreadStack) != 0 ||
        pthread_attr_setdetachstate(
            &attr, detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE) != 0) {
        pthread_attr_destroy(&attr);
        return false;
    }
    return true;
}

// What a session thread is started with.
struct SessionStart {
    Proto* listener = nullptr;
    std::unique_ptr<AcceptWaiter> waiter;
};

// Appends the decimal text of `n` (what "%d" would write).
void AppendNumber(std::string& out, int n) {
    char text[16];
    const auto end = std::to_chars(text, text + sizeof text, n).ptr;
    out.append(text, end);
}

void SleepMs(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SignalWatcher
// ---------------------------------------------------------------------------------------------

namespace {

// The watcher thread, for the SIGPIPE forwarder; set only while the watcher runs.
pthread_t gWatcherThread;
std::atomic<bool> gWatcherRunning{false};

// SIGPIPE is raised in the thread whose send failed; this handler only passes it on to the
// watcher thread (pthread_kill is async-signal-safe), which reports it.
void ForwardSigPipe(int) {
    const int saved = errno;
    if (gWatcherRunning.load()) pthread_kill(gWatcherThread, SIGPIPE);
    errno = saved;
}

void SetSigPipeAction(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    ControlSignals(action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

void SetSigPipeMask(int how) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(how, &pipe, nullptr);
}

}  // namespace

void SignalWatcher::Block() {
    sigset_t set;
    WatchedSignals(set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool SignalWatcher::Start(Handler handler) {
    if (started_) return true;
    Block();
    handler_ = handler;
    quit_ = false;
    pthread_attr_t attr;
    if (!PrepareThreadAttr(attr, false)) return false;
    started_ = pthread_create(&thread_, &attr, &SignalWatcher::ThreadProc, this) == 0;
    pthread_attr_destroy(&attr);
    if (!started_) return false;
    gWatcherThread = thread_;
    gWatcherRunning = true;
    // Threads started from here on take SIGPIPE themselves and forward it to the watcher.
    SetSigPipeAction(&ForwardSigPipe);
    SetSigPipeMask(SIG_UNBLOCK);
    return true;
}

void SignalWatcher::Stop() {
    if (!started_) return;
    SetSigPipeAction(SIG_IGN);
    gWatcherRunning = false;
    quit_ = true;
    pthread_kill(thread_, WakeSignal());
    pthread_join(thread_, nullptr);
    started_ = false;
}

void* SignalWatcher::ThreadProc(void* self) {
    auto* watcher = static_cast<SignalWatcher*>(self);
    sigset_t set;
    WatchedSignals(set);
    sigset_t stops;
    StopSignals(stops);
    const timespec noWait{0, 0};
    while (!watcher->quit_) {
        // A pending stop is taken before anything else: the kernel hands out the signals sent
        // to this thread (SIGPIPE from its own writes) before those sent to the process, so a
        // steady stream of them would otherwise hold SIGTERM back for ever.
        int signal = sigtimedwait(&stops, nullptr, &noWait);
        if (signal <= 0) signal = sigwaitinfo(&set, nullptr);
        if (signal > 0 && signal != WakeSignal()) watcher->handler_(signal);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// ProxyApp
// ---------------------------------------------------------------------------------------------

bool ProxyApp::firstStart_ = true;

ProxyApp::ProxyApp(const char* serviceName, const char* displayName)
    : CService(serviceName, displayName), control_(*this, logSystem_) {
    SignalWatcher::Block();
    loader_.init(
        *this, [this] { return std::string(CfgLoaderName()); }, [this] { Restart(); });
    logSystem_.LoadDefaultLoggers();
}

ProxyApp::~ProxyApp() {
    EndThreads();
}

void ProxyApp::EndThreads() {
    signals_.Stop();
    loader_.fini();
    control_.controlStop();
    if (listener_) {
        listener_->Terminate();
        listener_->WaitForSessions();
        threadkit::ObjectLevelLockable::Lock lock(listenerLock_);
        listener_.reset();
    }
}

ProxyApp* ProxyApp::Instance() {
    auto* app = dynamic_cast<ProxyApp*>(CService::Instance());
    if (!app) throw std::logic_error("Service isn`t initialized yet or already destroyed");
    return app;
}

void ProxyApp::LogServiceInfo(const char* text) {
    LogText(*this, text, event, info);
}
void ProxyApp::LogServiceError(const char* text) {
    LogText(*this, text, event, error);
}

ObjectWithProperties* ProxyApp::GetInnerObject(const char* name, unsigned short length) const {
    Proto* listener = listener_.get();
    if (listener && strncmp(name, listener->GetClassName(), length) == 0) return listener;
    return nullptr;
}

bool ProxyApp::GetPropVal(const char* name, std::string& value) const {
    if (strcmp(name, "Version") == 0) {
        value = std::string(productVersion()) + "." + productBuild();
    } else if (strcmp(name, "BuildDate") == 0) {
        value = productBuildDate();
    } else if (strcmp(name, "Name") == 0) {
        value = ServiceName();
    } else {
        return false;
    }
    return true;
}

void ProxyApp::Log(LoggedMessage& msg) {
    if (!logSystem_.Admits(msg.level)) return;
    msg.sourceText.append(ServiceName()).append(" ");
    logSystem_.WriteMsg(msg);
}

void ProxyApp::ResetFacility() {
    logSystem_.ResetFacility();
}

void ProxyApp::ReportFailure(LoggedMessage& m) {
    Log(m);
    if (reportToLoader_) loader_.workerLog(m);
}

void ProxyApp::SetSigHandler() {
    // Without the watcher the control signals must keep their default actions, or the
    // program could not be stopped.
    if (!signals_.Start(&ProxyApp::sig_handler)) {
        sigset_t set;
        ControlSignals(set);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
}

void ProxyApp::sig_handler(int signal) {
    ProxyApp* app = Instance();
    switch (signal) {
        case SIGHUP:
            app->Restart();
            break;
        case SIGINT:
        case SIGQUIT:
        case SIGTERM:
            app->Stop();
            break;
        case SIGPIPE: {
            LoggedMessage m(SigPipeReceived, detail, error);
            app->Log(m);
            break;
        }
        default: {
            LoggedMessage m(UnhandledSignal, detail, info);
            app->Log(m);
            break;
        }
    }
}

void ProxyApp::TerminateListener() {
    threadkit::ObjectLevelLockable::Lock lock(listenerLock_);
    if (listener_) listener_->Terminate();
}

void ProxyApp::Restart() {
    LoggedMessage m(RestartSignal, detail, info);
    Log(m);
    TerminateListener();
    control_.controlRestart();
}

void ProxyApp::Stop() {
    LoggedMessage m(TerminateSignal, detail, info);
    Log(m);
    stopRequested_ = true;
    loader_.workerStop();
    TerminateListener();
    control_.controlStop();
    CService::Stop();
}

int ProxyApp::doInitialize() {
    control_.controlStart();
    SetSigHandler();
    CreateProxy(firstStart_);
    firstStart_ = false;
    // A stop on the signal thread may come between the check and the start; whichever of the
    // two runs workerStop last then ends the worker, so none outlives the stop.
    if (!stopRequested_) {
        loader_.workerStart();
        if (stopRequested_) loader_.workerStop();
    }
    return 0;
}

int ProxyApp::CreateProxy(bool firstStart) {
    const std::string path = systemEtcDir() + kSettingsDir + SettingsFileName();
    std::string received;
    loader_.get_lsp_data(received);
    if (received.empty()) {
        const int result = BuildProxy(firstStart, path, nullptr, path.c_str());
        if (result != 0) servingPolicy_.clear();  // nothing serves now
        return result;
    }
    // The listener is gone by now (a restart deletes it before coming here, which frees its
    // port for either policy).
    const std::string previous = servingPolicy_;
    const int result = BuildProxy(firstStart, path, &received, SettingsFileName());
    if (result == 0) {
        ALG_CfgLoader::saveToFile(path, received, this);
        return 0;
    }
    // The loader keeps the refusal's reason as the push's outcome; the gateway goes on
    // serving the policy it had, as it had it.
    LoggedMessage refused(PolicyRefusedPMP, event, warning);
    Log(refused);
    if (!previous.empty()) BuildProxy(firstStart, path, &previous, path.c_str(), false);
    return result;
}

int ProxyApp::BuildProxy(bool firstStart, const std::string& path, const std::string* held,
                         const char* name, bool reportToLoader) {
    reportToLoader_ = reportToLoader;
    struct RestoreReporting {
        bool& flag;
        ~RestoreReporting() { flag = true; }
    } restore{reportToLoader_};
    try {
        ALGalgpolicyType policy;
        std::string problem;
        std::string fileText;
        const bool read = held ? ReadPolicyText(policy, name, *held, problem)
                               : ReadPolicyFile(policy, path, problem, &fileText);
        if (!read) {
            LoggedMessage m(PolicyUnreadable, event, error);
            m.AddSuffix(problem);
            ReportFailure(m);
            return kProxyFailed;
        }

        std::string names;
        bool chosen = false;
        for (int i = 0; i < policy.proxy.size(); ++i) {
            const ALGproxyType& section = *policy.proxy[i];
            const char* name = section.name.c_str();
            if (!names.empty()) names += kSectionSeparator;
            names += name;
            if (chosen || strcmp0(section.name.get(), ServiceName()) != 0) continue;
            chosen = true;
            // A section without its general or handshake part cannot name a port to serve.
            if (section.general.size() == 0 || section.handshake.size() == 0 ||
                section.general[0]->listen_port == 0) {
                LoggedMessage m(ListenPortNotSpecified, event, error);
                m.AddSuffix((" " + path).c_str());
                ReportFailure(m);
                return kProxyFailed;
            }
            Proto* created = CreateProto(section, firstStart, logSystem_);
            threadkit::ObjectLevelLockable::Lock lock(listenerLock_);
            listener_.reset(created);
            if (stopRequested_) listener_->Terminate();
        }
        if (listener_) {
            servingPolicy_ = held ? *held : std::move(fileText);
            return 0;
        }
        LoggedMessage m(ProxySectionNotFound, event, error);
        std::string suffix = kSectionWanted + std::string(ServiceName());
        suffix += names.empty() ? std::string(kNoSections) : kSectionsListed + names;
        m.AddSuffix(suffix.c_str());
        ReportFailure(m);
        return kProxyFailed;
    } catch (const InitializerError& e) {
        LoggedMessage m(e.Msg(), event, error);
        ReportFailure(m);
        return kProxyFailed;
    } catch (const FactoryError& e) {
        LoggedMessage m(e.Msg(), event, error);
        m.AddSuffix(e.Detail().c_str());
        ReportFailure(m);
        LoggedMessage fail(ProxyCreationFail, event, error);
        fail.AddSuffix((" - " + path).c_str());
        Log(fail);
        return kProxyFailed;
    } catch (const SocketError& e) {
        LoggedMessage m(e.Msg(), event, error);
        m.AddSuffix(e.Detail().c_str());
        ReportFailure(m);
        return kProxyFailed;
    } catch (const std::exception& e) {
        LoggedMessage m(ProxyCreationFail, event, error);
        m.AddSuffix((" " + path + " : " + e.what()).c_str());
        ReportFailure(m);
        return kProxyCrashed;
    }
}

int ProxyApp::doRun() {
    try {
        for (;;) {
            if (stopRequested_) return 0;
            if (listener_) {
                LoggedMessage started(ProxyStarted, event, info);
                Log(started);
                logSystem_.ShowLogLevels(*this);
                pthread_attr_t attr;
                if (!PrepareThreadAttr(attr, false)) return kProxyCrashed;
                const int rc =
                    pthread_create(&listenerThread_, &attr, &ProxyApp::ProxyThread, this);
                pthread_attr_destroy(&attr);
                if (rc != 0) return kProxyCrashed;
                listenerThreadRunning_ = true;
            }
            if (!control_.controlWork()) return 0;
            // A restart asked for while the listener was being built found none to end.
            TerminateListener();
            doFinalize();
            {
                threadkit::ObjectLevelLockable::Lock lock(listenerLock_);
                listener_.reset();
            }
            const int rc = doInitialize();
            if (rc != 0) return rc;
        }
    } catch (const std::exception& e) {
        LogText(*this, e.what(), event, error);
        return kProxyCrashed;
    }
}

void ProxyApp::EndServing() {
    if (listenerThreadRunning_) {
        pthread_join(listenerThread_, nullptr);
        listenerThreadRunning_ = false;
    }
    if (listener_) {
        listener_->Terminate();
        listener_->WaitForSessions();
    }
}

int ProxyApp::doFinalize() {
    EndServing();
    LoggedMessage m(ProxyStopped, event, info);
    Log(m);
    return 0;
}

void* ProxyApp::ProxyThread(void* application) {
    auto* app = static_cast<ProxyApp*>(application);
    try {
        app->listener_->AcceptConnections();
    } catch (const std::exception& e) {
        LogText(*app, e.what(), event, error);
    } catch (...) {
        LoggedMessage m(UnhandledInMainThread, event, error);
        app->Log(m);
    }
    return nullptr;
}

int RunService(ProxyApp& app, int argc, char** argv) {
    int status = kExitException;
    try {
        status = app.RegisterService(argc, argv);
    } catch (const std::exception& e) {
        LoggedMessage m(FatalError, event, error);
        m.AddSuffix((std::string(": ") + e.what()).c_str());
        app.Log(m);
    } catch (...) {
        LoggedMessage m(UnhandledError, event, error);
        app.Log(m);
    }
    app.EndThreads();
    return status;
}

// ---------------------------------------------------------------------------------------------
// Proto
// ---------------------------------------------------------------------------------------------

std::atomic<Proto*> Proto::_instance{nullptr};

namespace {
// The milliseconds of a policy time-out in seconds, kept within the range of an int.
int TimeoutMs(int seconds) {
    constexpr int kMaxSeconds = std::numeric_limits<int>::max() / 1000;
    return std::clamp(seconds, 0, kMaxSeconds) * 1000;
}

const ALGgeneralType& GeneralOf(const ALGproxyType& section) {
    if (section.general.size() == 0 || section.handshake.size() == 0)
        throw InitializerError(ListenPortNotSpecified);
    return *section.general[0];
}
}  // namespace

Proto::Proto(const ALGproxyType& section, bool /*firstStart*/, LogSystem& logSystem)
    : authSystem_(AuthSystemClass::CreateClass(GeneralOf(section))),
      sessionTimeout_(TimeoutMs(GeneralOf(section).session_timeout)),
      acceptSocket_(GeneralOf(section).listen_port, nullptr, true) {
    const ALGgeneralType& general = GeneralOf(section);
    // Client connections get their tunnels' keepalive and urgent data in line from the
    // listening socket, so that no session sets them on its client leg again.
    acceptSocket_.KeepAlive();
    acceptSocket_.UrgentInline();
    logSystem.LoadLoggers(general);
    accessLists_.Load(*section.handshake[0], *ProxyApp::Instance());
    WarnUnknownProperties(*section.handshake[0], section.name.c_str(), *ProxyApp::Instance());
    _instance = this;
    authSystem_->SetDaemonFlag(!CService::Instance()->IsForeground());
    if (!general.default_charset.empty())
        defaultCodepage_ = textcode::get_codepage_value(general.default_charset.c_str());
}

Proto::~Proto() {
    WaitForSessions();
    Proto* self = this;
    _instance.compare_exchange_strong(self, nullptr);
}

bool Proto::GetPropVal(const char* name, std::string& value) const {
    if (strcmp(name, "TotalRequests") == 0) {
        value = std::to_string(TotalRequests());
    } else if (strcmp(name, "ActiveRequests") == 0) {
        value = std::to_string(ActiveRequests());
    } else if (strcmp(name, "AuthSystem") == 0) {
        value = authSystem_->GetName();
    } else if (strcmp(name, "ListenerPort") == 0) {
        value = std::to_string(ListenerPort());
    } else {
        return false;
    }
    return true;
}

int Proto::ListenerPort() const {
    return acceptSocket_.Port();
}

int Proto::TotalRequests() const {
    Lock lock(*this);
    return totalSessions_;
}

int Proto::ActiveRequests() const {
    Lock lock(*this);
    return activeSessions_;
}

void Proto::AcceptConnections() {
    {
        threadkit::ConditionVariable::Lock lock(threads_);
        spareWanted_ = true;
    }
    for (;;) {
        {
            threadkit::ConditionVariable::Lock lock(threads_);
            while (!spareWanted_ && !threadsClosing_) threads_.Wait();
            if (threadsClosing_) return;
        }
        // One thread started is someone waiting, whatever number of wants came meanwhile.
        const int failure = StartSessionThread();
        if (failure == 0) {
            threadkit::ConditionVariable::Lock lock(threads_);
            spareWanted_ = false;
            continue;
        }
        if (failure == ECANCELED) return;  // the listener is closing
        // Nobody takes connections until a thread can be started or a session ends: they
        // stay queued meanwhile.
        errno = failure;
        NotePaused(AcceptShortage(AcceptFailed));
        if (!acceptSocket_.Pause(kAcceptPauseMs)) return;
    }
}

int Proto::StartSessionThread() {
    auto start = std::make_unique<SessionStart>();
    start->listener = this;
    try {
        start->waiter = std::make_unique<AcceptWaiter>(acceptSocket_);
    } catch (const SocketError&) {
        return errno != 0 ? errno : EMFILE;
    }
    pthread_attr_t attr;
    if (!PrepareThreadAttr(attr, true)) return ENOMEM;
    {
        threadkit::ObjectLevelLockable::Lock lock(threads_);
        if (threadsClosing_) {
            pthread_attr_destroy(&attr);
            return ECANCELED;
        }
        ++sessionThreads_;
        ++waiting_;
    }
    pthread_t thread;
    const int failure = pthread_create(&thread, &attr, &Proto::ProtoWorkerThread, start.get());
    pthread_attr_destroy(&attr);
    if (failure == 0) {
        start.release();  // the thread owns it now
        return 0;
    }
    threadkit::ObjectLevelLockable::Lock lock(threads_);
    --sessionThreads_;
    --waiting_;
    return failure;
}

void Proto::NotePaused(const SocketError& shortage) {
    {
        threadkit::ObjectLevelLockable::Lock lock(threads_);
        if (acceptPaused_) return;
        acceptPaused_ = true;
    }
    LoggedMessage m(AcceptPaused, event, error);
    m.AddSuffix(shortage.Detail());
    ProxyApp::Instance()->Log(m);
}

int Proto::NextConnection(AcceptWaiter& waiter) {
    for (;;) {
        long wait;
        {
            threadkit::ObjectLevelLockable::Lock lock(threads_);
            if (threadsClosing_) {
                --waiting_;
                return -1;
            }
            wait = waiting_ > 1 ? idleThreadMs_ : -1;
        }
        // An idle listener holds no more than it needs to listen.
        if (wait < 0) QuitWaker::DropSpare();
        int descriptor;
        bool failed = false;
        try {
            descriptor = waiter.Accept(wait);
        } catch (const AcceptShortage& e) {
            // The connection stays queued; once a session ends (or the system frees memory)
            // it can be taken.
            NotePaused(e);
            if (acceptSocket_.Pause(kAcceptPauseMs)) continue;
            descriptor = -1;
        } catch (const SocketError& e) {
            // The listening socket is broken: this thread stops using it.
            LogException(*ProxyApp::Instance(), e, event, error);
            descriptor = -1;
            failed = true;
        }
        bool spare = false;
        bool resumed = false;
        {
            threadkit::ObjectLevelLockable::Lock lock(threads_);
            if (descriptor == -1 && !failed && !threadsClosing_ && !acceptSocket_.QuitRaised() &&
                waiting_ == 1)
                continue;  // the only one waiting waits on, without limit
            --waiting_;
            if (descriptor == -1) return -1;
            spare = waiting_ == 0 && !threadsClosing_;
            resumed = acceptPaused_;
            acceptPaused_ = false;
        }
        if (resumed) {
            LoggedMessage m(AcceptResumed, event, info);
            ProxyApp::Instance()->Log(m);
        }
        if (spare && StartSessionThread() != 0) {
            threadkit::ObjectLevelLockable::Lock lock(threads_);
            spareWanted_ = true;
            threads_.Broadcast();
        }
        return descriptor;
    }
}

bool Proto::ResumeWaiting() {
    threadkit::ObjectLevelLockable::Lock lock(threads_);
    if (threadsClosing_ || waiting_ >= kMaxIdleThreads) return false;
    ++waiting_;
    return true;
}

void Proto::SessionThreadEnded() {
    threadkit::ObjectLevelLockable::Lock lock(threads_);
    --sessionThreads_;
}

void Proto::CloseThreadCache() {
    {
        threadkit::ObjectLevelLockable::Lock lock(threads_);
        threadsClosing_ = true;
        threads_.Broadcast();
    }
    // Waiting threads sleep on the listening socket: its quit signal wakes them.
    acceptSocket_.QuitSignal();
}

long Proto::IdleThreadMs() const {
    threadkit::ObjectLevelLockable::Lock lock(threads_);
    return idleThreadMs_;
}

void Proto::SetIdleThreadMs(long ms) {
    threadkit::ObjectLevelLockable::Lock lock(threads_);
    idleThreadMs_ = std::max(ms, 0L);
}

int Proto::IdleThreads() const {
    threadkit::ObjectLevelLockable::Lock lock(threads_);
    return waiting_;
}

void* Proto::ProtoWorkerThread(void* arg) {
    std::unique_ptr<SessionStart> start(static_cast<SessionStart*>(arg));
    Proto* listener = start->listener;
    ProxyApp* app = ProxyApp::Instance();
    for (int descriptor; (descriptor = listener->NextConnection(*start->waiter)) != -1;) {
        try {
            std::unique_ptr<StateMachine> session(listener->doCreateStateMachine(descriptor));
            // What ends a session is logged by the session, with its number, before it closes.
            try {
                session->Run();
            } catch (const TerminationEvent&) {
            } catch (const std::exception& e) {
                LogException(*session, e, event, error);
            } catch (...) {
                LoggedMessage m(UnhandledInWorker, event, error);
                session->Log(m);
            }
        } catch (const TerminationEvent&) {
        } catch (const std::exception& e) {
            // ParseError and SocketError as their pair and detail, anything else as what().
            LogException(*app, e, event, error);
        } catch (...) {
            LoggedMessage m(UnhandledInWorker, event, error);
            app->Log(m);
        }
        if (!listener->ResumeWaiting()) break;
    }
    start.reset();
    listener->SessionThreadEnded();
    return nullptr;
}

StateMachine* Proto::CreateStateMachine(int descriptor) {
    Proto* listener = _instance.load();
    if (!listener) throw std::logic_error("NULL == Proto::_instance");
    return listener->doCreateStateMachine(descriptor);
}

void Proto::Link(StateMachine& session) {
    Lock lock(*this);
    ++activeSessions_;
    session.sessionNumber_ = totalSessions_++;
}

void Proto::Unlink(StateMachine& /*session*/) {
    Lock lock(*this);
    --activeSessions_;
}

void Proto::Terminate() {
    acceptSocket_.QuitSignal();
    {
        Lock lock(*this);
        pool_.SendQuitSignal();
    }
    CloseThreadCache();
}

void Proto::WaitForSessions() {
    // Waiting threads hold no session: nothing is lost by ending them, even without Terminate.
    CloseThreadCache();
    for (;;) {
        {
            Lock lock(*this);
            threadkit::ObjectLevelLockable::Lock threadsLock(threads_);
            if (sessionThreads_ == 0 && activeSessions_ == 0) return;
        }
        SleepMs(kSessionPollMs);
    }
}

// ---------------------------------------------------------------------------------------------
// StateMachine
// ---------------------------------------------------------------------------------------------

namespace {

constexpr char kHostNotFound[] = "host not found";

}  // namespace

StateMachine::StateMachine(Proto& listener, int descriptor)
    : listener_(&listener),
      client_(descriptor, &listener.Pool(), &listener.Listening()),
      app_(ProxyApp::Instance()) {
    summary_.CountSent(client_, true);
    listener.Link(*this);
    try {
        LogSessionEdge(OpenSession);
    } catch (...) {
        // The destructor does not run for a session that was never completed.
        listener.Unlink(*this);
        throw;
    }
}

StateMachine::~StateMachine() {
    listener_->Unlink(*this);
    LogSummary();
    LogSessionEdge(CloseSession);
}

void StateMachine::LogSummary() {
    // Both texts are built only for a message that is written.
    if (!app_->GetLogSystem().Admits(event)) return;
    try {
        const std::chrono::duration<double> lasted = std::chrono::steady_clock::now() - started_;
        const auto [en, ru] = summary_.Texts(SessionSummaryLine, lasted.count());
        // Two texts of their own: both are written as they are, the fields already escaped.
        LoggedMessage m(locMSG{en.c_str(), ru.c_str()}, event, info);
        Log(m);
    } catch (const std::exception&) {
        // Out of memory for the line: the session ends without it.
    }
}

std::unique_ptr<AlgSocket> StateMachine::ConnectServer(const std::string& host,
                                                       const std::string& ip, int port) {
    std::string named = " [" + host + ":" + std::to_string(port);
    if (ip.empty()) throw ConnectError(named + "] : " + kHostNotFound, kHostNotFound, 0);
    if (ip != host) named += ", " + ip;
    std::unique_ptr<AlgSocket> server;
    try {
        server =
            std::make_unique<AlgSocket>(port, ip.c_str(), &listener_->Pool(),
                                        static_cast<unsigned int>(listener_->SessionTimeout()));
    } catch (const SocketError& e) {
        char buffer[256];
        const std::string cause = ::strerror_r(e.SystemError(), buffer, sizeof buffer);
        throw ConnectError(named + "] : " + cause, cause, e.SystemError());
    }
    summary_.Connected(*server);
    return server;
}

void StateMachine::LogSessionEdge(const locMSG& msg) {
    // The suffix costs a look-up of the local address: only for a message that is written.
    if (!app_->GetLogSystem().Admits(event)) return;
    LoggedMessage m(msg, event, info);
    std::string& suffix = m.suffix;
    suffix.append(kSessionEdgeLead).append(client_.PeerAddress()).append(kSessionEdgePort);
    AppendNumber(suffix, client_.SelfPort());
    Log(m);
}

void StateMachine::Log(LoggedMessage& msg) {
    // Most of a session's messages are written nowhere: they are dropped before any text is
    // added to them.
    if (!app_->GetLogSystem().Admits(msg.level)) return;
    msg.leadIn.append(kSessionNumberOpen);
    AppendNumber(msg.leadIn, sessionNumber_);
    msg.leadIn.append(kSessionNumberClose);
    app_->Log(msg);
}

bool StateMachine::AccessAllowed(HandshakeInfoHolder& handshake, MessageWriter& rejection) {
    summary_.SetDestination(handshake);
    const ActionType action =
        listener_->AccessLists().GetAction(handshake.user.c_str(), handshake, *this);
    if (action != atAllow) summary_.DidMore(ActionName(action));
    switch (action) {
        case atAllow:
            return true;
        case atDrop:
            return false;
        case atReject:
            rejection.Write(client_, static_cast<unsigned int>(listener_->SessionTimeout()));
            return false;
        default:
            throw LogicError("Action type 'atNone' not allowed");
    }
}

bool StateMachine::Authenticate(const char* user, const char* password) {
    bool accepted = false;
    // A stop or restart reaches a check that waits for a server through the session's pool;
    // the TerminationEvent it then throws ends the session silently, like any other wait's.
    const AuthQuitScope scope(&listener_->Pool());
    try {
        accepted = listener_->AuthSystem().authenticate(user ? user : "", password ? password : "");
    } catch (const AuthError&) {
        LoggedMessage m(AuthSystemFailure, event, error);
        Log(m);
    }
    summary_.user = user ? user : "";
    LoggedMessage m(accepted ? AuthSuccessful : AuthFailed, event, accepted ? info : error);
    m.AddSuffix((std::string(": ") + (user ? user : "")).c_str());
    Log(m);
    return accepted;
}

}  // namespace alg
