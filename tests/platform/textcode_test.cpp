#include "textcode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// "Привет, мир" in three code pages.
const std::string kUtf8 =
    "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82, \xd0\xbc\xd0\xb8\xd1\x80";
const std::string kCp1251 = "\xcf\xf0\xe8\xe2\xe5\xf2, \xec\xe8\xf0";
const std::string kKoi8r = "\xf0\xd2\xc9\xd7\xc5\xd4, \xcd\xc9\xd2";

// Converts the whole of `in` the way callers do: size first, then into a buffer of that size.
bool Convert(codepage_t from, codepage_t to, const std::string& in, std::string& out) {
    textcode converter(from, to);
    const unsigned size = converter.get_outsize(in.data(), static_cast<unsigned>(in.size()));
    if (size == 0) return false;
    std::vector<char> buffer(size + 1, '#');
    const unsigned written =
        converter.convert_safe(in.data(), static_cast<unsigned>(in.size()), buffer.data(), size);
    EXPECT_EQ(buffer[size], '#');
    EXPECT_EQ(written, size);
    out.assign(buffer.data(), written);
    return written == size;
}

TEST(Textcode, NamesAndAliasesRegardlessOfCase) {
    EXPECT_EQ(textcode::get_codepage_value("utf8"), 6);
    EXPECT_EQ(textcode::get_codepage_value("UTF-8"), 6);
    EXPECT_EQ(textcode::get_codepage_value("\"utf-8\""), 6);
    for (const char* name : {"cp1251", "windows-1251", "Windows-1251", "WIN-1251", "x-cp1251"})
        EXPECT_EQ(textcode::get_codepage_value(name), 1251) << name;

    const codepage_t koi8r = textcode::get_codepage_value("koi8-r");
    const codepage_t cp866 = textcode::get_codepage_value("cp866");
    const codepage_t latin1 = textcode::get_codepage_value("latin1");
    const codepage_t ascii = textcode::get_codepage_value("us-ascii");
    for (codepage_t value : {koi8r, cp866, latin1, ascii}) {
        EXPECT_NE(value, -1);
        EXPECT_NE(value, 6);
        EXPECT_NE(value, 1251);
    }
    EXPECT_EQ(textcode::get_codepage_value("KOI8R"), koi8r);
    EXPECT_EQ(textcode::get_codepage_value("IBM866"), cp866);
    EXPECT_EQ(textcode::get_codepage_value("866"), cp866);
    EXPECT_EQ(textcode::get_codepage_value("ISO-8859-1"), latin1);
    EXPECT_EQ(textcode::get_codepage_value("ASCII"), ascii);
    EXPECT_NE(textcode::get_codepage_value("iso-8859-5"), -1);
    EXPECT_NE(textcode::get_codepage_value("windows-1252"), -1);
    EXPECT_NE(textcode::get_codepage_value("UTF-16"), -1);
    EXPECT_NE(textcode::get_codepage_value("iso-8859-15"), latin1);

    for (const char* name : {"", "klingon", "utf-9", "1251x", "---"})
        EXPECT_EQ(textcode::get_codepage_value(name), -1) << name;
    EXPECT_EQ(textcode::get_codepage_value(nullptr), -1);
    EXPECT_EQ(textcode::get_codepage_value(std::string(10000, 'a').c_str()), -1);

    // Names round-trip through their values; every value has a printable name.
    for (codepage_t value : {6, 1251, koi8r, cp866, latin1, ascii})
        EXPECT_EQ(textcode::get_codepage_value(textcode::get_codepage_name(value)), value);
    for (codepage_t value : {-1, 0, 123456}) {
        const char* name = textcode::get_codepage_name(value);
        ASSERT_NE(name, nullptr);
        EXPECT_GT(std::strlen(name), 0u);
    }
}

TEST(Textcode, RoundTripsBetweenCyrillicCodePages) {
    const codepage_t koi8r = textcode::get_codepage_value("koi8-r");
    std::string out;
    ASSERT_TRUE(Convert(1251, 6, kCp1251, out));
    EXPECT_EQ(out, kUtf8);
    ASSERT_TRUE(Convert(6, koi8r, kUtf8, out));
    EXPECT_EQ(out, kKoi8r);
    ASSERT_TRUE(Convert(koi8r, 1251, kKoi8r, out));
    EXPECT_EQ(out, kCp1251);
    ASSERT_TRUE(Convert(6, 1251, kUtf8, out));
    EXPECT_EQ(out, kCp1251);

    // The terminating NUL that callers count comes through as well.
    std::string withNul = kCp1251 + '\0';
    ASSERT_TRUE(Convert(1251, 6, withNul, out));
    EXPECT_EQ(out, kUtf8 + '\0');

    // Same code page: unchanged bytes. A large text needs more than one counting pass.
    ASSERT_TRUE(Convert(6, 6, kUtf8, out));
    EXPECT_EQ(out, kUtf8);
    std::string big;
    for (int i = 0; i < 2000; ++i) big += kCp1251;
    ASSERT_TRUE(Convert(1251, 6, big, out));
    EXPECT_EQ(out.size(), big.size() / kCp1251.size() * kUtf8.size());

    const codepage_t utf16 = textcode::get_codepage_value("utf-16le");
    ASSERT_TRUE(Convert(6, utf16, "A\xd0\x9f", out));
    EXPECT_EQ(out, std::string("A\0\x1f\x04", 4));
}

TEST(Textcode, FailuresGiveSizeZeroAndNeverOverrun) {
    std::string out;
    EXPECT_FALSE(Convert(-1, 6, kCp1251, out));
    EXPECT_FALSE(Convert(6, -1, kUtf8, out));
    EXPECT_FALSE(Convert(12345, 6, kUtf8, out));
    EXPECT_FALSE(Convert(6, 1251, "\xd0", out));  // truncated UTF-8 sequence
    EXPECT_FALSE(Convert(6, 1251, "\xff\xfe", out));
    EXPECT_FALSE(Convert(6, 1251, "\xe4\xb8\xad", out));  // no Windows-1251 form

    textcode converter(1251, 6);
    char buffer[64];
    for (unsigned size = 0; size < kUtf8.size(); ++size) {
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(converter.convert_safe(kCp1251.data(), static_cast<unsigned>(kCp1251.size()),
                                         buffer, size),
                  0u)
            << size;
        EXPECT_EQ(buffer[size], '#') << size;
    }
    // The converter is still usable after a failure.
    EXPECT_EQ(converter.convert_safe(kCp1251.data(), static_cast<unsigned>(kCp1251.size()), buffer,
                                     sizeof buffer),
              kUtf8.size());
    EXPECT_EQ(converter.convert_safe(nullptr, 4, buffer, sizeof buffer), 0u);
}

TEST(Textcode, ConvertersInManyThreads) {
    const codepage_t koi8r = textcode::get_codepage_value("koi8-r");
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::string a, b;
                if (!Convert(1251, 6, kCp1251, a) || a != kUtf8 || !Convert(6, koi8r, a, b) ||
                    b != kKoi8r)
                    ++failures[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << t;
}

}  // namespace
