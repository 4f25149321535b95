// The application object of a gateway program (ProxyApp), its protocol listener (Proto) and
// the base of every protocol session (StateMachine).
//
// Ownership: the application owns at most one listener; the listener owns its accept socket,
// socket pool, access lists, processing sections and authentication system; each session is
// created, run and deleted by its own detached thread and points back to its listener, which
// is destroyed only after every one of its session threads has ended. Session threads accept
// the connections they run: between sessions a thread waits on the listening socket (one
// session at a time), so a connection wakes only the thread that runs it, and a busy listener
// neither starts a thread nor releases a stack per connection.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "alg-control.h"
#include "alg_xml.h"
#include "algsocket.h"
#include "alogger.h"
#include "auth.h"
#include "cfg_loader.h"
#include "filter.h"
#include "http_request.h"
#include "misc_classes.h"
#include "service.h"
#include "session_summary.h"
#include "socks_request.h"
#include "textcode.h"

namespace alg {

// Messages of the application, the listener and the session base.
ALG_MESSAGE(FatalError, "Fatal Error", "Фатальная ошибка");
ALG_MESSAGE(UnhandledError, "Unhandled Error", "Неизвестная ошибка");
ALG_MESSAGE(ListenPortNotSpecified,
            "Proxy was not started, because listen_port value is not specified in the "
            "configuration file",
            "Прокси не стартовал, т.к. не задано значение listen_port в конфигурационном файле");
ALG_MESSAGE(ProxySectionNotFound, "Proxy creation fails. Configuration section not found",
            "Не удалось создать прокси-сервер. Секция конфигурации не найдена");
ALG_MESSAGE(ProxyCreationFail, "Proxy creation fails", "Не удалось создать прокси-сервер");
ALG_MESSAGE(ProxyStarted, "Started", "Запущен");
ALG_MESSAGE(ProxyStopped, "Stopped", "Остановлен");
ALG_MESSAGE(UnhandledInMainThread, "Unhandled error in MainThread",
            "Неизвестная ошибка в основной нити");
ALG_MESSAGE(RestartSignal, "Restart signal recieved", "Получен сигнал на перезагрузку");
ALG_MESSAGE(TerminateSignal, "Terminate signal recieved", "Получен сигнал на остановку");
ALG_MESSAGE(SigPipeReceived, "SIGPIPE recieved", "получен SIGPIPE");
ALG_MESSAGE(UnhandledSignal, "unhandled signal recieved", "получен неизвестный сигнал");
ALG_MESSAGE(AcceptPaused, "Accepting paused until descriptors or memory are freed",
            "Приём соединений приостановлен до освобождения дескрипторов или памяти");
ALG_MESSAGE(AcceptResumed, "Accepting resumed", "Приём соединений возобновлён");
ALG_MESSAGE(UnhandledInWorker, "Unhandled error in Worker", "Неизвестная ошибка в рабочей нити");
ALG_MESSAGE(OpenSession, "Open session", "Начало сессии");
ALG_MESSAGE(CloseSession, "Close session", "Конец сессии");
ALG_MESSAGE(AuthSystemFailure, "Authentication fails due to system error",
            "Аутентификация не удалась из-за системной ошибки");
ALG_MESSAGE(AuthSuccessful, "Authentication successful", "Аутентификация прошла успешно");
ALG_MESSAGE(AuthFailed, "Authentication failed", "Аутентификация не удалась");

class Proto;
class StateMachine;

// Takes the process's control signals (SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE) on a
// dedicated thread with sigwait, so their actions run in normal thread context, never inside
// an asynchronous handler. Block() must run on the initial thread before any other thread is
// started, so that every thread inherits the blocked mask.
class SignalWatcher {
  public:
    using Handler = void (*)(int signal);

    SignalWatcher() = default;
    ~SignalWatcher() { Stop(); }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Blocks the control signals in the calling thread (and so in the threads it starts).
    static void Block();
    // Starts the watcher thread once; later calls do nothing. False when it cannot start.
    bool Start(Handler handler);
    // Ends the watcher thread (woken by a signal of its own) and waits for it.
    void Stop();

  private:
    static void* ThreadProc(void* self);

