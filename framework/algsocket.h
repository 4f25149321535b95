// IPv4 TCP sockets whose waits end early when a quit flag is raised, the byte-stream interfaces
// the protocol parsers and writers use, and the socket errors. The relay of established
// connections is in relay.h.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "alogger.h"
#include "misc_classes.h"

namespace alg {

// Message pairs of the socket layer.
ALG_MESSAGE(CreateSocketFail, "creating socket failed", "не удалось создать сокет");
ALG_MESSAGE(BindOnIfPortFailed, "Bind socket on specified interface (port) failed",
            "Не удалось связать сокет с указанным интерфейсом (портом)");
ALG_MESSAGE(ConnectFailed, "connect failed", "не удалось создать соединение");
ALG_MESSAGE(SelectFail, "select() fails", "функция select() завершилась с ошибкой");
ALG_MESSAGE(Timeout, "timeout", "время ожидания истекло");
ALG_MESSAGE(RecvFails, "recv() fails", "функция recv()завершилась с ошибкой");
ALG_MESSAGE(ReadEOF, "Read end of file", "попытка чтения из закрытого сокета");
ALG_MESSAGE(SendFailed, "send() failed", "функция send() завершилась с ошибкой");
ALG_MESSAGE(SelectForWriteFail, "select for write fails",
            "не удалось проверить доступность сокета на запись");
ALG_MESSAGE(WriteTimeout, "write timeout", "время ожидания на запись истекло");
ALG_MESSAGE(CreateAcceptSockFailed, "Creating accept socket failed",
            "Не удалось создать слушающий сокет");
ALG_MESSAGE(ReuseAddrFailed, "Set REUSEADDR failed", "Не удалось установить флаг REUSEADDR");
ALG_MESSAGE(PortIsBusy, "Specified port busy", "Указанный порт уже используется");
ALG_MESSAGE(BindAcceptSocketFailed, "Can`t bind AcceptSocket",
            "Не удалось связать с адресом слушающий сокет");
ALG_MESSAGE(ErrorListenOnSocket, "Listen error",
            "Не удалось перевести сокет в пассивное состояние");
ALG_MESSAGE(SelectForAcceptFail, "Select for accept failed",
            "Ошибка при проверке нового соединения");
ALG_MESSAGE(AcceptFailed, "Accept failed", "Ошибка установления входящего соединения");

// Single-text errors (alg::LogicError).
inline constexpr const char* kReadAfterEOF = "Read end of file";
inline constexpr const char* SendNotComplete = "Send not completed";

// An operational socket failure. The detail is " [extra] " when `extra` is given, followed by
// " : " and the system's text for the errno current at construction (when errno is not 0).
class SocketError : public std::runtime_error, public ErrLocalizer {
  public:
    explicit SocketError(const locMSG& msg, const char* extra = nullptr)
        : SocketError(msg, AddLastErrorDescription(extra), errno) {}

    // The detail text built from `extra` and the current errno.
    static std::string AddLastErrorDescription(const char* extra);
    // The errno current at construction (0 when none).
    int SystemError() const { return systemError_; }

  protected:
    SocketError(const locMSG& msg, std::string detail, int systemError)
        : std::runtime_error(msg.en),
          ErrLocalizer(msg, std::move(detail)),
          systemError_(systemError) {}

  private:
    int systemError_;
};

// A connect to a destination the client named that failed (ConnectFailed). The detail names the
// host, the port and the cause; Cause() is the cause alone, as the system words it ("Connection
// refused") or "host not found" for a name that did not resolve.
class ConnectError : public SocketError {
  public:
    ConnectError(std::string detail, std::string cause, int systemError)
        : SocketError(ConnectFailed, std::move(detail), systemError), cause_(std::move(cause)) {}
    const std::string& Cause() const { return cause_; }
    // The destination did not answer in time (the system's or the session's time-out).
    bool TimedOut() const { return SystemError() == ETIMEDOUT; }

