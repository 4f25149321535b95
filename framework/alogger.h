// Bilingual messages, their decorations, log levels and types, the localised exception
// types and the interface through which components hand messages on; the loggers that write
// messages out, the registry of logger classes and the set of loggers of one program.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "misc_classes.h"
#include "text_converter.h"
#include "threadkit.h"

// Policy records (libpolicydoc) the loggers are created from.
struct ALGloggerType;
struct ALGgeneralType;

namespace alg {

// Unicode code points of Windows-1251 bytes 0x80 to 0xBF (0 where the byte is unassigned);
// 0xC0 to 0xFF are U+0410 to U+044F.
inline constexpr char16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

namespace cp1251 {

consteval unsigned char Cp1251Byte(char32_t cp) {
    if (cp < 0x80) return static_cast<unsigned char>(cp);
    if (cp >= 0x0410 && cp <= 0x044F) return static_cast<unsigned char>(0xC0 + (cp - 0x0410));
    for (unsigned i = 0; i < 64; ++i)
        if (kCp1251High[i] != 0 && kCp1251High[i] == cp)
            return static_cast<unsigned char>(0x80 + i);
    throw "character has no Windows-1251 form";  // makes the constant expression ill-formed
}

// A UTF-8 literal converted to Windows-1251 at compile time.
template <std::size_t N>
struct Cp1251Text {
    char text[N]{};
    consteval Cp1251Text(const char (&utf8)[N]) {
        std::size_t out = 0;
        for (std::size_t i = 0; i + 1 < N;) {
            const auto b = static_cast<unsigned char>(utf8[i]);
            char32_t cp;
            if (b < 0x80) {
                cp = b;
                i += 1;
            } else if ((b & 0xE0) == 0xC0) {
                cp = ((b & 0x1F) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F);
                i += 2;
            } else if ((b & 0xF0) == 0xE0) {
                cp = ((b & 0x0F) << 12) | ((static_cast<unsigned char>(utf8[i + 1]) & 0x3F) << 6) |
                     (static_cast<unsigned char>(utf8[i + 2]) & 0x3F);
                i += 3;
            } else {
                throw "unsupported UTF-8 sequence";
            }
            text[out++] = static_cast<char>(Cp1251Byte(cp));
        }
    }
};

}  // namespace cp1251

// A constant message text pair: English (ASCII) and Russian (Windows-1251).
struct locMSG {
    const char* en;
    const char* ru;
};

// Defines the read-only message pair `Name`; the Russian text is written in UTF-8 and
// stored in Windows-1251.
#define ALG_MESSAGE(Name, English, RussianUtf8)                                 \
    inline constexpr ::alg::cp1251::Cp1251Text Name##RussianText_{RussianUtf8}; \
    inline constexpr ::alg::locMSG Name {                                       \
        English, Name##RussianText_.text                                        \
    }

enum LogLevel : int { none = 0, event = 1, detail = 2, verbose = 3 };
enum MsgType : int { notice = 0, info = 1, warning = 2, error = 3 };

// Texts added around a message: who emits it, what precedes it, what follows it.
struct StringDecorator {
    std::string sourceText;
    std::string leadIn;
    std::string suffix;

    // Inserts `text` at the front of the suffix: the latest call comes first.
    void AddSuffix(const char* text) { suffix.insert(0, text ? text : ""); }
    void AddSuffix(const std::string& text) { suffix.insert(0, text); }
};

struct DecoratedMessage : locMSG, StringDecorator {
    explicit DecoratedMessage(const locMSG& m) : locMSG(m) {}
};

// The unit handed to I_ToLogSystem::Log: a decorated message with its level and type.
struct LoggedMessage : DecoratedMessage {
    LoggedMessage(const locMSG& m, LogLevel l, MsgType t)
        : DecoratedMessage(m), level(l), type(t) {}
    LogLevel level;
    MsgType type;
};

// Anything that accepts messages: the application, each session, the loader's worker.
class I_ToLogSystem {
  public:
    virtual void Log(LoggedMessage& msg) = 0;
    virtual ~I_ToLogSystem() = default;
    virtual void ResetFacility() {}
};

// Second base of the localised exceptions: the message pair naming the error and a detail.
class ErrLocalizer {
  public:
    ErrLocalizer(const locMSG& m, std::string detail) : msg_(&m), detail_(std::move(detail)) {}
    const locMSG& Msg() const { return *msg_; }
    const std::string& Detail() const { return detail_; }

