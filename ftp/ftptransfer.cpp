#include "ftptransfer.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace alg {

namespace {

// The leading decimal number of `text`, taken as 16 bits as a reply code is.
unsigned short LeadingCode(const char* text) {
    return static_cast<unsigned short>(std::strtol(text, nullptr, 10));
}

bool StartsWithNoCase(const std::string& line, const char* prefix) {
    return strncasecmp(line.c_str(), prefix, std::strlen(prefix)) == 0;
}

// Telnet commands a client may put before a command to interrupt a transfer: IP, DM (the
// Synch mark), AO, BRK and NOP.
constexpr unsigned char kTelnetIAC = 255;
bool IsTelnetInterrupt(unsigned char c) {
    return c == 244 || c == 242 || c == 245 || c == 243 || c == 241;
}

bool HasCRLF(const std::string& line) {
    return line.size() >= 2 && line[line.size() - 2] == '\r';
}

// Turns the three commas (or dots) between four fields of 1 to 3 characters into `to`. False
// when a field is empty or longer, or when there are not exactly three separators.
bool ConvertFields(std::string& address, char from, char to) {
    int replaced = 0;
    std::size_t fieldStart = 0;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (address[i] != from) continue;
        const std::size_t length = i - fieldStart;
        if (length < 1 || length > 3) return false;
        address[i] = to;
        ++replaced;
        fieldStart = i + 1;
    }
    const std::size_t last = address.size() - fieldStart;
    return replaced == 3 && last >= 1 && last <= 3;
}

}  // namespace

void ReadFtpLine(Reader& reader, std::string& line, unsigned int timeout) {
    line.clear();
    reader.ReadToTermChar(line, '\n', timeout, kMaxFtpLine);
    if (line.empty() || line.back() != '\n') throw ParseError(FtpLineTooLong);
}

// ---- FtpResponseReader ----------------------------------------------------------------------

void FtpResponseReader::Read(Reader& reader, unsigned int timeout) {
    ReadFtpLine(reader, text, timeout);
    if (text.size() <= 4 || !HasCRLF(text)) throw ParseError(IncorrectResponse);
    code = LeadingCode(text.c_str());
    if (code < 110 || code > 699) throw ParseError(IncorrectResponseCode);
    if (text[3] != '-') return;
    std::string line;
    for (std::size_t lines = 1;; ++lines) {
        if (lines >= kMaxReplyLines) throw ParseError(FtpResponseTooLarge);
        ReadFtpLine(reader, line, timeout);
        if (text.size() + line.size() > kMaxReplyBytes) throw ParseError(FtpResponseTooLarge);
        text += line;
        if (line.size() > 5 && line[3] == ' ' && LeadingCode(line.c_str()) == code) return;
    }
}

void FtpResponseReader::Write(Writer& writer, unsigned int timeout) const {
    writer.Write(text.c_str(), static_cast<unsigned int>(std::strlen(text.c_str())), timeout);
}

// ---- FtpRequestReader -----------------------------------------------------------------------

void FtpRequestReader::Read(Reader& reader, unsigned int timeout) {
    argument = nullptr;
    ReadFtpLine(reader, text, timeout);
    if (text.size() <= 1 || !HasCRLF(text)) throw ParseError(MissingCRLF);
    text.resize(text.size() - 2);
    // A client that interrupts a transfer the Telnet way sends IAC IP and IAC DM (the Synch,
    // urgent) before its command; the server is given the command alone.
    std::size_t telnet = 0;
    while (telnet + 1 < text.size() && static_cast<unsigned char>(text[telnet]) == kTelnetIAC &&
           IsTelnetInterrupt(static_cast<unsigned char>(text[telnet + 1])))
        telnet += 2;
    text.erase(0, telnet);
    if (text.empty()) throw ParseError(MissingCRLF);
    const std::size_t space = text.find(' ');
    if (space == std::string::npos) return;
    text[space] = '\0';
    argument = text.c_str() + space + 1;
}

void FtpRequestReader::Write(Writer& writer, unsigned int timeout) const {
    // One write: the line reaches the peer whole, in the client's form with a CR LF end.
    std::string line = Command();
    if (argument != nullptr) {
        line += ' ';
        line += argument;
    }
    line += "\r\n";
    writer.Write(line.data(), static_cast<unsigned int>(line.size()), timeout);
}

bool FtpRequestReader::Is(const char* name) const {
    return strcasecmp(Command(), name) == 0;
}

DataPortForm FtpRequestReader::DataPort(std::string& address, int& port) const {
    if (argument == nullptr) return DataPortForm::malformed;
    if (Is("PORT")) {
        std::string decoded;
        int number = 0;
        if (!FTPUnpackIP(argument, decoded, number) || number == 0) return DataPortForm::malformed;
        address = decoded;
        port = number;
        return DataPortForm::valid;
    }
    if (!Is("EPRT")) return DataPortForm::malformed;
    // "<d><protocol><d><address><d><port><d>" with any printable delimiter but a digit.
    const std::string_view text(argument);
    if (text.size() < 2 || text[0] < 33 || text[0] > 126 || (text[0] >= '0' && text[0] <= '9'))
        return DataPortForm::malformed;
    const char d = text[0];
    std::string_view fields[3];
    std::size_t at = 1;
    for (std::string_view& field : fields) {
        const std::size_t end = text.find(d, at);
        if (end == std::string_view::npos) return DataPortForm::malformed;
        field = text.substr(at, end - at);
        at = end + 1;
    }
    if (at != text.size()) return DataPortForm::malformed;
    if (fields[0] != "1") {
        int protocol = 0;
        return ParsePort(fields[0], protocol) ? DataPortForm::otherProtocol
                                              : DataPortForm::malformed;
    }
    int number = 0;
    if (!IsCanonicalDottedQuad(fields[1]) || !ParsePort(fields[2], number))
        return DataPortForm::malformed;
    address = fields[1];
    port = number;
    return DataPortForm::valid;
}

