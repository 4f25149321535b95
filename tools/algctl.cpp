// algctl: the management service the gateways report to (serve), and its client (status,
// push, log).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "algctl_format.h"
#include "algctl_service.h"
#include "basis.h"
#include "cmdbus.h"
#include "dirmap.h"
#include "line_outbox.h"
#include "mldoc.h"
#include "policy_check.h"
#include "status_http.h"
#include "status_web.h"

namespace {

using namespace alg::ctl;

constexpr const char* kUsage =
    "usage: algctl serve [--keep N] [--metrics ADDR:PORT] [--http ADDR:PORT]\n"
    "       algctl status [--watch] [--json]\n"
    "       algctl push LOADER FILE [--timeout SECONDS]\n"
    "       algctl log [-f]\n"
    "LOADER is proxy_ftp, proxy_http, proxy_smtp or proxy_socks.\n"
    "--metrics serves the gateways' status and message counters in the Prometheus text format\n"
    "(GET /metrics); --http serves a status page refreshing every 3 s (GET /). ADDR defaults\n"
    "to 127.0.0.1 (\":PORT\"); both answer GET only, to requests of at most 8 KiB sent within\n"
    "2 s, one at a time, from a thread of their own.\n";
constexpr const char* kNoService = "algctl: no management service answers on ";
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStartupError = 3;
constexpr int kExitTimeout = 4;
constexpr int kWatchPeriodMs = 3000;
constexpr int kPushPollMs = 250;
constexpr int kFollowPollMs = 500;
constexpr int kDefaultPushTimeoutS = 30;

volatile sig_atomic_t interrupted = 0;
void OnInterrupt(int) {
    interrupted = 1;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool ParseNumber(const char* text, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v <= 0) return false;
    out = v;
    return true;
}

// A client session to the service, closed on scope exit.
class Client {
  public:
    Client() : session_(CommandSender::Instance()->OpenNewSession("algctl", 1)) {}
    ~Client() { CommandSender::Instance()->CloseSession(session_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Open() const { return session_ != nullptr; }
    // Sends one admin command; false (with the service's text in `reply`, if any) on failure.
    bool Call(AdminCommand command, const std::string& payload, std::string& reply) {
        reply.clear();
        return session_ && session_->__SendCommand(kAdminModule, command, payload.data(),
                                                   unsigned(payload.size()), &reply);
    }

  private:
    BridgeSession* session_;
};

int NoService() {
    std::cerr << kNoService << cmdbus::SocketPath() << "\n";
    return kExitFailed;
}

// The latest messages the status page lists.
constexpr std::size_t kPageMessages = 20;

int Serve(int argc, char** argv) {
    long keep = 1000;
    std::string metricsAt, httpAt;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0 && i + 1 < argc && ParseNumber(argv[i + 1], keep))
            ++i;
        else if (std::strcmp(argv[i], "--metrics") == 0 && i + 1 < argc)
            metricsAt = argv[++i];
        else if (std::strcmp(argv[i], "--http") == 0 && i + 1 < argc)
            httpAt = argv[++i];
        else {
            std::cerr << kUsage;
            return kExitUsage;
        }
    }
    // Signals are taken by sigwait below, so every thread must have them blocked.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const std::string dir = systemRunDir();
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::cerr << "algctl: cannot create " << dir << ": " << std::strerror(errno) << "\n";
        return kExitFailed;
    }
    // Standard output may be a terminal or pipe that nobody reads: bus requests must never
    // wait on it, so every line goes through the outbox.
    LineOutbox out(STDOUT_FILENO);
    Service service(std::size_t(keep),
                    [&out](const std::string& line) { out.Post(EscapeControls(line)); });
    cmdbus::Server server(
        cmdbus::SocketPath(),
        [&service](const cmdbus::Request& r, std::string& reply) {
            return service.Handle(r, reply);
        },
        [&service](std::uint64_t connection) { service.ConnectionClosed(connection); });
    try {
        server.Start();
    } catch (const std::exception& e) {
        std::cerr << "algctl: " << e.what() << "\n";
        return kExitFailed;
    }
    out.Post("serving on " + EscapeControls(server.Path()));
    // Destroyed before `service`, whose snapshots its thread reads.
    StatusHttp web;
    try {
        if (!metricsAt.empty())
            out.Post("metrics on " + web.Listen(metricsAt, [&service](const std::string& path) {
                return path == "/metrics" || path == "/"
                           ? std::optional<HttpAnswer>(
                                 {"text/plain; version=0.0.4; charset=utf-8",
                                  FormatMetrics(service.Snapshot(0))})
                           : std::nullopt;
            }));
        if (!httpAt.empty())
            out.Post("status page on " + web.Listen(httpAt, [&service](const std::string& path) {
                return path == "/" ? std::optional<HttpAnswer>(
                                         {"text/html; charset=utf-8",
                                          FormatStatusPage(service.Snapshot(kPageMessages))})
                                   : std::nullopt;
            }));
    } catch (const std::exception& e) {
        std::cerr << "algctl: " << e.what() << "\n";
        server.Stop();
        return kExitFailed;
    }
    if (!metricsAt.empty() || !httpAt.empty()) web.Start();
    int sig = 0;
    sigwait(&stop, &sig);
    server.Stop();
    return kExitOk;
}

