#include "alg-control.h"

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
    serviceName.swap(name);
    for (const InfoField& f : kInfoFields) (info.*f.field).swap(fresh.*f.field);
}

BridgeSession* ProxyControlPrivate::getBridgeSession() {
    if (session && session->State() == BridgeSession::kUsable) return session;
    CommandSender& bus = *CommandSender::Instance();
    bus.CloseSession(session);
    session = bus.OpenNewSession(kSessionName, kSessionMode);
    return session;
}

void ProxyControlPrivate::SendStatus(BridgeSession& s) {
    const std::string payload = EncodeStatusRecord(serviceName, info);
    std::string reply;
    s.__SendCommand(kMonitorModule, kMonitorStatus, payload.data(), unsigned(payload.size()),
                    &reply);
}

// ---- bridgeLogger ----

bridgeLogger::bridgeLogger(std::shared_ptr<ProxyControlPrivate> channel)
    : LoggerBase("", verbose), channel_(std::move(channel)) {}

void bridgeLogger::doWriteMsg(MsgType type, const char* sourceText, const char* line) {
    ProxyControlPrivate& p = *channel_;
    threadkit::ConditionVariable::Lock guard(p.lock);
    if (p.closed) return;
    BridgeSession* s = p.getBridgeSession();
    if (!s) return;
    payload_ = EncodeMessageRecord(type, sourceText ? sourceText : "", line ? line : "");
    s->__SendCommand(kMonitorModule, kMonitorMessage, payload_.data(), unsigned(payload_.size()),
                     &reply_);
    p.info.lastMsgType = type;
    p.info.lastMsgText = line ? line : "";
}

// ---- ProxyControl ----

ProxyControl::ProxyControl(const ObjectWithProperties& app, LogSystem& logSystem)
    : d_(std::make_shared<ProxyControlPrivate>(app, logSystem)),
      logger_(std::make_shared<bridgeLogger>(d_)) {
    logSystem.SetControlLogger(logger_);
}

ProxyControl::~ProxyControl() {
    {
        threadkit::ConditionVariable::Lock guard(d_->lock);
        if (BridgeSession* s = d_->getBridgeSession()) d_->SendStatus(*s);
        d_->closed = true;
        CommandSender::Instance()->CloseSession(d_->session);
        d_->session = nullptr;
    }
    if (d_->logSystem.ControlLogger() == logger_) d_->logSystem.SetControlLogger(nullptr);
}

bool ProxyControl::controlWork() {
    ProxyControlPrivate& p = *d_;
    for (;;) {
        // Property reads may take other objects' locks (the listener's): never under ours.
        p.updateProxyInfo();
        threadkit::ConditionVariable::Lock guard(p.lock);
        if (!p.running) return false;
        if (BridgeSession* s = p.getBridgeSession()) p.SendStatus(*s);
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