  private:
    std::string cause_;
};

// The peer closed the connection while a read needed more data.
class SocketEOFEvent : public SocketError {
  public:
    explicit SocketEOFEvent(const locMSG& msg, const char* extra = nullptr)
        : SocketError(msg, extra) {}
};

// accept() failed for want of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM): a
// shortage that passes, so accepting may be tried again once something has been freed.
class AcceptShortage : public SocketError {
  public:
    using SocketError::SocketError;
};

// A wait saw its quit flag: the service is stopping, the session ends silently.
class TerminationEvent : public std::exception {
  public:
    const char* what() const noexcept override { return "Termination"; }
};

// A byte stream to read from. Time-outs are in milliseconds and bound each single wait for
// data; a wait that runs out throws SocketError(Timeout). A read needing data after the peer
// closed throws SocketEOFEvent once; any read after that throws LogicError "Read end of file".
class Reader {
  public:
    static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

    // Whether data (or the end of the stream) can be read now or within `timeout`.
    virtual bool DataIsAvailable(unsigned int timeout) = 0;
    // Appends everything up to the end of the stream; returns normally at the end.
    virtual void ReadAll(std::string& out, unsigned int timeout) = 0;
    // Fills exactly `count` bytes; the peer closing first throws SocketEOFEvent.
    virtual unsigned int ReadN(char* buffer, unsigned int count, unsigned int timeout) = 0;
    // Appends bytes up to and including the first `terminator` (zero bytes are ordinary data)
    // and leaves what follows unread. At most `maxLength` bytes are consumed: when that many
    // arrived without the terminator it returns with them appended (`out` then does not end
    // with the terminator). The peer closing first throws SocketEOFEvent, keeping what was
    // appended.
    virtual void ReadToTermChar(std::string& out, char terminator, unsigned int timeout,
                                std::size_t maxLength = kNoLimit) = 0;
    // One read of at most `size` bytes; `size` becomes the count read. Returns false when the
    // peer has closed (size 0). When no data came within `timeout` it returns true with size 0.
    virtual bool Read(char* buffer, unsigned int& size, unsigned int timeout) = 0;
    virtual ~Reader() = default;
};

// A byte stream to write to.
class Writer {
  public:
    // Writes all `length` bytes or throws; returns `length`. `timeout` bounds each wait for the
    // peer to take more data (SocketError(WriteTimeout) when it runs out).
    virtual int Write(const char* data, unsigned int length, unsigned int timeout) = 0;
    virtual ~Writer() = default;
};

class AcceptSocket;

// A connected IPv4 TCP stream. Every wait is cut into slices of at most 100 ms; after each
// slice a raised quit flag ends the operation with TerminationEvent. Used by one thread at a
// time; only QuitSignal may come from another thread. Not copyable.
class AlgSocket : public Reader, public Writer, public ALGPoolMember {
  public:
    // Binds the local end (`localAddress` dotted text, or any when null) with address reuse,
    // then connects to `remoteAddress` (dotted text, no name resolution). Both connecting
    // constructors refuse a destination in 0.0.0.0/8, 224.0.0.0/4 or 255.255.255.255 as
    // unreachable: SocketError(ConnectFailed), detail " [address] : Network is unreachable".
    AlgSocket(int localPort, const char* localAddress, int remotePort, const char* remoteAddress,
              ALGPool* pool);
    // Connects to `remoteAddress` (dotted text) and `remotePort`. A connect that has no outcome
    // within `connectTimeout` milliseconds fails with errno ETIMEDOUT (by default only the
    // system bounds it).
    AlgSocket(int remotePort, const char* remoteAddress, ALGPool* pool,
              unsigned int connectTimeout = kNoConnectLimit);
    static constexpr unsigned int kNoConnectLimit = std::numeric_limits<unsigned int>::max();
    // Adopts an accepted descriptor (ownership passes to the socket); -1 throws CreateSocketFail.
    // The descriptor keeps the options it came with: one from AcceptSocket::Accept is
    // close-on-exec and has the listening socket's lingering (off), keepalive and urgent data
    // in line; `listener`, when given, is the socket it came from, which tells which of the
    // latter are on.
    AlgSocket(int descriptor, ALGPool* pool, const AcceptSocket* listener = nullptr);
    // Shuts the connection down both ways, closes it and leaves the pool.
    ~AlgSocket() override;

