// The relay of established connections: one direction of a byte stream between two sockets
// (StreamMover), the two-way relay of a tunnel (RelayStreams), shared by the SOCKS and HTTP
// CONNECT tunnels and the FTP data connections, and the one-way relay of a message body whose
// framing tells where it ends (BodyRelay).
//
// What a relayed connection promises: the bytes of each direction arrive in the order they were
// sent, none lost or added; the end of one direction is passed on as a half close while the other
// goes on; a connection cut short (a reset, a write that times out, a stop) reaches both peers as
// a reset, never as a clean close, and what a peer sent before its reset still arrives first; an
// idle tunnel holds its two sockets and a wake-up event, no buffer and no pipe, and sleeps
// without using the processor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "algsocket.h"
#include "chunked_framing.h"

namespace alg {

// One direction of a byte stream between two sockets. A stream starts out copying through a
// buffer of kBufferSize (held only while bytes wait in it), so an idle or interactive tunnel holds
// neither a pipe nor a buffer of its own; once a receive fills that buffer the stream is a bulk
// one, and when the buffer has been emptied its bytes move through a pipe with splice(2) instead,
// never entering user space, until the owner gives the pipe back (Release). When no pipe can be
// had (no descriptor left, a kernel that refuses to splice these descriptors) it goes on
// copying. Both sockets are non-blocking from the first pipe on; the flags they had are restored
// when the mover ends. Both read urgent data in line (SO_OOBINLINE, set by the constructor), so
// an urgent byte is carried in its place like any other and is no end of the stream, spliced or
// copied. Receive and Send never wait. A receive of kBufferSize or more, or one that
// left no room, marks a busy stream. Used by one thread; not copyable.
class StreamMover {
  public:
    static constexpr std::size_t kBufferSize = 65535;
    static constexpr std::size_t kNoLimit = Reader::kNoLimit;

    StreamMover(AlgSocket& from, AlgSocket& to);
    ~StreamMover();
    StreamMover(const StreamMover&) = delete;
    StreamMover& operator=(const StreamMover&) = delete;

    // Receives what `from` has, as much as there is room for and at most `limit` bytes (> 0):
    // the count, 0 at the end of its stream, -1 when nothing could be taken now. Throws
    // SocketError(RecvFails).
    long Receive(std::size_t limit = kNoLimit);
    // Sends pending bytes to `to`: the count taken (0 when it has no room now). Throws
    // SocketError(SendFailed).
    std::size_t Send();
    // Receive and Send for a caller that handles failures as values: kFailed, with errno
    // telling what failed, where those throw.
    static constexpr long kFailed = -2;
    long TryReceive(std::size_t limit = kNoLimit);
    long TrySend();

    std::size_t Pending() const { return pending_; }
    // Whether a receive could take bytes now (room in the pipe or the buffer).
    bool Room() const { return !full_ && pending_ < capacity_; }
    // Whether the bytes pass through a pipe rather than the buffer.
    bool Spliced() const { return pipe_[0] >= 0; }
    // Gives back an empty pipe: the stream copies again until it is busy again. Whether a pipe
    // was given back.
    bool Release();
    // Drops the pending bytes (their receiver can take no more) and gives back the pipe.
    void Discard();

  private:
    // Receive of a pipe whose splice stopped at an urgent mark or at the end of the stream.
    long ReceiveAtMark(std::size_t limit);
    // Moves on to a pipe; false (and never tried again) when none can be had.
    bool OpenPipe();
    void ClosePipe();
    // Carries on with the buffer, taking over what the pipe holds; false (errno set) when the
    // pipe could not be read.
    bool FallBackToCopying();
    // Once a stream has filled the pipe, the pipe is enlarged (to 256 KiB) when the system allows
    // it: fewer calls per byte for a busy stream, no kernel memory for an idle one.
    void Grow();

