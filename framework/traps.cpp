#include "traps.h"

#include <fcntl.h>

// net-snmp-config.h must come first: the other net-snmp headers depend on its definitions.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

#include "alg_xml.h"

namespace alg {

namespace {

using Clock = std::chrono::steady_clock;

// After a failed open, messages are dropped for this long before the next open is tried, so
// that a host name that does not resolve costs one lookup per interval, not one per message.
constexpr auto kReopenInterval = std::chrono::seconds(5);

constexpr std::size_t kEnterpriseLength = std::size(kTrapEnterprise);
constexpr std::size_t kTextOidLength = std::size(kTrapTextOid);

// The length of the longest head of `text` of at most `limit` bytes that does not end inside a
// UTF-8 character: a station shows a cut character as garbage, or refuses the whole text.
std::size_t CharacterBoundary(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    auto continuation = [&](std::size_t at) {
        return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    // A character has at most three continuation bytes; more is no UTF-8 and cut anywhere.
    std::size_t cut = limit;
    for (int back = 0; back < 3 && cut > 0 && continuation(cut); ++back) --cut;
    return continuation(cut) ? limit : cut;
}

// net-snmp keeps process-wide state (request ids, statistics, the transport registry) without
// locks of its own in Debian's build: every call that builds or sends a PDU holds this mutex.
// It is held only for one PDU and one non-blocking send, never across a name lookup.
std::mutex& SendLock() {
    static std::mutex lock;
    return lock;
}

// Opening a session resolves the host name and may take long; opens of all senders are
// serialised by this second mutex so that they never hold up the sends of open sessions.
std::mutex& OpenLock() {
    static std::mutex lock;
    return lock;
}

// Sets net-snmp up once per process without reading MIB files, configuration files or
// persistent state: snmp_sess_init performs the library's internal set-up on its first call,
// and init_snmp (which would read all of those) is never called.
void InitNetSnmpOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        netsnmp_session first;
        snmp_sess_init(&first);
    });
}

}  // namespace

struct TrapSender::State {
    Clock::time_point start = Clock::now();
    netsnmp_session session{};  // the template every open starts from
    std::string peerName;
    std::string community;
    in_addr_t agentAddress = 0;
    // Guarded by SendLock().
    void* handle = nullptr;
    bool opening = false;
    Clock::time_point nextOpen{};
    bool firstError = true;

    ~State() {
        if (handle != nullptr) snmp_sess_close(handle);
    }

    // Prints the first failure of this sender through net-snmp's reporter; SendLock() held.
    void Report(const char* what, netsnmp_session* failed) {
        if (!firstError) return;
        firstError = false;
        snmp_sess_perror(what, failed);
    }

    // Opens the session unless it is open, another thread is opening it, or a failed open is
    // too recent. `lock` holds SendLock() on entry and on return; it is released meanwhile.
    bool EnsureOpen(std::unique_lock<std::mutex>& lock) {
        if (handle != nullptr) return true;
        if (opening || Clock::now() < nextOpen) return false;
        opening = true;
        lock.unlock();
        // snmp_sess_open writes its error into the session it is given: a copy of its own.
        netsnmp_session attempt = session;
        void* opened = nullptr;
        {
            std::lock_guard<std::mutex> open(OpenLock());
            opened = snmp_sess_open(&attempt);
        }
        lock.lock();
        opening = false;
        if (opened == nullptr) {
            nextOpen = Clock::now() + kReopenInterval;
            Report("SNMP open session", &attempt);
            return false;
        }
        // A full socket buffer loses the trap rather than blocking the logging thread.
        if (netsnmp_transport* t = snmp_sess_transport(opened); t != nullptr && t->sock >= 0)
            ::fcntl(t->sock, F_SETFL, ::fcntl(t->sock, F_GETFL) | O_NONBLOCK);
        handle = opened;
        return true;
    }
};

TrapSender::TrapSender(const char* peerName, const char* community) : state_(new State) {
    if (peerName == nullptr || std::strcmp(peerName, "none") == 0 ||
        std::strchr(peerName, ':') == nullptr)
        throw InitializerError(IncorrectAddrForTRAPServer);
    InitNetSnmpOnce();
    State& s = *state_;
    s.peerName = peerName;
    s.community = community ? community : "";
    s.agentAddress = get_myaddr();
    snmp_sess_init(&s.session);
    s.session.version = SNMP_VERSION_1;
    s.session.peername = s.peerName.data();
    s.session.community = reinterpret_cast<u_char*>(s.community.data());
    s.session.community_len = s.community.size();
}

