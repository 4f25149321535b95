#include "basis.h"

#include <errno.h>
#include <fcntl.h>
#include <md5.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "alg_version.h"
#include "dirmap.h"

namespace {

constexpr mode_t kRunDirMode = 0755;
constexpr mode_t kLockFileMode = 0644;

// Creates `dir` and its missing parents with kRunDirMode; the process may run with umask 0,
// so the mode of each new folder is set explicitly.
bool MakeDirs(const std::string& dir) {
    struct stat st;
    if (!dir.empty() && ::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    if (dir.empty()) {
        errno = ENOENT;
        return false;
    }
    const std::size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash))) return false;
    if (::mkdir(dir.c_str(), kRunDirMode) != 0) return errno == EEXIST;
    ::chmod(dir.c_str(), kRunDirMode);
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 character, -1 for anything outside the alphabet.
int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Single-copy guard
// ---------------------------------------------------------------------------------------------

std::string SCChecker::LockFilePath(const char* name) {
    return systemRunDir() + "/" + (name ? name : "");
}

bool SCChecker::lock(const char* name) {
    error_ = 0;
    if (!name || !*name || std::strchr(name, '/')) {
        error_ = EINVAL;
        return false;
    }
    if (handle_ != -1) {
        if (name_ == name) return true;
        unlock();
    }
    if (!MakeDirs(systemRunDir())) {
        error_ = errno;
        return false;
    }

    const std::string path = LockFilePath(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockFileMode);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) error_ = errno;
        ::close(fd);
        return false;
    }
    // Only the holder touches the file's mode and contents.
    ::fchmod(fd, kLockFileMode);
    char pid[32];
    const int length = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(::getpid()));
    if (::ftruncate(fd, 0) != 0 || !WriteAll(fd, pid, static_cast<std::size_t>(length))) {
        error_ = errno ? errno : EIO;
        ::close(fd);
        return false;
    }
    handle_ = fd;
    name_ = name;
    return true;
}

void SCChecker::unlock() {
    if (handle_ == -1) return;
    // The file is left in place: removing it would let a newcomer lock a fresh file while a
    // waiter still locks the old one. Emptying it clears the stale pid.
    if (::ftruncate(handle_, 0) != 0) {
        // A guard file that cannot be emptied still loses its lock below.
    }
    ::flock(handle_, LOCK_UN);
    ::close(handle_);
    handle_ = -1;
    name_.clear();
}

// ---------------------------------------------------------------------------------------------
// Texts
// ---------------------------------------------------------------------------------------------

namespace {

void AppendHexEscape(std::string& out, const char* lead, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += lead;
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
}

// Length of the well-formed UTF-8 character at the start of `s`, 0 when there is none.
std::size_t Utf8Length(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const auto cont = [&](std::size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
    const unsigned char c = b(0);
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;  // overlong
        if (c == 0xED && b(1) > 0x9F) return 0;  // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;  // overlong
        if (c == 0xF4 && b(1) > 0x8F) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

bool IsHiddenFormatChar(std::string_view utf8) {
    if (utf8.size() < 3 || static_cast<unsigned char>(utf8[0]) != 0xE2) return false;
    const auto b1 = static_cast<unsigned char>(utf8[1]);
    const auto b2 = static_cast<unsigned char>(utf8[2]);
    return (b1 == 0x80 && b2 >= 0xA8 && b2 <= 0xAE) || (b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9);
}

std::string EscapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            if (c == '\n') out += "\\n";
            else if (c == '\r') out += "\\r";
            else if (c == '\t') out += "\\t";
            else AppendHexEscape(out, "\\x", c);
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t n = Utf8Length(text.substr(i));
        if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            AppendHexEscape(out, "\\u00", static_cast<unsigned char>(text[i + 1]));
        } else if (n == 3 && IsHiddenFormatChar(text.substr(i, 3))) {
            // U+20xx: the low byte of the code point from the last two bytes.
            const auto b1 = static_cast<unsigned char>(text[i + 1]);
            const auto b2 = static_cast<unsigned char>(text[i + 2]);
            AppendHexEscape(out, "\\u20",
                            static_cast<unsigned char>(((b1 & 0x3) << 6) | (b2 & 0x3F)));
        } else if (n > 0) {
            out.append(text.substr(i, n));
        } else if (c <= 0x9F) {
            AppendHexEscape(out, "\\x", c);
        } else {
            out += static_cast<char>(c);
        }
        i += n > 0 ? n : 1;
    }
    return out;
}

int strcmp0(const char* a, const char* b) {
    if (a == b) return 0;
    if (!a) return -1;
    if (!b) return 1;
    return std::strcmp(a, b);
}

// ---------------------------------------------------------------------------------------------
// Base64
// ---------------------------------------------------------------------------------------------