    AlgSocket& from_;
    AlgSocket& to_;
    int pipe_[2] = {-1, -1};
    int fromFlags_ = -1;  // the sockets' file status flags before they were made non-blocking
    int toFlags_ = -1;
    std::size_t capacity_ = kBufferSize;
    std::size_t pending_ = 0;
    // The pipe refused more bytes while holding fewer than its capacity (its slots are taken by
    // small pieces): no receive until a send has made room.
    bool full_ = false;
    bool bulk_ = false;         // a receive filled the buffer: a pipe is worth having
    bool pipeRefused_ = false;  // no pipe could be had, or the kernel would not splice
    std::unique_ptr<char[]> buffer_;  // only without a pipe; pending bytes are [begin_, +pending_)
    std::size_t begin_ = 0;
    bool releaseSigPipe_ = false;  // this mover blocked SIGPIPE for its thread
    bool grown_ = false;
};

// The two-way byte relay of an established tunnel: moves bytes both ways between `client` and
// `server` until both directions have ended, with one StreamMover per direction and
// non-blocking writes, so neither direction ever waits for the other. One wait covers both
// sockets and the quit signal of the client's pool, so an idle tunnel sleeps until data or a stop
// arrives (without a pool, the wait is cut into 100 ms slices that watch the sockets' quit flags).
// The end of one direction is passed on as a half close (shutdown for writing) of the other
// socket once what was read has been written. Both legs get KeepAlive, so a vanished peer ends
// the tunnel; there is no idle time-out.
//
// A peer that resets (or that the gateway fails to write to) ends the tunnel as it would end a
// direct connection: everything that peer sent before is still read and delivered, the direction
// towards it ends at once (the other peer's bytes have nowhere to go), and then both sockets are
// reset (Abort), each only once its peer has acknowledged what was queued for it, so the reset
// never overtakes data. Such an end throws the first SocketError while both peers were still
// sending; once one of them had closed its side it is the tunnel's normal end (a peer that
// closed, then reset) and the relay returns. `timeout` bounds how long pending bytes may wait
// for a peer to take any of them, and each wait for a peer to acknowledge before its reset: a
// peer that took nothing that long makes the tunnel end with SocketError(WriteTimeout), both
// sides reset. A stop resets both at once and throws TerminationEvent.
void RelayStreams(AlgSocket& client, AlgSocket& server, unsigned int timeout);

// Moves one message body from `from` to `to` as it arrives, through a StreamMover, so that a
// bulk body moves by splice and the memory it takes does not grow with its size. Its end is
// told by a count of bytes, the end of `from`'s stream, or the chunked coding. Each wait watches
// both sockets and the quit signal of `from`'s pool (without a pool, 100 ms slices watching the
// sockets' quit flags): `timeout` bounds each wait for `from` to send (SocketError(Timeout)) and
// for `to` to take pending bytes (SocketError(WriteTimeout)); a failing socket, `to` included
// while only `from` is waited for, throws SocketError; a stop throws TerminationEvent. Nothing
// is reset here: whether an end was whole is the caller's to judge and to show. `to` gets
// TCP_NODELAY: the relay writes whole pieces, and the last one must not wait for the
// acknowledgement of the one before. Used by one thread; not copyable.
class BodyRelay {
  public:
    static constexpr std::uint64_t kToEnd = UINT64_MAX;

    BodyRelay(AlgSocket& from, AlgSocket& to, unsigned int timeout);
    BodyRelay(const BodyRelay&) = delete;
    BodyRelay& operator=(const BodyRelay&) = delete;

    // Writes bytes taken from `from` before (what a reader's buffer holds) to `to`.
    void Write(std::string_view bytes);
    // Moves up to `count` bytes (kToEnd: up to the end of the stream) and returns how many were
    // written: fewer only when `from` ended first.
    std::uint64_t Copy(std::uint64_t count);
    // Moves the rest of a chunked body whose earlier bytes `framing` has scanned: true once the
    // body is complete, false when `from` ended first. Framing it cannot follow throws
    // FramingError. Bytes after the end of the body may be taken from `from`; they are dropped.
    bool CopyChunked(ChunkedFraming& framing);

  private:
    // One receive into `buffer` for the framing of a chunked body: the count, 0 at the end of
    // the stream.
    std::size_t ReceiveSome(char* buffer, std::size_t size);
    // Waits until `from` can be read (when `read`) or `to` written (when `write`).
    void Wait(bool read, bool write);
    void ThrowIfQuit() const;

    AlgSocket& from_;
    AlgSocket& to_;
    unsigned int timeout_;
    StreamMover mover_;
    QuitWaker waker_;
};

// The step before a relayed connection's legs are reset (or closed with bytes nobody read, which
// the system turns into a reset): waits until the peer of each of `legs` has acknowledged every
// byte queued for it, its end of stream included, so that the reset never discards what the
// gateway had already accepted for that peer. A leg that is closed (or whose connection is), or
// whose peer has taken nothing for `timeout` ms, is no longer waited for; nothing is read or
// written meanwhile. A stop (the quit flag of a leg or of `waker`) resets every leg at once and
// throws TerminationEvent.
void AwaitAcknowledged(std::span<AlgSocket* const> legs, unsigned int timeout,
                       const QuitWaker& waker);

}  // namespace alg