    Handler handler_ = nullptr;
    pthread_t thread_{};
    bool started_ = false;
    std::atomic<bool> quit_{false};
};

// The application object: one per process, created by the program's main. Owns the log
// system, the control channel, the policy loader and the current listener; runs the service
// phases. Restart() and Stop() may be called from any thread.
class ProxyApp : public CService, public I_ToLogSystem, public ObjectWithProperties {
  public:
    ProxyApp(const char* serviceName, const char* displayName);
    ~ProxyApp() override;
    ProxyApp(const ProxyApp&) = delete;
    ProxyApp& operator=(const ProxyApp&) = delete;

    // The current service as the application object; throws std::logic_error when none.
    static ProxyApp* Instance();

    // Ends the signal thread, the policy loader and the listener, and waits for them. Called
    // while the program's own class is still whole (its destructor is too late: a thread that
    // ran on into it would find its overrides gone); idempotent, and the destructor calls it.
    void EndThreads();

    void Stop() override;
    // Terminates the listener and makes the main loop re-read the policy.
    void Restart();

    void LogServiceInfo(const char* text) override;
    void LogServiceError(const char* text) override;

    virtual const char* SettingsFileName() const = 0;
    const char* GetClassName() const override { return "ProxyApp"; }
    ObjectWithProperties* GetInnerObject(const char* name, unsigned short length) const override;
    bool GetPropVal(const char* name, std::string& value) const override;

    // Every message of the program ends here: adds the service name as source text and
    // writes it to the control-channel logger, then to every configured logger. A message that
    // no logger would write is dropped untouched.
    void Log(LoggedMessage& msg) override;
    void ResetFacility() override;

    // Creates the program's listener for `section`; the application takes ownership.
    virtual Proto* CreateProto(const ALGproxyType& section, bool firstStart,
                               LogSystem& logSystem) = 0;
    virtual const char* CfgLoaderName() const = 0;

    // Loads the policy and builds the listener: 0 on success, 33 on failure, 34 when an
    // unexpected exception ended it. Every failure is logged and handed to the loader. A
    // policy obtained by PMP is stored as the settings file only once a listener is built
    // from it; otherwise the listener is built again from the policy that was serving, kept
    // in memory (the settings file, which may hold something else by now, is not read), and
    // the loader keeps the refusal's reason. Without a policy obtained by PMP the settings
    // file is read: at start and on a reload the operator asked for.
    int CreateProxy(bool firstStart);

    // Blocks the control signals and starts the signal thread (once per process).
    void SetSigHandler();
    // Acts on one control signal; runs on the signal thread.
    static void sig_handler(int signal);
    // Body of the listener thread: the current listener's accept loop. An exception that ends
    // it is logged with what() as both texts (level event, type error).
    static void* ProxyThread(void* application);

    LogSystem& GetLogSystem() { return logSystem_; }

  protected:
    int doInitialize() override;
    int doRun() override;
    // Ends the serving of the current listener, if any, and logs "Stopped" in every case.
    int doFinalize() override;

  private:
    // Terminates the current listener, if any, under the listener-pointer lock.
    void TerminateListener();
    // Joins the listener thread and waits until every session has ended.
    void EndServing();
    // Logs `m` and hands it to the policy loader as the last start-up error.
    void ReportFailure(LoggedMessage& m);
    // CreateProxy's work on one policy: the text `held` when set (named `name` in
    // complaints), else the settings file `path`. Every failure is logged, and handed to the
    // loader unless `reportToLoader` is false. On success the policy's text becomes the
    // serving policy.
    int BuildProxy(bool firstStart, const std::string& path, const std::string* held,
                   const char* name, bool reportToLoader = true);

    std::unique_ptr<Proto> listener_;
    pthread_t listenerThread_{};
    bool listenerThreadRunning_ = false;
    LogSystem logSystem_;
    ProxyControl control_;
    ALG_CfgLoader loader_;
    // Guards listener_ against Terminate() from other threads while it is replaced.
    threadkit::ObjectLevelLockable listenerLock_;
    // Set by Stop(): a stop that arrives during a restart must not be undone by the
    // re-initialisation that follows.
    std::atomic<bool> stopRequested_{false};
    SignalWatcher signals_;
    // The text of the policy the current listener was built from; empty when none was. Read
    // and written on the main thread only.
    std::string servingPolicy_;
    bool reportToLoader_ = true;

