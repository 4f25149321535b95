// Load generator for SOCKS 5 proxies on loopback. It runs its own target server and drives
// the proxy (or the target directly) in one of three modes:
//   bulk  --bytes N --tunnels K    K tunnels each carry N bytes target -> client; MB/s
//   rate  --seconds S --workers W  full SOCKS 5 handshake + 1-byte exchange per connection; /s
//   idle  --tunnels N --seconds S --sid P   N open idle tunnels; CPU seconds and RSS of the
//                                         processes of session P (start the proxy with setsid)
// Common: --proxy HOST:PORT (absent: direct to the target), --user U --pass P (absent: method 0).
// Prints one line "result VALUE" plus details; exits non-zero only when the run itself failed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string mode;
    std::string proxyHost;
    uint16_t proxyPort = 0;
    std::string user, pass;
    uint64_t bytes = 1ull << 30;
    int tunnels = 1;
    int workers = 4;
    double seconds = 10;
    int pid = 0;
};

// A connected socket closed on destruction (with RST when asked, so that a connection-rate
// run does not fill the ephemeral port range with TIME_WAIT entries).
class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    ~Socket() { Close(); }
    Socket(Socket&& o) noexcept : fd_(o.fd_), reset_(o.reset_) { o.fd_ = -1; }
    Socket& operator=(Socket&& o) noexcept {
        if (this != &o) {
            Close();
            fd_ = o.fd_;
            reset_ = o.reset_;
            o.fd_ = -1;
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    void ResetOnClose() { reset_ = true; }
    void Close() {
        if (fd_ < 0) return;
        if (reset_) {
            linger l{1, 0};
            setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
    bool reset_ = false;
};

void SendAll(int fd, const void* data, size_t n) {
    auto p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) throw std::runtime_error("send failed");
        p += k;
        n -= static_cast<size_t>(k);
    }
}

void RecvAll(int fd, void* data, size_t n) {
    auto p = static_cast<char*>(data);
    while (n > 0) {
        ssize_t k = ::recv(fd, p, n, 0);
        if (k <= 0) throw std::runtime_error("receive failed or peer closed");
        p += k;
        n -= static_cast<size_t>(k);
    }
}

Socket ConnectTo(const std::string& host, uint16_t port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd() < 0) throw std::runtime_error("socket failed");
    timeval tv{10, 0};  // bounds every blocking call of a run
    setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
        throw std::runtime_error("not a dotted-quad address: " + host);
    if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("connect failed: " + std::string(strerror(errno)));
    return s;
}

// Opens a tunnel to 127.0.0.1:targetPort, through the SOCKS 5 proxy when one is given.
Socket OpenTunnel(const Options& o, uint16_t targetPort) {
    if (o.proxyHost.empty()) return ConnectTo("127.0.0.1", targetPort);
    Socket s = ConnectTo(o.proxyHost, o.proxyPort);
    const bool auth = !o.user.empty();
    const unsigned char greeting[3] = {5, 1, static_cast<unsigned char>(auth ? 2 : 0)};
    SendAll(s.fd(), greeting, 3);
    unsigned char choice[2];
    RecvAll(s.fd(), choice, 2);
    if (choice[0] != 5 || choice[1] != greeting[2]) throw std::runtime_error("method refused");
    if (auth) {
        std::string req;
        req += '\x01';
        req += static_cast<char>(o.user.size());
        req += o.user;
        req += static_cast<char>(o.pass.size());
        req += o.pass;
        SendAll(s.fd(), req.data(), req.size());
        unsigned char status[2];
        RecvAll(s.fd(), status, 2);
        if (status[1] != 0) throw std::runtime_error("authentication refused");
    }
    const unsigned char connect[10] = {5, 1, 0, 1, 127, 0, 0, 1,
                                       static_cast<unsigned char>(targetPort >> 8),
                                       static_cast<unsigned char>(targetPort & 0xFF)};
    SendAll(s.fd(), connect, sizeof connect);
    unsigned char reply[10];
    RecvAll(s.fd(), reply, sizeof reply);
    if (reply[1] != 0) throw std::runtime_error("CONNECT refused, code " + std::to_string(reply[1]));
    return s;
}

