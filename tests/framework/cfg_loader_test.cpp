#include "cfg_loader.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "alg-control.h"
#include "alg_xml.h"
#include "cmdbus.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string MakeTempDir() {
    char dir[] = "/tmp/cfg_loader_test.XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return dir;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Records what the loader logs.
class FakeLog : public alg::I_ToLogSystem {
  public:
    struct Entry {
        std::string en, suffix;
        alg::LogLevel level;
        alg::MsgType type;
    };
    void Log(alg::LoggedMessage& m) override {
        std::lock_guard<std::mutex> g(mutex);
        entries.push_back({m.en, m.suffix, m.level, m.type});
    }
    std::vector<Entry> Entries() {
        std::lock_guard<std::mutex> g(mutex);
        return entries;
    }
    std::mutex mutex;
    std::vector<Entry> entries;
};

// An in-process management service: records registrations and polls, answers polls from a
// script (the last entry repeats).
class FakeService {
  public:
    struct Registration {
        std::uint64_t connection;
        std::string name, status;
    };

    explicit FakeService(std::vector<std::string> answers)
        : dir_(MakeTempDir()),
          answers_(std::move(answers)),
          server_(dir_ + "/cmdbus.sock", [this](const cmdbus::Request& r, std::string& reply) {
              return Handle(r, reply);
          }) {
        setenv("ALG_RUNDIR", dir_.c_str(), 1);
        server_.Start();
    }

    cmdbus::Status Handle(const cmdbus::Request& r, std::string& reply) {
        std::lock_guard<std::mutex> g(mutex_);
        if (r.module != alg::kPmpModule) return cmdbus::kUnknownModule;
        if (r.command == alg::kPmpRegister) {
            Registration reg{r.connection, {}, {}};
            EXPECT_TRUE(alg::DecodeRegistration(r.payload, reg.name, reg.status));
            registrations_.push_back(reg);
        } else {
            reply = answers_[std::min(polls_, answers_.size() - 1)];
            ++polls_;
        }
        changed_.notify_all();
        return cmdbus::kOk;
    }

    // Waits (at most `limit`) until `n` registrations were seen.
    bool WaitRegistrations(std::size_t n, std::chrono::milliseconds limit = 3000ms) {
        std::unique_lock<std::mutex> g(mutex_);
        return changed_.wait_for(g, limit, [&] { return registrations_.size() >= n; });
    }
    bool WaitPolls(std::size_t n, std::chrono::milliseconds limit = 3000ms) {
        std::unique_lock<std::mutex> g(mutex_);
        return changed_.wait_for(g, limit, [&] { return polls_ >= n; });
    }
    std::vector<Registration> Registrations() {
        std::lock_guard<std::mutex> g(mutex_);
        return registrations_;
    }
    std::size_t Polls() {
        std::lock_guard<std::mutex> g(mutex_);
        return polls_;
    }
    const std::string& Dir() const { return dir_; }

  private:
    std::string dir_;
    std::vector<std::string> answers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Registration> registrations_;
    std::size_t polls_ = 0;
    cmdbus::Server server_;
};

// The application's part in a policy hand-over, run on a thread of its own as the main
// thread would: read the policy, store it, end the creation with workerStart.
struct FakeApp {
    alg::ALG_CfgLoader loader;
    FakeLog log;
    std::string settings;
    std::atomic<int> restarts{0};
    std::string received;
    std::thread restarter;
    std::vector<std::thread::id> namedOn;  // the threads that asked for the loader's name
    // When set, the restart fails with this message and an operator's reload follows at once.
    const alg::locMSG* refusal = nullptr;

    FakeApp() {
        loader.init(
            log,
            [this] {
                namedOn.push_back(std::this_thread::get_id());
                return std::string("proxy_socks");
            },
            [this] {
                ++restarts;
                restarter = std::thread([this] {
                    loader.get_lsp_data(received);
                    alg::ALG_CfgLoader::saveToFile(settings, received, &log);
                    if (refusal)
                        loader.workerLog(alg::LoggedMessage(*refusal, alg::event, alg::error));
                    loader.workerStart();
                    if (refusal) loader.workerStart();
                });
            });
    }
    ~FakeApp() {
        loader.fini();
        if (restarter.joinable()) restarter.join();
    }
};

const std::string kNotReady = alg::EncodePollReply(alg::kPmpNotReady, {});