    static bool firstStart_;
};

// The entry logic of every gateway program: builds the application object `App` with the
// service name, runs it, turns an escaping exception into "Fatal Error" / "Unhandled
// Error" and exit status 34, and ends the application's threads.
int RunService(ProxyApp& app, int argc, char** argv);

template <class App>
int ServiceMain(const char* serviceName, int argc, char** argv) {
    SignalWatcher::Block();
    App app(serviceName, nullptr);
    return RunService(app, argc, argv);
}

// The protocol listener: one per running proxy, built from the proxy section that bears the
// program's service name. Sessions read its settings concurrently; its lock guards the
// session counters.
class Proto : public threadkit::ObjectLevelLockable, public ObjectWithProperties {
  public:
    // Builds the listener from `section`; throws (InitializerError, FactoryError,
    // SocketError, ...) when any part of the section is unusable. The listening socket
    // always reuses the address, so a restarted program can listen again at once.
    Proto(const ALGproxyType& section, bool firstStart, LogSystem& logSystem);
    // Must not run while sessions exist: call Terminate() and WaitForSessions() first.
    ~Proto() override;
    Proto(const Proto&) = delete;
    Proto& operator=(const Proto&) = delete;

    ObjectWithProperties* GetInnerObject(const char*, unsigned short) const override {
        return nullptr;
    }
    bool GetPropVal(const char* name, std::string& value) const override;
    const char* GetClassName() const override { return "Proto"; }

    // Serves the listening socket until it is told to quit. Session threads take the
    // connections themselves (AcceptWaiter): a thread between sessions waits on the socket and
    // runs the session of the connection it accepts, so no other thread is woken to hand a
    // connection over. This thread starts the first of them and, whenever a thread that was
    // wanted could not be started, tries again every kAcceptPauseMs. Each session thread is
    // detached, with a 1 MiB stack.
    void AcceptConnections();
    // Body of a session thread; `start` is the heap-allocated start record of the thread.
    // Between sessions the thread waits for a connection as one of at most kMaxIdleThreads
    // waiting threads: for IdleThreadMs() while others wait too, without limit when it is the
    // only one, so that someone always listens. One that takes a connection and leaves no
    // other waiting starts a thread to wait in its place before it runs the session. A thread
    // ends when its wait times out while others wait, when enough others wait already, or when
    // the listener is terminated. A shortage of descriptors or memory pauses the accepting
    // thread for kAcceptPauseMs at a time (logged once per shortage).
    static void* ProtoWorkerThread(void* start);

    static constexpr int kMaxIdleThreads = 16;
    // Between two tries to accept while descriptors or memory are short.
    static constexpr int kAcceptPauseMs = 100;
    // Long enough to carry a busy listener from one connection to the next, short enough that
    // the threads of ended sessions are gone soon after a burst.
    static constexpr long kIdleThreadMs = 100;
    long IdleThreadMs() const;
    // Sets how long session threads wait from their next wait on (kIdleThreadMs at first).
    void SetIdleThreadMs(long ms);
    // Creates a session of the current listener (Proto::_instance).
    static StateMachine* CreateStateMachine(int descriptor);

    // Counts `session` as active and gives it the next session number.
    void Link(StateMachine& session);
    // Counts `session` as active no more.
    void Unlink(StateMachine& session);
    // Tells the accept loop and every socket of every session to quit, and ends the waiting
    // session threads.
    void Terminate();
    // Waits until every session thread of this listener has ended (call after Terminate();
    // sessions see the quit flag within about 100 ms).
    void WaitForSessions();

    int SessionTimeout() const { return sessionTimeout_; }
    codepage_t DefaultCodepage() const { return defaultCodepage_; }
    const HandshakeFilter& AccessLists() const { return accessLists_; }
    AuthenticationBase& AuthSystem() const { return *authSystem_; }
    const ProcessSection& ProcessSections() const { return processSections_; }
    ProcessSection& ProcessSections() { return processSections_; }
    ALGPool& Pool() { return pool_; }
    int ListenerPort() const;
    // The listening socket, whose options the accepted connections come with.
    const AcceptSocket& Listening() const { return acceptSocket_; }
    int TotalRequests() const;
    int ActiveRequests() const;
    // Session threads that wait for a connection.
    int IdleThreads() const;

    // The listener constructed last and not yet destroyed; read by any thread.
    static std::atomic<Proto*> _instance;

