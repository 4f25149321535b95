#include "alg-control.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "cmdbus.h"
#include "framework/fake_app.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// An in-process management service collecting status records and messages.
class FakeMonitor {
  public:
    struct Message {
        std::int32_t type;
        std::string source, line;
    };

    FakeMonitor()
        : dir_(MakeDir()), server_(dir_ + "/cmdbus.sock", [this](auto& r, auto& reply) {
              return Handle(r, reply);
          }) {
        setenv("ALG_RUNDIR", dir_.c_str(), 1);
        server_.Start();
    }

    cmdbus::Status Handle(const cmdbus::Request& r, std::string&) {
        std::lock_guard<std::mutex> g(mutex_);
        if (r.module != alg::kMonitorModule) return cmdbus::kUnknownModule;
        if (r.command == alg::kMonitorStatus) {
            std::string name;
            alg::ProxyInfo info;
            EXPECT_TRUE(alg::DecodeStatusRecord(r.payload, name, info));
            EXPECT_EQ(name, "alg_socks");
            records_.push_back(info);
            raw_.assign(r.payload);
        } else {
            Message m;
            EXPECT_TRUE(alg::DecodeMessageRecord(r.payload, m.type, m.source, m.line));
            messages_.push_back(m);
        }
        changed_.notify_all();
        return cmdbus::kOk;
    }
    bool WaitRecords(std::size_t n, std::chrono::milliseconds limit = 2000ms) {
        std::unique_lock<std::mutex> g(mutex_);
        return changed_.wait_for(g, limit, [&] { return records_.size() >= n; });
    }
    bool WaitMessages(std::size_t n, std::chrono::milliseconds limit = 2000ms) {
        std::unique_lock<std::mutex> g(mutex_);
        return changed_.wait_for(g, limit, [&] { return messages_.size() >= n; });
    }
    std::vector<alg::ProxyInfo> Records() {
        std::lock_guard<std::mutex> g(mutex_);
        return records_;
    }
    std::vector<Message> Messages() {
        std::lock_guard<std::mutex> g(mutex_);
        return messages_;
    }
    std::string Raw() {
        std::lock_guard<std::mutex> g(mutex_);
        return raw_;
    }

  private:
    static std::string MakeDir() {
        char dir[] = "/tmp/alg_control_test.XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        return dir;
    }
    std::string dir_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<alg::ProxyInfo> records_;
    std::vector<Message> messages_;
    std::string raw_;
    cmdbus::Server server_;
};

// A log system with a console logger only (no system log, no SNMP logger).
struct Fixture {
    Fixture() : sink(std::tmpfile()) {
        alg::LogSystem::LoggerList list;
        list.push_back(std::make_unique<alg::conLogger>("", alg::detail, sink));
        logs.ReplaceLoggers(std::move(list));
    }
    ~Fixture() { std::fclose(sink); }
    std::FILE* sink;
    algtest::FakeApp app{algtest::AppValues("alg_socks", "1.0.7", "2024-05-01"),
                         algtest::ListenerValues("1080", "2", "17", "plain")};
    alg::LogSystem logs;
};

void LogError(alg::LogSystem& logs, const char* text) {
    alg::LoggedMessage m(alg::locMSG{text, text}, alg::event, alg::error);
    m.sourceText = "alg_socks ";
    logs.WriteMsg(m);
}

TEST(ProxyControlTest, StatusRecordsAndForwardedMessages) {
    FakeMonitor monitor;
    Fixture f;
    alg::ProxyControl control(f.app, f.logs);
    EXPECT_NE(f.logs.ControlLogger(), nullptr);
    control.controlStart();
    auto work = std::async(std::launch::async, [&] { return control.controlWork(); });

    // The first record goes out at once.
    ASSERT_TRUE(monitor.WaitRecords(1, 1000ms));
    const alg::ProxyInfo first = monitor.Records()[0];
    EXPECT_EQ(first.version, "1.0.7");
    EXPECT_EQ(first.buildDate, "2024-05-01");
    EXPECT_EQ(first.listenerPort, "1080");
    EXPECT_EQ(first.activeRequests, "2");
    EXPECT_EQ(first.totalRequests, "17");
    EXPECT_EQ(first.authSystem, "plain");
    EXPECT_EQ(first.sysLogLevel, "");
    EXPECT_EQ(first.consoleLevel, "Details");
    EXPECT_EQ(first.lastMsgType, 0);
    EXPECT_EQ(first.lastMsgText, "");
    // No SNMP logger: its field is a length of 0 followed by no bytes, right before the type.
    const std::string raw = monitor.Raw();
    ASSERT_GE(raw.size(), 12u);
    EXPECT_EQ(raw.substr(raw.size() - 12, 8), std::string(8, '\0'));

    // A message is forwarded at once and becomes the last message of the next record.
    LogError(f.logs, "x");
    ASSERT_TRUE(monitor.WaitMessages(1));
    auto messages = monitor.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, 3);
    EXPECT_EQ(messages[0].source, "alg_socks ");
    EXPECT_EQ(messages[0].line, "x");
    ASSERT_TRUE(monitor.WaitRecords(2, 4000ms));
    EXPECT_EQ(monitor.Records()[1].lastMsgType, 3);
    EXPECT_EQ(monitor.Records()[1].lastMsgText, "x");

    // controlStop ends the 3 s wait at once.
    const auto start = Clock::now();
    control.controlStop();
    ASSERT_EQ(work.wait_for(1000ms), std::future_status::ready);
    EXPECT_FALSE(work.get());
    EXPECT_LT(Clock::now() - start, 1000ms);
}