bool FetchStatus(Client& client, std::vector<StatusEntry>& entries) {
    std::string reply;
    return client.Call(kStatusList, {}, reply) && DecodeStatusList(reply, entries);
}

int Status(int argc, char** argv) {
    bool watch = false, json = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--watch") == 0)
            watch = true;
        else if (std::strcmp(argv[i], "--json") == 0)
            json = true;
        else {
            std::cerr << kUsage;
            return kExitUsage;
        }
    }
    signal(SIGINT, OnInterrupt);
    for (bool first = true; first || (watch && !interrupted); first = false) {
        if (!first) {
            for (int slept = 0; slept < kWatchPeriodMs && !interrupted; slept += 100) SleepMs(100);
            if (interrupted) break;
        }
        Client client;
        std::vector<StatusEntry> entries;
        if (!client.Open()) return NoService();
        if (!FetchStatus(client, entries)) {
            std::cerr << "algctl: the service sent no status list\n";
            return kExitFailed;
        }
        if (watch && !json) std::printf("\033[H\033[2J");
        std::fputs((json ? FormatStatusJson(entries) : FormatStatusTable(entries)).c_str(), stdout);
        std::fflush(stdout);
    }
    return kExitOk;
}

int Push(int argc, char** argv) {
    std::vector<const char*> args;
    long timeout = kDefaultPushTimeoutS;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--timeout") == 0) {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], timeout)) {
                std::cerr << kUsage;
                return kExitUsage;
            }
            ++i;
        } else {
            args.push_back(argv[i]);
        }
    }
    if (args.size() != 2 || !IsLoaderName(args[0])) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    const std::string loader = args[0], file = args[1];
    std::string policy;
    try {
        policy = MLDoc::readFile(file);
    } catch (const TTT& e) {
        std::cerr << "algctl: cannot read " << EscapeControls(file) << ": "
                  << EscapeControls(e.cause()) << "\n";
        return kExitFailed;
    }
    // The push carries the loader's name and the policy; the poll reply, a code and the policy.
    if (policy.size() + 8 + loader.size() > cmdbus::kMaxPayload) {
        std::cerr << "algctl: " << EscapeControls(file) << " is larger than the bus carries\n";
        return kExitFailed;
    }
    Client client;
    // The gateway behind the loader must find its section; a gateway registered on the loader
    // may name its service otherwise than usual, and the service knows it.
    std::vector<std::string> sections{ServiceOfLoader(loader)};
    if (client.Open()) {
        std::string request, names;
        cmdbus::PayloadWriter(request).Text(loader);
        if (client.Call(kLoaderServices, request, names)) {
            cmdbus::PayloadReader in(names);
            std::uint32_t count = 0;
            std::string name;
            for (in.U32(count); count > 0 && in.Text(name); --count) sections.push_back(name);
        }
    }
    // Judged here, before anything is sent: a bad policy never reaches a gateway.
    const alg::PolicyProblems problems = alg::CheckPolicyDocument(file, policy, sections);
    if (!problems.empty()) {
        std::cerr << "algctl: refused " << EscapeControls(file) << ":\n";
        for (const std::string& p : alg::FormatPolicyProblems(file, problems))
            std::cerr << "  " << p << "\n";
        return kExitFailed;
    }
    if (!client.Open()) return NoService();
    std::string request, reply;
    cmdbus::PayloadWriter(request).Text(loader).Text(policy);
    std::uint32_t ticket = 0;
    if (!client.Call(kPush, request, reply) || !cmdbus::PayloadReader(reply).U32(ticket)) {
        std::cerr << "algctl: push refused by the service: " << EscapeControls(reply) << "\n";
        return kExitFailed;
    }
    std::printf("queued for %s\n", loader.c_str());
    std::fflush(stdout);
    std::string state;
    cmdbus::PayloadWriter(state).U32(ticket);
    bool delivered = false;
    for (long waited = 0; waited <= timeout * 1000; waited += kPushPollMs) {
        if (!client.Call(kPushState, state, reply)) {
            std::cerr << "algctl: lost the service while waiting\n";
            return kExitFailed;
        }
        std::uint32_t code = kGone;
        std::string status;
        cmdbus::PayloadReader answer(reply);
        if (!answer.U32(code) || !answer.Text(status)) {
            std::cerr << "algctl: the service sent a malformed answer\n";
            return kExitFailed;
        }
        // A prompt gateway may register its outcome between two of our polls.
        if ((code == kDelivered || code == kReported) && !delivered) {
            std::printf("delivered to %s\n", loader.c_str());
            std::fflush(stdout);
            delivered = true;
        }
        if (code == kReported) {
            std::printf("%s registered: %s\n", loader.c_str(),
                        status.empty() ? "no start-up error" : EscapeControls(status).c_str());
            return status.empty() ? kExitOk : kExitStartupError;
        }
        if (code == kGone) {
            std::cerr << "algctl: the policy was replaced by a later push\n";
            return kExitFailed;
        }
        SleepMs(kPushPollMs);
    }
    if (!delivered) client.Call(kCancelPush, state, reply);
    std::cerr << "algctl: " << loader
              << (delivered ? " took the policy but has not registered again"
                            : " did not poll; the policy was withdrawn")
              << " within " << timeout << " s\n";
    return kExitTimeout;
}

