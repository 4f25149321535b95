#include "alogger.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "alg_xml.h"

namespace {

using alg::LoggedMessage;
using alg::LogSystem;

// ---------------------------------------------------------------------------------------------
// Helpers

// Policy records as the policy reader would make them.
using Params = std::vector<std::pair<const char*, const char*>>;

struct LoggerConfig {
    const char* name;
    const char* loglevel;
    Params params;
};

void Fill(ALGloggerType& cfg, const LoggerConfig& logger) {
    cfg.name.set(logger.name);
    cfg.loglevel.set(logger.loglevel);
    for (const auto& [name, value] : logger.params) {
        ALGparamType& p = cfg.param.appendNew();
        p.name.set(name);
        p.value.set(value);
    }
}

ALGloggerType Logger(const char* name, const char* loglevel, const Params& params) {
    ALGloggerType cfg;
    Fill(cfg, {name, loglevel, params});
    return cfg;
}

ALGgeneralType General(const std::vector<LoggerConfig>& loggers) {
    ALGgeneralType general;
    for (const auto& logger : loggers) Fill(general.loggers.appendNew(), logger);
    return general;
}

// Lines a console logger wrote to its stream.
class ConsoleCapture {
  public:
    ConsoleCapture() : file_(std::tmpfile()) {}
    ~ConsoleCapture() { std::fclose(file_); }
    std::FILE* file() { return file_; }
    std::string Text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string text;
        char buf[512];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, n);
        return text;
    }

  private:
    std::FILE* file_;
};

// Records every line it is given.
class RecordingLogger : public alg::LoggerBase {
  public:
    RecordingLogger(const char* name, std::vector<std::string>* sink, std::mutex* mutex,
                    alg::LogLevel level = alg::verbose)
        : LoggerBase("", level), name_(name), sink_(sink), mutex_(mutex) {}
    const char* GetClassName() const override { return name_; }

  protected:
    void doResetFacility() override {
        std::lock_guard<std::mutex> l(*mutex_);
        sink_->push_back(std::string(name_) + " reset");
    }
    void doWriteMsg(alg::MsgType, const char* source, const char* line) override {
        std::lock_guard<std::mutex> l(*mutex_);
        sink_->push_back(std::string(name_) + ":" + source + line);
    }

  private:
    const char* name_;
    std::vector<std::string>* sink_;
    std::mutex* mutex_;
};

// Counts what it writes; used where many threads write at once.
class CountingLogger : public alg::LoggerBase {
  public:
    explicit CountingLogger(std::atomic<long>* counter)
        : LoggerBase("", alg::verbose), n_(counter) {}
    ~CountingLogger() override { alive_ = 0; }
    const char* GetClassName() const override { return "Counting"; }

  protected:
    void doResetFacility() override {}
    void doWriteMsg(alg::MsgType, const char*, const char* line) override {
        // A write through a freed logger shows as a stale marker (and as an error under ASan).
        EXPECT_EQ(alive_, 0x600DF00D);
        if (line[0] != '\0') n_->fetch_add(1, std::memory_order_relaxed);
    }

  private:
    std::atomic<long>* n_;
    volatile int alive_ = 0x600DF00D;
};

class Collector : public alg::I_ToLogSystem {
  public:
    void Log(LoggedMessage& m) override {
        texts.push_back(m.en);
        ru.push_back(m.ru);
        suffixes.push_back(m.suffix);
        levels.push_back(m.level);
        types.push_back(m.type);
    }
    std::vector<std::string> texts, ru, suffixes;
    std::vector<int> levels, types;
};

template <class E>
const alg::ErrLocalizer& Localized(const E& e) {
    return dynamic_cast<const alg::ErrLocalizer&>(e);
}

ALG_MESSAGE(TestMsg, "Disk full", "Диск полон");

// ---------------------------------------------------------------------------------------------
// Names of levels, facilities and encoders

