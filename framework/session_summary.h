// The summary of a session: who went where, what was done, the bytes carried each way and how
// long it lasted, logged as one line when the session ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "algsocket.h"
#include "alogger.h"
#include "http_request.h"

namespace alg {

// The line a session ends with; each "%s" is filled in order (SessionSummary::Texts).
ALG_MESSAGE(SessionSummaryLine,
            "Session summary: user %s, destination %s, connected to %s, %s, bytes to server %s, "
            "to client %s, %s s",
            "Итог сессии: пользователь %s, назначение %s, соединение с %s, %s, байт серверу %s, "
            "клиенту %s, %s с");

// What one session did, told in one line (SessionSummaryLine, level event) when it ends: who,
// where to (as the client named it and the address connected to), what it did, the bytes it
// wrote each way and how long it lasted. The session base fills the user and the destination
// when it authenticates and judges the handshake; a gateway adds the connection and what was
// done where it learns them. Used by the session's own thread.
class SessionSummary {
  public:
    // Longest text kept of what was done; items beyond it are counted, not kept (a first item
    // that is too long alone is cut).
    static constexpr std::size_t kMaxDone = 1024;
    // Longest text shown of one field (user, destination).
    static constexpr std::size_t kMaxField = 256;

    std::string user;
    std::string destination;  // host:port as the client named them
    std::string connected;    // address:port connected to
    std::uint64_t bytesToServer = 0;
    std::uint64_t bytesToClient = 0;

    void SetDestination(const HandshakeInfoHolder& handshake);
    // Records `server`'s address as the one connected to and counts what is written to it.
    void Connected(AlgSocket& server);
    // Counts what is written to `socket` as bytes to the client or to the server, for as long as
    // the socket lives: the summary must outlive it (the session's sockets do).
    void CountSent(AlgSocket& socket, bool toClient);
    // Starts a new item of what was done ("GET http://host/", "RETR a.txt").
    void Did(std::string_view item);
    // Adds to the last item after a blank (a reply code, an action).
    void DidMore(std::string_view text);
    // The English and the Russian line: `pair` filled with the fields (control characters
    // escaped, "-" for an unknown one) and the duration.
    std::pair<std::string, std::string> Texts(const locMSG& pair, double seconds) const;

  private:
    std::string done_;
    std::size_t omitted_ = 0;  // items not kept
};

}  // namespace alg