  private:
    const locMSG* msg_;
    std::string detail_;
};

// Declares a localised exception: what() is the English text, the pair and detail travel along.
#define ALG_LOCALIZED_EXCEPTION(Name)                                                \
    class Name : public std::runtime_error, public ::alg::ErrLocalizer {             \
      public:                                                                        \
        explicit Name(const ::alg::locMSG& m, std::string detail = {})               \
            : std::runtime_error(m.en), ::alg::ErrLocalizer(m, std::move(detail)) {} \
    }

ALG_LOCALIZED_EXCEPTION(FactoryError);
ALG_LOCALIZED_EXCEPTION(InitializerError);

// Misuse rather than an operational error: one English text, logged as both texts.
class LogicError : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

// Logs a localised exception: its pair with the detail as suffix.
inline void LogError(I_ToLogSystem& to, const ErrLocalizer& e, LogLevel level, MsgType type) {
    LoggedMessage m(e.Msg(), level, type);
    m.AddSuffix(e.Detail());
    to.Log(m);
}

// ---------------------------------------------------------------------------------------------
// Loggers and the log system
// ---------------------------------------------------------------------------------------------

ALG_MESSAGE(InvalidLogLevel, "invalid loglevel name", "неправильное имя loglevel");
ALG_MESSAGE(InvalidFacilityName, "invalid facility name", "неверное имя facility");
ALG_MESSAGE(ErrorEncoderName, "Illegal Encoder type", "Неверное имя декодера");
ALG_MESSAGE(LoggerClassNotFound, "Logger class not found", "Класс Logger не найден");

// Text of the LogicError thrown by the class registries when asked for a null name.
inline constexpr char kNullIdentifierText[] = "Attempt to find object with NULL identifier";

// "verbose" 3, "detail"/"details" 2, "event"/"events" 1, "none" 0, any letter case; anything
// else (null and "" included) throws InitializerError with InvalidLogLevel.
LogLevel ParseLogLevel(const char* name);
// "LOCAL0".."LOCAL7", any letter case, give 0..7; anything else throws InitializerError with
// InvalidFacilityName.
int ParseFacility(const char* name);
// "None", "Events", "Details", "Verbose" for 0..3, "Unknown" for any other value.
const char* LogLevelDisplayName(int level);

// For catchers: a localised exception is logged as its pair with the detail as suffix, any
// other exception (LogicError included) with what() as both texts.
void LogException(I_ToLogSystem& to, const std::exception& e, LogLevel level, MsgType type);

// A destination of messages with its own level and language. WriteMsg takes no lock and may
// be called from any number of threads at once; a subclass serialises its output itself.
class LoggerBase : public ObjectWithProperties {
  public:
    // Selects the encoder by exact name: "" or "Null" (English), "KOI8-R", "CP866",
    // "Windows-1251"; any other name throws FactoryError with ErrorEncoderName.
    LoggerBase(const char* encoding, LogLevel level);
    LoggerBase(const LoggerBase&) = delete;
    LoggerBase& operator=(const LoggerBase&) = delete;

    // Writes `m` when 0 < level <= the logger's level: lead-in text, then the English text and
    // suffix, or the Russian text and suffix converted by the encoder. Never fails. Control
    // characters (C0, DEL, C1) of the decorations and of a run-time text pair (en == ru) are
    // written escaped, so no outside text can split or forge a line; the constant texts of a
    // pair are written as they are.
    void WriteMsg(LogLevel level, MsgType type, const DecoratedMessage& m);
    // Whether WriteMsg would write a message of `level` now: 0 < level <= the logger's level
    // and the logger has somewhere to write to.
    bool Admits(LogLevel level) const {
        return level > none && level <= level_.load() && !doSuspended();
    }
    const char* GetLogLevelName() const;
    LogLevel GetLogLevel() const { return static_cast<LogLevel>(level_.load()); }
    void SetLogLevel(LogLevel level) { level_.store(level); }
    const Encoder& GetEncoder() const { return *encoder_; }
    // Re-applies whatever process-wide setting the logger depends on.
    void ResetFacility() { doResetFacility(); }

    // "LogLevel": the display name of the level.
    bool GetPropVal(const char* name, std::string& value) const override;
    // "LogLevel": parsed as a level name; 0 set, 3 not a level name (level kept), 1 other name.
    int SetPropVal(const char* name, const std::string& value) override;

  protected:
    virtual void doResetFacility() = 0;
    // `line` is the complete text to write; `sourceText` names the emitter.
    virtual void doWriteMsg(MsgType type, const char* sourceText, const char* line) = 0;
    // True while whatever the logger writes to would only throw messages away: they are then
    // dropped before any formatting. Called by every thread that logs: must not block.
    virtual bool doSuspended() const { return false; }

  private:
    const Encoder* encoder_;
    // Changed through the "LogLevel" property while other threads log.
    std::atomic<int> level_;
};

// Console lines: a prefix by type (">" notice, " " info, "*" warning, "!" error), the line and
// a newline, written with one call and flushed at once. Once the stream fails with EPIPE (its
// reader has gone) the logger writes nothing more: every further write would only raise
// SIGPIPE again.
class conLogger : public LoggerBase {
  public:
    // `out` is standard output in the programs; it must outlive the logger.
    conLogger(const char* encoding, LogLevel level, std::FILE* out = stdout);
    const char* GetClassName() const override;

  protected:
    void doResetFacility() override {}
    void doWriteMsg(MsgType type, const char* sourceText, const char* line) override;

  private:
    std::FILE* out_;
    std::atomic<bool> readerGone_{false};
};

// Records in the process's system log at the priority of the message type.
class sysLogger : public LoggerBase {
  public:
    // Applies `facility` (index 0..7, LOCAL0..LOCAL7) to the system log at once.
    sysLogger(const char* encoding, LogLevel level, int facility);
    const char* GetClassName() const override;
    int GetFacility() const { return facility_; }

