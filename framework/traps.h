// The SNMP trap logger: every message it passes becomes one SNMPv1 trap sent to a management
// station with net-snmp. Selected in the policy by a logger named "SNMP".
#pragma once

#include <memory>
#include <string>

#include "alogger.h"

namespace alg {

ALG_MESSAGE(NotEnoughParamsToSendTrap, "Not enough parameters for sending traps",
            "Недостаточно параметров для отсылки трапов");
ALG_MESSAGE(IncorrectAddrForTRAPServer, "Incorrect address for TRAP server. Use <hostname>:<port>",
            "Неправильный адрес для TRAP-сервера. Формат: <имя хоста>:<порт>");

// The fixed fields of every trap.
inline constexpr unsigned long kTrapEnterprise[] = {1, 3, 6, 1, 4, 1, 47191};
inline constexpr unsigned long kTrapTextOid[] = {1, 3, 6, 1, 4, 1, 47191, 1, 8, 1, 19};
inline constexpr long kTrapGeneric = 6;  // enterpriseSpecific
inline constexpr long kTrapSpecific = 74;
inline constexpr char kTrapDefaultPort[] = "162";
// Texts longer than this are cut, so that every trap fits one datagram net-snmp will build; the
// cut falls before a UTF-8 character that would not fit whole.
inline constexpr std::size_t kMaxTrapText = 1200;

// Sends SNMPv1 traps to one station over one UDP session, opened at the first trap and kept
// for the sender's life. Any number of threads may call send_trap at once: the net-snmp calls
// are serialised process-wide (the library's shared state is not thread-safe), and a trap costs
// at most one non-blocking UDP send, so a station that is slow, silent or absent never holds a
// caller up. Failures are never thrown: the first one of a sender is printed on standard error
// by net-snmp's session error reporter, later ones are silent; the trap is lost.
class TrapSender {
  public:
    // `peerName` is "host:port". A null peer name, "none" or a text without ':' throws
    // InitializerError with IncorrectAddrForTRAPServer. Nothing is resolved or sent here.
    TrapSender(const char* peerName, const char* community);
    ~TrapSender();
    TrapSender(const TrapSender&) = delete;
    TrapSender& operator=(const TrapSender&) = delete;

    // Sends one trap whose text is `sourceText` followed by `line` (null read as ""), its
    // time-stamp the sender's age in hundredths of a second. `type` is not part of the trap.
    // While the session cannot be opened (a host name that does not resolve), messages are
    // lost and the open is tried again at most once every few seconds.
    void send_trap(int type, const char* sourceText, const char* line);

    const std::string& PeerName() const;
    // The address traps go to as the opened session resolved it, for example
    // "UDP: [127.0.0.1]:162"; opens the session if need be, "" when it cannot be opened.
    std::string Destination();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Class name "SNMP"; writes every message it passes as a trap of its sender.
class snmpLogger : public LoggerBase {
  public:
    snmpLogger(const char* encoding, LogLevel level, const char* peerName, const char* community);
    const char* GetClassName() const override;
    TrapSender& Sender() { return sender_; }

  protected:
    void doResetFacility() override {}
    void doWriteMsg(MsgType type, const char* sourceText, const char* line) override;

  private:
    TrapSender sender_;
};

// Parameters (names exact, the first non-empty value of each counts): "IP" (required),
// "Port" (default 162), "Community" (required). "IP" or "Community" missing or empty throws
// InitializerError with NotEnoughParamsToSendTrap.
class snmpLoggerClass : public LoggerClass {
  public:
    const char* GetName() const override;

  protected:
    std::unique_ptr<LoggerBase> doCreateObject(const char* encoding,
                                               const ALGloggerType& cfg) const override;
};

extern snmpLoggerClass snmpLoggerInst;

}  // namespace alg
