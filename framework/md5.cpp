#include "md5.h"

#include <string.h>

#include <string_view>

#include "basis.h"

namespace {

constexpr unsigned kBlock = 64;

std::string_view Bytes(const unsigned char* data, unsigned length) {
    return {reinterpret_cast<const char*>(data), length};
}

}  // namespace

extern "C" void md5_calc(unsigned char* digest, const unsigned char* data, unsigned int length) {
    const HashMD5 hash({Bytes(data, length)});
    memcpy(digest, hash.Digest(), HashMD5::kDigestSize);
}

extern "C" void hmac_md5(unsigned char* digest, const unsigned char* data, unsigned int length,
                         const unsigned char* key, unsigned int keyLength) {
    unsigned char block[kBlock] = {};
    if (keyLength > kBlock)
        md5_calc(block, key, keyLength);
    else if (keyLength > 0)
        memcpy(block, key, keyLength);
    unsigned char pad[kBlock];
    for (unsigned i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x36;
    const HashMD5 inner({Bytes(pad, kBlock), Bytes(data, length)});
    for (unsigned i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x5c;
    const HashMD5 outer({Bytes(pad, kBlock), Bytes(inner.Digest(), HashMD5::kDigestSize)});
    memcpy(digest, outer.Digest(), HashMD5::kDigestSize);
    // The padded key is the secret itself.
    explicit_bzero(block, sizeof block);
    explicit_bzero(pad, sizeof pad);
}