TrapSender::~TrapSender() {
    std::lock_guard<std::mutex> lock(SendLock());
    state_.reset();
}

const std::string& TrapSender::PeerName() const {
    return state_->peerName;
}

std::string TrapSender::Destination() {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(SendLock());
    if (!s.EnsureOpen(lock)) return {};
    netsnmp_transport* t = snmp_sess_transport(s.handle);
    if (t == nullptr) return {};
    char* text = netsnmp_transport_peer_string(t, t->remote, t->remote_length);
    std::string out = text ? text : "";
    std::free(text);
    return out;
}

void TrapSender::send_trap(int, const char* sourceText, const char* line) {
    State& s = *state_;
    // Hundredths of a second, wrapping as the 32-bit TimeTicks of the trap do.
    const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.start);
    const auto ticks = static_cast<std::uint32_t>(age.count() / 10);
    std::string text = sourceText ? sourceText : "";
    text += line ? line : "";
    text.resize(CharacterBoundary(text, kMaxTrapText));

    std::unique_lock<std::mutex> lock(SendLock());
    if (!s.EnsureOpen(lock)) return;
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_TRAP);
    if (pdu == nullptr) {
        s.Report("SNMP PDU create", snmp_sess_session(s.handle));
        return;
    }
    // The PDU owns its enterprise buffer and frees it with itself.
    pdu->enterprise = static_cast<oid*>(std::malloc(sizeof(oid) * kEnterpriseLength));
    if (pdu->enterprise != nullptr) {
        std::copy(std::begin(kTrapEnterprise), std::end(kTrapEnterprise), pdu->enterprise);
        pdu->enterprise_length = kEnterpriseLength;
    }
    std::memcpy(pdu->agent_addr, &s.agentAddress, sizeof pdu->agent_addr);
    pdu->trap_type = kTrapGeneric;
    pdu->specific_type = kTrapSpecific;
    pdu->time = ticks;
    oid name[kTextOidLength];
    std::copy(std::begin(kTrapTextOid), std::end(kTrapTextOid), name);
    if (pdu->enterprise == nullptr ||
        snmp_pdu_add_variable(pdu, name, kTextOidLength, ASN_OCTET_STR, text.data(), text.size()) ==
            nullptr) {
        snmp_free_pdu(pdu);
        s.Report("SNMP PDU create", snmp_sess_session(s.handle));
        return;
    }
    // snmp_sess_send frees the PDU once it has been sent; a PDU it refused is still ours.
    if (snmp_sess_send(s.handle, pdu) == 0) {
        snmp_free_pdu(pdu);
        s.Report("SNMP send trap", snmp_sess_session(s.handle));
    }
}

snmpLogger::snmpLogger(const char* encoding, LogLevel level, const char* peerName,
                       const char* community)
    : LoggerBase(encoding, level), sender_(peerName, community) {}

const char* snmpLogger::GetClassName() const {
    return "SNMP";
}

void snmpLogger::doWriteMsg(MsgType type, const char* sourceText, const char* line) {
    sender_.send_trap(type, sourceText, line);
}

const char* snmpLoggerClass::GetName() const {
    return "SNMP";
}

std::unique_ptr<LoggerBase> snmpLoggerClass::doCreateObject(const char* encoding,
                                                            const ALGloggerType& cfg) const {
    std::string ip, port, community;
    for (const ALGparamType* p : cfg.param) {
        if (p == nullptr || p->value.empty()) continue;
        const char* name = p->name.c_str();
        std::string* slot = std::strcmp(name, "IP") == 0          ? &ip
                            : std::strcmp(name, "Port") == 0      ? &port
                            : std::strcmp(name, "Community") == 0 ? &community
                                                                  : nullptr;
        if (slot != nullptr && slot->empty()) *slot = p->value.c_str();
    }
    if (ip.empty() || community.empty()) throw InitializerError(NotEnoughParamsToSendTrap);
    const std::string peerName = ip + ":" + (port.empty() ? kTrapDefaultPort : port);
    const LogLevel level = ParseLogLevel(cfg.loglevel.get());
    return std::make_unique<snmpLogger>(encoding, level, peerName.c_str(), community.c_str());
}

snmpLoggerClass snmpLoggerInst;

}  // namespace alg
