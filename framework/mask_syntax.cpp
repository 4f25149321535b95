#include "mask_syntax.h"

#include <cctype>
#include <cstdio>

namespace alg {

namespace {

// RE2's largest repetition count.
constexpr int kMaxRepeat = 1000;

// What \d, \s and \w mean to QRegExp: QChar::isDigit, QChar::isSpace and
// isLetterOrNumber/isMark/'_'. Inside a set they are written without the brackets.
constexpr char kDigit[] = "\\p{Nd}";
constexpr char kSpaceSet[] = "\\t\\n\\x{0B}\\f\\r\\x{85}\\p{Z}";
constexpr char kWordSet[] = "\\p{L}\\p{N}\\p{M}_";

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// One character matched literally.
void AppendLiteral(std::string& out, char32_t c) {
    if (c >= 0x80) {
        AppendUtf8(out, c);
    } else if (std::isalnum(static_cast<int>(c)) || c == '_') {
        out += static_cast<char>(c);
    } else if (std::ispunct(static_cast<int>(c))) {
        out += '\\';
        out += static_cast<char>(c);
    } else {
        char code[16];
        std::snprintf(code, sizeof code, "\\x{%X}", static_cast<unsigned>(c));
        out += code;
    }
}

class Translator {
  public:
    explicit Translator(const QString& mask) : mask_(mask) {}

    bool Wildcard() {
        while (More()) {
            const char32_t c = Next();
            if (c == '*') {
                out_ += ".*";
            } else if (c == '?') {
                out_ += '.';
            } else if (c == '[') {
                if (!Set(false)) return false;
            } else if (c == ']' || IsSurrogate(c)) {
                return false;
            } else {
                AppendLiteral(out_, c);  // a backslash included: wildcards have no escapes
            }
        }
        return true;
    }

    bool RegExp() {
        while (More()) {
            const char32_t c = Next();
            switch (c) {
                case '\\':
                    if (!Escape(false)) return false;
                    break;
                case '(':
                    if (Peek() == '?') {
                        if (pos_ + 1 >= mask_.size() || mask_.at(pos_ + 1) != ':') return false;
                        pos_ += 2;
                        out_ += "(?:";
                    } else {
                        out_ += '(';
                    }
                    break;
                case ')':
                case '|':
                case '*':
                case '+':
                case '?':
                case '.':
                case '^':
                case '$':
                    out_ += static_cast<char>(c);
                    break;
                case '{':
                    if (!Repeat()) return false;
                    break;
                case '[':
                    if (!Set(true)) return false;
                    break;
                case ']':
                case '}':
                    return false;
                default:
                    if (IsSurrogate(c)) return false;
                    AppendLiteral(out_, c);
            }
        }
        return true;
    }

    std::string Result() && { return std::move(out_); }

  private:
    static bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
    bool More() const { return pos_ < mask_.size(); }
    char32_t Next() { return mask_.at(pos_++).unicode(); }
    char32_t Peek() const { return More() ? mask_.at(pos_).unicode() : 0; }

    // Up to `maxDigits` digits of `base`; false when there is none.
    bool Number(int base, int maxDigits, char32_t& value) {
        value = 0;
        int digits = 0;
        while (digits < maxDigits && More()) {
            const char32_t c = Peek();
            int d = -1;
            if (c >= '0' && c <= '9')
                d = static_cast<int>(c - '0');
            else if (c >= 'a' && c <= 'f')
                d = static_cast<int>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                d = static_cast<int>(c - 'A' + 10);
            if (d < 0 || d >= base) break;
            value = value * base + d;
            ++pos_;
            ++digits;
        }
        return digits > 0;
    }

    // After a backslash, outside a set or inside one.
    bool Escape(bool inSet) {
        if (!More()) return false;
        const char32_t c = Next();
        char32_t code = 0;
        switch (c) {
            case 'd':
                out_ += kDigit;
                return true;
            case 's':
                out_ += inSet ? std::string(kSpaceSet) : "[" + std::string(kSpaceSet) + "]";
                return true;
            case 'w':
                out_ += inSet ? std::string(kWordSet) : "[" + std::string(kWordSet) + "]";
                return true;
            case 'D':
            case 'S':
            case 'W':
                if (inSet) return false;
                out_ += c == 'D' ? "\\P{Nd}"
                                 : "[^" + std::string(c == 'S' ? kSpaceSet : kWordSet) + "]";
                return true;
            case 'n':
            case 't':
            case 'r':
            case 'f':
            case 'v':
            case 'a':
                // The control character the letter names.
                AppendLiteral(out_, "\n\t\r\f\v\a"[std::string_view("ntrfva").find(c)]);
                return true;
            case 'x':
                if (!Number(16, 4, code) || IsSurrogate(code)) return false;
                AppendLiteral(out_, code);
                return true;
            case '0':
                if (!Number(8, 3, code)) return false;
                AppendLiteral(out_, code);
                return true;
            case 'b':
            case 'B':
                return false;
            default:
                if ((c >= '1' && c <= '9') || IsSurrogate(c)) return false;  // back reference
                AppendLiteral(out_, c);
                return true;
        }
    }

    // After "{": {n}, {n,}, {,m} or {n,m}.
    bool Repeat() {
        char32_t low = 0, high = 0;
        const bool hasLow = Number(10, 5, low);
        std::string text = "{" + std::to_string(low);
        if (Peek() == ',') {
            ++pos_;
            text += ',';
            if (Number(10, 5, high)) {
                if (high > kMaxRepeat || high < low) return false;
                text += std::to_string(high);
            }
        } else if (!hasLow) {
            return false;
        }
        if (!More() || Next() != '}' || low > kMaxRepeat) return false;
        out_ += text + "}";
        return true;
    }

    // The opening "^" and a "]" right after it (or after "[") are taken as in QRegExp.
    bool SetStart() {
        out_ += '[';
        if (Peek() == '^') {
            ++pos_;
            out_ += '^';
        }
        if (Peek() == ']') {
            ++pos_;
            out_ += "\\]";
        }
        return true;
    }

    bool SetMember(char32_t c) {
        if (c == '-') {
            out_ += '-';
        } else if (IsSurrogate(c)) {
            return false;
        } else {
            AppendLiteral(out_, c);
        }
        return true;
    }

    // The members of a bracketed set up to its "]". In a regular expression a backslash escapes;
    // in a wildcard it stands for itself.
    bool Set(bool escapes) {
        SetStart();
        while (More()) {
            const char32_t c = Next();
            if (c == ']') {
                out_ += ']';
                return true;
            }
            if (escapes && c == '\\' ? !Escape(true) : !SetMember(c)) return false;
        }
        return false;
    }

    const QString& mask_;
    int pos_ = 0;
    std::string out_;
};

}  // namespace

std::optional<std::string> MaskToLinearPattern(const QString& mask, QRegExp::PatternSyntax syntax) {
    Translator t(mask);
    bool ok = false;
    if (syntax == QRegExp::Wildcard)
        ok = t.Wildcard();
    else if (syntax == QRegExp::RegExp)
        ok = t.RegExp();
    if (!ok) return std::nullopt;
    return std::move(t).Result();
}

}  // namespace alg
