#include "packtlib.h"

#include <string.h>

extern "C" char* AddPacketHdr(char* packet, int code, int identifier, const char* authenticator) {
    packet[0] = static_cast<char>(code);
    packet[1] = static_cast<char>(identifier);
    memcpy(packet + 4, authenticator, RAD_AUTH_SIZE);
    return packet + RAD_HEADER_SIZE;
}

extern "C" char* AddPacketItem(char* position, int type, const void* value, int length) {
    if (length < 0 || length > RAD_MAX_ATTR_VALUE) return nullptr;
    position[0] = static_cast<char>(type);
    position[1] = static_cast<char>(length + 2);
    if (length > 0) memcpy(position + 2, value, static_cast<size_t>(length));
    return position + 2 + length;
}
