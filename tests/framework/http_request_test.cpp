#include "http_request.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(HandshakeInfoHolder, PropertiesAreTheDestination) {
    alg::HandshakeInfoHolder h;
    std::string value = "untouched";
    // Not yet resolved: present, and empty.
    EXPECT_TRUE(h.GetPropVal("IP", value));
    EXPECT_EQ(value, "");

    h.ip = "127.0.0.1";
    h.host = "example.test";
    h.port = "8021";
    h.user = "alice";
    h.password = "secret";
    EXPECT_TRUE(h.GetProperty("IP", value));
    EXPECT_EQ(value, "127.0.0.1");
    EXPECT_TRUE(h.GetProperty("Host", value));
    EXPECT_EQ(value, "example.test");
    EXPECT_TRUE(h.GetProperty("Port", value));
    EXPECT_EQ(value, "8021");

    // Names are exact and the credentials are not properties.
    value = "untouched";
    for (const char* name : {"host", "HOST", "ip", "Hos", "User", "user", "password", ""})
        EXPECT_FALSE(h.GetPropVal(name, value)) << name;
    EXPECT_FALSE(h.GetPropVal(nullptr, value));
    EXPECT_EQ(value, "untouched");
    EXPECT_EQ(h.SetProperty("Host", "other"), 1);
    EXPECT_EQ(h.host, "example.test");
    EXPECT_STREQ(h.GetClassName(), "HandshakeInfoHolder");
}

TEST(ParseError, CarriesTheMessagePair) {
    try {
        throw alg::ParseError(alg::BadRequestFormat);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Bad request format");
        const auto* loc = dynamic_cast<const alg::ErrLocalizer*>(&e);
        ASSERT_NE(loc, nullptr);
        EXPECT_EQ(&loc->Msg(), &alg::BadRequestFormat);
        EXPECT_EQ(loc->Detail(), "");
    }
    EXPECT_STREQ(alg::SlashExpectedAfterHost.en, "'/' Expected at the end of host name");
    EXPECT_STREQ(alg::SlashExpectedBeforePath.en, "'/' Expected at the begining of path");
    // Russian texts are held in Windows-1251 ("В конце", "Непр").
    EXPECT_EQ(std::strncmp(alg::SlashExpectedAfterHost.ru, "\xC2 \xEA\xEE\xED\xF6\xE5", 7), 0);
    EXPECT_EQ(std::strncmp(alg::BadRequestFormat.ru, "\xCD\xE5\xEF\xF0", 4), 0);
}

}  // namespace