direction FtpRequestReader::TransferDirection() const {
    for (const char* const* c = commandsDataFromServer; *c != nullptr; ++c)
        if (Is(*c)) return serverToClient;
    for (const char* const* c = commandsDataToServer; *c != nullptr; ++c)
        if (Is(*c)) return clientToServer;
    return noTransfer;
}

// ---- Address codec --------------------------------------------------------------------------

bool FTPUnpackIP(const std::string& hostPort, std::string& address, int& port) {
    std::size_t i = hostPort.find_first_not_of(" \t");
    if (i == std::string::npos) return false;
    // Six decimal fields of one byte each and nothing else: a field the gateway would read
    // otherwise than the peer (300, 1x, an empty one) leaves the text undecoded.
    int fields[6];
    for (int f = 0; f < 6; ++f) {
        if (f > 0 && (i >= hostPort.size() || hostPort[i++] != ',')) return false;
        const std::size_t start = i;
        int value = 0;
        while (i < hostPort.size() && i - start < 3 && hostPort[i] >= '0' && hostPort[i] <= '9')
            value = value * 10 + (hostPort[i++] - '0');
        if (i == start || value > 255) return false;
        fields[f] = value;
    }
    if (i != hostPort.size()) return false;
    address = std::to_string(fields[0]) + '.' + std::to_string(fields[1]) + '.' +
              std::to_string(fields[2]) + '.' + std::to_string(fields[3]);
    port = (fields[4] << 8) | fields[5];
    return true;
}

bool PackIP(const std::string& address, int port, std::string& hostPort) {
    hostPort = address;
    if (!ConvertFields(hostPort, '.', ',')) return false;
    hostPort += "," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
    return true;
}

// ---- FtpHandshakeRequest --------------------------------------------------------------------

bool FtpHandshakeRequest::WaitForCommand(Reader& reader, Writer& writer, const char* name,
                                         std::string& argument, const char* otherReply,
                                         unsigned int timeout) {
    std::string line;
    for (;;) {
        argument.clear();
        ReadFtpLine(reader, line, timeout);
        if (!HasCRLF(line)) throw ParseError(MissingCRLF);
        if (StartsWithNoCase(line, "QUIT")) return false;
        if (StartsWithNoCase(line, name)) {
            std::size_t from = std::strlen(name);
            if (from < line.size() - 2 && line[from] == ' ') ++from;
            argument.assign(line, from, line.size() - 2 - from);
            return true;
        }
        writer.Write(otherReply, static_cast<unsigned int>(std::strlen(otherReply)), timeout);
    }
}

unsigned char FtpHandshakeRequest::Read(Reader& reader, Writer& writer, unsigned int timeout) {
    std::string login;
    std::string pass;
    if (!WaitForCommand(reader, writer, "USER", login, userCmdBadReply, timeout)) return 1;
    writer.Write(needPwd, sizeof needPwd - 1, timeout);
    if (!WaitForCommand(reader, writer, "PASS", pass, passCmdBadReply, timeout)) return 1;
    const bool wellFormed = ParseLogin(login) && ParsePassword(pass);
    ::explicit_bzero(pass.data(), pass.size());
    if (!wellFormed) {
        writer.Write(IncorrectPrxLogin, sizeof IncorrectPrxLogin - 1, timeout);
        return 2;
    }
    FindHostIP(host.c_str(), ip);
    return 0;
}

bool FtpHandshakeRequest::ParseLogin(const std::string& argument) {
    if (argument.size() <= 1) return false;
    std::size_t start = argument.find_first_not_of(" \t");
    if (start == std::string::npos) start = 0;
    const std::size_t first = argument.find('$', start);
    if (first == std::string::npos) return false;
    const std::size_t second = argument.find('$', first + 1);
    if (second == std::string::npos) return false;
    host.assign(argument, start, first - start);
    const std::size_t space = host.find(' ');
    if (space != std::string::npos) {
        if (space + 1 < host.size()) {
            // The rules judge, and the gateway connects to, one reading of the port.
            int number = 0;
            if (!ParsePort(std::string_view(host).substr(space + 1), number)) return false;
            port = std::to_string(number);
        }
        host.resize(space);
    }
    user.assign(argument, first + 1, second - first - 1);
    serverLogin.assign(argument, second + 1);
    return true;
}

bool FtpHandshakeRequest::ParsePassword(const std::string& argument) {
    const std::size_t dollar = argument.find('$');
    if (argument.empty() || dollar == std::string::npos) return false;
    password.assign(argument, 0, dollar);
    serverPassword.assign(argument, dollar + 1);
    return true;
}

}  // namespace alg
