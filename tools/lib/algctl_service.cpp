#include "algctl_service.h"

#include <time.h>

#include <cstdlib>
#include <iterator>
#include <utility>

#include "cfg_loader.h"

namespace alg::ctl {

namespace {

// Loader name -> the service name of the gateway that registers it.
constexpr std::pair<const char*, const char*> kLoaders[] = {{"proxy_ftp", "alg_ftp"},
                                                            {"proxy_http", "alg_http"},
                                                            {"proxy_smtp", "alg_smtp"},
                                                            {"proxy_socks", "alg_socks"}};
constexpr std::uint32_t kPmpError = 2;
constexpr const char* kNotRegistered = "not registered";
constexpr const char* kBadLoader = "unknown loader name";
constexpr const char* kEmptyPolicy = "empty policy";
constexpr const char* kMalformed = "malformed request";

std::int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The service name from a message's source text ("alg_ftp "): trailing blanks removed.
std::string ServiceOf(std::string source) {
    while (!source.empty() && source.back() == ' ') source.pop_back();
    return source;
}

cmdbus::Status Refuse(std::string& reply, const char* why) {
    reply = why;
    return cmdbus::kBadRequest;
}

}  // namespace

bool IsLoaderName(std::string_view name) {
    return ServiceOfLoader(name) != nullptr;
}

const char* ServiceOfLoader(std::string_view loader) {
    for (const auto& [name, service] : kLoaders)
        if (loader == name) return service;
    return nullptr;
}

std::string EncodeStatusList(const std::vector<StatusEntry>& entries) {
    std::string out;
    cmdbus::PayloadWriter w(out);
    w.U32(std::uint32_t(entries.size()));
    for (const StatusEntry& e : entries)
        w.Text(EncodeStatusRecord(e.service, e.info))
            .U32(std::uint32_t(e.ageMs < 0            ? 0
                               : e.ageMs > UINT32_MAX ? UINT32_MAX
                                                      : e.ageMs));
    return out;
}

bool DecodeStatusList(std::string_view payload, std::vector<StatusEntry>& entries) {
    cmdbus::PayloadReader in(payload);
    std::uint32_t count = 0;
    if (!in.U32(count)) return false;
    std::vector<StatusEntry> got;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string record;
        std::uint32_t age = 0;
        StatusEntry e;
        if (!in.Text(record) || !in.U32(age) || !DecodeStatusRecord(record, e.service, e.info))
            return false;
        e.ageMs = age;
        got.push_back(std::move(e));
    }
    if (!in.AtEnd()) return false;
    entries.swap(got);
    return true;
}

std::string EncodeLogEntries(const std::vector<LogEntry>& entries) {
    std::string out;
    cmdbus::PayloadWriter w(out);
    w.U32(std::uint32_t(entries.size()));
    for (const LogEntry& e : entries)
        w.U32(e.seq)
            .U32(std::uint32_t(e.time))
            .U32(std::uint32_t(e.type))
            .Text(e.service)
            .Text(e.line);
    return out;
}

bool DecodeLogEntries(std::string_view payload, std::vector<LogEntry>& entries) {
    cmdbus::PayloadReader in(payload);
    std::uint32_t count = 0;
    if (!in.U32(count)) return false;
    std::vector<LogEntry> got;
    for (std::uint32_t i = 0; i < count; ++i) {
        LogEntry e;
        std::uint32_t time = 0, type = 0;
        if (!in.U32(e.seq) || !in.U32(time) || !in.U32(type) || !in.Text(e.service) ||
            !in.Text(e.line))
            return false;
        e.time = time;
        e.type = std::int32_t(type);
        got.push_back(std::move(e));
    }
    if (!in.AtEnd()) return false;
    entries.swap(got);
    return true;
}

Service::Service(std::size_t keepMessages, std::function<void(const std::string&)> note)
    : keepMessages_(keepMessages), note_(std::move(note)) {}

void Service::Note(std::string line) {
    if (note_) notes_.push_back(std::move(line));
}

template <typename Table>
void Service::Prune(Table& table, std::int64_t now, bool room) {
    for (auto it = table.begin(); it != table.end();)
        it = now - it->second.atMs > kForgetMs ? table.erase(it) : std::next(it);
    while (room && table.size() >= kMaxServices) {
        auto stalest = table.begin();
        for (auto it = table.begin(); it != table.end(); ++it)
            if (it->second.atMs < stalest->second.atMs) stalest = it;
        table.erase(stalest);
    }
}