  protected:
    void doResetFacility() override;
    void doWriteMsg(MsgType type, const char* sourceText, const char* line) override;

  private:
    int facility_;
};

// A factory for one kind of logger, found by name. Instances are static objects: constructing
// one appends it to Classes(), destroying it removes it; the registry is filled before main
// runs and only read afterwards.
class LoggerClass {
  public:
    using List = std::list<LoggerClass*>;

    LoggerClass(const LoggerClass&) = delete;
    LoggerClass& operator=(const LoggerClass&) = delete;
    virtual ~LoggerClass();
    virtual const char* GetName() const = 0;

    // The registered classes in registration order.
    static List& Classes();
    // The first class whose name equals `name` exactly, or null; a null name throws LogicError.
    static LoggerClass* Find(const char* name);
    // A logger of the class named by cfg.name; an unknown name throws FactoryError with
    // LoggerClassNotFound and the detail " - " and the name.
    static std::unique_ptr<LoggerBase> Create(const ALGloggerType& cfg);
    // The encoding is the value of the first parameter named "Encoding", "Null" if none.
    std::unique_ptr<LoggerBase> CreateObject(const ALGloggerType& cfg) const;

  protected:
    LoggerClass();
    virtual std::unique_ptr<LoggerBase> doCreateObject(const char* encoding,
                                                       const ALGloggerType& cfg) const = 0;
};

class conLoggerClass : public LoggerClass {
  public:
    const char* GetName() const override;

  protected:
    std::unique_ptr<LoggerBase> doCreateObject(const char* encoding,
                                               const ALGloggerType& cfg) const override;
};

// Parameters: "facility" (LOCAL0..LOCAL7, the last one wins, default LOCAL0).
class sysLoggerClass : public LoggerClass {
  public:
    const char* GetName() const override;

  protected:
    std::unique_ptr<LoggerBase> doCreateObject(const char* encoding,
                                               const ALGloggerType& cfg) const override;
};

extern conLoggerClass conLoggerInst;
extern sysLoggerClass sysLoggerInst;

// A shared_ptr that any thread may read or replace at any time; a reader gets its own
// reference, so what it read stays alive while it uses it.
template <class T>
class SharedSlot {
  public:
    std::shared_ptr<T> Load() const {
        threadkit::ObjectLevelLockable::Lock guard(lock_);
        return value_;
    }
    void Store(std::shared_ptr<T> value) {
        {
            threadkit::ObjectLevelLockable::Lock guard(lock_);
            value_.swap(value);
        }
        // The previous value is released here, outside the lock: its destruction may log.
    }

  private:
    threadkit::ObjectLevelLockable lock_;
    std::shared_ptr<T> value_;
};

// The loggers of one program: the configured loggers in creation order and the control
// channel's logger. Any thread may write while the configured list is replaced or the control
// logger changes: a writer holds its own reference to what it writes to, so a replaced logger
// is freed only when the last message already under way through it has been written.
class LogSystem : public ObjectWithProperties {
  public:
    using LoggerList = std::vector<std::unique_ptr<LoggerBase>>;

    LogSystem();
    LogSystem(const LogSystem&) = delete;
    LogSystem& operator=(const LogSystem&) = delete;

    // Keeps the current loggers when `general` names none; otherwise creates one per logger
    // element in order and, only when all were created, puts them in place of the current
    // ones. An exception from any of them leaves the current loggers in force.
    void LoadLoggers(const ALGgeneralType& general);
    // The defaults in force before any policy is read: a system-log logger (English, level
    // event, LOCAL0), then a console logger (English, level event).
    void LoadDefaultLoggers();
    void ReplaceLoggers(LoggerList loggers);
    // The configured loggers as they are now; the snapshot stays valid while held.
    std::shared_ptr<const LoggerList> Loggers() const;

    // Installs the control channel's logger in its own place (null removes it); the logger
    // is freed when the last writer using it has finished.
    void SetControlLogger(std::shared_ptr<LoggerBase> logger);
    std::shared_ptr<LoggerBase> ControlLogger() const;

    // Writes `msg` to the control channel's logger first, then to every configured logger.
    void WriteMsg(const LoggedMessage& msg) const;
    // Whether any logger would write a message of `level` now; when none would, a caller may
    // skip building the message.
    bool Admits(LogLevel level) const;
    // Logs one line "Class: Level, Class: Level" for the configured loggers through `to`
    // (level event, type info).
    void ShowLogLevels(I_ToLogSystem& to) const;
    // Re-applies every configured logger's facility.
    void ResetFacility() const;

    // The first configured logger whose class name agrees with `name` in the first `len`
    // characters, or null. The pointer stays valid until the configured loggers are replaced;
    // property paths are read by the thread that replaces them.
    LoggerBase* GetInnerObject(const char* name, unsigned short len) const override;
    const char* GetClassName() const override;

  private:
    SharedSlot<const LoggerList> loggers_;
    SharedSlot<LoggerBase> control_;
};

}  // namespace alg
