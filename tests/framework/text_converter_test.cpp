#include "text_converter.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace {

// Converts `in` with glibc iconv; false when iconv cannot convert it exactly.
bool Iconv(const char* from, const char* to, const std::string& in, std::string& out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string src = in;
    char buf[64];
    char* inp = src.data();
    size_t inleft = src.size();
    char* outp = buf;
    size_t outleft = sizeof buf;
    const size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1) || inleft != 0) return false;
    out.assign(buf, outp);
    return true;
}

std::string Encode(const alg::Encoder& enc, const std::string& text) {
    std::string out = "stale content";
    enc.Encode(text.c_str(), out);
    return out;
}

// Windows-1251 places of the 66 Russian letters: А..я and Ё, ё.
std::string RussianLetters() {
    std::string s;
    for (int b = 0xC0; b <= 0xFF; ++b) s += static_cast<char>(b);
    s += '\xA8';
    s += '\xB8';
    return s;
}

TEST(TextConverter, Koi8TableAgreesWithIconvForEveryLetter) {
    for (char letter : RussianLetters()) {
        std::string expected;
        ASSERT_TRUE(Iconv("CP1251", "KOI8-R", std::string(1, letter), expected));
        EXPECT_EQ(Encode(alg::koi8Enc, std::string(1, letter)), expected)
            << "byte " << std::hex << (static_cast<unsigned>(letter) & 0xFF);
    }
    // The rest of 0x80..0xBF stays, apart from the swapped places of the two Ё letters.
    for (int b = 0x80; b < 0xC0; ++b) {
        const unsigned expected = b == 0xA8   ? 0xB3
                                  : b == 0xB8 ? 0xA3
                                  : b == 0xA3 ? 0xB8
                                  : b == 0xB3 ? 0xA8
                                              : b;
        EXPECT_EQ(alg::tblWin1251_KOI8R[b - 0x80], expected) << std::hex << b;
    }
}

TEST(TextConverter, Cp866TableAgreesWithIconvForEveryByte) {
    int letters = 0;
    for (int b = 0x80; b <= 0xFF; ++b) {
        const std::string in(1, static_cast<char>(b));
        std::string expected;
        if (!Iconv("CP1251", "CP866", in, expected)) expected = "?";
        EXPECT_EQ(Encode(alg::oemEnc, in), expected) << std::hex << b;
        if (b >= 0xC0 || b == 0xA8 || b == 0xB8) {
            EXPECT_NE(expected, "?");
            ++letters;
        }
    }
    EXPECT_EQ(letters, 66);
}

TEST(TextConverter, EncodersKeepLengthAndAscii) {
    // "Ошибка 42: ё!" in Windows-1251.
    const std::string text = "\xCE\xF8\xE8\xE1\xEA\xE0 42: \xB8!";
    const std::string koi = Encode(alg::koi8Enc, text);
    EXPECT_EQ(koi, "\xEF\xDB\xC9\xC2\xCB\xC1 42: \xA3!");
    std::string viaFunction;
    alg::Win1251_KOI8R(text.c_str(), viaFunction);
    EXPECT_EQ(viaFunction, koi);
    EXPECT_EQ(Encode(alg::oemEnc, text), "\x8E\xE8\xA8\xA1\xAA\xA0 42: \xF1!");
    EXPECT_EQ(Encode(alg::cp1251Enc, text), text);
    for (const alg::Encoder* enc :
         {static_cast<const alg::Encoder*>(&alg::koi8Enc),
          static_cast<const alg::Encoder*>(&alg::oemEnc), &alg::cp1251Enc}) {
        std::string out = "stale";
        enc->Encode(nullptr, out);
        EXPECT_EQ(out, "");
        EXPECT_EQ(Encode(*enc, ""), "");
    }
}

}  // namespace
