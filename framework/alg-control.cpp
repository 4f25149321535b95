#include "alg-control.h"

#include <time.h>

#include <chrono>
#include <optional>
#include <system_error>

#include "cmdbus.h"

namespace alg {

namespace {

constexpr const char* kSessionName = "Monitor";
constexpr ReadWriteMode_t kSessionMode = 1;
constexpr long kStatusPeriodMs = 3000;

// The record's text fields in wire order (after the service name), and where they come from.
struct InfoField {
    std::string ProxyInfo::*field;
    bool fromLogSystem;
    const char* path;
};
constexpr InfoField kInfoFields[] = {
    {&ProxyInfo::version, false, "Version"},
    {&ProxyInfo::buildDate, false, "BuildDate"},
    {&ProxyInfo::listenerPort, false, "Proto.ListenerPort"},
    {&ProxyInfo::activeRequests, false, "Proto.ActiveRequests"},
    {&ProxyInfo::totalRequests, false, "Proto.TotalRequests"},
    {&ProxyInfo::authSystem, false, "Proto.AuthSystem"},
    {&ProxyInfo::sysLogLevel, true, "SystemLog.LogLevel"},
    {&ProxyInfo::consoleLevel, true, "Console.LogLevel"},
    {&ProxyInfo::snmpLevel, true, "SNMP.LogLevel"},
};

// The bus's clock for its refusal period.
std::int64_t MonotonicNowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The bytes a queued message holds, the strings' bookkeeping included.
std::size_t Footprint(const ProxyControlPrivate::Queued& q) {
    return q.sourceText.size() + q.line.size() + sizeof q;
}

}  // namespace

std::string EncodeStatusRecord(std::string_view serviceName, const ProxyInfo& info) {
    std::string out;
    cmdbus::PayloadWriter w(out);
    w.Text(serviceName);
    for (const InfoField& f : kInfoFields) w.Text(info.*f.field);
    w.U32(std::uint32_t(info.lastMsgType)).Text(info.lastMsgText);
    return out;
}

bool DecodeStatusRecord(std::string_view payload, std::string& serviceName, ProxyInfo& info) {
    cmdbus::PayloadReader in(payload);
    std::string name;
    ProxyInfo got;
    if (!in.Text(name)) return false;
    for (const InfoField& f : kInfoFields)
        if (!in.Text(got.*f.field)) return false;
    std::uint32_t type = 0;
    if (!in.U32(type) || !in.Text(got.lastMsgText) || !in.AtEnd()) return false;
    got.lastMsgType = std::int32_t(type);
    serviceName.swap(name);
    info = std::move(got);
    return true;
}

std::string EncodeMessageRecord(std::int32_t type, std::string_view sourceText,
                                std::string_view line) {
    std::string out;
    cmdbus::PayloadWriter(out).U32(std::uint32_t(type)).Text(sourceText).Text(line);
    return out;
}

bool DecodeMessageRecord(std::string_view payload, std::int32_t& type, std::string& sourceText,
                         std::string& line) {
    cmdbus::PayloadReader in(payload);
    std::uint32_t t = 0;
    std::string source, text;
    if (!in.U32(t) || !in.Text(source) || !in.Text(text) || !in.AtEnd()) return false;
    type = std::int32_t(t);
    sourceText.swap(source);
    line.swap(text);
    return true;
}

std::string CutReportedText(std::string_view text, std::size_t limit) {
    static constexpr std::string_view kCutMark = " [cut]";
    if (text.size() <= limit) return std::string(text);
    if (limit < kCutMark.size()) return std::string(kCutMark.substr(0, limit));
    std::size_t keep = limit - kCutMark.size();
    // Back off over continuation bytes (at most three) so no character is split.
    for (int i = 0; i < 3 && keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80;
         ++i)
        --keep;
    std::string out(text.substr(0, keep));
    out += kCutMark;
    return out;
}

std::string LastMessageText(std::string_view line, std::uint64_t dropped) {
    std::string out(line);
    if (dropped > 0) out += " [messages not forwarded: " + std::to_string(dropped) + "]";
    return out;
}

// ---- ProxyControlPrivate ----

void ProxyControlPrivate::updateProxyInfo() {
    ProxyInfo fresh;
    std::string name;
    app.GetProperty("Name", name);
    for (const InfoField& f : kInfoFields) {
        const ObjectWithProperties& from =
            f.fromLogSystem ? static_cast<const ObjectWithProperties&>(logSystem) : app;
        from.GetProperty(f.path, fresh.*f.field);
    }
    threadkit::ConditionVariable::Lock guard(lock);
    if (!name.empty()) serviceName.swap(name);
    for (const InfoField& f : kInfoFields) (info.*f.field).swap(fresh.*f.field);
}

void ProxyControlPrivate::Post(std::int32_t type, std::string_view sourceText,
                               std::string_view line) {
    Queued item{type, CutReportedText(sourceText), CutReportedText(line)};
    const std::size_t size = Footprint(item);
    threadkit::ConditionVariable::Lock guard(outboxLock);
    if (closing) return;
    if (outbox.size() >= kMaxQueued || outboxBytes + size > kMaxQueuedBytes) {
        ++dropped;
        return;
    }
    outbox.push_back(std::move(item));
    outboxBytes += size;
    outboxLock.Signal();
}

void ProxyControlPrivate::RequestStatus() {
    threadkit::ConditionVariable::Lock guard(outboxLock);
    if (closing) return;
    statusDue = true;
    outboxLock.Signal();
}

bool ProxyControlPrivate::Unreachable() const {
    const std::int64_t until = unreachableUntilMs.load(std::memory_order_relaxed);
    return until != 0 && MonotonicNowMs() < until;
}

void ProxyControlPrivate::StartSending() {
    threadkit::ConditionVariable::Lock guard(outboxLock);
    if (!closing) StartSender();
}

void ProxyControlPrivate::Close(bool finalStatus) {
    {
        threadkit::ConditionVariable::Lock guard(outboxLock);
        if (closing) return;
        // Messages queued before serving began (or without it) still go out now.
        if ((finalStatus || !outbox.empty()) && StartSender()) statusDue = finalStatus;
        closing = true;
        outboxLock.Signal();
    }
    if (sender.joinable()) sender.join();
}

bool ProxyControlPrivate::StartSender() {
    if (sender.joinable()) return true;
    try {
        sender = std::thread([this] { SenderLoop(); });
    } catch (const std::system_error&) {
        return false;  // nothing is sent until a later start succeeds
    }
    return true;
}

void ProxyControlPrivate::SenderLoop() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point drainUntil{};
    bool last = false;
    while (!last) {
        std::optional<Queued> item;
        bool sendStatus = false;
        {
            threadkit::ConditionVariable::Lock guard(outboxLock);
            while (!statusDue && outbox.empty() && !closing) outboxLock.Wait();
            if (closing) {
                // Closing: what is queued goes first, for a while; the last record after it.
                if (drainUntil == Clock::time_point{})
                    drainUntil = Clock::now() + std::chrono::milliseconds(kDrainOnCloseMs);
                if (outbox.empty() || Clock::now() >= drainUntil) {
                    dropped += outbox.size();
                    outbox.clear();
                    outboxBytes = 0;
                    sendStatus = statusDue;
                    statusDue = false;
                    last = true;
                }
            } else if (statusDue) {
                // A status record never waits behind the queue, only behind one exchange.
                statusDue = false;
                sendStatus = true;
            }
            if (!last && !sendStatus) {
                outboxBytes -= Footprint(outbox.front());
                item = std::move(outbox.front());
                outbox.pop_front();
            }
        }
        if (!sendStatus && !item) continue;
        BridgeSession* s = getBridgeSession();
        if (!s) {
            // No service to take them: queued messages are not kept (nor counted as dropped),
            // and none is queued until the bus would try to reach the service again.
            unreachableUntilMs.store(CommandSender::Instance()->RefusalEndMs(),
                                     std::memory_order_relaxed);
            threadkit::ConditionVariable::Lock guard(outboxLock);
            outbox.clear();
            outboxBytes = 0;
            continue;
        }
        unreachableUntilMs.store(0, std::memory_order_relaxed);
        if (sendStatus) SendStatus(*s);
        if (item) {
            const std::string payload = EncodeMessageRecord(item->type, item->sourceText, item->line);
            std::string reply;
            s->__SendCommand(kMonitorModule, kMonitorMessage, payload.data(),
                             unsigned(payload.size()), &reply);
            threadkit::ConditionVariable::Lock guard(lock);
            info.lastMsgType = item->type;
            info.lastMsgText.swap(item->line);
        }
    }
    CommandSender::Instance()->CloseSession(session);
    session = nullptr;
}

