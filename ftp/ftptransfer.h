// ftp-gateway: the control-channel pieces the session is built from: the server reply reader,
// the client command reader, the host-port address codec, the command tables and the proxy
// login in which the client names the server and gives both sets of credentials.
//
// Every read goes through alg::Reader and is bounded: a line longer than kMaxLine bytes and a
// multi-line reply beyond kMaxReplyBytes or kMaxReplyLines throw ParseError, so a hostile peer
// cannot grow the gateway's memory. Reader errors (time-out, end of stream, quit) propagate.
#pragma once

#include <cstddef>
#include <string>

#include "algsocket.h"
#include "http_request.h"

namespace alg {

ALG_MESSAGE(MissingCRLF, "CRLF is absent", "отсутствует конец строки (CRLF)");
ALG_MESSAGE(IncorrectResponse, "Incorrect response from server", "Неправильный ответ от сервера");
ALG_MESSAGE(IncorrectResponseCode, "Incorrect code in response from server",
            "Неправильный код ответа от сервера");
ALG_MESSAGE(FtpLineTooLong, "FTP line longer than 64 KiB", "Строка FTP длиннее 64 КиБ");
ALG_MESSAGE(FtpResponseTooLarge, "Multi-line response from server too large",
            "Слишком большой многострочный ответ от сервера");

// Replies of the proxy login.
inline constexpr char userCmdBadReply[] = "530 Use \"USER\" command first\r\n";
inline constexpr char needPwd[] = "331 User name accepted, need password\r\n";
inline constexpr char passCmdBadReply[] = "530 Use \"PASS\" command\r\n";
inline constexpr char IncorrectPrxLogin[] = "501 Incorrect proxy login or/and password\r\n";
static_assert(sizeof userCmdBadReply - 1 == 30 && sizeof needPwd - 1 == 39 &&
              sizeof passCmdBadReply - 1 == 24 && sizeof IncorrectPrxLogin - 1 == 43);

// Transfer commands, each table ended by a null entry.
inline constexpr const char* commandsDataFromServer[] = {"RETR", "LIST", "NLST", "MLSD", nullptr};
inline constexpr const char* commandsDataToServer[] = {"STOR", "STOU", "APPE", nullptr};

// Where the data of a transfer command flows.
enum direction : int { noTransfer = 0, clientToServer = 1, serverToClient = 2 };

// Bounds of what one line and one reply may take.
inline constexpr std::size_t kMaxFtpLine = 64 * 1024;
inline constexpr std::size_t kMaxReplyBytes = 1024 * 1024;
inline constexpr std::size_t kMaxReplyLines = 10000;

// Reads one CR LF line into `line` (cleared first), terminator included. A line that reaches
// kMaxFtpLine bytes without its line feed throws ParseError(FtpLineTooLong).
void ReadFtpLine(Reader& reader, std::string& line, unsigned int timeout);

// One server reply, single- or multi-line; reused for every reply of a session.
class FtpResponseReader {
  public:
    // Reads one complete reply into text (every line as received) and code. A first line of 4
    // characters or fewer or without CR LF throws ParseError(IncorrectResponse); a code outside
    // 110..699 ParseError(IncorrectResponseCode); an oversized reply ParseError(FtpLineTooLong
    // or FtpResponseTooLarge).
    void Read(Reader& reader, unsigned int timeout);
    // Writes text (up to its first 0 byte) in one write.
    void Write(Writer& writer, unsigned int timeout) const;

    unsigned short code = 0;
    std::string text;
};

enum class DataPortForm { valid, malformed, otherProtocol };

// One client command line; reused for every command of a session.
class FtpRequestReader {
  public:
    FtpRequestReader() = default;
    FtpRequestReader(const FtpRequestReader&) = delete;
    FtpRequestReader& operator=(const FtpRequestReader&) = delete;

    // Reads one line. A line of 1 character or fewer or without CR LF throws
    // ParseError(MissingCRLF). The CR LF and any Telnet interrupt (IAC IP, IAC DM, ...) before
    // the command are removed (a line of nothing else throws MissingCRLF too), and the first
    // space becomes a 0 byte:
    // Command() is the word, argument points behind it (null when there was no space).
    void Read(Reader& reader, unsigned int timeout);
    // Writes the word, a space and the argument when there is one, and CR LF.
    void Write(Writer& writer, unsigned int timeout) const;

    // The data address of PORT ("h1,h2,h3,h4,p1,p2") or EPRT ("|1|a.b.c.d|port|", any
    // printable delimiter but a digit) as a canonical dotted quad and a port 1..65535.
    // otherProtocol for an EPRT naming a network protocol other than 1 (IPv4); malformed for
    // any other command and any argument with a second reading. `address` and `port` are
    // set only for valid.
    DataPortForm DataPort(std::string& address, int& port) const;
    direction TransferDirection() const;
    // The command word in the client's letter case ("" before the first read).
    const char* Command() const { return text.c_str(); }
    // Whether the command word is `name`, ignoring letter case.
    bool Is(const char* name) const;

    std::string text;
    const char* argument = nullptr;
};

// Host-port text "h1,h2,h3,h4,p1,p2" (spaces and tabs before it allowed) to a dotted address
// in canonical form and a port; false unless there are exactly six decimal fields of 1 to 3
// digits, each 0..255, and nothing else (the outputs are then untouched).
bool FTPUnpackIP(const std::string& hostPort, std::string& address, int& port);
// Dotted address and port to host-port text; false when the address is not four fields of 1
// to 3 characters.
bool PackIP(const std::string& address, int port, std::string& hostPort);

// The proxy login: USER "<server>[ <port>]$<proxy login>$<server login>" and PASS
// "<proxy password>$<server password>". ip, host, port, user and password are the inherited
// fields; the session sets port to "21" before the first Read.
class FtpHandshakeRequest : public HandshakeInfoHolder {
  public:
    // One login attempt: 0 when complete and well-formed (host resolved into ip, which is
    // empty when it does not resolve), 1 when the client sent QUIT, 2 when malformed (already
    // answered with IncorrectPrxLogin).
    unsigned char Read(Reader& reader, Writer& writer, unsigned int timeout);
    // Reads lines until one starts with `name` (true, the rest after one optional space in
    // `argument`) or with QUIT (false); any other line is answered with `otherReply`.
    bool WaitForCommand(Reader& reader, Writer& writer, const char* name, std::string& argument,
                        const char* otherReply, unsigned int timeout);
    // False also when a port is given that is not alg::ParsePort's; port is then stored in
    // its canonical form, the one the access rules see as "Port".
    bool ParseLogin(const std::string& argument);
    bool ParsePassword(const std::string& argument);

    const char* GetClassName() const override { return "FtpHandshakeRequest"; }

    std::string serverLogin;
    std::string serverPassword;
};

}  // namespace alg