TEST(LogNames, ParseLogLevelAcceptsEveryNameInAnyCase) {
    EXPECT_EQ(alg::ParseLogLevel("verbose"), alg::verbose);
    EXPECT_EQ(alg::ParseLogLevel("VERBOSE"), alg::verbose);
    EXPECT_EQ(alg::ParseLogLevel("detail"), alg::detail);
    EXPECT_EQ(alg::ParseLogLevel("DETAILS"), alg::detail);
    EXPECT_EQ(alg::ParseLogLevel("Event"), alg::event);
    EXPECT_EQ(alg::ParseLogLevel("Events"), alg::event);
    EXPECT_EQ(alg::ParseLogLevel("nOnE"), alg::none);
    for (const char* bad :
         {"", "eventss", "even", "info", " event", "3", static_cast<const char*>(nullptr)}) {
        try {
            alg::ParseLogLevel(bad);
            ADD_FAILURE() << "accepted " << (bad ? bad : "(null)");
        } catch (const alg::InitializerError& e) {
            EXPECT_STREQ(e.what(), "invalid loglevel name");
            EXPECT_EQ(&Localized(e).Msg(), &alg::InvalidLogLevel);
            EXPECT_EQ(Localized(e).Detail(), "");
        }
    }
    EXPECT_STREQ(alg::LogLevelDisplayName(0), "None");
    EXPECT_STREQ(alg::LogLevelDisplayName(1), "Events");
    EXPECT_STREQ(alg::LogLevelDisplayName(2), "Details");
    EXPECT_STREQ(alg::LogLevelDisplayName(3), "Verbose");
    EXPECT_STREQ(alg::LogLevelDisplayName(4), "Unknown");
    EXPECT_STREQ(alg::LogLevelDisplayName(-1), "Unknown");
}

TEST(LogNames, ParseFacility) {
    EXPECT_EQ(alg::ParseFacility("LOCAL0"), 0);
    EXPECT_EQ(alg::ParseFacility("local5"), 5);
    EXPECT_EQ(alg::ParseFacility("Local7"), 7);
    for (const char* bad : {"LOCAL8", "LOCAL", "LOCAL10", "LOCAL-1", "local 1", "DAEMON", "",
                            static_cast<const char*>(nullptr)}) {
        try {
            alg::ParseFacility(bad);
            ADD_FAILURE() << "accepted " << (bad ? bad : "(null)");
        } catch (const alg::InitializerError& e) {
            EXPECT_STREQ(e.what(), "invalid facility name");
            EXPECT_EQ(&Localized(e).Msg(), &alg::InvalidFacilityName);
        }
    }
}

