#include "ftptransfer.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace alg {

namespace {

// The leading decimal number of `text`, taken as 16 bits as a reply code is.
unsigned short LeadingCode(const char* text) {
    return static_cast<unsigned short>(std::strtol(text, nullptr, 10));
}

bool StartsWithNoCase(const std::string& line, const char* prefix) {
    return strncasecmp(line.c_str(), prefix, std::strlen(prefix)) == 0;
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

bool FtpRequestReader::PORTcommandNeeded(const char* clientAddress) const {
    if (!Is("PORT") || argument == nullptr) return false;
    std::string address;
    int port = 0;
    if (!FTPUnpackIP(argument, address, port)) return false;
    return std::strncmp(address.c_str(), clientAddress, 16) == 0;
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
    const std::size_t last = hostPort.rfind(',');
    if (last == std::string::npos || last + 1 == hostPort.size() || last == 0) return false;
    const std::size_t before = hostPort.rfind(',', last - 1);
    if (before == std::string::npos || before + 1 == last) return false;
    const long p1 = std::strtol(hostPort.c_str() + before + 1, nullptr, 10);
    const long p2 = std::strtol(hostPort.c_str() + last + 1, nullptr, 10);
    // Fields beyond a byte would name a port other than the one written.
    if (p1 < 0 || p1 > 255 || p2 < 0 || p2 > 255) return false;
    port = static_cast<int>((p1 << 8) | p2);
    std::size_t start = 0;
    while (start < before && (hostPort[start] == ' ' || hostPort[start] == '\t')) ++start;
    if (start >= before) return false;
    address.assign(hostPort, start, before - start);
    return ConvertFields(address, ',', '.');
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
        if (space + 1 < host.size()) port = host.substr(space + 1);
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
