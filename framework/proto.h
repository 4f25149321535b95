// The application object of a gateway program (ProxyApp), its protocol listener (Proto) and
// the base of every protocol session (StateMachine).
//
// Ownership: the application owns at most one listener; the listener owns its accept socket,
// socket pool, access lists, processing sections and authentication system; each session is
// created, run and deleted by its own detached thread and points back to its listener, which
// is destroyed only after every one of its session threads has ended. A session thread whose
// session has ended may wait a short while to run the listener's next session (one session at
// a time), which spares a thread start and a stack release per connection.
#pragma once

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <list>
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
// session list and the counters.
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

    // Accepts connections until the accept socket is told to quit; each connection runs on
    // a detached thread with a 1 MiB stack: a waiting session thread of this listener when
    // there is one, a new thread otherwise. A shortage of descriptors or memory pauses
    // accepting for kAcceptPauseMs at a time (logged once per shortage); any other SocketError
    // of the accept socket propagates.
    void AcceptConnections();
    // Body of a session thread; `start` is the heap-allocated start record of the thread.
    // After each session the thread waits up to IdleThreadMs() for the next connection, as one
    // of at most kMaxIdleThreads waiting threads; it ends when none comes, when the listener
    // is terminated or when enough threads already wait.
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

    // Adds `session` to the session list and gives it the next session number.
    void Link(StateMachine& session);
    // Removes `session` from the session list.
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
    // Whether the accepted connections come with keepalive on (AcceptSocket::KeepsAlive).
    bool ClientsKeepAlive() const { return acceptSocket_.KeepsAlive(); }
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
    // Where one waiting session thread is handed its next descriptor (-1: end). Posting the
    // semaphore wakes that thread alone. The slots belong to the listener, so a post may come
    // after the thread has stopped waiting.
    struct IdleSlot {
        IdleSlot() { sem_init(&ready, 0, 0); }
        ~IdleSlot() { sem_destroy(&ready); }
        IdleSlot(const IdleSlot&) = delete;
        IdleSlot& operator=(const IdleSlot&) = delete;

        sem_t ready;
        int descriptor = -1;
    };

    // Gives `descriptor` to the session thread that began waiting last; false when none waits
    // (or the listener is closing), and the caller must start a thread of its own.
    bool HandToIdleThread(int descriptor);
    // Called by a session thread after its session: the descriptor of its next session, or -1
    // when the thread must end (it is then no longer counted: its last touch of the listener).
    int AwaitNextSession();
    // Stops the reuse of session threads and wakes every waiting one.
    void CloseThreadCache();

    codepage_t defaultCodepage_ = -1;
    HandshakeFilter accessLists_;
    ProcessSection processSections_;
    std::unique_ptr<AuthenticationBase> authSystem_;
    int sessionTimeout_ = 0;
    int totalSessions_ = 0;
    AcceptSocket acceptSocket_;
    std::list<StateMachine*> sessions_;
    ALGPool pool_;
    // Guards the fields below.
    mutable threadkit::ObjectLevelLockable threads_;
    // Session threads started and not yet finished.
    int sessionThreads_ = 0;
    // The slots of waiting threads that have no descriptor yet, in the order they began to
    // wait; the slots no thread holds. A slot handed a descriptor is in neither until its
    // thread has taken it, so at most kMaxIdleThreads threads wait or are being woken. Room
    // for all slots is reserved at construction.
    std::vector<IdleSlot*> idle_;
    std::vector<IdleSlot*> freeSlots_;
    IdleSlot slots_[kMaxIdleThreads];
    bool threadsClosing_ = false;
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