TEST(ProxyControlTest, RestartAndStopOrders) {
    FakeMonitor monitor;
    Fixture f;
    {
        alg::ProxyControl control(f.app, f.logs);
        // Not started: returns false and sends nothing.
        EXPECT_FALSE(control.controlWork());
        EXPECT_TRUE(monitor.Records().empty());

        // A restart ordered before controlWork: one record, then true.
        control.controlStart();
        control.controlRestart();
        EXPECT_TRUE(control.controlWork());
        EXPECT_TRUE(monitor.WaitRecords(1));

        // A restart ordered during the wait ends it at once.
        auto work = std::async(std::launch::async, [&] { return control.controlWork(); });
        ASSERT_TRUE(monitor.WaitRecords(2));
        control.controlRestart();
        ASSERT_EQ(work.wait_for(1000ms), std::future_status::ready);
        EXPECT_TRUE(work.get());
    }
    // Destruction sends the record once more and takes the logger out of the log system.
    EXPECT_EQ(monitor.Records().size(), 3u);
    EXPECT_EQ(f.logs.ControlLogger(), nullptr);
    LogError(f.logs, "after");
    EXPECT_TRUE(monitor.Messages().empty());

    // A channel that never served (a refused second copy, a daemon's parent) forwards its
    // messages when it ends, but sends no record over the serving copy's.
    {
        alg::ProxyControl control(f.app, f.logs);
        LogError(f.logs, "Only one copy");
    }
    ASSERT_EQ(monitor.Messages().size(), 1u);
    EXPECT_EQ(monitor.Messages()[0].line, "Only one copy");
    EXPECT_EQ(monitor.Records().size(), 3u);
}

TEST(ProxyControlTest, ReportedTextsAreCutOnCharacterBoundaries) {
    const std::string cyr = "\xD0\x96";  // one two-byte character
    struct Case {
        std::string text;
        std::size_t limit;
        std::string want;
    } cases[] = {
        {"short", 16, "short"},
        {std::string(16, 'a'), 16, std::string(16, 'a')},
        {std::string(17, 'a'), 16, std::string(10, 'a') + " [cut]"},
        // The character that would straddle the cut goes whole.
        {std::string(9, 'a') + cyr + "bbbbbbbb", 16, std::string(9, 'a') + " [cut]"},
        {std::string(8, 'a') + cyr + "bbbbbbbb", 16, std::string(8, 'a') + cyr + " [cut]"},
        {"abcdefgh", 3, " [c"},
    };
    for (const Case& c : cases) {
        const std::string got = alg::CutReportedText(c.text, c.limit);
        EXPECT_EQ(got, c.want) << c.text;
        EXPECT_LE(got.size(), c.limit);
    }
    EXPECT_EQ(alg::LastMessageText("x", 0), "x");
    EXPECT_EQ(alg::LastMessageText("x", 7), "x [messages not forwarded: 7]");
}

// Last: an absent service makes the process-wide sender refuse for a while.
TEST(ProxyControlTest, AbsentServiceIsHarmless) {
    char dir[] = "/tmp/alg_control_none.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("ALG_RUNDIR", dir, 1);
    Fixture f;
    alg::ProxyControl control(f.app, f.logs);
    control.controlStart();
    auto work = std::async(std::launch::async, [&] { return control.controlWork(); });
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) LogError(f.logs, "nobody listens");
    EXPECT_LT(Clock::now() - start, 2000ms);
    // Once the sender has found no service, the channel's logger takes no message until the
    // bus would try again, while the configured loggers write as before.
    const auto logger = f.logs.ControlLogger();
    bool suspended = false;
    for (int i = 0; i < 200 && !suspended; ++i) {
        LogError(f.logs, "nobody listens");
        suspended = !logger->Admits(alg::event);
        if (!suspended) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(suspended);
    EXPECT_TRUE(f.logs.Admits(alg::detail));
    EXPECT_FALSE(f.logs.Admits(alg::verbose));
    EXPECT_FALSE(f.logs.Admits(alg::none));
    control.controlStop();
    ASSERT_EQ(work.wait_for(1000ms), std::future_status::ready);
    EXPECT_FALSE(work.get());
    // Nothing was sent, so nothing was recorded as the last message either.
    EXPECT_EQ(control.Private().info.lastMsgText, "");
}

}  // namespace