    // Turns on TCP keepalive probes (idle kKeepAliveIdleS, then kKeepAliveProbes probes
    // kKeepAliveIntervalS apart), so that a peer that vanished without a word ends the
    // connection; nothing to do when they are on already.
    void KeepAlive();
    bool KeepsAlive() const { return keepsAlive_; }
    // Makes urgent data read in line (SO_OOBINLINE), in its place in the stream: out of line a
    // receive would skip it. Nothing to do when it is on already.
    void UrgentInline();

    // Resets the connection (lingering on with time 0, then close), so that the peer sees the
    // loss instead of an end of stream. The socket is closed afterwards (Descriptor() -1); the
    // addresses already known stay readable.
    void Abort();

    bool DataIsAvailable(unsigned int timeout) override;
    void ReadAll(std::string& out, unsigned int timeout) override;
    unsigned int ReadN(char* buffer, unsigned int count, unsigned int timeout) override;
    void ReadToTermChar(std::string& out, char terminator, unsigned int timeout,
                        std::size_t maxLength = kNoLimit) override;
    bool Read(char* buffer, unsigned int& size, unsigned int timeout) override;
    int Write(const char* data, unsigned int length, unsigned int timeout) override;

    // DataIsAvailable, throwing SocketError(Timeout) instead of returning false.
    void WaitForReadEvent(unsigned int timeout);
    // Waits until the socket can take data; returns the ready count (1). Throws
    // SocketError(WriteTimeout) when `timeout` runs out, TerminationEvent on quit.
    int WaitForWriteEvent(unsigned int timeout);

    int Descriptor() const { return fd_; }
    bool EndOfStream() const { return eof_; }
    // The local end, looked up when first asked for (it stays readable after the peer has
    // gone); empty and 0 when the lookup failed.
    const std::string& SelfAddress() const;
    unsigned short SelfPort() const;
    // The remote end, known from construction on.
    const std::string& PeerAddress() const { return peerAddress_; }
    unsigned short PeerPort() const { return peerPort_; }

    // Refreshes both address/port pairs; a failing lookup leaves its pair unchanged.
    void UpdateSelfPeerInfo();

    // From now on every byte written to the socket (by Write or a relay) is added to `*tally`,
    // which must outlive the socket's writes; null stops the counting.
    void CountSentInto(std::uint64_t* tally) { sentTally_ = tally; }
    void CountSent(std::size_t n) {
        if (sentTally_) *sentTally_ += n;
    }

  private:
    void CreateDescriptor();
    void SetOptions(bool reuseAddress);
    void LookUpSelf() const;
    void Bind(int port, const char* address);
    // Non-blocking connect waiting in 100 ms slices until the system reports the outcome.
    void Connect(int port, const char* address, unsigned int timeout = kNoConnectLimit);
    void CloseDescriptor();
    void ThrowIfEOF() const;
    [[noreturn]] void ThrowPeerClosed();
    // One receive of at most `size` bytes (`flags` added to MSG_DONTWAIT) that waits (up to
    // `timeout` each time, in 100 ms slices) only while nothing is there: data that has
    // arrived costs no wait. TerminationEvent when the quit flag is raised, before anything is
    // received; -1 with errno EAGAIN when a wait ran out, -1 with the system's errno when the
    // receive failed.
    ssize_t Receive(char* buffer, std::size_t size, int flags, unsigned int timeout);
    // For a failed Receive: SocketError(Timeout) after EAGAIN, SocketError(RecvFails) otherwise.
    [[noreturn]] static void ThrowReceiveFailure();

