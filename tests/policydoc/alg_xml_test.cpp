#include "alg_xml.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string DataPath(const char* name) {
    const char* root = std::getenv("ALG_TEST_DATA");
    return std::string(root ? root : "tests") + "/policydoc/data/" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool LoadText(ALGalgpolicyType& p, const std::string& text) {
    return p.load("test.xml", text.data(), static_cast<int>(text.size()));
}

std::string Saved(const ALGalgpolicyType& p) {
    std::string out = "previous content";
    EXPECT_TRUE(p.saveToStr(out));
    return out;
}

TEST(AlgXml, FullPolicyReadsEveryElement) {
    ALGalgpolicyType p;
    ASSERT_TRUE(p.load(DataPath("full.xml")));
    ASSERT_EQ(p.proxy.size(), 2);
    const ALGproxyType& http = *p.proxy[0];
    EXPECT_STREQ(http.name.get(), "alg_http");
    ASSERT_EQ(http.general.size(), 1);
    const ALGgeneralType& g = *http.general[0];
    EXPECT_EQ(g.listen_port, 8080);  // the later element wins, blanks allowed
    EXPECT_EQ(g.session_timeout, 120);
    EXPECT_STREQ(g.default_charset.get(), "windows-1251");
    // Loggers of both `loggers` elements in one list.
    ASSERT_EQ(g.loggers.size(), 2);
    EXPECT_STREQ(g.loggers[0]->name.get(), "Console");
    EXPECT_STREQ(g.loggers[0]->loglevel.get(), "event");
    EXPECT_STREQ(g.loggers[1]->param[0]->name.get(), "facility");
    EXPECT_STREQ(g.loggers[1]->param[0]->value.get(), "LOCAL3");
    // The second authsystem's name, the parameters of both.
    EXPECT_STREQ(g.authsystem.name.get(), "Plaintext file");
    ASSERT_EQ(g.authsystem.param.size(), 2);
    EXPECT_STREQ(g.authsystem.param[0]->name.get(), "server");
    EXPECT_STREQ(g.authsystem.param[1]->value.get(), "/etc/algd/passwd & more");

    const ALGhandshakeType& h = *http.handshake[0];
    ASSERT_EQ(h.access.size(), 3);
    EXPECT_STREQ(h.access[1]->userid.get(), "Иван");
    EXPECT_STREQ(h.access[1]->action.get(), "reject");
    EXPECT_STREQ(h.access[0]->filterby[1]->mask.get(), "^http://[a-z]+\\.test/.*\\?q=<x>&y$");
    EXPECT_STREQ(h.access[1]->filterby[0]->masktype.get(), "wildC");
    EXPECT_STREQ(h.access[1]->filterby[0]->mask.get(), "P<O>ST");
    EXPECT_TRUE(h.access[2]->filterby.empty());

    const ALGprocessType& pr = *http.process[0];
    ASSERT_EQ(pr.replace.size(), 2);
    ASSERT_EQ(pr.cut.size(), 1);
    EXPECT_STREQ(pr.replace[0]->option[0]->to.get(), "gateway");
    EXPECT_STREQ(pr.replace[0]->body[0]->to.get(), "tab\tnl\nend");
    EXPECT_STREQ(pr.cut[0]->option[0]->name.get(), "header");
    EXPECT_STREQ(pr.cut[0]->body[0]->from.get(), "<script*</script>");
    EXPECT_TRUE(pr.replace[1]->option.empty());

    const ALGproxyType& bare = *p.proxy[1];
    EXPECT_TRUE(bare.name.isNull());
    ASSERT_EQ(bare.general.size(), 2);
    EXPECT_EQ(bare.general[0]->listen_port, 0);
    EXPECT_TRUE(bare.general[0]->authsystem.name.isNull());
    EXPECT_FALSE(bare.general[1]->default_charset.isNull());
    EXPECT_TRUE(bare.handshake[0]->access.empty());
}

// The canonical form is compared byte for byte with a reviewed file: declaration, element
// and attribute order, unindented filterby lines, escaped masks, empty elements.
TEST(AlgXml, SaveGivesCanonicalTextAndIsStable) {
    ALGalgpolicyType p;
    ASSERT_TRUE(p.load(DataPath("full.xml")));
    const std::string first = Saved(p);
    EXPECT_EQ(first, ReadFile(DataPath("full_expected.xml")));

    ALGalgpolicyType again;
    ASSERT_TRUE(LoadText(again, first));
    EXPECT_EQ(Saved(again), first);

    ALGalgpolicyType empty;
    EXPECT_EQ(Saved(empty),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
              "<algpolicy tmp=\"\" "
              "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n</algpolicy>\n");
}