TEST(CfgLoaderTest, ParsePollReplyChecksEveryLayout) {
    using alg::ParsePollReply;
    std::string four, six;
    cmdbus::PayloadWriter(four).U32(2);
    EXPECT_EQ(ParsePollReply(four).code, 2u);
    EXPECT_EQ(ParsePollReply(four).text, "");
    EXPECT_EQ(ParsePollReply(alg::EncodePollReply(7, "why")).text, "why");
    EXPECT_EQ(ParsePollReply(alg::EncodePollReply(1, "<p/>")).text, "<p/>");
    cmdbus::PayloadWriter(six).U32(3);
    EXPECT_EQ(ParsePollReply(six).code, 3u);  // not ready needs no text

    std::string one4;
    cmdbus::PayloadWriter(one4).U32(1);
    const std::string bad[] = {
        "",
        "\x01\x00\x00",
        one4,                                          // too short
        alg::EncodePollReply(1, "abc").substr(0, 10),  // policy cut short
        alg::EncodePollReply(2, "abc").substr(0, 6),   // error, 5 to 7 bytes
        alg::EncodePollReply(2, "abc") + "x",          // trailing bytes
    };
    for (const std::string& b : bad) EXPECT_THROW(ParsePollReply(b), alg::CommandStreamError);
}

TEST(CfgLoaderTest, NotReadyIsPolledEverySecondWithoutRegisteringAgain) {
    FakeService service({kNotReady});
    FakeApp app;
    app.loader.workerStart();
    ASSERT_TRUE(service.WaitRegistrations(1));
    std::this_thread::sleep_for(2500ms);
    const auto regs = service.Registrations();
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0].name, "proxy_socks");
    EXPECT_EQ(regs[0].status, "");
    // Asked on the starting thread, never by a worker that may outlive whatever answers.
    EXPECT_EQ(app.namedOn, std::vector<std::thread::id>{std::this_thread::get_id()});
    EXPECT_GE(service.Polls(), 2u);
    EXPECT_LE(service.Polls(), 4u);
    EXPECT_TRUE(app.log.Entries().empty());

    // workerStop while waiting for the next poll returns at once.
    const auto start = Clock::now();
    app.loader.workerStop();
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_FALSE(app.loader.IsRunning());
}

TEST(CfgLoaderTest, StatusTextOfStartUpFailures) {
    FakeService service({kNotReady});
    FakeApp app;
    // A failure of the first proxy creation reaches the first registration.
    alg::LoggedMessage failure(alg::locMSG{"Proxy creation fails", "x"}, alg::event, alg::error);
    failure.leadIn = "(1) ";
    failure.AddSuffix(" - /etc/algd/socks.xml");
    app.loader.workerLog(failure);
    app.loader.workerStart();
    ASSERT_TRUE(service.WaitRegistrations(1));
    EXPECT_EQ(service.Registrations()[0].status, "(1) Proxy creation fails - /etc/algd/socks.xml");

    // A later creation that fails again is reported at once with its own text, cut to the
    // bound the service accepts ...
    alg::LoggedMessage again(alg::locMSG{"Logger class not found", "x"}, alg::event, alg::error);
    again.AddSuffix(": " + std::string(100000, 'n'));
    app.loader.workerLog(again);
    app.loader.workerStart();
    ASSERT_TRUE(service.WaitRegistrations(2));
    const std::string cut = service.Registrations()[1].status;
    EXPECT_EQ(cut.size(), alg::kMaxReportedText);
    EXPECT_EQ(cut.substr(0, 24), "Logger class not found: ");
    EXPECT_EQ(cut.substr(cut.size() - 6), " [cut]");
    // ... and one that succeeds clears it.
    app.loader.workerStart();
    ASSERT_TRUE(service.WaitRegistrations(3));
    EXPECT_EQ(service.Registrations()[2].status, "");
}

TEST(CfgLoaderTest, PolicyReaderComplaintsAreOneLine) {
    struct Case {
        std::string text;
        bool read;
        std::string error;
    } cases[] = {
        {"<algpolicy><proxy name='alg_socks'/></algpolicy>", true, ""},
        {"not a policy", false, "socks.xml, line 1: Start tag expected, '<' not found"},
        {"<algpolicy/><algpolicy/>", false, "socks.xml, line 1: "},
        {"<other/>", false, "the document has not exactly one algpolicy element"},
    };
    for (const Case& c : cases) {
        ALGalgpolicyType policy;
        std::string error;
        EXPECT_EQ(alg::ReadPolicyText(policy, "socks.xml", c.text, error), c.read) << c.text;
        EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.text;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(policy.proxy.size(), c.read ? 1 : 0) << c.text;
    }
    std::string error;
    ALGalgpolicyType policy;
    EXPECT_FALSE(alg::ReadPolicyFile(policy, "/nonexistent/socks.xml", error));
    EXPECT_NE(error.find("/nonexistent/socks.xml"), std::string::npos) << error;
}

