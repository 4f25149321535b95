#include "session_summary.h"

#include <cstdio>
#include <vector>

#include "basis.h"

namespace alg {

namespace {

constexpr char kUnknownField[] = "-";
constexpr char kFieldCut[] = "...";

std::string HostPort(const std::string& host, const std::string& port) {
    return host + ":" + port;
}

// `value` as one field of the line: escaped, cut to SessionSummary::kMaxField bytes.
std::string Field(const std::string& value) {
    if (value.empty()) return kUnknownField;
    if (value.size() <= SessionSummary::kMaxField) return EscapeControls(value);
    return EscapeControls(std::string_view(value).substr(0, SessionSummary::kMaxField)) + kFieldCut;
}

// `pattern` with each "%s" replaced by the next of `values`.
std::string Fill(const char* pattern, const std::vector<std::string>& values) {
    std::string out;
    std::size_t next = 0;
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's' && next < values.size()) {
            out += values[next++];
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

void SessionSummary::SetDestination(const HandshakeInfoHolder& handshake) {
    if (!handshake.user.empty()) user = handshake.user;
    if (!handshake.host.empty()) destination = HostPort(handshake.host, handshake.port);
}

void SessionSummary::Connected(AlgSocket& server) {
    connected = HostPort(server.PeerAddress(), std::to_string(server.PeerPort()));
    CountSent(server, false);
}

void SessionSummary::CountSent(AlgSocket& socket, bool toClient) {
    socket.CountSentInto(toClient ? &bytesToClient : &bytesToServer);
}

void SessionSummary::Did(std::string_view item) {
    // A first item too long (a URL of 64 KiB) is cut rather than lost, leaving room for what is
    // added to it.
    constexpr std::size_t kRoomAfterFirst = 64;
    if (done_.empty() && item.size() > kMaxDone - kRoomAfterFirst) {
        done_.assign(item.substr(0, kMaxDone - kRoomAfterFirst)).append(kFieldCut);
        return;
    }
    if (done_.size() + item.size() + 2 > kMaxDone) {
        ++omitted_;
        return;
    }
    if (!done_.empty()) done_ += ", ";
    done_ += item;
}

void SessionSummary::DidMore(std::string_view text) {
    if (done_.empty()) return Did(text);
    // Belongs to an item that was not kept when items are omitted already.
    if (omitted_ > 0 || done_.size() + text.size() + 1 > kMaxDone) return;
    done_ += ' ';
    done_ += text;
}

std::pair<std::string, std::string> SessionSummary::Texts(const locMSG& pair,
                                                          double seconds) const {
    std::string done = done_.empty() ? kUnknownField : EscapeControls(done_);
    if (omitted_ > 0) done += " (+" + std::to_string(omitted_) + ")";
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f", seconds);
    const std::vector<std::string> values = {Field(user),
                                             Field(destination),
                                             Field(connected),
                                             done,
                                             std::to_string(bytesToServer),
                                             std::to_string(bytesToClient),
                                             duration};
    return {Fill(pair.en, values), Fill(pair.ru, values)};
}

}  // namespace alg