int Log(int argc, char** argv) {
    bool follow = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "-f") == 0)
            follow = true;
        else {
            std::cerr << kUsage;
            return kExitUsage;
        }
    }
    signal(SIGINT, OnInterrupt);
    std::uint32_t last = 0;
    std::unique_ptr<Client> client;
    for (;;) {
        if (!client || !client->Open()) client = std::make_unique<Client>();
        if (!client->Open()) return NoService();
        std::string request, reply;
        cmdbus::PayloadWriter(request).U32(last);
        std::vector<LogEntry> entries;
        if (!client->Call(kMessagesSince, request, reply) || !DecodeLogEntries(reply, entries)) {
            std::cerr << "algctl: the service sent no messages\n";
            return kExitFailed;
        }
        for (const LogEntry& e : entries) {
            std::printf("%s\n", FormatLogEntry(e).c_str());
            last = e.seq;
        }
        std::fflush(stdout);
        if (!entries.empty()) continue;  // a long backlog comes in several replies
        if (!follow || interrupted) return kExitOk;
        for (int slept = 0; slept < kFollowPollMs && !interrupted; slept += 100) SleepMs(100);
        if (interrupted) return kExitOk;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << kUsage;
        return kExitOk;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << productVersionLine("algctl");
        return kExitOk;
    }
    if (argc < 2) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    const std::string command = argv[1];
    if (command == "serve") return Serve(argc - 2, argv + 2);
    if (command == "status") return Status(argc - 2, argv + 2);
    if (command == "push") return Push(argc - 2, argv + 2);
    if (command == "log") return Log(argc - 2, argv + 2);
    std::cerr << kUsage;
    return kExitUsage;
}
