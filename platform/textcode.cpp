#include "textcode.h"

#include <errno.h>

#include <cctype>
#include <cstring>
#include <string>

namespace {

struct CodePage {
    codepage_t value;
    const char* name;        // canonical name, as reported and as given to iconv
    const char* aliases[8];  // normalised: lower case letters and digits only
};

// The code pages known by name. Values other than 6 and 1251 follow the usual numbering of
// code pages where there is one.
constexpr CodePage kCodePages[] = {
    {6, "UTF-8", {"utf8", "unicode11utf8", "xunicode20utf8"}},
    {1251, "WINDOWS-1251", {"windows1251", "win1251", "cp1251", "xcp1251", "mscyrl"}},
    {1252, "WINDOWS-1252", {"windows1252", "win1252", "cp1252", "xcp1252"}},
    {1250, "WINDOWS-1250", {"windows1250", "win1250", "cp1250", "xcp1250"}},
    {866, "CP866", {"cp866", "ibm866", "866", "csibm866", "dos866", "alt"}},
    {20866, "KOI8-R", {"koi8r", "koi8", "cskoi8r"}},
    {21866, "KOI8-U", {"koi8u"}},
    {28595, "ISO-8859-5", {"iso88595", "cyrillic", "isoir144", "csisolatincyrillic"}},
    {28591, "ISO-8859-1", {"iso88591", "latin1", "l1", "isoir100", "csisolatin1", "cp819"}},
    {28592, "ISO-8859-2", {"iso88592", "latin2", "l2", "isoir101", "csisolatin2"}},
    {28605, "ISO-8859-15", {"iso885915", "latin9", "latin0"}},
    {20127, "US-ASCII", {"usascii", "ascii", "us", "ansix341968", "iso646us", "csascii"}},
    {10007, "MAC-CYRILLIC", {"maccyrillic", "xmaccyrillic"}},
    {1200, "UTF-16LE", {"utf16le"}},
    {1201, "UTF-16BE", {"utf16be", "unicodefffe"}},
    {1202, "UTF-16", {"utf16", "unicode", "csunicode", "ucs2"}},
};

constexpr char kUnknownName[] = "unknown";
constexpr std::size_t kMaxNameLength = 64;
constexpr std::size_t kCountChunk = 4096;

const CodePage* FindByValue(codepage_t value) {
    for (const CodePage& page : kCodePages)
        if (page.value == value) return &page;
    return nullptr;
}

// Letters and digits of `name` in lower case: "Windows-1251", "windows_1251" and
// "WINDOWS 1251" all give "windows1251".
std::string Normalise(const char* name) {
    std::string key;
    for (const char* p = name; *p && key.size() <= kMaxNameLength; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x80 && std::isalnum(c)) key += static_cast<char>(std::tolower(c));
    }
    return key;
}

}  // namespace

codepage_t textcode::get_codepage_value(const char* name) {
    if (!name) return kUnknown;
    const std::string key = Normalise(name);
    if (key.empty() || key.size() > kMaxNameLength) return kUnknown;
    for (const CodePage& page : kCodePages) {
        for (const char* alias : page.aliases) {
            if (alias && key == alias) return page.value;
        }
    }
    return kUnknown;
}

const char* textcode::get_codepage_name(codepage_t codepage) {
    const CodePage* page = FindByValue(codepage);
    return page ? page->name : kUnknownName;
}

textcode::textcode(codepage_t from, codepage_t to)
    : from_(from), to_(to), cd_(reinterpret_cast<iconv_t>(-1)) {
    const CodePage* source = FindByValue(from);
    const CodePage* target = FindByValue(to);
    if (source && target && from != to) cd_ = iconv_open(target->name, source->name);
}

textcode::~textcode() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
}

bool textcode::Convert(const char* text, unsigned length, char* out, unsigned outSize,
                       unsigned& produced) {
    produced = 0;
    if (!text && length > 0) return false;
    if (!FindByValue(from_) || !FindByValue(to_)) return false;
    if (from_ == to_) {
        // Same code page: the bytes pass unchanged.
        if (out) {
            if (length > outSize) return false;
            if (length > 0) std::memcpy(out, text, length);
        }
        produced = length;
        return true;
    }
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // fresh shift state

    char* in = const_cast<char*>(text);
    size_t inLeft = length;
    char scratch[kCountChunk];
    unsigned long long total = 0;
    // The final call with a null input flushes any pending shift sequence.
    for (bool flushing = false;;) {
        char* dst = out ? out + total : scratch;
        size_t dstLeft = out ? outSize - static_cast<size_t>(total) : sizeof scratch;
        const size_t before = dstLeft;
        const size_t rc = flushing ? iconv(cd_, nullptr, nullptr, &dst, &dstLeft)
                                   : iconv(cd_, &in, &inLeft, &dst, &dstLeft);
        total += before - dstLeft;
        if (total > 0xffffffffULL) return false;
        if (rc == static_cast<size_t>(-1)) {
            // Counting goes on with an emptied scratch buffer; a real output that is full
            // means the text does not fit whole.
            if (errno == E2BIG && !out) continue;
            return false;
        }
        if (flushing) break;
        if (inLeft == 0) flushing = true;
    }
    produced = static_cast<unsigned>(total);
    return true;
}

unsigned textcode::get_outsize(const char* text, unsigned length) {
    unsigned produced = 0;
    return Convert(text, length, nullptr, 0, produced) ? produced : 0;
}

unsigned textcode::convert_safe(const char* text, unsigned length, char* out, unsigned outSize) {
    if (!out) return 0;
    unsigned produced = 0;
    return Convert(text, length, out, outSize, produced) ? produced : 0;
}
