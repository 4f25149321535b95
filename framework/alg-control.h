// The control and monitoring channel: a status record to the management service at once and
// every 3 seconds (module 23, command 6), every logged message forwarded (command 5, queued by
// the control-channel logger and sent by the channel's own thread), and the run/restart/stop
// signalling of the application's main thread (controlWork).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

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

// Texts the management service receives from a gateway (forwarded lines, the last message of
// a status record, the loader's status text) are cut to this many bytes, well under the
// service's record limit, so that one long message cannot get a gateway's records refused.
inline constexpr std::size_t kMaxReportedText = 4096;
// `text` when it fits in `limit` bytes; otherwise its head, cut on a UTF-8 character boundary
// and followed by " [cut]", in `limit` bytes at most.
std::string CutReportedText(std::string_view text, std::size_t limit = kMaxReportedText);
// The last-message text of a status record: `line`, followed by a note of how many messages
// the channel has dropped since it was created, when it has dropped any.
std::string LastMessageText(std::string_view line, std::uint64_t dropped);

// The channel's state, shared by the main thread, restart callers, every logging thread and
// the sender thread. Logging threads only queue their messages; the sender thread alone talks
// to the management service, so no logging thread ever waits on the bus.
//
// Locks: `lock` guards the flags, the service name and the info record; `outboxLock` guards
// the queue and the sender's orders. A thread holding `lock` may take `outboxLock`, never the
// other way round.
struct ProxyControlPrivate {
    // Bounds of the queue of messages waiting to be forwarded; a message that does not fit
    // is dropped and counted.
    static constexpr std::size_t kMaxQueued = 10000;
    static constexpr std::size_t kMaxQueuedBytes = 8u << 20;
    // Once the channel closes, queued messages are still sent for this long, then dropped.
    static constexpr long kDrainOnCloseMs = 1000;

    struct Queued {
        std::int32_t type;
        std::string sourceText;  // both already cut to kMaxReportedText
        std::string line;
    };

    ProxyControlPrivate(const ObjectWithProperties& app, LogSystem& logSystem)
        : app(app), logSystem(logSystem) {}
    ~ProxyControlPrivate() { Close(false); }
    ProxyControlPrivate(const ProxyControlPrivate&) = delete;
    ProxyControlPrivate& operator=(const ProxyControlPrivate&) = delete;

    threadkit::ConditionVariable lock;
    bool running = false;
    bool restart = false;
    bool started = false;  // controlStart was called once: this process serves
    const ObjectWithProperties& app;
    LogSystem& logSystem;
    ProxyInfo info;
    std::string serviceName;    // application property "Name"
    std::uint64_t wakeups = 0;  // counts controlStop/controlRestart, against spurious wake-ups

    // The sender's queue and orders, guarded by `outboxLock`; its condition wakes the sender.
    threadkit::ConditionVariable outboxLock;
    std::deque<Queued> outbox;
    std::size_t outboxBytes = 0;
    bool statusDue = false;  // a status record is to be sent before the next message
    bool closing = false;    // set by Close: nothing is queued afterwards
    // The one thread that sends over the bus, started by controlStart (so a daemon starts it
    // after its fork; a process that never serves starts it only to drain at Close) and
    // ended by Close.
    std::thread sender;
    std::atomic<std::uint64_t> dropped{0};  // messages dropped since creation
    // Until this CLOCK_MONOTONIC millisecond the management service is known to be out of
    // reach (the bus refuses new sessions for a while after a failure): the sender would only
    // throw messages away, so the control-channel logger takes none. Set by the sender thread
    // whenever it finds no session (0 once it has one).
    std::atomic<std::int64_t> unreachableUntilMs{0};

    // Used by the sender thread alone.
    BridgeSession* session = nullptr;

    // Refreshes the service name and the nine text fields from the application and the log
    // system; a property that cannot be read leaves its field empty. Takes `lock` only to
    // store the results.
    void updateProxyInfo();
    // Queues a message for the sender (dropped and counted when the queue is full). Never
    // waits on the bus; what is queued before the sender starts waits for it.
    void Post(std::int32_t type, std::string_view sourceText, std::string_view line);
    // Has the sender send the current status record before its next message.
    void RequestStatus();
    // Whether the management service is known to be out of reach now. Takes no lock.
    bool Unreachable() const;
    // Starts the sender thread unless it runs (or the channel is closed).
    void StartSending();
    // Ends the sender thread and waits for it: queued messages are sent for at most
    // kDrainOnCloseMs, then, when `finalStatus`, the record once more. Idempotent.
    void Close(bool finalStatus);

    // Sender thread only. The current session while its state word is zero; otherwise closes
    // it and opens a new "Monitor" session (null when that fails).
    BridgeSession* getBridgeSession();
    // Sender thread only: the record (name, info, drop note) as command 6; result ignored.
    void SendStatus(BridgeSession& session);

  private:
    // Starts the sender thread unless it runs; call with `outboxLock` held. False when it
    // cannot be started.
    bool StartSender();
    void SenderLoop();
};

// The control-channel logger: queues every message of level event to verbose, in English, for
// the sender thread, which forwards it as command 5 and records it as the last message of the
// status record. While the management service is out of reach it takes no message at all (the
// sender would drop it), so logging then costs neither a lock nor a wake-up of the sender.
class bridgeLogger : public LoggerBase {
  public:
    explicit bridgeLogger(std::shared_ptr<ProxyControlPrivate> channel);
    const char* GetClassName() const override { return "bridgeLogger"; }

  protected:
    void doResetFacility() override {}
    void doWriteMsg(MsgType type, const char* sourceText, const char* line) override;
    bool doSuspended() const override;

  private:
    std::shared_ptr<ProxyControlPrivate> channel_;
};

// The public channel object, a member of the application object.
//
// Wiring (application object): construct with the application (its properties "Name",
// "Version", "BuildDate", "Proto.ListenerPort", "Proto.ActiveRequests", "Proto.TotalRequests",
// "Proto.AuthSystem") and its log system (levels "SystemLog.LogLevel", "Console.LogLevel",
// "SNMP.LogLevel"); the constructor reads "Name" at once (every record, the destructor's too,
// carries it) and installs the control-channel logger in the log system.
// controlStart() at the start of every initialisation; controlWork() on the main thread while
// serving; controlRestart() from Restart(); controlStop() from Stop() and the destructor.
// Properties are read by the main thread without the channel's lock; no thread may log while
// holding a lock that those property reads take.
class ProxyControl {
  public:
    ProxyControl(const ObjectWithProperties& app, LogSystem& logSystem);
    // Forwards what is queued (for at most kDrainOnCloseMs), sends the last record once more
    // (not refreshed) when the channel was ever started, removes the logger, closes the
    // session. A process that never served (a refused second copy, a daemon's parent) thus
    // sends no record over the serving copy's.
    ~ProxyControl();
    ProxyControl(const ProxyControl&) = delete;
    ProxyControl& operator=(const ProxyControl&) = delete;

    // Has a status record sent at once and every 3 s (by the sender thread: the main thread
    // never waits on the bus); true when a restart was requested, false when stopped (or not
    // started).
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
