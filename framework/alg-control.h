// The control and monitoring channel: a status record to the management service at once and
// every 3 seconds (module 23, command 6), every logged message forwarded as it happens
// (command 5, by the control-channel logger), and the run/restart/stop signalling of the
// application's main thread (controlWork).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "alogger.h"
#include "misc_classes.h"
#include "threadkit.h"

class BridgeSession;

namespace alg {

inline constexpr std::uint32_t kMonitorModule = 23;
inline constexpr long kMonitorMessage = 5;
inline constexpr long kMonitorStatus = 6;

// The status record of one program, as sent with command 6 after the service name.
struct ProxyInfo {
    std::string version;
    std::string buildDate;
    std::string listenerPort;
    std::string activeRequests;
    std::string totalRequests;
    std::string authSystem;
    std::string sysLogLevel;
    std::string consoleLevel;
    std::string snmpLevel;
    std::int32_t lastMsgType = 0;
    std::string lastMsgText;
};

// Command 6 payload: service name, the nine texts, the type, the text (texts length-prefixed).
std::string EncodeStatusRecord(std::string_view serviceName, const ProxyInfo& info);
// False (outputs untouched) unless `payload` is exactly one status record.
bool DecodeStatusRecord(std::string_view payload, std::string& serviceName, ProxyInfo& info);

// Command 5 payload: type, source text, line.
std::string EncodeMessageRecord(std::int32_t type, std::string_view sourceText,
                                std::string_view line);
bool DecodeMessageRecord(std::string_view payload, std::int32_t& type, std::string& sourceText,
                         std::string& line);

// The channel's state, shared by the main thread, restart callers and every logging thread;
// every field is guarded by `lock`. Bus sends happen with the lock held, so status records
// and forwarded messages never interleave on the session.
struct ProxyControlPrivate {
    ProxyControlPrivate(const ObjectWithProperties& app, LogSystem& logSystem)
        : app(app), logSystem(logSystem) {}
    ProxyControlPrivate(const ProxyControlPrivate&) = delete;
    ProxyControlPrivate& operator=(const ProxyControlPrivate&) = delete;

    threadkit::ConditionVariable lock;
    bool running = false;
    bool restart = false;
    BridgeSession* session = nullptr;
    const ObjectWithProperties& app;
    LogSystem& logSystem;
    ProxyInfo info;
    std::string serviceName;    // application property "Name"
    std::uint64_t wakeups = 0;  // counts controlStop/controlRestart, against spurious wake-ups
    bool closed = false;        // set by the destructor: nothing is sent afterwards

    // Refreshes the service name and the nine text fields from the application and the log
    // system; a property that cannot be read leaves its field empty. Takes no lock.
    void updateProxyInfo();
    // The current session while its state word is zero; otherwise closes it and opens a new
    // "Monitor" session (null when that fails). Call with `lock` held.
    BridgeSession* getBridgeSession();
    // Sends the current record as command 6 on `session`; the result is ignored.
    void SendStatus(BridgeSession& session);
};

// The control-channel logger: forwards every message of level event to verbose, in English,
// as command 5, and records it as the last message of the status record.
class bridgeLogger : public LoggerBase {
  public:
    explicit bridgeLogger(std::shared_ptr<ProxyControlPrivate> channel);
    const char* GetClassName() const override { return "bridgeLogger"; }

  protected:
    void doResetFacility() override {}
    void doWriteMsg(MsgType type, const char* sourceText, const char* line) override;

  private:
    std::shared_ptr<ProxyControlPrivate> channel_;
    std::string payload_;  // guarded by the channel's lock
    std::string reply_;    // guarded by the channel's lock
};

// The public channel object, a member of the application object.
//
// Wiring (application object): construct with the application (its properties "Name",
// "Version", "BuildDate", "Proto.ListenerPort", "Proto.ActiveRequests", "Proto.TotalRequests",
// "Proto.AuthSystem") and its log system (levels "SystemLog.LogLevel", "Console.LogLevel",
// "SNMP.LogLevel"); the constructor installs the control-channel logger in the log system.
// controlStart() at the start of every initialisation; controlWork() on the main thread while
// serving; controlRestart() from Restart(); controlStop() from Stop() and the destructor.
// Properties are read by the main thread without the channel's lock; no thread may log while
// holding a lock that those property reads take.
class ProxyControl {
  public:
    ProxyControl(const ObjectWithProperties& app, LogSystem& logSystem);
    // Sends the last record once more (not refreshed), removes the logger, closes the session.
    ~ProxyControl();
    ProxyControl(const ProxyControl&) = delete;
    ProxyControl& operator=(const ProxyControl&) = delete;

    // Sends a status record at once and every 3 s; true when a restart was requested, false
    // when stopped (or not started).
    bool controlWork();
    void controlStart();
    // Clears both flags; a pending controlWork returns false at once.
    void controlStop();
    // A pending (or the next) controlWork returns true at once.
    void controlRestart();

    ProxyControlPrivate& Private() { return *d_; }

  private:
    std::shared_ptr<ProxyControlPrivate> d_;
    std::shared_ptr<bridgeLogger> logger_;
};

}  // namespace alg
