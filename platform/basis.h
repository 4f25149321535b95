// General services of the platform layer: the single-copy guard, Base64, MD5, the product
// version texts and a null-safe comparison. Everything here may be used from any thread;
// each SCChecker and HashMD5 object by one thread at a time.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

// A system-wide named guard: at most one process holds a name at a time. The name is held by
// an advisory lock on the file systemRunDir()/<name> (mode 0644, holding the owner's pid);
// the kernel drops it when the holder ends, however it ends.
class SCChecker {
  public:
    SCChecker() = default;
    ~SCChecker() { unlock(); }
    SCChecker(const SCChecker&) = delete;
    SCChecker& operator=(const SCChecker&) = delete;

    // True when this object now holds `name` (also when it held it already); false when
    // another holder has it or the guard file cannot be made. A name held before by this
    // object is released first when `name` differs.
    bool lock(const char* name);
    // Releases the name held, if any; the guard file stays, emptied.
    void unlock();

    bool locked() const { return handle_ != -1; }
    // Why the last lock() failed: 0 when another holder has the name (or it succeeded),
    // otherwise the errno of the failure to make or open the guard file (EINVAL for a name
    // that is not a plain file name).
    int error() const { return error_; }

    // The guard file of `name`: systemRunDir() + "/" + name.
    static std::string LockFilePath(const char* name);

  private:
    int handle_ = -1;
    int error_ = 0;
    std::string name_;
};

// Compares two texts like strcmp; a null text sorts before every non-null one and equals
// only another null, so a null never equals "" nor any other text.
int strcmp0(const char* a, const char* b);

// The result of base64_decode on malformed input or when the output does not fit: above any
// capacity when read as unsigned.
inline constexpr unsigned kBase64Error = ~0u;

// Decodes standard Base64 (RFC 4648 alphabet, '=' padding, which may be left out) from the
// NUL-terminated `text`. Leading blanks (spaces, tabs) are skipped and a trailing line end
// (CR LF, LF or CR) is ignored; any other character outside the alphabet is an error.
// Writes at most `capacity` bytes to `out` and returns how many it wrote, or kBase64Error when
// the text is malformed or its decoded form is longer than `capacity`.
unsigned base64_decode(const char* text, void* out, unsigned capacity);

// Encodes `length` bytes of `in` as standard Base64 with padding and without line breaks into
// `out`, adding a NUL when there is room for it. Returns the number of characters of the
// encoded text, or -1 (nothing written) when they do not fit in `capacity`.
int base64_encode(const void* in, unsigned length, char* out, unsigned capacity);

// The MD5 digest (RFC 1321) of a byte block, computed at construction.
class HashMD5 {
  public:
    static constexpr unsigned kDigestSize = 16;

    HashMD5(const void* data, unsigned length);
    // The digest of `parts` one after another, as if they were one block.
    explicit HashMD5(std::initializer_list<std::string_view> parts);

    // Writes the digest as 32 hexadecimal digits and a NUL into `out` (33 bytes): upper case
    // letters when `upperCase` is true, lower case otherwise.
    void ToCSTR(char* out, bool upperCase) const;
    const unsigned char* Digest() const { return digest_; }

  private:
    unsigned char digest_[kDigestSize];
};

// Whether `utf8` begins with a character that moves or reorders what follows it on screen:
// the line and paragraph separators U+2028, U+2029 and the directional embeddings, overrides
// and isolates U+202A to U+202E, U+2066 to U+2069.
bool IsHiddenFormatChar(std::string_view utf8);

// `text` made safe to show on a terminal or to write as one log line: C0 controls and DEL
// become "\n", "\r", "\t" or "\xNN"; a C1 control written in UTF-8 (U+0080 to U+009F) becomes
// "\u00NN", a character IsHiddenFormatChar names "\u20NN", and a byte from 0x80 to 0x9F that
// is not part of a UTF-8 character becomes "\xNN". Everything else, other UTF-8 characters and
// bytes of 8-bit code pages included, is kept.
std::string EscapeControls(std::string_view text);

// Why ReadRegularFile failed; what() is the cause ("cannot open file: <errno text>", "not a
// regular file", ...). `TooLarge()` tells a file over the limit from other failures.
class FileReadError : public std::runtime_error {
  public:
    FileReadError(const std::string& cause, bool tooLarge)
        : std::runtime_error(cause), tooLarge_(tooLarge) {}
    bool TooLarge() const { return tooLarge_; }

  private:
    bool tooLarge_;
};

// The bytes of the file at `path`, at most `limit` of them. The file is opened without
// waiting (a FIFO with no writer does not block), anything but a regular file is refused
// after the open (so it cannot be swapped between a check and the open), and at most
// `limit` + 1 bytes are ever read, however large the file is or grows. Throws FileReadError.
std::string ReadRegularFile(const std::string& path, std::size_t limit);

// The product version ("1.0.0"), build (source revision) and build date ("YYYY-MM-DD").
const char* productVersion();
const char* productBuild();
const char* productBuildDate();
// The line a program prints for --version: "NAME VERSION (build BUILD, DATE)\n", NAME being the
// last part of `program`'s path.
std::string productVersionLine(const char* program);