BridgeSession* ProxyControlPrivate::getBridgeSession() {
    if (session && session->State() == BridgeSession::kUsable) return session;
    CommandSender& bus = *CommandSender::Instance();
    bus.CloseSession(session);
    session = bus.OpenNewSession(kSessionName, kSessionMode);
    return session;
}

void ProxyControlPrivate::SendStatus(BridgeSession& s) {
    std::string payload;
    {
        threadkit::ConditionVariable::Lock guard(lock);
        ProxyInfo record = info;
        record.lastMsgText = LastMessageText(info.lastMsgText, dropped.load());
        payload = EncodeStatusRecord(serviceName, record);
    }
    std::string reply;
    s.__SendCommand(kMonitorModule, kMonitorStatus, payload.data(), unsigned(payload.size()),
                    &reply);
}

// ---- bridgeLogger ----

bridgeLogger::bridgeLogger(std::shared_ptr<ProxyControlPrivate> channel)
    : LoggerBase("", verbose), channel_(std::move(channel)) {}

void bridgeLogger::doWriteMsg(MsgType type, const char* sourceText, const char* line) {
    channel_->Post(type, sourceText ? sourceText : "", line ? line : "");
}

bool bridgeLogger::doSuspended() const {
    return channel_->Unreachable();
}

// ---- ProxyControl ----