    int fd_ = -1;
    bool eof_ = false;
    // The local pair is filled on first use (one system call fewer for sockets whose local
    // end nobody asks for); the socket's single user thread is the only one to touch it.
    mutable std::string selfAddress_;
    std::string peerAddress_;
    mutable unsigned short selfPort_ = 0;
    unsigned short peerPort_ = 0;
    mutable bool selfKnown_ = false;
    std::uint64_t* sentTally_ = nullptr;
    bool keepsAlive_ = false;
    bool urgentInline_ = false;
};

// TCP keepalive of connections that may idle for long (relayed ones): a peer that has vanished
// ends its connection within about two minutes; an idle connection to a live peer stays open.
inline constexpr int kKeepAliveIdleS = 60;
inline constexpr int kKeepAliveIntervalS = 10;
inline constexpr int kKeepAliveProbes = 5;

// A listening IPv4 TCP socket on all local addresses. Not copyable.
class AcceptSocket : public ALGPoolMember {
  public:
    // Waiting without time-out in Accept.
    static constexpr unsigned int kInfinite = std::numeric_limits<unsigned int>::max();
    static constexpr int kDefaultBacklog = 128;

    // Listens on `port` (0: a port the system chooses, see Port()). SO_REUSEADDR is always set
    // so that a restarted service can listen again while old connections are in TIME_WAIT;
    // `reuseAddress` is accepted for callers' sake. A port another socket listens on throws
    // SocketError(PortIsBusy).
    AcceptSocket(int port, ALGPool* pool, bool reuseAddress, int backlog = kDefaultBacklog);
    ~AcceptSocket() override;

    // The descriptor of a new connection (close-on-exec; the caller owns it), or -1 when the
    // quit flag was raised or `timeout` milliseconds (kInfinite: none) ran out. Waits in passes
    // of 100 ms, each empty pass counting as a full 100 ms (Accept(250) gives up after three);
    // a pass that finds a connection accepts it, so Accept(0) takes a connection already there.
    // A shortage of descriptors or memory throws AcceptShortage, any other failure
    // SocketError(AcceptFailed).
    int Accept(unsigned int timeout);
    // Sleeps `ms` milliseconds, or less when the quit flag is raised; false when it is.
    bool Pause(int ms);
    // Turns on the keepalive of AlgSocket::KeepAlive on the listening socket: every connection
    // accepted from then on has it from the start (the system copies it to them). False when
    // the system refused it.
    bool KeepAlive();
    bool KeepsAlive() const { return keepsAlive_; }
    // Turns on urgent data in line (AlgSocket::UrgentInline) for every connection accepted from
    // then on. False when the system refused it.
    bool UrgentInline();
    bool ReadsUrgentInline() const { return urgentInline_; }

    int Descriptor() const { return fd_; }
    int Port() const { return port_; }

  private:
    friend class AcceptWaiter;
    // accept4 once: the new descriptor, or -1 when no connection was there to take (another
    // thread took it, or it was reset before it was taken). Throws as Accept does.
    int TakeConnection();

    int fd_ = -1;
    int port_ = 0;
    int wake_ = -1;  // eventfd written by QuitSignal(), so that an endless Accept wakes at once
    bool keepsAlive_ = false;
    bool urgentInline_ = false;
};

// One thread's wait for the connections of an AcceptSocket that several threads take from.
// Each waiter has an epoll set of its own in which the listening socket is registered
// exclusively, so that a new connection wakes one waiting thread rather than every one; the
// quit signal of the socket wakes them all. The listening socket is in the set only during
// Accept: the system walks the sets a connection may wake, and those of threads busy with a
// session would only lengthen that walk. Used by one thread at a time; the socket must outlive
// the waiter.
class AcceptWaiter {
  public:
    // Throws SocketError(SelectForAcceptFail) when the system refuses the epoll set.
    explicit AcceptWaiter(AcceptSocket& socket);
    ~AcceptWaiter();
    AcceptWaiter(const AcceptWaiter&) = delete;
    AcceptWaiter& operator=(const AcceptWaiter&) = delete;

