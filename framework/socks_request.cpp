#include "socks_request.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace alg {

namespace {

constexpr unsigned char kAtypIPv4 = 1;
constexpr unsigned char kAtypDomain = 3;
constexpr unsigned char kSocks4Granted = 90;
constexpr unsigned char kSocks4Rejected = 91;

constexpr const char* kUserIdTooLong = "SOCKS 4 user id longer than 255 bytes";
constexpr const char* kHostNameTooLong = "SOCKS 4a host name longer than 255 bytes";

std::string DottedQuad(const unsigned char (&a)[4]) {
    char text[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, a, text, sizeof text) ? text : "";
}

unsigned short BigEndian16(const unsigned char (&b)[2]) {
    return static_cast<unsigned short>((b[0] << 8) | b[1]);
}

unsigned char ReadByte(Reader& reader, unsigned int timeout) {
    char c;
    reader.ReadN(&c, 1, timeout);
    return static_cast<unsigned char>(c);
}

// Appends a zero-terminated field without its terminator; a field that has no terminator
// within kMaxSocks4Field bytes is malformed.
void ReadZeroTerminated(Reader& reader, std::string& to, unsigned int timeout,
                        const char* tooLong) {
    std::string field;
    reader.ReadToTermChar(field, '\0', timeout, SocksCommandRequest::kMaxSocks4Field + 1);
    if (field.empty() || field.back() != '\0') throw ParseError(BadRequestFormat, tooLong);
    field.pop_back();
    to += field;
}

}  // namespace

int StrMessageWriter::Write(Writer& writer, unsigned int timeout) {
    return writer.Write(text_.data(), static_cast<unsigned int>(text_.size()), timeout);
}

bool SocksCommandRequest::Read(Reader& reader, unsigned int timeout) {
    const bool decoded = version == 5 ? Socks5Read(reader, timeout) : Socks4Read(reader, timeout);
    if (!decoded) return false;
    port = std::to_string(portNumber);
    // The name is resolved as a C string: one with a zero byte inside would be judged by the
    // access rules under another name than the one it resolves to.
    if (host.find('\0') != std::string::npos) {
        ip.clear();
        return false;
    }
    return FindHostIP(host.c_str(), ip);
}

bool SocksCommandRequest::Socks4Read(Reader& reader, unsigned int timeout) {
    unsigned char head[7];  // CD, DSTPORT, DSTIP
    reader.ReadN(reinterpret_cast<char*>(head), sizeof head, timeout);
    command = head[0];
    portNumber = BigEndian16({head[1], head[2]});
    const unsigned char address[4] = {head[3], head[4], head[5], head[6]};
    ReadZeroTerminated(reader, user, timeout, kUserIdTooLong);
    if (address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] != 0)
        ReadZeroTerminated(reader, host, timeout, kHostNameTooLong);
    else
        host = DottedQuad(address);
    return true;
}

bool SocksCommandRequest::Socks5Read(Reader& reader, unsigned int timeout) {
    unsigned char head[4];  // VER, CMD, RSV, ATYP
    reader.ReadN(reinterpret_cast<char*>(head), sizeof head, timeout);
    if (head[0] != version || head[2] != 0) throw ParseError(BadRequestFormat);
    command = head[1];
    if (head[3] == kAtypIPv4) {
        unsigned char address[4];
        reader.ReadN(reinterpret_cast<char*>(address), sizeof address, timeout);
        host = DottedQuad(address);
    } else if (head[3] == kAtypDomain) {
        const unsigned char length = ReadByte(reader, timeout);
        char name[256];
        if (length > 0) reader.ReadN(name, length, timeout);
        host.assign(name, length);
    } else {
        return false;
    }
    unsigned char portBytes[2];
    reader.ReadN(reinterpret_cast<char*>(portBytes), sizeof portBytes, timeout);
    portNumber = BigEndian16(portBytes);
    return true;
}

const char* SocksCommandRequest::GetClassName() const {
    return "SocksCommandRequest";
}

SocksResponse::SocksResponse(unsigned char version, unsigned char replyCode, const char* address,
                             unsigned short port) {
    const in_addr_t a = address != nullptr ? ::inet_addr(address) : INADDR_NONE;
    unsigned char addr[4];
    std::memcpy(addr, &a, sizeof addr);  // already in network order
    const unsigned char portHigh = static_cast<unsigned char>(port >> 8);
    const unsigned char portLow = static_cast<unsigned char>(port & 0xFF);
    if (version == 5) {
        const unsigned char reply[10] = {5,       replyCode, 0,       kAtypIPv4, addr[0],
                                         addr[1], addr[2],   addr[3], portHigh,  portLow};
        std::memcpy(reply_, reply, sizeof reply);
        size_ = 10;
    } else if (version == 4) {
        const unsigned char code = replyCode == 0 ? kSocks4Granted : kSocks4Rejected;
        const unsigned char reply[8] = {0,       code,    portHigh, portLow,
                                        addr[0], addr[1], addr[2],  addr[3]};
        std::memcpy(reply_, reply, sizeof reply);
        size_ = 8;
    }
}

int SocksResponse::Write(Writer& writer, unsigned int timeout) {
    return writer.Write(reinterpret_cast<const char*>(reply_), size_, timeout);
}

void ReadUsernamePassword(Reader& reader, char (&user)[256], char (&password)[256],
                          unsigned int timeout) {
    const unsigned char userLength = ReadByte(reader, timeout);
    if (userLength > 0) reader.ReadN(user, userLength, timeout);
    user[userLength] = '\0';
    const unsigned char passwordLength = ReadByte(reader, timeout);
    if (passwordLength > 0) reader.ReadN(password, passwordLength, timeout);
    password[passwordLength] = '\0';
}

}  // namespace alg
