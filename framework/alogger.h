// Bilingual messages, their decorations, log levels and types, the localised exception
// types and the interface through which components hand messages on.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace alg {

// Unicode code points of Windows-1251 bytes 0x80 to 0xBF (0 where the byte is unassigned);
// 0xC0 to 0xFF are U+0410 to U+044F.
inline constexpr char16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

namespace cp1251 {

consteval unsigned char Cp1251Byte(char32_t cp) {
    if (cp < 0x80) return static_cast<unsigned char>(cp);
    if (cp >= 0x0410 && cp <= 0x044F) return static_cast<unsigned char>(0xC0 + (cp - 0x0410));
    for (unsigned i = 0; i < 64; ++i)
        if (kCp1251High[i] != 0 && kCp1251High[i] == cp) return static_cast<unsigned char>(0x80 + i);
    throw "character has no Windows-1251 form";  // makes the constant expression ill-formed
}

// A UTF-8 literal converted to Windows-1251 at compile time.
template <std::size_t N>
struct Cp1251Text {
    char text[N]{};
    consteval Cp1251Text(const char (&utf8)[N]) {
        std::size_t out = 0;
        for (std::size_t i = 0; i + 1 < N;) {
            const auto b = static_cast<unsigned char>(utf8[i]);
            char32_t cp;
            if (b < 0x80) {
                cp = b;
                i += 1;
            } else if ((b & 0xE0) == 0xC0) {
                cp = ((b & 0x1F) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F);
                i += 2;
            } else if ((b & 0xF0) == 0xE0) {
                cp = ((b & 0x0F) << 12) | ((static_cast<unsigned char>(utf8[i + 1]) & 0x3F) << 6) |
                     (static_cast<unsigned char>(utf8[i + 2]) & 0x3F);
                i += 3;
            } else {
                throw "unsupported UTF-8 sequence";
            }
            text[out++] = static_cast<char>(Cp1251Byte(cp));
        }
    }
};

}  // namespace cp1251

// A constant message text pair: English (ASCII) and Russian (Windows-1251).
struct locMSG {
    const char* en;
    const char* ru;
};

// Defines the read-only message pair `Name`; the Russian text is written in UTF-8 and
// stored in Windows-1251.
#define ALG_MESSAGE(Name, English, RussianUtf8)                                     \
    inline constexpr ::alg::cp1251::Cp1251Text Name##RussianText_{RussianUtf8}; \
    inline constexpr ::alg::locMSG Name { English, Name##RussianText_.text }

enum LogLevel : int { none = 0, event = 1, detail = 2, verbose = 3 };
enum MsgType : int { notice = 0, info = 1, warning = 2, error = 3 };

// Texts added around a message: who emits it, what precedes it, what follows it.
struct StringDecorator {
    std::string sourceText;
    std::string leadIn;
    std::string suffix;

    // Inserts `text` at the front of the suffix: the latest call comes first.
    void AddSuffix(const char* text) { suffix.insert(0, text ? text : ""); }
    void AddSuffix(const std::string& text) { suffix.insert(0, text); }
};

struct DecoratedMessage : locMSG, StringDecorator {
    explicit DecoratedMessage(const locMSG& m) : locMSG(m) {}
};

// The unit handed to I_ToLogSystem::Log: a decorated message with its level and type.
struct LoggedMessage : DecoratedMessage {
    LoggedMessage(const locMSG& m, LogLevel l, MsgType t) : DecoratedMessage(m), level(l), type(t) {}
    LogLevel level;
    MsgType type;
};

// Anything that accepts messages: the application, each session, the loader's worker.
class I_ToLogSystem {
public:
    virtual void Log(LoggedMessage& msg) = 0;
    virtual ~I_ToLogSystem() = default;
    virtual void ResetFacility() {}
};

// Second base of the localised exceptions: the message pair naming the error and a detail.
class ErrLocalizer {
public:
    ErrLocalizer(const locMSG& m, std::string detail) : msg_(&m), detail_(std::move(detail)) {}
    const locMSG& Msg() const { return *msg_; }
    const std::string& Detail() const { return detail_; }

private:
    const locMSG* msg_;
    std::string detail_;
};

// Declares a localised exception: what() is the English text, the pair and detail travel along.
#define ALG_LOCALIZED_EXCEPTION(Name)                                                       \
    class Name : public std::runtime_error, public ::alg::ErrLocalizer {                   \
    public:                                                                                 \
        explicit Name(const ::alg::locMSG& m, std::string detail = {})                     \
            : std::runtime_error(m.en), ::alg::ErrLocalizer(m, std::move(detail)) {}       \
    }

ALG_LOCALIZED_EXCEPTION(FactoryError);
ALG_LOCALIZED_EXCEPTION(InitializerError);

// Misuse rather than an operational error: one English text, logged as both texts.
class LogicError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Logs a localised exception: its pair with the detail as suffix.
inline void LogError(I_ToLogSystem& to, const ErrLocalizer& e, LogLevel level, MsgType type) {
    LoggedMessage m(e.Msg(), level, type);
    m.AddSuffix(e.Detail());
    to.Log(m);
}

}  // namespace alg