TEST(CfgLoaderTest, ErrorAndMalformedRepliesEndTheRound) {
    std::string bare;
    cmdbus::PayloadWriter(bare).U32(2);
    const std::string answers[] = {
        bare,                                              // error, 4 bytes: empty suffix
        alg::EncodePollReply(5, "no such loader"),         // error with text
        alg::EncodePollReply(alg::kPmpPolicyFollows, {}),  // empty policy: ignored
        alg::EncodePollReply(1, "abcdef").substr(0, 9),    // CommandStreamError
        kNotReady,
    };
    FakeService service(std::vector<std::string>(std::begin(answers), std::end(answers)));
    FakeApp app;
    app.loader.workerStart();
    for (std::size_t round = 1; round <= 5; ++round) {
        ASSERT_TRUE(service.WaitRegistrations(round)) << round;
        ASSERT_TRUE(service.WaitPolls(round)) << round;
        std::this_thread::sleep_for(100ms);
        // Each failed round goes to the 10 s pause; exactly one poll happened in it.
        EXPECT_EQ(service.Polls(), round);
        if (round < 5) app.loader.workerStart();  // end the pause
    }
    const auto log = app.log.Entries();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].en, std::string("Error occured while getting policy by PMP: "));
    EXPECT_EQ(log[0].suffix, "");
    EXPECT_EQ(log[0].level, alg::verbose);
    EXPECT_EQ(log[0].type, alg::warning);
    EXPECT_EQ(log[1].suffix, "no such loader");
    EXPECT_EQ(app.restarts.load(), 0);
    // Rounds reuse the session, except after the malformed reply.
    const auto regs = service.Registrations();
    EXPECT_EQ(regs[0].connection, regs[3].connection);
    EXPECT_NE(regs[3].connection, regs[4].connection);
}

TEST(CfgLoaderTest, StopDuringThePauseEndsTheWorkerAtOnce) {
    std::string bare;
    cmdbus::PayloadWriter(bare).U32(2);
    FakeService service({bare});
    FakeApp app;
    app.loader.workerStart();
    ASSERT_TRUE(service.WaitPolls(1));
    std::this_thread::sleep_for(200ms);
    const auto start = Clock::now();
    app.loader.workerStop();
    EXPECT_LT(Clock::now() - start, 1000ms);
    // A stopped loader can be started again.
    app.loader.workerStart();
    ASSERT_TRUE(service.WaitRegistrations(2));
}

TEST(CfgLoaderTest, ReceivedPolicyRestartsTheApplicationAndIsStored) {
    static const char kPolicyBytes[] = "<algpolicy>\r\n\x01\x00\xff</algpolicy>";
    const std::string policy(kPolicyBytes, sizeof kPolicyBytes - 1);
    FakeService service({alg::EncodePollReply(alg::kPmpPolicyFollows, policy), kNotReady});
    FakeApp app;
    app.settings = service.Dir() + "/socks.xml";
    {
        std::ofstream old(app.settings);
        old << "an older and much longer policy text that must disappear completely";
    }
    chmod(app.settings.c_str(), 0644);
    app.loader.workerStart();
    for (int i = 0; i < 50 && app.restarts == 0; ++i) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(app.restarts.load(), 1);
    app.restarter.join();
    EXPECT_EQ(app.received, policy);
    EXPECT_EQ(ReadFile(app.settings), policy);
    struct stat st;
    ASSERT_EQ(stat(app.settings.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Once the application has started again the text is gone.
    std::string left = "x";
    for (int i = 0; i < 50 && !left.empty(); ++i) {
        app.loader.get_lsp_data(left);
        if (!left.empty()) std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(left, "");
    const auto log = app.log.Entries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].en, std::string("Policy obtained by PMP"));
    EXPECT_EQ(log[0].type, alg::info);
    // The restart's outcome is registered at once, not after the pause.
    ASSERT_TRUE(service.WaitRegistrations(2, 1500ms));
    EXPECT_EQ(service.Registrations()[1].status, "");
}

// A refused policy is reported as refused even when a reload that succeeds comes before the
// worker registers again.
TEST(CfgLoaderTest, PushOutcomeSurvivesAReloadThatFollows) {
    FakeService service({alg::EncodePollReply(alg::kPmpPolicyFollows, "<algpolicy/>"), kNotReady});
    FakeApp app;
    app.settings = service.Dir() + "/socks.xml";
    app.refusal = &alg::PolicyRefusedPMP;
    app.loader.workerStart();
    ASSERT_TRUE(service.WaitRegistrations(2, 1500ms));
    EXPECT_EQ(service.Registrations()[1].status, alg::PolicyRefusedPMP.en);
    app.restarter.join();
}

TEST(CfgLoaderTest, SaveFailureIsLoggedAndLeavesNoFile) {
    const std::string dir = MakeTempDir();
    FakeLog log;
    const std::string path = dir + "/missing/socks.xml";
    alg::ALG_CfgLoader::saveToFile(path, "<algpolicy/>", &log);
    const auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].en, std::string("Can't save policy obtained by PMP to file"));
    EXPECT_EQ(entries[0].suffix, " " + path);
    EXPECT_EQ(entries[0].level, alg::event);
    EXPECT_EQ(entries[0].type, alg::error);
    // A rename that cannot replace the target leaves it, and no temporary file, behind.
    const std::string target = dir + "/socks.xml";
    mkdir(target.c_str(), 0700);
    alg::ALG_CfgLoader::saveToFile(target, "new", &log);
    EXPECT_EQ(log.Entries().size(), 2u);
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file();
    EXPECT_EQ(files, 0u);
}

}  // namespace