void Service::ConnectionClosed(std::uint64_t connection) {
    std::lock_guard<std::mutex> guard(mutex_);
    loaderOf_.erase(connection);
}

cmdbus::Status Service::Handle(const cmdbus::Request& r, std::string& reply) {
    std::vector<std::string> notes;
    cmdbus::Status status;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        status = Dispatch(r, reply);
        notes.swap(notes_);
    }
    for (const std::string& line : notes) note_(line);
    return status;
}

cmdbus::Status Service::Dispatch(const cmdbus::Request& r, std::string& reply) {
    if (r.module == kPmpModule && r.command == kPmpRegister) return Register(r, reply);
    if (r.module == kPmpModule && r.command == kPmpPoll) return Poll(r, reply);
    if (r.module == kMonitorModule && r.command == kMonitorMessage) return Message(r, reply);
    if (r.module == kMonitorModule && r.command == kMonitorStatus) return Status(r, reply);
    if (r.module == kAdminModule) return Admin(r, reply);
    if (r.module == kPmpModule || r.module == kMonitorModule) return Refuse(reply, kMalformed);
    return cmdbus::kUnknownModule;
}

cmdbus::Status Service::Register(const cmdbus::Request& r, std::string& reply) {
    std::string name, status;
    if (r.payload.size() > kMaxRecord || !DecodeRegistration(r.payload, name, status) ||
        name.empty() || name.size() > cmdbus::kMaxSessionName)
        return Refuse(reply, kMalformed);
    const std::int64_t now = NowMs();
    Prune(registrations_, now, !registrations_.count(name));
    loaderOf_[r.connection] = Loader{name, r.pid};
    registrations_[name] = Registration{status, now};
    for (auto& [ticket, push] : pushes_) {
        if (push.loader != name || push.state != kDelivered) continue;
        push.state = kReported;
        push.status = status;
        Note(name + " registered after policy " + std::to_string(ticket) +
             (status.empty() ? ": no start-up error" : ": " + status));
    }
    return cmdbus::kOk;
}

cmdbus::Status Service::Poll(const cmdbus::Request& r, std::string& reply) {
    const auto who = loaderOf_.find(r.connection);
    if (who == loaderOf_.end()) {
        reply = EncodePollReply(kPmpError, kNotRegistered);
        return cmdbus::kOk;
    }
    const std::string& name = who->second.name;
    if (const auto reg = registrations_.find(name); reg != registrations_.end())
        reg->second.atMs = NowMs();
    for (auto& [ticket, push] : pushes_) {
        if (push.loader != name || push.state != kQueued) continue;
        reply = EncodePollReply(kPmpPolicyFollows, push.policy);
        push.policy.clear();
        push.policy.shrink_to_fit();
        push.state = kDelivered;
        Note("policy " + std::to_string(ticket) + " delivered to " + push.loader);
        return cmdbus::kOk;
    }
    reply = EncodePollReply(kPmpNotReady, {});
    return cmdbus::kOk;
}

cmdbus::Status Service::Message(const cmdbus::Request& r, std::string&) {
    LogEntry e;
    std::string source;
    if (r.payload.size() > kMaxRecord || !DecodeMessageRecord(r.payload, e.type, source, e.line))
        return cmdbus::kBadRequest;
    e.service = ServiceOf(std::move(source));
    e.seq = nextSeq_++;
    e.time = ::time(nullptr);
    const auto key = std::make_pair(e.service, e.type);
    if (const auto it = counts_.find(key); it != counts_.end())
        ++it->second;
    else if (counts_.size() < kMaxCounters)
        counts_.emplace(key, 1);
    messages_.push_back(std::move(e));
    while (messages_.size() > keepMessages_) messages_.pop_front();
    return cmdbus::kOk;
}

cmdbus::Status Service::Status(const cmdbus::Request& r, std::string& reply) {
    std::string name;
    ProxyInfo info;
    if (r.payload.size() > kMaxRecord || !DecodeStatusRecord(r.payload, name, info))
        return Refuse(reply, kMalformed);
    const std::int64_t now = NowMs();
    Prune(records_, now, !records_.count(name));
    Record& rec = records_[name];
    char* end = nullptr;
    const long active = std::strtol(info.activeRequests.c_str(), &end, 10);
    if (end != info.activeRequests.c_str() && *end == '\0') rec.history.emplace_back(now, active);
    while (!rec.history.empty() && (rec.history.size() > kMaxSamples ||
                                    now - rec.history.front().first > kHistoryMs))
        rec.history.pop_front();
    rec.info = std::move(info);
    rec.atMs = now;
    rec.pid = r.pid;
    return cmdbus::kOk;
}

