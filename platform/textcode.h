// Code-page names and conversion between code pages. The look-ups may be called from any
// thread; each converter object is used by one thread at a time.
#pragma once

#include <iconv.h>

// A code-page identifier: -1 unknown, 6 UTF-8, 1251 Windows-1251; the others come from
// textcode::get_codepage_value.
typedef int codepage_t;

class textcode {
  public:
    static constexpr codepage_t kUnknown = -1;
    static constexpr codepage_t kUtf8 = 6;
    static constexpr codepage_t kWindows1251 = 1251;

    // The code page of a charset name as written in a policy, a page or a header field
    // (letter case, '-', '_', blanks and surrounding quotes do not matter); -1 when the name
    // is unknown or null.
    static codepage_t get_codepage_value(const char* name);
    // A printable name for any value: the canonical charset name, or "unknown".
    static const char* get_codepage_name(codepage_t codepage);

    // A converter from `from` to `to`. Conversion involving an unknown code page always
    // fails (size 0).
    textcode(codepage_t from, codepage_t to);
    ~textcode();
    textcode(const textcode&) = delete;
    textcode& operator=(const textcode&) = delete;

    // The size in bytes of the converted form of `length` bytes of `text`; 0 when the text
    // cannot be converted (unknown code page, a byte sequence invalid in the source or
    // without a form in the target).
    unsigned get_outsize(const char* text, unsigned length);
    // Converts `length` bytes of `text` into `out`, writing never more than `outSize` bytes.
    // Returns the number of bytes written; 0 when the text cannot be converted or does not
    // fit whole, in which case the content of `out` is unspecified and must not be used.
    unsigned convert_safe(const char* text, unsigned length, char* out, unsigned outSize);

  private:
    // Runs the conversion; with a null `out` only counts. Returns false on any failure.
    bool Convert(const char* text, unsigned length, char* out, unsigned outSize,
                 unsigned& produced);

    codepage_t from_;
    codepage_t to_;
    iconv_t cd_;
};