TEST(AlgXml, SaveToFileIsPrivateAndMatchesString) {
    char tmpl[] = "/tmp/alg_xml_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, path = dir + "/policy.xml";
    ALGalgpolicyType p;
    ASSERT_TRUE(p.load(DataPath("full.xml")));
    const mode_t old = umask(0);
    const bool saved = p.saveToFile(path);
    umask(old);
    ASSERT_TRUE(saved);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadFile(path), Saved(p));

    testing::internal::CaptureStdout();
    EXPECT_FALSE(p.saveToFile(dir + "/missing/policy.xml"));
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("Error: ", 0), 0u);
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(AlgXml, LoadResults) {
    {  // another root: false, nothing read, nothing printed
        ALGalgpolicyType p;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(LoadText(p, "<policy><proxy name=\"alg_ftp\"/></policy>"));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_TRUE(p.proxy.empty());
    }
    {  // reader error: false with "Error: " and the line; records already read stay
        ALGalgpolicyType p;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(LoadText(p,
                              "<algpolicy>\n<proxy name=\"a\"/>\n<proxy name=\"b\"><general>\n"
                              "<listen_port>eighty</listen_port></general></proxy></algpolicy>"));
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed.rfind("Error: ", 0), 0u) << printed;
        EXPECT_NE(printed.find("test.xml"), std::string::npos) << printed;
        EXPECT_NE(printed.find("4"), std::string::npos) << printed;
        EXPECT_EQ(p.proxy.size(), 2);
    }
    {  // malformed and hostile texts, unreadable file
        ALGalgpolicyType p;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(LoadText(p, "<algpolicy><proxy></algpolicy>"));
        EXPECT_FALSE(LoadText(p, "<!DOCTYPE algpolicy [<!ENTITY e \"x\">]><algpolicy/>"));
        EXPECT_FALSE(p.load(DataPath("does-not-exist.xml")));
        EXPECT_FALSE(p.load("n", nullptr, 3));
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(p.proxy.empty());
    }
    {  // loading twice appends
        const std::string text = ReadFile(DataPath("full.xml"));
        ALGalgpolicyType p;
        ASSERT_TRUE(LoadText(p, text));
        ASSERT_TRUE(LoadText(p, text));
        ASSERT_EQ(p.proxy.size(), 4);
        EXPECT_STREQ(p.proxy[2]->name.get(), "alg_http");
    }
}

TEST(AlgXml, RecordLinesPointAtElements) {
    AlgDoc doc;
    RecordLines lines;
    doc.setRecordLines(&lines);
    const std::string text =
        "<algpolicy>\n<proxy name=\"x\">\n<general>\n<listen_port>1</listen_port>\n"
        "<loggers><logger/>\n</loggers></general>\n<handshake>\n<access/>\n</handshake>"
        "</proxy></algpolicy>";
    doc.load("l.xml", text.data(), static_cast<int>(text.size()));
    ALGalgpolicyType p;
    ASSERT_TRUE(doc.parse(p));
    const ALGgeneralType& g = *p.proxy[0]->general[0];
    EXPECT_EQ(lines.lineOf(p.proxy[0]), 2);
    EXPECT_EQ(lines.lineOf(&g), 3);
    EXPECT_EQ(lines.lineOf(&g, "listen_port"), 4);
    EXPECT_EQ(lines.lineOf(&g, "session_timeout"), 0);
    EXPECT_EQ(lines.lineOf(g.loggers[0]), 5);
    EXPECT_EQ(lines.lineOf(p.proxy[0]->handshake[0]->access[0]), 8);
}

TEST(AlgXml, VectorCapacitySteps) {
    ObjectVector<ALGparamType> v;
    EXPECT_EQ(v.capacity(), 0);
    const int marks[][2] = {{1, 16},    {16, 16},     {17, 32},    {256, 256},
                            {257, 512}, {4096, 4096}, {4097, 8192}};
    int n = 0;
    for (const auto& m : marks) {
        while (n < m[0]) {
            v.appendNew().name.set(std::to_string(n).c_str());
            ++n;
        }
        EXPECT_EQ(v.capacity(), m[1]) << m[0] << " items";
    }
    EXPECT_STREQ(v[4096]->name.get(), "4096");
    EXPECT_STREQ(v[0]->name.get(), "0");
    SimpleVector<ALGparamType*> plain;
    plain.expand(0);
    plain.expand(-5);
    EXPECT_EQ(plain.capacity(), 0);
    plain.expand(300);
    EXPECT_EQ(plain.capacity(), 512);
}

}  // namespace