unsigned base64_decode(const char* text, void* out, unsigned capacity) {
    if (!text || (!out && capacity > 0)) return kBase64Error;
    while (*text == ' ' || *text == '\t') ++text;
    std::size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;

    std::size_t padding = 0;
    while (padding < 2 && length > 0 && text[length - 1] == '=') {
        --length;
        ++padding;
    }
    // With padding the text comes in whole groups of four; without it a final group of one
    // character cannot carry a byte.
    if (padding > 0 && (length + padding) % 4 != 0) return kBase64Error;
    if (length % 4 == 1) return kBase64Error;

    const std::size_t decodedSize = length / 4 * 3 + (length % 4 == 0 ? 0 : length % 4 - 1);
    if (decodedSize > capacity) return kBase64Error;
    for (std::size_t i = 0; i < length; ++i) {
        if (Base64Value(static_cast<unsigned char>(text[i])) < 0) return kBase64Error;
    }

    unsigned char* dst = static_cast<unsigned char*>(out);
    unsigned written = 0;
    unsigned bits = 0;
    int bitCount = 0;
    for (std::size_t i = 0; i < length; ++i) {
        bits =
            (bits << 6) | static_cast<unsigned>(Base64Value(static_cast<unsigned char>(text[i])));
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            dst[written++] = static_cast<unsigned char>(bits >> bitCount);
            bits &= (1u << bitCount) - 1;
        }
    }
    return written;
}

int base64_encode(const void* in, unsigned length, char* out, unsigned capacity) {
    if ((!in && length > 0) || !out) return -1;
    const unsigned long long encodedSize = (static_cast<unsigned long long>(length) + 2) / 3 * 4;
    if (encodedSize > capacity || encodedSize > 0x7fffffffULL) return -1;

    const unsigned char* src = static_cast<const unsigned char*>(in);
    char* dst = out;
    unsigned i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned group = (src[i] << 16) | (src[i + 1] << 8) | src[i + 2];
        *dst++ = kBase64Alphabet[(group >> 18) & 63];
        *dst++ = kBase64Alphabet[(group >> 12) & 63];
        *dst++ = kBase64Alphabet[(group >> 6) & 63];
        *dst++ = kBase64Alphabet[group & 63];
    }
    if (i < length) {
        const bool two = i + 1 < length;
        const unsigned group = (src[i] << 16) | (two ? src[i + 1] << 8 : 0);
        *dst++ = kBase64Alphabet[(group >> 18) & 63];
        *dst++ = kBase64Alphabet[(group >> 12) & 63];
        *dst++ = two ? kBase64Alphabet[(group >> 6) & 63] : '=';
        *dst++ = '=';
    }
    if (encodedSize < capacity) *dst = '\0';
    return static_cast<int>(encodedSize);
}

// ---------------------------------------------------------------------------------------------
// MD5
// ---------------------------------------------------------------------------------------------

HashMD5::HashMD5(const void* data, unsigned length) {
    MD5_CTX context;
    MD5Init(&context);
    if (length > 0) MD5Update(&context, static_cast<const unsigned char*>(data), length);
    MD5Final(digest_, &context);
}

HashMD5::HashMD5(std::initializer_list<std::string_view> parts) {
    MD5_CTX context;
    MD5Init(&context);
    for (std::string_view part : parts)
        if (!part.empty())
            MD5Update(&context, reinterpret_cast<const unsigned char*>(part.data()), part.size());
    MD5Final(digest_, &context);
}

void HashMD5::ToCSTR(char* out, bool upperCase) const {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    for (unsigned i = 0; i < kDigestSize; ++i) {
        out[2 * i] = digits[digest_[i] >> 4];
        out[2 * i + 1] = digits[digest_[i] & 15];
    }
    out[2 * kDigestSize] = '\0';
}

// ---------------------------------------------------------------------------------------------
// Product texts
// ---------------------------------------------------------------------------------------------

const char* productVersion() {
    return ALG_PRODUCT_VERSION;
}

const char* productBuild() {
    return ALG_PRODUCT_BUILD;
}

const char* productBuildDate() {
    return ALG_PRODUCT_BUILD_DATE;
}

std::string productVersionLine(const char* program) {
    const char* slash = std::strrchr(program, '/');
    return std::string(slash ? slash + 1 : program) + " " + productVersion() + " (build " +
           productBuild() + ", " + productBuildDate() + ")\n";
}

// ---------------------------------------------------------------------------------------------
// Bounded file reading
// ---------------------------------------------------------------------------------------------

std::string ReadRegularFile(const std::string& path, std::size_t limit) {
    const auto failed = [](const char* what, int err) {
        return FileReadError(std::string(what) + ": " + std::strerror(err), false);
    };
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw failed("cannot open file", errno);
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0) throw failed("cannot read file", errno);
    if (!S_ISREG(st.st_mode)) throw FileReadError("not a regular file", false);
    const FileReadError tooLarge("file too large", true);
    if (static_cast<unsigned long long>(st.st_size) > limit) throw tooLarge;
    std::string data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[64 * 1024];
    for (;;) {
        // The file may grow after fstat: one byte past the limit is enough to refuse it.
        const std::size_t want = std::min(sizeof buf, limit + 1 - data.size());
        const ssize_t n = ::read(fd, buf, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw failed("cannot read file", errno);
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
        if (data.size() > limit) throw tooLarge;
    }
    return data;
}
