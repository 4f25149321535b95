// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104) for the RADIUS client, with C linkage. The digests are
// computed by the platform's MD5 layer; nothing here keeps state, so any thread may call.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Writes the 16-byte MD5 digest of `length` bytes at `data` to `digest`.
void md5_calc(unsigned char* digest, const unsigned char* data, unsigned int length);

// Writes the 16-byte HMAC-MD5 of `length` bytes at `data` under the key of `keyLength` bytes
// at `key` to `digest`. Keys longer than 64 bytes are hashed first, as RFC 2104 says.
void hmac_md5(unsigned char* digest, const unsigned char* data, unsigned int length,
              const unsigned char* key, unsigned int keyLength);

#ifdef __cplusplus
}
#endif