    // The descriptor of a new connection (close-on-exec, blocking; the caller owns it), or -1
    // when `timeoutMs` milliseconds (negative: no limit) passed without one or when the quit
    // flag of the socket is raised. A wake-up whose connection another thread took goes on
    // waiting within the same time. A shortage of descriptors or memory throws AcceptShortage,
    // any other failure SocketError(AcceptFailed) or SocketError(SelectForAcceptFail).
    int Accept(long timeoutMs);

  private:
    AcceptSocket& socket_;
    int epoll_ = -1;
};

// Resolves `name` to its first IPv4 address as dotted text; false and `address` emptied when it
// cannot be resolved. A name the system's IPv4 parser would read as a number without being a
// canonical dotted quad (four decimal fields 0..255 without leading zeros: "127.1", "2130706433",
// "0x7f.0.0.1", "0177.0.0.1", "127.0.0.1 x") is refused like an unresolvable one, so the text an
// access rule judges as "Host" is never a second spelling of another address. Thread-safe.
bool FindHostIP(const char* name, std::string& address);
// Whether `text` is four decimal fields 0..255 joined by dots, without leading zeros.
bool IsCanonicalDottedQuad(std::string_view text);
// The one reading of a destination port the gateways accept: decimal digits only, 1..65535,
// nothing before or after ("0P", "+80", "80#", " 80" and "" are refused). The access rules see
// the number's canonical decimal form as "Port" (std::to_string(port): "080" is "80"), which is
// the port then connected to. False leaves `port` untouched.
bool ParsePort(std::string_view text, int& port);
// Whether errno is EADDRINUSE / EINTR.
bool IsAddrUsed();
bool IsInterrupted();

// A pool member that turns the pool's quit signal into a readable descriptor, so that a wait on
// several sockets can sleep until data or a stop arrives instead of waking every slice to look at
// their flags. Joins `pool` at construction (a pool already told to quit signals it at once) and
// leaves it before its descriptor is closed. A descriptor that was never signalled is kept for
// the thread's next QuitWaker instead (one per thread, closed when the thread ends). Descriptor()
// is -1 without a pool or when no descriptor could be had: the caller then falls back to sliced
// waits watching QuitRaised().
class QuitWaker : public ALGPoolMember {
  public:
    explicit QuitWaker(ALGPool* pool);
    ~QuitWaker() override;

    int Descriptor() const { return fd_; }
    // Closes the descriptor kept for the calling thread's next QuitWaker, if any.
    static void DropSpare();

  private:
    int fd_ = -1;
};

// A Reader over a connected socket that receives into a small buffer, so that a handshake of
// many short fields costs one receive per message the peer sent rather than a wait and a
// receive per field. Reads `socket` through a buffer of kCapacity bytes; the operations keep the
// meaning and the errors of AlgSocket's (SocketError "timeout" when a wait runs out, SocketEOFEvent
// when the peer closed first, TerminationEvent when the socket's quit flag is raised). Bytes
// received but not yet consumed are Pending(): whoever takes over the socket must pass them on
// first. Used by one thread; not copyable.
class BufferedSocketReader : public Reader {
  public:
    static constexpr std::size_t kCapacity = 1024;

    explicit BufferedSocketReader(AlgSocket& socket) : socket_(socket) {}
    BufferedSocketReader(const BufferedSocketReader&) = delete;
    BufferedSocketReader& operator=(const BufferedSocketReader&) = delete;

    bool DataIsAvailable(unsigned int timeout) override;
    void ReadAll(std::string& out, unsigned int timeout) override;
    unsigned int ReadN(char* buffer, unsigned int count, unsigned int timeout) override;
    void ReadToTermChar(std::string& out, char terminator, unsigned int timeout,
                        std::size_t maxLength = kNoLimit) override;
    bool Read(char* buffer, unsigned int& size, unsigned int timeout) override;

    // Received bytes not consumed yet.
    std::string_view Pending() const { return {buffer_ + begin_, end_ - begin_}; }

  private:
    // Makes at least one byte available in the buffer, waiting at most `timeout` per wait.
    void Fill(unsigned int timeout);

    AlgSocket& socket_;
    char buffer_[kCapacity];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace alg