Overview Service::Snapshot(std::size_t recentMessages) {
    Overview out;
    std::lock_guard<std::mutex> guard(mutex_);
    const std::int64_t now = NowMs();
    Prune(records_, now, false);
    for (const auto& [name, rec] : records_) {
        out.entries.push_back(StatusEntry{name, rec.info, now - rec.atMs});
        auto& samples = out.history[name];
        for (const auto& [at, active] : rec.history)
            if (now - at <= kHistoryMs) samples.push_back({now - at, active});
    }
    for (const auto& [key, n] : counts_) out.counts.push_back({key.first, key.second, n});
    for (auto it = messages_.rbegin(); it != messages_.rend() && out.recent.size() < recentMessages;
         ++it)
        out.recent.push_back(*it);
    return out;
}

cmdbus::Status Service::Admin(const cmdbus::Request& r, std::string& reply) {
    cmdbus::PayloadReader in(r.payload);
    switch (r.command) {
        case kStatusList: {
            std::vector<StatusEntry> list;
            const std::int64_t now = NowMs();
            Prune(records_, now, false);
            for (const auto& [name, rec] : records_)
                list.push_back(StatusEntry{name, rec.info, now - rec.atMs});
            reply = EncodeStatusList(list);
            return cmdbus::kOk;
        }
        case kPush: {
            std::string loader, policy;
            if (!in.Text(loader) || !in.Text(policy) || !in.AtEnd())
                return Refuse(reply, kMalformed);
            if (!IsLoaderName(loader)) return Refuse(reply, kBadLoader);
            if (policy.empty()) return Refuse(reply, kEmptyPolicy);
            for (auto& [ticket, push] : pushes_)
                if (push.loader == loader && push.state == kQueued) {
                    push.state = kGone;  // superseded: only the latest policy is handed over
                    push.policy.clear();
                }
            while (pushes_.size() >= kMaxPushes) pushes_.erase(pushes_.begin());
            const std::uint32_t ticket = nextTicket_++;
            Note("policy " + std::to_string(ticket) + " queued for " + loader + " (" +
                 std::to_string(policy.size()) + " bytes)");
            pushes_[ticket] = Push{loader, std::move(policy), kQueued, {}};
            cmdbus::PayloadWriter(reply).U32(ticket);
            return cmdbus::kOk;
        }
        case kPushState:
        case kCancelPush: {
            std::uint32_t ticket = 0;
            if (!in.U32(ticket) || !in.AtEnd()) return Refuse(reply, kMalformed);
            const auto it = pushes_.find(ticket);
            if (r.command == kCancelPush) {
                if (it != pushes_.end() && it->second.state == kQueued) {
                    it->second.state = kGone;
                    it->second.policy.clear();
                    Note("policy " + std::to_string(ticket) + " withdrawn");
                }
                return cmdbus::kOk;
            }
            if (it == pushes_.end())
                cmdbus::PayloadWriter(reply).U32(kGone).Text({});
            else
                cmdbus::PayloadWriter(reply).U32(it->second.state).Text(it->second.status);
            return cmdbus::kOk;
        }
        case kMessagesSince: {
            std::uint32_t since = 0;
            if (!in.U32(since) || !in.AtEnd()) return Refuse(reply, kMalformed);
            std::vector<LogEntry> list;
            std::size_t bytes = 0;
            for (const LogEntry& e : messages_) {
                if (e.seq <= since) continue;
                bytes += 20 + e.service.size() + e.line.size();
                if (bytes > kMaxLogReply) break;  // the client asks again from the last one
                list.push_back(e);
            }
            reply = EncodeLogEntries(list);
            return cmdbus::kOk;
        }
        case kLoaderServices: {
            std::string loader;
            if (!in.Text(loader) || !in.AtEnd()) return Refuse(reply, kMalformed);
            // A gateway's loader and control channel are two sessions of one process.
            std::vector<std::string> names;
            for (const auto& [connection, who] : loaderOf_) {
                if (who.name != loader) continue;
                for (const auto& [service, rec] : records_)
                    if (rec.pid == who.pid && who.pid != 0) names.push_back(service);
            }
            cmdbus::PayloadWriter out(reply);
            out.U32(std::uint32_t(names.size()));
            for (const std::string& n : names) out.Text(n);
            return cmdbus::kOk;
        }
        default:
            return Refuse(reply, kMalformed);
    }
}

}  // namespace alg::ctl
