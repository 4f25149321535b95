#include "radlibi.h"

#include <errno.h>
#include <string.h>
#include <sys/random.h>

#include <string_view>

#include "basis.h"
#include "md5.h"

namespace {

constexpr int kMessageAuthLength = 2 + RAD_AUTH_SIZE;

// Fills `length` bytes from the kernel's random source; false when it fails.
bool RandomBytes(void* out, size_t length) {
    auto* p = static_cast<unsigned char*>(out);
    // Requests of at most 256 bytes are never cut short once the source is ready; the bound
    // only guards against a source that keeps being interrupted.
    for (int attempts = 0; length > 0 && attempts < 16; ++attempts) {
        const ssize_t n = getrandom(p, length, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return length == 0;
}

unsigned PacketLength(const char* packet) {
    return static_cast<unsigned>(static_cast<unsigned char>(packet[2])) << 8 |
           static_cast<unsigned char>(packet[3]);
}

// Compares in time that does not depend on where the bytes first differ.
bool SameBytes(const unsigned char* a, const unsigned char* b, size_t length) {
    unsigned diff = 0;
    for (size_t i = 0; i < length; ++i) diff |= a[i] ^ b[i];
    return diff == 0;
}

const unsigned char* U(const char* p) {
    return reinterpret_cast<const unsigned char*>(p);
}

std::string_view Bytes(const void* data, size_t length) {
    return {static_cast<const char*>(data), length};
}

}  // namespace

extern "C" char* GenerateAuthenticator(char* out) {
    return RandomBytes(out, RAD_AUTH_SIZE) ? out : nullptr;
}

extern "C" int GeneratePacketID(unsigned char* id) {
    if (*id == 0) {
        unsigned char random;
        if (!RandomBytes(&random, 1)) return -1;
        *id = static_cast<unsigned char>(random % 254 + 1);
    } else if (*id == 255) {
        *id = 1;
    } else {
        ++*id;
    }
    return *id;
}

extern "C" int EncryptPassword(const char* password, const char* secret, const char* authenticator,
                               char* out, int* outLength) {
    if (!password || !secret || !authenticator || !out || !outLength) return -1;
    const size_t length = strlen(password);
    if (length > RAD_MAX_PASSWORD) return -1;
    const size_t secretLength = strlen(secret);
    const size_t blocks = (length + RAD_AUTH_SIZE - 1) / RAD_AUTH_SIZE;
    // Each pad is MD5 of the secret and the previous hidden block (the authenticator first).
    unsigned char chain[RAD_AUTH_SIZE];
    memcpy(chain, authenticator, RAD_AUTH_SIZE);
    for (size_t b = 0; b < blocks; ++b) {
        const HashMD5 pad({std::string_view(secret, secretLength), Bytes(chain, RAD_AUTH_SIZE)});
        for (size_t i = 0; i < RAD_AUTH_SIZE; ++i) {
            const size_t at = b * RAD_AUTH_SIZE + i;
            const unsigned char plain = at < length ? static_cast<unsigned char>(password[at]) : 0;
            chain[i] = plain ^ pad.Digest()[i];
        }
        memcpy(out + b * RAD_AUTH_SIZE, chain, RAD_AUTH_SIZE);
    }
    *outLength = static_cast<int>(blocks * RAD_AUTH_SIZE);
    return 0;
}

extern "C" int BuildRadAuthPkt(char* packet, const struct RadAuthRequest* r) {
    if (!packet || !r || !r->authenticator || !r->userName || !r->state || !r->secret ||
        (!r->password && r->passwordLength > 0))
        return -1;
    const size_t userLength = strlen(r->userName);
    const size_t stateLength = strlen(r->state);
    if (userLength > RAD_MAX_ATTR_VALUE || stateLength > RAD_MAX_ATTR_VALUE ||
        r->passwordLength < 0 || r->passwordLength > RAD_MAX_PASSWORD)
        return -1;
    // Every value is bounded above, so the packet stays far below RAD_MAX_PACKET.
    char* p = AddPacketHdr(packet, RAD_ACCESS_REQUEST, r->identifier, r->authenticator);
    // First, so no attribute ahead of it can steer a forged prefix; signed once the rest is in.
    const unsigned char zeros[RAD_AUTH_SIZE] = {};
    char* signature = p + 2;
    p = AddPacketItem(p, RAD_MESSAGE_AUTHENTICATOR, zeros, RAD_AUTH_SIZE);
    p = AddPacketItem(p, RAD_USER_NAME, r->userName, static_cast<int>(userLength));
    p = AddPacketItem(p, RAD_USER_PASSWORD, r->password, r->passwordLength);
    if (stateLength > 0) p = AddPacketItem(p, RAD_STATE, r->state, static_cast<int>(stateLength));
    p = AddPacketItem(p, RAD_NAS_IP_ADDRESS, r->nasIP, 4);
    p = AddPacketItem(p, RAD_NAS_PORT, r->nasPort, 4);
    const int length = static_cast<int>(p - packet);
    packet[2] = static_cast<char>(length >> 8);
    packet[3] = static_cast<char>(length & 0xff);
    unsigned char mac[RAD_AUTH_SIZE];
    hmac_md5(mac, U(packet), static_cast<unsigned>(length), U(r->secret),
             static_cast<unsigned>(strlen(r->secret)));
    memcpy(signature, mac, RAD_AUTH_SIZE);
    return length;
}

extern "C" int CheckRadiusReply(const char* reply, int size, const char* request,
                                const char* secret) {
    if (!reply || !request || !secret || size < RAD_HEADER_SIZE) return -1;
    const unsigned length = PacketLength(reply);
    // Bytes past the length field are padding (RFC 2865, section 3); fewer is a broken packet.
    if (length < RAD_HEADER_SIZE || length > static_cast<unsigned>(size) || length > RAD_MAX_PACKET)
        return -1;
    if (reply[1] != request[1]) return -1;

    int signatureAt = -1;
    for (unsigned at = RAD_HEADER_SIZE; at < length;) {
        if (length - at < 2) return -1;
        const unsigned itemLength = static_cast<unsigned char>(reply[at + 1]);
        if (itemLength < 2 || itemLength > length - at) return -1;
        if (static_cast<unsigned char>(reply[at]) == RAD_MESSAGE_AUTHENTICATOR) {
            if (itemLength != kMessageAuthLength || signatureAt >= 0) return -1;
            signatureAt = static_cast<int>(at + 2);
        }
        at += itemLength;
    }

    const size_t secretLength = strlen(secret);
    const HashMD5 expected({Bytes(reply, 4), Bytes(request + 4, RAD_AUTH_SIZE),
                            Bytes(reply + RAD_HEADER_SIZE, length - RAD_HEADER_SIZE),
                            Bytes(secret, secretLength)});
    if (!SameBytes(expected.Digest(), U(reply + 4), RAD_AUTH_SIZE)) return -1;
    if (signatureAt < 0) return 0;

    // The answer's Message-Authenticator is computed over it with the request's
    // authenticator in place of its own and the signature zeroed (RFC 3579, section 3.2).
    char copy[RAD_MAX_PACKET];
    memcpy(copy, reply, length);
    memcpy(copy + 4, request + 4, RAD_AUTH_SIZE);
    memset(copy + signatureAt, 0, RAD_AUTH_SIZE);
    unsigned char mac[RAD_AUTH_SIZE];
    hmac_md5(mac, U(copy), length, U(secret), static_cast<unsigned>(secretLength));
    return SameBytes(mac, U(reply + signatureAt), RAD_AUTH_SIZE) ? 0 : -1;
}