  protected:
    // Creates the protocol's session for an accepted descriptor.
    virtual StateMachine* doCreateStateMachine(int descriptor) = 0;

  private:
    // Starts a session thread that waits for a connection: 0, or the error number of what
    // the system refused (ECANCELED when the listener is closing).
    int StartSessionThread();
    // Logs "Accepting paused" with the detail of `shortage`, once per shortage (the next
    // connection accepted ends it).
    void NotePaused(const SocketError& shortage);
    // Called by a waiting session thread: the descriptor of its next session, or -1 when the
    // thread must end (it then no longer counts as waiting).
    int NextConnection(AcceptWaiter& waiter);
    // Called by a session thread after its session: whether it is to wait for another one (it
    // then counts as waiting again).
    bool ResumeWaiting();
    // The session thread's last touch of the listener, which may be destroyed after it.
    void SessionThreadEnded();
    // Stops the starting of session threads, wakes every waiting one and the accept loop.
    void CloseThreadCache();

    codepage_t defaultCodepage_ = -1;
    HandshakeFilter accessLists_;
    ProcessSection processSections_;
    std::unique_ptr<AuthenticationBase> authSystem_;
    int sessionTimeout_ = 0;
    int totalSessions_ = 0;
    AcceptSocket acceptSocket_;
    int activeSessions_ = 0;  // linked and not yet unlinked
    ALGPool pool_;
    // Guards the fields below; its condition wakes the accept loop.
    mutable threadkit::ConditionVariable threads_;
    // Session threads started and not yet finished.
    int sessionThreads_ = 0;
    // Session threads that wait for a connection (or are about to).
    int waiting_ = 0;
    bool threadsClosing_ = false;
    bool acceptPaused_ = false;  // within a shortage of descriptors or memory
    bool spareWanted_ = false;   // a waiting thread was wanted and could not be started
    long idleThreadMs_ = kIdleThreadMs;
};

// The base of every protocol session: owns the client socket, is linked to its listener
// while it lives, and offers logging with the session number, the access decision and
// authentication. Used only by its own thread.
class StateMachine : public I_ToLogSystem, public ObjectWithProperties {
  public:
    // Adopts `descriptor` as the client socket (SocketError "creating socket failed" when it
    // is -1), links to `listener` and logs "Open session".
    StateMachine(Proto& listener, int descriptor);
    // Unlinks, logs "Close session" and closes the client socket.
    ~StateMachine() override;
    StateMachine(const StateMachine&) = delete;
    StateMachine& operator=(const StateMachine&) = delete;

    // Adds "(n) " with the session number and hands the message to the application.
    void Log(LoggedMessage& msg) override;
    ObjectWithProperties* GetInnerObject(const char*, unsigned short) const override {
        return nullptr;
    }
    // The protocol's session.
    virtual void Run() = 0;

    // The access lists' decision on `handshake`: true for allow; false for drop, and for
    // reject after `rejection` was written to the client.
    bool AccessAllowed(HandshakeInfoHolder& handshake, MessageWriter& rejection);
    // Checks the login with the listener's authentication system and logs the outcome; a
    // system error counts as a refusal. A stop or restart during the check throws
    // TerminationEvent when the system was waiting for a server.
    bool Authenticate(const char* user, const char* password);

    // Connects to `ip`:`port` in the listener's pool, waiting at most the session time-out, and
    // records it in the summary. A failure throws ConnectError naming `host`, the port and the
    // cause: " [host:port, ip] : Connection refused" (the address left out when it is the host),
    // or " [host:port] : host not found" when `ip` is empty (the name did not resolve).
    std::unique_ptr<AlgSocket> ConnectServer(const std::string& host, const std::string& ip,
                                             int port);

    int SessionNumber() const { return sessionNumber_; }
    SessionSummary& Summary() { return summary_; }
    Proto& Listener() const { return *listener_; }
    AlgSocket& ClientSocket() { return client_; }

  private:
    friend class Proto;  // Link() numbers the session
    void LogSessionEdge(const locMSG& msg);
    void LogSummary();

    Proto* listener_;
    AlgSocket client_;
    int sessionNumber_ = 0;
    // Initialised after client_, which then owns the descriptor whatever happens.
    ProxyApp* app_;  // the application outlives every session
    SessionSummary summary_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace alg
