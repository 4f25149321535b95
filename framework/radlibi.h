// The RADIUS Access-Request and its answer (RFC 2865, with the Message-Authenticator of
// RFC 3579), with C linkage: request authenticators and identifiers from the system's random
// source, User-Password hiding, building a request and checking that an answer belongs to it.
// Nothing here keeps state, throws, logs or allocates; any thread may call.
#pragma once

#include "packtlib.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    RAD_ACCESS_REQUEST = 1,
    RAD_ACCESS_ACCEPT = 2,
    RAD_ACCESS_REJECT = 3,
    RAD_ACCESS_CHALLENGE = 11
};

enum {
    RAD_USER_NAME = 1,
    RAD_USER_PASSWORD = 2,
    RAD_NAS_IP_ADDRESS = 4,
    RAD_NAS_PORT = 5,
    RAD_STATE = 24,
    RAD_MESSAGE_AUTHENTICATOR = 80
};

// Longest password User-Password can carry (RFC 2865, section 5.2).
enum { RAD_MAX_PASSWORD = 128 };

// What BuildRadAuthPkt writes into an Access-Request.
struct RadAuthRequest {
    const char* authenticator;  // 16 bytes of GenerateAuthenticator
    unsigned char identifier;   // of GeneratePacketID
    const char* userName;       // NUL-terminated, written without the NUL
    const char* password;       // the hidden password of EncryptPassword
    int passwordLength;         // its length, 0 to 128
    const char* state;          // NUL-terminated; "" writes no State attribute
    unsigned char nasIP[4];     // NAS-IP-Address value as stored (network byte order)
    unsigned char nasPort[4];   // NAS-Port value as stored
    const char* secret;         // NUL-terminated shared secret, signs the request
};

// Fills 16 bytes at `out` from the system's random source (getrandom) and returns `out`;
// null when the source fails.
char* GenerateAuthenticator(char* out);

// Advances `*id`: 0 becomes a random value from 1 to 254, 255 wraps to 1, anything else goes
// up by one. Returns the new value, or -1 (leaving `*id`) when the random source fails.
int GeneratePacketID(unsigned char* id);

// Hides the NUL-terminated `password` for User-Password with `secret` (used whole, any
// length) and the 16-byte request `authenticator`: padded with zero bytes to a multiple of 16,
// so 0, 16 and 17 bytes give 0, 16 and 32. Writes at most 128 bytes to `out` and their count
// to `*outLength`. Returns 0, or -1 for a null pointer or a password over 128 bytes.
int EncryptPassword(const char* password, const char* secret, const char* authenticator, char* out,
                    int* outLength);

// Writes the Access-Request of `request` into `packet` (RAD_MAX_PACKET bytes): header,
// Message-Authenticator, User-Name, User-Password, State (when not empty), NAS-IP-Address,
// NAS-Port, the length field, then the Message-Authenticator's HMAC-MD5 over the whole packet.
// Returns the packet's length, or -1 when a value does not fit its attribute (a user name or
// state over 253 bytes, a hidden password over 128) or a pointer is null.
int BuildRadAuthPkt(char* packet, const struct RadAuthRequest* request);

// Whether the `size` bytes at `reply` are the answer to the Access-Request `request` under
// `secret`: a well-formed packet whose length field fits the bytes received, with the request's
// identifier, the right Response Authenticator and, when it carries a Message-Authenticator,
// the right one. Returns 0 when it is, -1 otherwise.
int CheckRadiusReply(const char* reply, int size, const char* request, const char* secret);

#ifdef __cplusplus
}
#endif
