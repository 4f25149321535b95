// Text encoders that turn a Windows-1251 text into the code page a logger writes. The four
// shared instances are stateless and live for the whole process.
#pragma once

#include <string>

namespace alg {

// Converts a NUL-terminated Windows-1251 text byte for byte (the result has the same length).
// The base class copies the text unchanged; a null text gives an empty result.
class Encoder {
  public:
    // Replaces the content of `out` with the converted form of `text`.
    virtual void Encode(const char* text, std::string& out) const;
    virtual ~Encoder() = default;
};

class EncoderToKOI8R : public Encoder {
  public:
    void Encode(const char* text, std::string& out) const override;
};

// Bytes without a CP866 form become '?'.
class EncoderToCP866 : public Encoder {
  public:
    void Encode(const char* text, std::string& out) const override;
};

// KOI8-R byte of each Windows-1251 byte from 0x80 upward, indexed by (byte - 0x80).
extern const unsigned char tblWin1251_KOI8R[128];
// CP866 byte of each Windows-1251 byte from 0x80 upward ('?' where CP866 has none).
extern const unsigned char tblWin1251_CP866[128];

// Windows-1251 to KOI8-R: bytes below 0x80 unchanged, the others through tblWin1251_KOI8R.
void Win1251_KOI8R(const char* text, std::string& out);

extern const Encoder defaultEnc;      // "Null" or "": the logger writes the English text
extern const EncoderToKOI8R koi8Enc;  // "KOI8-R"
extern const EncoderToCP866 oemEnc;   // "CP866"
extern const Encoder cp1251Enc;       // "Windows-1251": the Russian text as stored

}  // namespace alg