TEST(LogNames, EncoderSelectedByExactName) {
    EXPECT_EQ(&alg::conLogger("", alg::event).GetEncoder(), &alg::defaultEnc);
    EXPECT_EQ(&alg::conLogger("Null", alg::event).GetEncoder(), &alg::defaultEnc);
    EXPECT_EQ(&alg::conLogger("KOI8-R", alg::event).GetEncoder(), &alg::koi8Enc);
    EXPECT_EQ(&alg::conLogger("CP866", alg::event).GetEncoder(), &alg::oemEnc);
    EXPECT_EQ(&alg::conLogger("Windows-1251", alg::event).GetEncoder(), &alg::cp1251Enc);
    for (const char* bad : {"koi8-r", "NULL", "UTF-8", "KOI8-R "}) {
        try {
            alg::conLogger logger(bad, alg::event);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const alg::FactoryError& e) {
            EXPECT_STREQ(e.what(), "Illegal Encoder type");
            EXPECT_EQ(Localized(e).Detail(), std::string(" - ") + bad);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Writing messages

TEST(Logger, LevelFiltering) {
    // levels of loggers x levels of messages: written when 0 < message level <= logger level.
    for (int loggerLevel = alg::none; loggerLevel <= alg::verbose; ++loggerLevel) {
        ConsoleCapture out;
        alg::conLogger logger("", static_cast<alg::LogLevel>(loggerLevel), out.file());
        for (int msgLevel = -1; msgLevel <= 4; ++msgLevel) {
            LoggedMessage m(TestMsg, static_cast<alg::LogLevel>(msgLevel), alg::info);
            m.leadIn = std::to_string(msgLevel);
            logger.WriteMsg(m.level, m.type, m);
        }
        std::string expected;
        for (int msgLevel = 1; msgLevel <= loggerLevel; ++msgLevel)
            expected += " " + std::to_string(msgLevel) + "Disk full\n";
        EXPECT_EQ(out.Text(), expected) << "logger level " << loggerLevel;
    }
}

TEST(Logger, ConsoleLinesInEnglishAndKoi8) {
    ConsoleCapture en, koi;
    alg::conLogger english("Null", alg::verbose, en.file());
    alg::conLogger russian("KOI8-R", alg::verbose, koi.file());
    const int types[] = {alg::notice, alg::info, alg::warning, alg::error, 7, -1};
    for (int type : types) {
        LoggedMessage m(TestMsg, alg::event, static_cast<alg::MsgType>(type));
        m.sourceText = "alg_test ";  // the console ignores it
        m.leadIn = "(7) \xC4";       // never converted
        m.AddSuffix(" - \xE0");      // converted with the text
        m.AddSuffix(": b");          // the latest comes first
        english.WriteMsg(m.level, m.type, m);
        russian.WriteMsg(m.level, m.type, m);
    }
    EXPECT_EQ(en.Text(),
              ">(7) \xC4"
              "Disk full: b - \xE0\n"
              " (7) \xC4"
              "Disk full: b - \xE0\n"
              "*(7) \xC4"
              "Disk full: b - \xE0\n"
              "!(7) \xC4"
              "Disk full: b - \xE0\n"
              " (7) \xC4"
              "Disk full: b - \xE0\n"
              " (7) \xC4"
              "Disk full: b - \xE0\n");
    // "Диск полон" in KOI8-R; blank and ASCII kept, "а" of the suffix converted to 0xC1.
    const std::string line = "(7) \xC4\xE4\xC9\xD3\xCB \xD0\xCF\xCC\xCF\xCE: b - \xC1\n";
    EXPECT_EQ(koi.Text(),
              ">" + line + " " + line + "*" + line + "!" + line + " " + line + " " + line);
}

TEST(Logger, DefaultConsoleWritesToStandardOutput) {
    // Point fd 1 at a file for the duration of one write.
    std::FILE* capture = std::tmpfile();
    ASSERT_NE(capture, nullptr);
    std::fflush(stdout);
    const int saved = dup(1);
    ASSERT_GE(saved, 0);
    ASSERT_GE(dup2(fileno(capture), 1), 0);
    {
        alg::conLogger logger("", alg::event);
        LoggedMessage m(TestMsg, alg::event, alg::warning);
        logger.WriteMsg(m.level, m.type, m);
    }
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::rewind(capture);
    char buf[64] = {};
    std::fread(buf, 1, sizeof buf - 1, capture);
    std::fclose(capture);
    EXPECT_STREQ(buf, "*Disk full\n");
}

TEST(Logger, LogLevelProperty) {
    alg::conLogger logger("", alg::event);
    std::string value;
    EXPECT_TRUE(logger.GetPropVal("LogLevel", value));
    EXPECT_EQ(value, "Events");
    EXPECT_EQ(logger.SetPropVal("LogLevel", "DETAILS"), 0);
    EXPECT_EQ(logger.GetLogLevel(), alg::detail);
    EXPECT_EQ(logger.SetPropVal("LogLevel", "loud"), 3);
    EXPECT_EQ(logger.SetPropVal("LogLevel", ""), 3);
    EXPECT_EQ(logger.GetLogLevel(), alg::detail);
    EXPECT_EQ(logger.SetPropVal("loglevel", "none"), 1);
    EXPECT_EQ(logger.SetPropVal("Encoding", "none"), 1);
    EXPECT_EQ(logger.GetLogLevel(), alg::detail);
    value = "untouched";
    EXPECT_FALSE(logger.GetPropVal("Level", value));
    EXPECT_EQ(value, "untouched");
    logger.SetLogLevel(static_cast<alg::LogLevel>(9));
    EXPECT_STREQ(logger.GetLogLevelName(), "Unknown");
}

TEST(Logger, LogExceptionUsesThePairOrWhat) {
    Collector c;
    alg::LogException(c, alg::LogicError(alg::kNullIdentifierText), alg::event, alg::error);
    alg::LogException(c, alg::FactoryError(alg::LoggerClassNotFound, " - X"), alg::detail,
                      alg::warning);
    ASSERT_EQ(c.texts.size(), 2u);
    EXPECT_EQ(c.texts[0], "Attempt to find object with NULL identifier");
    EXPECT_EQ(c.ru[0], c.texts[0]);
    EXPECT_EQ(c.levels[0], alg::event);
    EXPECT_EQ(c.types[0], alg::error);
    EXPECT_EQ(c.texts[1], "Logger class not found");
    EXPECT_EQ(c.ru[1], alg::LoggerClassNotFound.ru);
    EXPECT_EQ(c.suffixes[1], " - X");
    EXPECT_EQ(c.levels[1], alg::detail);
    EXPECT_EQ(c.types[1], alg::warning);
}

ALG_MESSAGE(DashMsg, "Net - none", "Сеть — нет");  // the em dash is 0x97 in Windows-1251

TEST(Logger, OutsideTextWrittenEscapedConstantTextsKept) {
    std::vector<std::string> control;
    std::mutex mutex;
    ConsoleCapture en, koi;
    LogSystem logs;
    LogSystem::LoggerList list;
    list.push_back(std::make_unique<alg::conLogger>("", alg::event, en.file()));
    list.push_back(std::make_unique<alg::conLogger>("KOI8-R", alg::event, koi.file()));
    logs.ReplaceLoggers(std::move(list));
    logs.SetControlLogger(std::make_shared<RecordingLogger>("C", &control, &mutex));

    // A constant pair decorated with client text: a line feed, a terminal sequence, a NUL, a
    // UTF-8 C1 control and a bare 0x97 byte.
    LoggedMessage fixed(DashMsg, alg::event, alg::error);
    fixed.sourceText = "svc\r ";
    fixed.leadIn = "(3) ";
    fixed.AddSuffix(std::string(": x\n(9) ok\x1b[2J\0\xC2\x9B\x97", 18));
    logs.WriteMsg(fixed);
    // A pair made at run time (what() as both texts) is outside text as a whole.
    const std::string what = "bad\x01\x97";
    LoggedMessage runTime(alg::locMSG{what.c_str(), what.c_str()}, alg::event, alg::error);
    logs.WriteMsg(runTime);

    const std::string escaped = R"(: x\n(9) ok\x1b[2J\x00\u009b\x97)";
    EXPECT_EQ(control, (std::vector<std::string>{R"(C:svc\r (3) Net - none)" + escaped,
                                                 R"(C:bad\x01\x97)"}));
    EXPECT_EQ(en.Text(), "!(3) Net - none" + escaped + "\n" + R"(!bad\x01\x97)" + "\n");
    // The Russian text keeps its dash (KOI8-R has none: the byte stays 0x97).
    EXPECT_EQ(koi.Text(), "!(3) \xF3\xC5\xD4\xD8 \x97 \xCE\xC5\xD4" + escaped + "\n" +
                              R"(!bad\x01\x97)" + "\n");
}

TEST(Logger, ConsoleWithoutReaderStopsWriting) {
    // SIGPIPE stays pending in this thread instead of ending the test program.
    sigset_t pipeSignal, saved;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipeSignal, &saved), 0);
    const timespec noWait{0, 0};
    auto raised = [&] { return sigtimedwait(&pipeSignal, nullptr, &noWait) == SIGPIPE; };
    while (raised()) {
    }
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    std::FILE* out = fdopen(ends[1], "w");
    ASSERT_NE(out, nullptr);
    {
        alg::conLogger logger("", alg::event, out);
        LoggedMessage m(TestMsg, alg::event, alg::info);
        logger.WriteMsg(m.level, m.type, m);
        EXPECT_TRUE(raised());
        // Every further write would raise SIGPIPE again; the logger no longer tries.
        for (int i = 0; i < 3; ++i) logger.WriteMsg(m.level, m.type, m);
        EXPECT_FALSE(raised());
    }
    std::fclose(out);
    while (raised()) {
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Logger classes and the log system

TEST(LoggerClass, RegistryAndCreation) {
    auto& classes = alg::LoggerClass::Classes();
    ASSERT_GE(classes.size(), 2u);
    EXPECT_STREQ(classes.front()->GetName(), "Console");
    EXPECT_STREQ((*std::next(classes.begin()))->GetName(), "SystemLog");
    EXPECT_EQ(alg::LoggerClass::Find("Console"), &alg::conLoggerInst);
    EXPECT_EQ(alg::LoggerClass::Find("console"), nullptr);
    try {
        alg::LoggerClass::Find(nullptr);
        ADD_FAILURE();
    } catch (const alg::LogicError& e) {
        EXPECT_STREQ(e.what(), "Attempt to find object with NULL identifier");
    }

    auto con = alg::LoggerClass::Create(Logger("Console", "Verbose", {{"Encoding", "CP866"}}));
    EXPECT_STREQ(con->GetClassName(), "Console");
    EXPECT_EQ(con->GetLogLevel(), alg::verbose);
    EXPECT_EQ(&con->GetEncoder(), &alg::oemEnc);
    // Without an "Encoding" parameter the logger writes English; the first one counts.
    EXPECT_EQ(&alg::LoggerClass::Create(Logger("Console", "events", {}))->GetEncoder(),
              &alg::defaultEnc);
    EXPECT_EQ(&alg::LoggerClass::Create(
                   Logger("Console", "events", {{"Encoding", "KOI8-R"}, {"Encoding", "Bad"}}))
                   ->GetEncoder(),
              &alg::koi8Enc);
    EXPECT_THROW(alg::LoggerClass::Create(Logger("Console", "events", {{"Encoding", "koi8"}})),
                 alg::FactoryError);

    // The last "facility" wins; a bad facility is reported before a bad level.
    auto sys = alg::LoggerClass::Create(
        Logger("SystemLog", "details", {{"facility", "LOCAL3"}, {"facility", "LOCAL5"}}));
    EXPECT_EQ(dynamic_cast<alg::sysLogger&>(*sys).GetFacility(), 5);
    EXPECT_EQ(sys->GetLogLevel(), alg::detail);
    try {
        alg::LoggerClass::Create(Logger("SystemLog", "", {{"facility", "LOCAL9"}}));
        ADD_FAILURE();
    } catch (const alg::InitializerError& e) {
        EXPECT_STREQ(e.what(), "invalid facility name");
    }
    EXPECT_THROW(alg::LoggerClass::Create(Logger("Console", nullptr, {})), alg::InitializerError);

    for (const char* name : {"console", "SNMP-x", ""}) {
        try {
            alg::LoggerClass::Create(Logger(name, "events", {}));
            ADD_FAILURE() << name;
        } catch (const alg::FactoryError& e) {
            EXPECT_STREQ(e.what(), "Logger class not found");
            EXPECT_EQ(Localized(e).Detail(), std::string(" - ") + name);
        }
    }
    try {
        alg::LoggerClass::Create(Logger(nullptr, "events", {}));
        ADD_FAILURE();
    } catch (const alg::FactoryError& e) {
        EXPECT_EQ(Localized(e).Detail(), " - ");
    }
}

TEST(LogSystem, DefaultsPathsAndLevels) {
    LogSystem logs;
    logs.LoadDefaultLoggers();
    Collector c;
    logs.ShowLogLevels(c);
    ASSERT_EQ(c.texts.size(), 1u);
    EXPECT_EQ(c.texts[0], "SystemLog: Events, Console: Events");
    EXPECT_EQ(c.ru[0], c.texts[0]);
    EXPECT_EQ(c.levels[0], alg::event);
    EXPECT_EQ(c.types[0], alg::info);

    EXPECT_STREQ(logs.GetClassName(), "LogSystem");
    ASSERT_NE(logs.GetInnerObject("Console", 3), nullptr);
    EXPECT_STREQ(logs.GetInnerObject("Console", 3)->GetClassName(), "Console");
    EXPECT_STREQ(logs.GetInnerObject("Sys", 3)->GetClassName(), "SystemLog");
    EXPECT_STREQ(logs.GetInnerObject("", 0)->GetClassName(), "SystemLog");
    EXPECT_EQ(logs.GetInnerObject("Consolex", 8), nullptr);
    EXPECT_EQ(logs.GetInnerObject("SNMP", 4), nullptr);

    std::string value;
    EXPECT_TRUE(logs.GetProperty("Console.LogLevel", value));
    EXPECT_EQ(value, "Events");
    EXPECT_EQ(logs.SetProperty("SystemLog.LogLevel", "DETAILS"), 0);
    EXPECT_TRUE(logs.GetProperty("SystemLog.LogLevel", value));
    EXPECT_EQ(value, "Details");
    EXPECT_EQ(logs.SetProperty("SystemLog.LogLevel", "chatty"), 3);
    EXPECT_EQ(logs.SetProperty("SNMP.LogLevel", "none"), 1);
    value = "untouched";
    EXPECT_FALSE(logs.GetProperty("SNMP.LogLevel", value));
    EXPECT_EQ(value, "untouched");
}

TEST(LogSystem, WritesControlLoggerFirstThenConfiguredInOrder) {
    std::vector<std::string> lines;
    std::mutex mutex;
    LogSystem logs;
    LogSystem::LoggerList list;
    list.push_back(std::make_unique<RecordingLogger>("A", &lines, &mutex));
    list.push_back(std::make_unique<RecordingLogger>("B", &lines, &mutex, alg::event));
    logs.ReplaceLoggers(std::move(list));
    logs.SetControlLogger(std::make_shared<RecordingLogger>("C", &lines, &mutex));

    LoggedMessage m(TestMsg, alg::event, alg::info);
    m.sourceText = "svc ";
    logs.WriteMsg(m);
    LoggedMessage verbose(TestMsg, alg::verbose, alg::info);
    logs.WriteMsg(verbose);
    logs.ResetFacility();
    EXPECT_EQ(lines,
              (std::vector<std::string>{"C:svc Disk full", "A:svc Disk full", "B:svc Disk full",
                                        "C:Disk full", "A:Disk full", "A reset", "B reset"}));

    lines.clear();
    logs.SetControlLogger(nullptr);
    EXPECT_EQ(logs.ControlLogger(), nullptr);
    logs.WriteMsg(m);
    EXPECT_EQ(lines, (std::vector<std::string>{"A:svc Disk full", "B:svc Disk full"}));
}

TEST(LogSystem, LoadLoggersKeepsOrReplaces) {
    LogSystem logs;
    logs.LoadDefaultLoggers();
    auto defaults = logs.Loggers();

    // No logger elements: the defaults stay.
    logs.LoadLoggers(General({}));
    EXPECT_EQ(logs.Loggers(), defaults);

    // A failing element anywhere leaves the loggers in force.
    EXPECT_THROW(logs.LoadLoggers(General({{"Console", "verbose", {}}, {"SystemLog", "", {}}})),
                 alg::InitializerError);
    EXPECT_EQ(logs.Loggers(), defaults);
    EXPECT_THROW(logs.LoadLoggers(General({{"Console", "verbose", {}}, {"Consol", "events", {}}})),
                 alg::FactoryError);
    EXPECT_EQ(logs.Loggers(), defaults);

    // Elements in document order replace every current logger.
    logs.LoadLoggers(
        General({{"Console", "verbose", {{"Encoding", "KOI8-R"}}}, {"Console", "none", {}}}));
    auto loaded = logs.Loggers();
    ASSERT_EQ(loaded->size(), 2u);
    EXPECT_EQ((*loaded)[0]->GetLogLevel(), alg::verbose);
    EXPECT_EQ(&(*loaded)[0]->GetEncoder(), &alg::koi8Enc);
    EXPECT_EQ((*loaded)[1]->GetLogLevel(), alg::none);
    EXPECT_EQ(logs.GetInnerObject("SystemLog", 9), nullptr);
    // The snapshot taken before stays usable.
    EXPECT_STREQ((*defaults)[0]->GetClassName(), "SystemLog");
}

TEST(LogSystem, ReplacingLoggersWhileThreadsWrite) {
    LogSystem logs;
    std::atomic<long> written{0};
    auto make = [&written] {
        LogSystem::LoggerList list;
        list.push_back(std::make_unique<CountingLogger>(&written));
        list.push_back(std::make_unique<CountingLogger>(&written));
        return list;
    };
    logs.ReplaceLoggers(make());

    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([&logs, &stop] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            for (int i = 0; i < 200000 && !stop.load(); ++i) {
                LoggedMessage m(TestMsg, alg::event, alg::info);
                m.leadIn = "(1) ";
                logs.WriteMsg(m);
                if (std::chrono::steady_clock::now() > deadline) break;
            }
        });
    for (int round = 0; round < 500; ++round) {
        logs.ReplaceLoggers(make());
        logs.SetControlLogger(round % 2 ? std::make_shared<CountingLogger>(&written) : nullptr);
        std::this_thread::yield();
    }
    stop.store(true);
    for (auto& w : writers) w.join();
    EXPECT_GT(written.load(), 0);
}

}  // namespace
