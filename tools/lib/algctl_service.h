// The management service behind `algctl serve`: records the gateways' registrations, hands
// queued policies to the loader that polls for them, keeps each service's latest status record
// and the last forwarded messages, and answers the algctl client (module 30). Thread-safe:
// Handle may be called from every bus connection thread at once. Its tables are bounded: an
// entry not refreshed for kForgetMs is dropped, and a full table gives up its stalest entry.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "alg-control.h"
#include "cmdbus.h"

namespace alg::ctl {

inline constexpr ModuleIdType kAdminModule = 30;
enum AdminCommand : std::uint32_t {
    kStatusList = 1,      // -> count, then per service: record (text), age in ms
    kPush = 2,            // loader (text), policy (text) -> ticket
    kPushState = 3,       // ticket -> PushState, status text of the registration after delivery
    kCancelPush = 4,      // ticket -> nothing; a queued policy is withdrawn
    kMessagesSince = 5,   // sequence number -> count, then per message: seq, time, type, texts
    kLoaderServices = 6,  // loader (text) -> count, then the service names (texts) reported by
                          // the processes registered on that loader
};
enum PushState : std::uint32_t { kQueued = 0, kDelivered = 1, kReported = 2, kGone = 3 };

// The loader names a policy can be pushed to.
bool IsLoaderName(std::string_view name);
// The service whose policy section the gateway behind a loader reads ("proxy_socks" ->
// "alg_socks"); null for a name IsLoaderName refuses.
const char* ServiceOfLoader(std::string_view loader);

struct StatusEntry {
    std::string service;
    ProxyInfo info;
    std::int64_t ageMs = 0;
};

struct LogEntry {
    std::uint32_t seq = 0;
    std::int64_t time = 0;  // seconds since the epoch, when the service received it
    std::int32_t type = 0;
    std::string service;
    std::string line;
};

std::string EncodeStatusList(const std::vector<StatusEntry>& entries);
bool DecodeStatusList(std::string_view payload, std::vector<StatusEntry>& entries);
std::string EncodeLogEntries(const std::vector<LogEntry>& entries);
bool DecodeLogEntries(std::string_view payload, std::vector<LogEntry>& entries);

// What the status page and the metrics show, copied out of the service in one go.
struct Overview {
    struct Sample {
        std::int64_t ageMs = 0;  // how long before the copy the record came
        long active = 0;
    };
    struct Count {
        std::string service;
        std::int32_t type = 0;
        std::uint64_t messages = 0;
    };
    std::vector<StatusEntry> entries;
    std::map<std::string, std::vector<Sample>> history;  // active sessions, oldest first
    std::vector<Count> counts;                           // forwarded messages since start
    std::vector<LogEntry> recent;                        // the latest messages, newest first
};

class Service {
  public:
    static constexpr std::size_t kMaxServices = 64;      // status records and loader names
    static constexpr std::size_t kMaxPushes = 64;        // tickets remembered
    static constexpr std::size_t kMaxRecord = 64 << 10;  // bytes of a status or message record
    static constexpr std::size_t kMaxLogReply = 4 << 20;
    // A registration or status record not refreshed for this long is forgotten (loaders poll
    // at least every 10 s, status records come every 3 s).
    static constexpr std::int64_t kForgetMs = 30000;
    // Active-session samples kept per service: the last 10 minutes, at most kMaxSamples.
    static constexpr std::int64_t kHistoryMs = 600000;
    static constexpr std::size_t kMaxSamples = 600;
    // Distinct (service, message type) pairs counted; messages of further pairs go uncounted.
    static constexpr std::size_t kMaxCounters = 256;

    // `keepMessages`: how many forwarded messages are kept. `note` receives one line per
    // event worth telling the operator (registrations, pushes, deliveries); it is called
    // after Handle has let go of the service's lock, so it may be slow without holding up
    // any other request, and its lines hold texts as the gateways sent them.
    explicit Service(std::size_t keepMessages = 1000,
                     std::function<void(const std::string&)> note = {});

    cmdbus::Status Handle(const cmdbus::Request& request, std::string& reply);
    // A copy of the status records, their histories, the message counters and the last
    // `recentMessages` messages; the lock is held only while copying.
    Overview Snapshot(std::size_t recentMessages);
    // Forgets what was tied to a closed bus connection.
    void ConnectionClosed(std::uint64_t connection);

  private:
    struct Registration {
        std::string status;
        std::int64_t atMs = 0;
    };
    struct Loader {  // a bus connection that registered
        std::string name;
        pid_t pid = 0;
    };
    struct Push {
        std::string loader;
        std::string policy;  // freed once delivered
        PushState state = kQueued;
        std::string status;
    };
    struct Record {
        ProxyInfo info;
        std::int64_t atMs = 0;
        pid_t pid = 0;
        std::deque<std::pair<std::int64_t, long>> history;  // (time, active sessions)
    };

    cmdbus::Status Dispatch(const cmdbus::Request& r, std::string& reply);

    cmdbus::Status Register(const cmdbus::Request& r, std::string& reply);
    cmdbus::Status Poll(const cmdbus::Request& r, std::string& reply);
    cmdbus::Status Message(const cmdbus::Request& r, std::string& reply);
    cmdbus::Status Status(const cmdbus::Request& r, std::string& reply);
    cmdbus::Status Admin(const cmdbus::Request& r, std::string& reply);
    void Note(std::string line);
    // Drops entries older than kForgetMs; with `room`, also the stalest while the table is full.
    template <typename Table>
    void Prune(Table& table, std::int64_t now, bool room);

    const std::size_t keepMessages_;
    const std::function<void(const std::string&)> note_;
    std::mutex mutex_;
    std::map<std::uint64_t, Loader> loaderOf_;  // bus connection -> registered loader
    std::map<std::string, Registration> registrations_;
    std::map<std::uint32_t, Push> pushes_;
    std::uint32_t nextTicket_ = 1;
    std::map<std::string, Record> records_;
    std::deque<LogEntry> messages_;
    std::map<std::pair<std::string, std::int32_t>, std::uint64_t> counts_;
    std::uint32_t nextSeq_ = 1;
    std::vector<std::string> notes_;  // lines for `note_`, handed over when the lock is let go
};

}  // namespace alg::ctl
