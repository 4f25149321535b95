#include "alogger.h"

#include <strings.h>

#include <cerrno>
#include <cstring>

#include "alg_xml.h"
#include "basis.h"
#include "sys_log.h"
#include "traps.h"

namespace alg {

namespace {

const char* OrEmpty(const char* text) {
    return text ? text : "";
}

// Message types other than notice, warning and error are written as info.
const char* ConsolePrefix(MsgType type) {
    switch (type) {
        case notice:
            return ">";
        case warning:
            return "*";
        case error:
            return "!";
        default:
            return " ";
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Names of levels and facilities

LogLevel ParseLogLevel(const char* name) {
    static constexpr struct {
        const char* name;
        LogLevel level;
    } kNames[] = {{"verbose", verbose}, {"detail", detail}, {"details", detail},
                  {"event", event},     {"events", event},  {"none", none}};
    if (name != nullptr)
        for (const auto& n : kNames)
            if (strcasecmp(name, n.name) == 0) return n.level;
    throw InitializerError(InvalidLogLevel);
}

int ParseFacility(const char* name) {
    if (name != nullptr && std::strlen(name) == 6 && strncasecmp(name, "LOCAL", 5) == 0 &&
        name[5] >= '0' && name[5] <= '7')
        return name[5] - '0';
    throw InitializerError(InvalidFacilityName);
}

const char* LogLevelDisplayName(int level) {
    static constexpr const char* kDisplay[] = {"None", "Events", "Details", "Verbose"};
    return level >= none && level <= verbose ? kDisplay[level] : "Unknown";
}

void LogException(I_ToLogSystem& to, const std::exception& e, LogLevel level, MsgType type) {
    if (const auto* localized = dynamic_cast<const ErrLocalizer*>(&e)) {
        LogError(to, *localized, level, type);
        return;
    }
    const locMSG pair{e.what(), e.what()};
    LoggedMessage m(pair, level, type);
    to.Log(m);
}

// ---------------------------------------------------------------------------------------------
// LoggerBase

namespace {

const Encoder* SelectEncoder(const char* encoding) {
    const char* name = OrEmpty(encoding);
    if (*name == '\0' || std::strcmp(name, "Null") == 0) return &defaultEnc;
    if (std::strcmp(name, "KOI8-R") == 0) return &koi8Enc;
    if (std::strcmp(name, "CP866") == 0) return &oemEnc;
    if (std::strcmp(name, "Windows-1251") == 0) return &cp1251Enc;
    throw FactoryError(ErrorEncoderName, std::string(" - ") + name);
}

}  // namespace

LoggerBase::LoggerBase(const char* encoding, LogLevel level)
    : encoder_(SelectEncoder(encoding)), level_(level) {}

void LoggerBase::WriteMsg(LogLevel level, MsgType type, const DecoratedMessage& m) {
    if (!Admits(level)) return;
    // Decorations carry client, server and policy text: escaped here, before any logger
    // subclass sees them, so that no such text can start a line of its own or drive a
    // terminal. A Russian text of a constant pair is Windows-1251 with bytes that look like
    // C1 controls and stays as it is; a pair made at run time (what() as both texts) shares
    // one buffer and is outside text like the decorations. English texts are ASCII.
    std::string line = EscapeControls(m.leadIn);
    if (encoder_ == &defaultEnc) {
        line += EscapeControls(OrEmpty(m.en));
        line += EscapeControls(m.suffix);
    } else {
        const char* ru = OrEmpty(m.ru);
        std::string converted;
        encoder_->Encode(m.ru == m.en ? EscapeControls(ru).c_str() : ru, converted);
        line += converted;
        encoder_->Encode(EscapeControls(m.suffix).c_str(), converted);
        line += converted;
    }
    doWriteMsg(type, EscapeControls(m.sourceText).c_str(), line.c_str());
}

const char* LoggerBase::GetLogLevelName() const {
    return LogLevelDisplayName(level_.load());
}

bool LoggerBase::GetPropVal(const char* name, std::string& value) const {
    if (name == nullptr || std::strcmp(name, "LogLevel") != 0) return false;
    value = GetLogLevelName();
    return true;
}

int LoggerBase::SetPropVal(const char* name, const std::string& value) {
    if (name == nullptr || std::strcmp(name, "LogLevel") != 0) return kNoSuchProperty;
    try {
        SetLogLevel(ParseLogLevel(value.c_str()));
    } catch (const InitializerError&) {
        return kInvalidValue;
    }
    return kPropSet;
}

// ---------------------------------------------------------------------------------------------
// Console and system-log loggers

conLogger::conLogger(const char* encoding, LogLevel level, std::FILE* out)
    : LoggerBase(encoding, level), out_(out) {}

const char* conLogger::GetClassName() const {
    return "Console";
}

void conLogger::doWriteMsg(MsgType type, const char*, const char* line) {
    if (readerGone_.load(std::memory_order_relaxed)) return;
    // One call per line keeps lines of concurrent writers whole; other output errors are
    // ignored (a full disk may drain, a reader that has gone never comes back).
    if (std::fprintf(out_, "%s%s\n", ConsolePrefix(type), line) < 0 || std::fflush(out_) != 0) {
        if (errno == EPIPE) readerGone_.store(true, std::memory_order_relaxed);
        std::clearerr(out_);
    }
}

sysLogger::sysLogger(const char* encoding, LogLevel level, int facility)
    : LoggerBase(encoding, level), facility_(facility) {
    SysLog::Instance().SetFacility(facility_);
}

const char* sysLogger::GetClassName() const {
    return "SystemLog";
}

void sysLogger::doResetFacility() {
    SysLog::Instance().SetFacility(facility_);
}

void sysLogger::doWriteMsg(MsgType type, const char*, const char* line) {
    auto& log = SysLog::Instance();
    switch (type) {
        case notice:
            log.ReportNotice(line);
            break;
        case warning:
            log.ReportWarning(line);
            break;
        case error:
            log.ReportError(line);
            break;
        default:
            log.ReportInfo(line);
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Logger classes

LoggerClass::List& LoggerClass::Classes() {
    // Built on first use, so classes defined in any translation unit may register themselves
    // during static initialisation; it outlives every class registered after its creation.
    static List classes;
    return classes;
}

LoggerClass::LoggerClass() {
    Classes().push_back(this);
}

LoggerClass::~LoggerClass() {
    Classes().remove(this);
}

LoggerClass* LoggerClass::Find(const char* name) {
    if (name == nullptr) throw LogicError(kNullIdentifierText);
    for (LoggerClass* c : Classes())
        if (std::strcmp(c->GetName(), name) == 0) return c;
    return nullptr;
}

std::unique_ptr<LoggerBase> LoggerClass::Create(const ALGloggerType& cfg) {
    const char* name = cfg.name.c_str();
    const LoggerClass* c = Find(name);
    if (c == nullptr) throw FactoryError(LoggerClassNotFound, std::string(" - ") + name);
    return c->CreateObject(cfg);
}

std::unique_ptr<LoggerBase> LoggerClass::CreateObject(const ALGloggerType& cfg) const {
    const char* encoding = "Null";
    for (const ALGparamType* p : cfg.param) {
        if (p != nullptr && std::strcmp(p->name.c_str(), "Encoding") == 0) {
            encoding = p->value.c_str();
            break;
        }
    }
    return doCreateObject(encoding, cfg);
}

const char* conLoggerClass::GetName() const {
    return "Console";
}

std::unique_ptr<LoggerBase> conLoggerClass::doCreateObject(const char* encoding,
                                                           const ALGloggerType& cfg) const {
    return std::make_unique<conLogger>(encoding, ParseLogLevel(cfg.loglevel.get()));
}

const char* sysLoggerClass::GetName() const {
    return "SystemLog";
}

std::unique_ptr<LoggerBase> sysLoggerClass::doCreateObject(const char* encoding,
                                                           const ALGloggerType& cfg) const {
    int facility = 0;
    for (const ALGparamType* p : cfg.param)
        if (p != nullptr && std::strcmp(p->name.c_str(), "facility") == 0)
            facility = ParseFacility(p->value.get());
    const LogLevel level = ParseLogLevel(cfg.loglevel.get());
    return std::make_unique<sysLogger>(encoding, level, facility);
}

// Registration order is the order of these definitions.
conLoggerClass conLoggerInst;
sysLoggerClass sysLoggerInst;

// Logger classes in files of their own register themselves there; naming their instances here
// links those files into every program that has a log system.
extern LoggerClass* const kLinkedLoggerClasses[];
LoggerClass* const kLinkedLoggerClasses[] = {&snmpLoggerInst};

// ---------------------------------------------------------------------------------------------
// LogSystem

LogSystem::LogSystem() {
    loggers_.Store(std::make_shared<const LoggerList>());
}

void LogSystem::LoadLoggers(const ALGgeneralType& general) {
    if (general.loggers.empty()) return;
    LoggerList created;
    for (const ALGloggerType* cfg : general.loggers)
        if (cfg != nullptr) created.push_back(LoggerClass::Create(*cfg));
    ReplaceLoggers(std::move(created));
}

void LogSystem::LoadDefaultLoggers() {
    LoggerList defaults;
    defaults.push_back(std::make_unique<sysLogger>("", event, 0));
    defaults.push_back(std::make_unique<conLogger>("", event));
    ReplaceLoggers(std::move(defaults));
}

void LogSystem::ReplaceLoggers(LoggerList loggers) {
    loggers_.Store(std::make_shared<const LoggerList>(std::move(loggers)));
}

std::shared_ptr<const LogSystem::LoggerList> LogSystem::Loggers() const {
    return loggers_.Load();
}

void LogSystem::SetControlLogger(std::shared_ptr<LoggerBase> logger) {
    control_.Store(std::move(logger));
}

std::shared_ptr<LoggerBase> LogSystem::ControlLogger() const {
    return control_.Load();
}

void LogSystem::WriteMsg(const LoggedMessage& msg) const {
    if (const auto control = control_.Load()) control->WriteMsg(msg.level, msg.type, msg);
    const auto loggers = loggers_.Load();
    for (const auto& logger : *loggers) logger->WriteMsg(msg.level, msg.type, msg);
}

bool LogSystem::Admits(LogLevel level) const {
    if (const auto control = control_.Load(); control && control->Admits(level)) return true;
    const auto loggers = loggers_.Load();
    for (const auto& logger : *loggers)
        if (logger->Admits(level)) return true;
    return false;
}

void LogSystem::ShowLogLevels(I_ToLogSystem& to) const {
    std::string text;
    const auto loggers = loggers_.Load();
    for (const auto& logger : *loggers) {
        if (!text.empty()) text += ", ";
        text += logger->GetClassName();
        text += ": ";
        text += logger->GetLogLevelName();
    }
    const locMSG pair{text.c_str(), text.c_str()};
    LoggedMessage m(pair, event, info);
    to.Log(m);
}

void LogSystem::ResetFacility() const {
    const auto loggers = loggers_.Load();
    for (const auto& logger : *loggers) logger->ResetFacility();
}

LoggerBase* LogSystem::GetInnerObject(const char* name, unsigned short len) const {
    if (name == nullptr) return nullptr;
    const auto loggers = loggers_.Load();
    for (const auto& logger : *loggers)
        if (std::strncmp(logger->GetClassName(), name, len) == 0) return logger.get();
    return nullptr;
}

const char* LogSystem::GetClassName() const {
    return "LogSystem";
}

}  // namespace alg
