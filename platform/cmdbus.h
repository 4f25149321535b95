// The command bus to the management service on this host: a process-wide sender that opens
// named sessions, each session carrying numbered commands to numbered modules and bringing
// back one reply per command; and the service side that accepts sessions and dispatches
// their commands to a handler. Transport: a Unix-domain stream socket "cmdbus.sock" in
// systemRunDir(); framing in docs/cmdbus.md.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <sys/types.h>

using ModuleIdType = std::uint32_t;
using ReadWriteMode_t = int;

// Limits and time-outs of the bus, shared by both sides.
namespace cmdbus {
inline constexpr std::uint32_t kMaxPayload = 8u << 20;     // bytes of one payload or reply
inline constexpr std::uint32_t kMaxSessionName = 256;      // bytes of a session name
inline constexpr int kClientTimeoutMs = 200;               // each send and each reply wait
inline constexpr int kRefusalMs = 3000;                    // no new session after a failure
inline constexpr const char* kSocketName = "cmdbus.sock";  // in systemRunDir()
inline constexpr std::uint32_t kRequestMagic = 0x31425543;
inline constexpr std::uint32_t kReplyMagic = 0x52425543;

// Reply status of a frame (the service's verdict on the command, not the command's result).
enum Status : std::uint32_t { kOk = 0, kUnknownModule = 1, kBadRequest = 2 };

// Appends host-order unsigned 32-bit integers and length-prefixed texts to a payload.
class PayloadWriter {
  public:
    explicit PayloadWriter(std::string& out) : out_(out) {}
    PayloadWriter& U32(std::uint32_t v);
    PayloadWriter& Text(std::string_view text);

  private:
    std::string& out_;
};

// Reads what PayloadWriter wrote, checking every length against the bytes left; each call
// returns false (and leaves its output untouched) when the payload is too short.
class PayloadReader {
  public:
    explicit PayloadReader(std::string_view in) : in_(in) {}
    bool U32(std::uint32_t& v);
    bool Text(std::string& text);
    bool AtEnd() const { return in_.empty(); }

  private:
    std::string_view in_;
};

// Path of the bus socket: systemRunDir() + "/" + kSocketName.
std::string SocketPath();
}  // namespace cmdbus

// One connection to the service. Used by one thread at a time (calls are serialised anyway).
class BridgeSession {
  public:
    // State word values: 0 usable; non-zero once the connection has failed.
    enum : int { kUsable = 0, kBroken = 1 };

    BridgeSession(const BridgeSession&) = delete;
    BridgeSession& operator=(const BridgeSession&) = delete;
    ~BridgeSession();

    // Sends `size` bytes at `payload` as `command` to `module` and waits for the reply, whose
    // bytes replace `*reply` (when not null). True when the service answered the command with
    // status kOk. A transport failure, a time-out or a malformed reply frame closes the
    // connection, sets the state word and starts the sender's refusal period; a reply with
    // another status leaves the session usable. Never throws.
    bool __SendCommand(ModuleIdType module, long command, const void* payload, unsigned size,
                       std::string* reply);

    // The state word: kUsable, or kBroken once the session can no longer be used.
    int State() const { return state_.load(); }
    const std::string& Name() const { return name_; }

  private:
    friend class CommandSender;
    BridgeSession(class CommandSender& owner, int fd, std::string name);
    void Fail();

    CommandSender& owner_;
    int fd_;
    std::string name_;
    std::atomic<int> state_{kUsable};
    std::mutex mutex_;
};

// The process's command sender. Thread-safe.
class CommandSender {
  public:
    // The process-wide sender, using cmdbus::SocketPath() as read at each OpenNewSession.
    static CommandSender* Instance();

    // A sender bound to a fixed socket path (tests; tools with an explicit path).
    explicit CommandSender(std::string socketPath = {});
    CommandSender(const CommandSender&) = delete;
    CommandSender& operator=(const CommandSender&) = delete;

    // Connects and announces the session; null when no service answers within the time-out,
    // when the service runs as another user than this process (root excepted), or during the
    // refusal period that follows any failure of this sender. The caller owns
    // the session and ends it with CloseSession.
    BridgeSession* OpenNewSession(const std::string& name, ReadWriteMode_t mode);

    // Closes the connection and frees the session; null is ignored.
    void CloseSession(BridgeSession* session);

    // Starts the refusal period now (called by sessions on failure).
    void NoteFailure();
    // The CLOCK_MONOTONIC millisecond at which the current refusal period ends; 0 when the
    // sender is not refusing.
    std::int64_t RefusalEndMs();

  private:
    bool Refusing();
    std::string Path() const;

    std::string fixedPath_;
    std::mutex mutex_;
    bool failed_ = false;
    std::int64_t failedAtMs_ = 0;  // CLOCK_MONOTONIC
};

namespace cmdbus {

// One command as the service receives it.
struct Request {
    std::uint64_t connection;  // distinct per accepted session, never reused
    const std::string& session;
    ModuleIdType module;
    std::uint32_t command;
    std::string_view payload;
    pid_t pid = 0;  // the client's process, as the kernel saw it connect
};

// The service's dispatcher: fills `reply` and returns the frame's status. Called from the
// session's connection thread; several connections may call it at once.
using Handler = std::function<Status(const Request&, std::string& reply)>;

// The service side: listens on a socket path (mode 0600), one thread per session. Only clients
// running as the service's user or as root are served. A connection must send its opening
// frame within 2 s; every frame, once begun, must arrive within 2 s; memory is taken as payload
// bytes arrive. At most kMaxConnections sessions at once: when full, the oldest connection
// that has not opened its session yet is dropped for a new one, else the new one is closed.
// Start throws std::runtime_error when the socket's folder is missing, writable by others or
// owned by another user, when the socket cannot be created, or when another service already
// answers on it.
class Server {
  public:
    static constexpr int kMaxConnections = 64;

    Server(std::string socketPath, Handler handler,
           std::function<void(std::uint64_t connection)> onClose = {});
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server();  // Stop()

    void Start();
    // Stops accepting, ends every connection thread and removes the socket file.
    void Stop();
    const std::string& Path() const { return path_; }

  private:
    struct Impl;
    std::string path_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace cmdbus
