// Writing the header and the attributes of a RADIUS packet (RFC 2865, section 3), with C
// linkage. The caller's buffer must hold what is written; nothing is allocated.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Sizes of a packet's parts.
enum {
    RAD_HEADER_SIZE = 20,      // code, identifier, length, authenticator
    RAD_AUTH_SIZE = 16,        // the authenticator
    RAD_MAX_ATTR_VALUE = 253,  // the one-byte length covers type and length too
    RAD_MAX_PACKET = 4096      // RFC 2865's largest packet, and the size of every buffer
};

// Writes the code, the identifier and the 16-byte `authenticator` at `packet` and returns the
// position after the header (offset 20). The length field (bytes 2 and 3) is left to the
// packet's builder.
char* AddPacketHdr(char* packet, int code, int identifier, const char* authenticator);

// Writes one attribute at `position`: type, `length` + 2, then `length` bytes of `value`, and
// returns the position after it. A length outside 0..253 writes nothing and returns null.
char* AddPacketItem(char* position, int type, const void* value, int length);

#ifdef __cplusplus
}
#endif