ProxyControl::ProxyControl(const ObjectWithProperties& app, LogSystem& logSystem)
    : d_(std::make_shared<ProxyControlPrivate>(app, logSystem)),
      logger_(std::make_shared<bridgeLogger>(d_)) {
    app.GetProperty("Name", d_->serviceName);
    logSystem.SetControlLogger(logger_);
}

ProxyControl::~ProxyControl() {
    bool served = false;
    {
        threadkit::ConditionVariable::Lock guard(d_->lock);
        served = d_->started;
    }
    d_->Close(served);
    if (d_->logSystem.ControlLogger() == logger_) d_->logSystem.SetControlLogger(nullptr);
}

bool ProxyControl::controlWork() {
    ProxyControlPrivate& p = *d_;
    for (;;) {
        // Property reads may take other objects' locks (the listener's): never under ours.
        p.updateProxyInfo();
        threadkit::ConditionVariable::Lock guard(p.lock);
        if (!p.running) return false;
        p.RequestStatus();
        if (p.restart) {
            p.restart = false;
            return true;
        }
        const std::uint64_t seen = p.wakeups;
        const timespec deadline = threadkit::ConditionVariable::DeadlineAfter(kStatusPeriodMs);
        while (p.running && !p.restart && p.wakeups == seen)
            if (!p.lock.TimedWait(deadline)) break;
        if (p.restart) {
            p.restart = false;
            return true;
        }
        if (!p.running) return false;
    }
}

void ProxyControl::controlStart() {
    threadkit::ConditionVariable::Lock guard(d_->lock);
    d_->running = true;
    d_->started = true;
    d_->StartSending();
}

void ProxyControl::controlStop() {
    threadkit::ConditionVariable::Lock guard(d_->lock);
    d_->running = false;
    d_->restart = false;
    ++d_->wakeups;
    d_->lock.Broadcast();
}

void ProxyControl::controlRestart() {
    threadkit::ConditionVariable::Lock guard(d_->lock);
    d_->restart = true;
    ++d_->wakeups;
    d_->lock.Broadcast();
}

}  // namespace alg