// The target: 'B' + 8-byte count sends that many bytes and closes; 'E' echoes until EOF;
// 'X' echoes one byte and closes.
class TargetServer {
public:
    TargetServer() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        int one = 1;
        setsockopt(listener_.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_.fd(), 4096) != 0 ||
            getsockname(listener_.fd(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("target server cannot listen");
        port_ = ntohs(a.sin_port);
        std::thread([fd = listener_.fd()] { AcceptLoop(fd); }).detach();
    }
    uint16_t port() const { return port_; }

private:
    static void AcceptLoop(int listenFd) {
        for (;;) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE) continue;
                return;
            }
            pthread_attr_t attr;
            pthread_attr_init(&attr);
            pthread_attr_setstacksize(&attr, 256 * 1024);
            pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
            pthread_t t;
            if (pthread_create(&t, &attr, &Serve, reinterpret_cast<void*>(static_cast<intptr_t>(fd))) != 0)
                ::close(fd);
            pthread_attr_destroy(&attr);
        }
    }

    static void* Serve(void* arg) {
        Socket s(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
        try {
            char mode;
            RecvAll(s.fd(), &mode, 1);
            if (mode == 'B') {
                uint64_t n;
                RecvAll(s.fd(), &n, sizeof n);
                std::vector<char> block(256 * 1024, 'x');
                while (n > 0) {
                    size_t k = n < block.size() ? n : block.size();
                    SendAll(s.fd(), block.data(), k);
                    n -= k;
                }
            } else if (mode == 'X') {
                char c;
                RecvAll(s.fd(), &c, 1);
                SendAll(s.fd(), &c, 1);
            } else {
                timeval tv{0, 0};  // an idle tunnel may stay silent for the whole run
                setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                char buf[4096];
                for (;;) {
                    ssize_t k = ::recv(s.fd(), buf, sizeof buf, 0);
                    if (k <= 0) break;
                    SendAll(s.fd(), buf, static_cast<size_t>(k));
                }
            }
        } catch (const std::exception&) {
        }
        return nullptr;
    }

    Socket listener_;
    uint16_t port_ = 0;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int RunBulk(const Options& o, const TargetServer& target) {
    std::atomic<uint64_t> received{0};
    std::atomic<int> failures{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < o.tunnels; ++i) {
        threads.emplace_back([&] {
            try {
                Socket s = OpenTunnel(o, target.port());
                char mode = 'B';
                SendAll(s.fd(), &mode, 1);
                SendAll(s.fd(), &o.bytes, sizeof o.bytes);
                std::vector<char> buf(256 * 1024);
                uint64_t got = 0;
                for (;;) {
                    ssize_t k = ::recv(s.fd(), buf.data(), buf.size(), 0);
                    if (k <= 0) break;
                    got += static_cast<uint64_t>(k);
                }
                received += got;
                if (got != o.bytes) ++failures;
            } catch (const std::exception& e) {
                fprintf(stderr, "bulk tunnel: %s\n", e.what());
                ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    const double secs = Seconds(Clock::now() - start);
    const double mbps = static_cast<double>(received.load()) / 1e6 / secs;
    printf("result %.1f\nbytes %llu seconds %.3f failures %d\n", mbps,
           static_cast<unsigned long long>(received.load()), secs, failures.load());
    return failures.load() == 0 ? 0 : 1;
}

int RunRate(const Options& o, const TargetServer& target) {
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> failures{0};
    const auto deadline = Clock::now() + std::chrono::duration<double>(o.seconds);
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < o.workers; ++i) {
        threads.emplace_back([&] {
            while (Clock::now() < deadline) {
                try {
                    Socket s = OpenTunnel(o, target.port());
                    s.ResetOnClose();
                    const char msg[2] = {'X', 'q'};
                    SendAll(s.fd(), msg, 2);
                    char c;
                    RecvAll(s.fd(), &c, 1);
                    if (c != 'q') throw std::runtime_error("wrong echo");
                    ++done;
                } catch (const std::exception&) {
                    // A failure rate far above zero means the figure is not comparable; it is
                    // printed for the reader, and the attempt counts as not done.
                    if (++failures > 1000) return;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    const double secs = Seconds(Clock::now() - start);
    printf("result %.0f\nconnections %llu seconds %.3f failures %llu\n",
           static_cast<double>(done.load()) / secs, static_cast<unsigned long long>(done.load()),
           secs, static_cast<unsigned long long>(failures.load()));
    return 0;
}

// Fields of /proc/PID/stat after the command name, starting at "state" (field 3).
std::vector<std::string> StatFields(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> f;
    auto close = stat.rfind(')');
    if (close == std::string::npos) return f;
    size_t pos = close + 2;
    while (pos < stat.size()) {
        size_t end = stat.find(' ', pos);
        if (end == std::string::npos) end = stat.size();
        f.push_back(stat.substr(pos, end - pos));
        pos = end + 1;
    }
    return f;
}

// The processes of session `sid`: a proxy started with setsid, with every child it forks.
std::vector<std::string> SessionProcesses(int sid) {
    std::vector<std::string> pids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        auto f = StatFields(name);
        if (f.size() > 3 && std::atoi(f[3].c_str()) == sid) pids.push_back(name);
    }
    return pids;
}

// CPU seconds (user + system) of every process of the session.
double CpuSeconds(int sid) {
    double ticks = 0;
    for (const auto& pid : SessionProcesses(sid)) {
        auto f = StatFields(pid);
        if (f.size() >= 13) ticks += std::stod(f[11]) + std::stod(f[12]);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident memory of every process of the session, KiB.
long RssKiB(int sid) {
    long total = 0;
    for (const auto& pid : SessionProcesses(sid)) {
        std::ifstream in("/proc/" + pid + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("VmRSS:", 0) == 0) total += std::atol(line.c_str() + 6);
    }
    return total;
}

int RunIdle(const Options& o, const TargetServer& target) {
    if (o.pid <= 0) throw std::runtime_error("idle needs --sid of the proxy");
    const long rssBefore = RssKiB(o.pid);
    std::vector<Socket> tunnels;
    tunnels.reserve(static_cast<size_t>(o.tunnels));
    for (int i = 0; i < o.tunnels; ++i) {
        Socket s = OpenTunnel(o, target.port());
        const char msg[2] = {'E', 'p'};
        SendAll(s.fd(), msg, 2);
        char c;
        RecvAll(s.fd(), &c, 1);
        tunnels.push_back(std::move(s));
    }
    const long rssOpen = RssKiB(o.pid);
    const double cpuStart = CpuSeconds(o.pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    const double cpu = CpuSeconds(o.pid) - cpuStart;
    const double perTunnel = static_cast<double>(rssOpen - rssBefore) / o.tunnels;
    printf("result %.3f\ncpu_seconds %.3f rss_kib_per_tunnel %.1f rss_kib %ld tunnels %d\n", cpu,
           cpu, perTunnel, rssOpen, o.tunnels);
    return 0;
}

Options Parse(int argc, char** argv) {
    if (argc < 2) throw std::runtime_error("usage: socks_load bulk|rate|idle [options]");
    Options o;
    o.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--proxy") {
            auto colon = v.rfind(':');
            if (colon == std::string::npos) throw std::runtime_error("--proxy HOST:PORT");
            o.proxyHost = v.substr(0, colon);
            o.proxyPort = static_cast<uint16_t>(std::stoi(v.substr(colon + 1)));
        } else if (k == "--user") {
            o.user = v;
        } else if (k == "--pass") {
            o.pass = v;
        } else if (k == "--bytes") {
            o.bytes = std::stoull(v);
        } else if (k == "--tunnels") {
            o.tunnels = std::stoi(v);
        } else if (k == "--workers") {
            o.workers = std::stoi(v);
        } else if (k == "--seconds") {
            o.seconds = std::stod(v);
        } else if (k == "--sid") {
            o.pid = std::stoi(v);
        } else {
            throw std::runtime_error("unknown option " + k);
        }
    }
    if (o.user.size() > 255 || o.pass.size() > 255) throw std::runtime_error("credentials too long");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options o = Parse(argc, argv);
        TargetServer target;
        if (o.mode == "bulk") return RunBulk(o, target);
        if (o.mode == "rate") return RunRate(o, target);
        if (o.mode == "idle") return RunIdle(o, target);
        throw std::runtime_error("unknown mode " + o.mode);
    } catch (const std::exception& e) {
        fprintf(stderr, "socks_load: %s\n", e.what());
        return 2;
    }
}
