#include "mldoc.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

void Load(MLDoc& doc, const std::string& text, const char* name = "t.xml") {
    doc.load(name, text.data(), static_cast<int>(text.size()));
}

// The error a document raises; fails the test when it loads.
TTT LoadError(const std::string& text) {
    MLDoc doc;
    try {
        Load(doc, text, "hostile.xml");
    } catch (const TTT& e) {
        return e;
    }
    ADD_FAILURE() << "document loaded: " << text.substr(0, 80);
    return TTT("", 0, "");
}

std::string TempDir() {
    char tmpl[] = "/tmp/mldoc_test.XXXXXX";
    const char* dir = mkdtemp(tmpl);
    EXPECT_NE(dir, nullptr);
    return dir ? dir : "/tmp";
}

int CountEntries(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
        closedir(d);
    }
    return n;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(MLDocReader, OrderFiltersAttributesAndContent) {
    MLDoc doc;
    Load(doc,
         "<?xml version=\"1.0\"?>\n"
         "<root>\n"
         "  <a n=\"1\" z=\"last\" m=\"x &amp; &#65;\"/>\n"
         "  <b>text</b><!-- c -->\n"
         "  <a n=\"2\"> <![CDATA[<raw>]]> &lt;t&gt; </a>\n"
         "  <p:a n=\"3\" p:n=\"4\" xmlns:p=\"urn:x\"/>\n"
         "  <num> -42 </num><big>2147483647</big><small>-2147483648</small>\n"
         "</root>");
    std::vector<std::string> roots;
    for (MLDoc::Token t : doc.top()) roots.push_back(t.name());
    EXPECT_EQ(roots, std::vector<std::string>{"root"});
    int missing = 0;
    for (MLDoc::Token t : doc.top("other")) missing += t ? 1 : 0;
    EXPECT_EQ(missing, 0);

    MLDoc::Token root;
    ASSERT_TRUE(doc.top("root").next(root));
    std::vector<std::string> all;
    for (MLDoc::Token t : root.children()) all.push_back(t.name());
    EXPECT_EQ(all, (std::vector<std::string>{"a", "b", "a", "a", "num", "big", "small"}));

    // A filter matches the whole qualified name: "a" does not take "p:a".
    std::vector<std::string> as;
    for (MLDoc::Token t : root.children("a")) as.push_back(t.attribute("n").c_str());
    EXPECT_EQ(as, (std::vector<std::string>{"1", "2"}));
    MLDoc::Token pa;
    ASSERT_TRUE(root.children("p:a").next(pa));
    EXPECT_STREQ(pa.attribute("n").c_str(), "3");
    EXPECT_STREQ(pa.attribute("p:n").c_str(), "4");

    MLDoc::Token first;
    ASSERT_TRUE(root.children("a").next(first));
    std::vector<std::string> attrs;
    for (MLDoc::Attribute a = first.firstAttribute(); a; a.next())
        attrs.push_back(std::string(a.name()) + "=" + a.value().c_str());
    EXPECT_EQ(attrs, (std::vector<std::string>{"n=1", "z=last", "m=x & A"}));
    EXPECT_TRUE(first.attribute("absent").isNull());
    EXPECT_EQ(first.line(), 3);

    MLDoc::ChildIterator it = root.children();
    MLDoc::Token t;
    std::vector<std::string> texts;
    while (it.next(t)) texts.push_back(t.text().c_str());
    EXPECT_EQ(texts[1], "text");
    EXPECT_EQ(texts[2], " <raw> <t> ");
    EXPECT_EQ(texts[3], "");

    std::vector<int> ints;
    for (const char* n : {"num", "big", "small"}) {
        MLDoc::Token e;
        ASSERT_TRUE(root.children(n).next(e));
        ints.push_back(e.getInt());
    }
    EXPECT_EQ(ints, (std::vector<int>{-42, 2147483647, -2147483647 - 1}));

    doc.release();
    int after = 0;
    for (MLDoc::Token r : doc.top()) after += r ? 1 : 0;
    EXPECT_EQ(after, 0);
}

TEST(MLDocReader, IntegerContentRejectedWithElementAndLine) {
    for (const char* bad : {"", "12a", "1 2", "0x10", "2147483648", "-2147483649",
                            "99999999999999999999", "+", "-"}) {
        MLDoc doc;
        Load(doc, std::string("<r>\n\n<port>") + bad + "</port></r>", "ftp.xml");
        MLDoc::Token r, port;
        ASSERT_TRUE(doc.top().next(r));
        ASSERT_TRUE(r.children().next(port));
        try {
            port.getInt();
            ADD_FAILURE() << "accepted \"" << bad << "\"";
        } catch (const TTT& e) {
            EXPECT_EQ(e.line(), 3) << bad;
            EXPECT_EQ(e.document(), "ftp.xml");
            EXPECT_NE(e.cause().find("<port>"), std::string::npos) << e.cause();
        }
    }
}

TEST(MLDocReader, MalformedDocumentsNameFileLineAndCause) {
    const TTT mismatch = LoadError("<a>\n<b>\n</c>\n</a>");
    EXPECT_EQ(mismatch.line(), 3);
    const std::string multi = mismatch.makeMulti();
    EXPECT_NE(multi.find("hostile.xml"), std::string::npos) << multi;
    EXPECT_NE(multi.find("3"), std::string::npos) << multi;
    EXPECT_NE(multi.find('\n'), std::string::npos) << multi;

    LoadError("");
    LoadError("<a><b></b>");                 // truncated
    LoadError("<a x=\"1\" x=\"2\"/>");       // repeated attribute
    LoadError("<a>&undeclared;</a>");        // no entity table to look in
    LoadError("<a/><b/>");                   // two roots
    LoadError(std::string("<a>\0</a>", 8));  // NUL byte
    LoadError("<a>\xff\xfe</a>");            // not UTF-8

    MLDoc doc;
    EXPECT_THROW(doc.load("n", nullptr, 5), TTT);
    EXPECT_THROW(doc.load("n", "<a/>", -1), TTT);
    try {
        doc.load(std::string("/nonexistent/dir/policy.xml"));
        ADD_FAILURE();
    } catch (const TTT& e) {
        EXPECT_NE(e.makeMulti().find("/nonexistent/dir/policy.xml"), std::string::npos);
    }
    const std::string dir = TempDir();
    EXPECT_THROW(doc.load(dir), TTT);  // a directory is not a document
    rmdir(dir.c_str());
}

TEST(MLDocReader, HostileDocumentsFailQuicklyAndLeakNothing) {
    const auto start = std::chrono::steady_clock::now();

    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
    for (int i = 1; i <= 9; ++i)
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"" + [&] {
            std::string r;
            for (int k = 0; k < 10; ++k)
                r += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
            return r;
        }() + "\">\n";
    laughs += "]>\n<lolz a=\"&lol9;\">&lol9;</lolz>";
    const TTT e1 = LoadError(laughs);
    EXPECT_EQ(e1.line(), 3);

    // An external entity naming a local file: its content must not come out anywhere.
    const std::string dir = TempDir();
    const std::string secret = dir + "/secret.txt";
    std::ofstream(secret) << "TOP-SECRET-CONTENT";
    const TTT e2 =
        LoadError("<!DOCTYPE a [<!ENTITY s SYSTEM \"file://" + secret + "\">]><a>&s;</a>");
    EXPECT_EQ(std::string(e2.what()).find("TOP-SECRET"), std::string::npos);
    LoadError("<!DOCTYPE a [<!ENTITY % p SYSTEM \"file://" + secret + "\"> %p;]><a/>");
    LoadError("<!DOCTYPE a [<!ENTITY u SYSTEM \"http://127.0.0.1:9/x\">]><a>&u;</a>");

    // An external DTD is not loaded, so an entity it might declare never resolves to text.
    std::ofstream(dir + "/ext.dtd") << "<!ENTITY s SYSTEM \"file://" << secret << "\">";
    MLDoc doc;
    try {
        Load(doc, "<!DOCTYPE a SYSTEM \"file://" + dir + "/ext.dtd\"><a>&s;</a>");
        MLDoc::Token a;
        ASSERT_TRUE(doc.top().next(a));
        EXPECT_EQ(std::string(a.text().c_str()).find("TOP-SECRET"), std::string::npos);
    } catch (const TTT& e) {
        EXPECT_EQ(std::string(e.what()).find("TOP-SECRET"), std::string::npos);
    }

    // 50 MB of element content: refused or read whole, never cut short; 100 MB is refused.
    std::string huge = "<a>";
    huge.append(50u << 20, 'x');
    huge += "</a>";
    try {
        Load(doc, huge);
        MLDoc::Token a;
        ASSERT_TRUE(doc.top().next(a));
        EXPECT_EQ(std::strlen(a.text().c_str()), 50u << 20);
    } catch (const TTT&) {
    }
    huge.insert(3, 50u << 20, 'y');
    EXPECT_NE(LoadError(huge).cause().find("too large"), std::string::npos);
    // Deep nesting is bounded by the parser too.
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<d>";
    LoadError(deep);

    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count(), 30);
    unlink(secret.c_str());
    unlink((dir + "/ext.dtd").c_str());
    rmdir(dir.c_str());
}

// The limit is exact: a file of `limit` bytes is read whole, one byte more is refused.
TEST(MLDocReader, ReadFileStopsOneBytePastTheLimit) {
    const std::string dir = TempDir();
    const std::string path = dir + "/policy.xml";
    std::ofstream(path) << std::string(100, 'e');
    EXPECT_EQ(MLDoc::readFile(path, 100), std::string(100, 'e'));
    try {
        MLDoc::readFile(path, 99);
        ADD_FAILURE() << "read past the limit";
    } catch (const TTT& e) {
        EXPECT_EQ(e.cause(), "document too large");
    }
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(MLDocWriter, StructureEscapingAndRoundTrip) {
    const std::string tricky = "a<b>&c\"d'e\tf\ng\rh Иван";
    Bag bag;
    MLDocOut out;
    out.start(bag);
    out.setIndent(3);
    out.setEol("\r\n");
    out.rawLine("<?xml version=\"1.0\"?>");
    out.open("root");
    out.attr("v", tricky.c_str());
    out.attr("null", nullptr);
    out.children();
    out.open("leaf");
    out.closeEmpty();
    out.indent();
    out.format("<n>%d-%s</n>", 7, "x");
    out.eol();
    out.indent();
    out.raw("<t>");
    out.escaped(tricky.c_str());
    out.raw("</t>");
    out.eol();
    out.close("root");
    out.end();
    EXPECT_EQ(bag.str().substr(0, 23), "<?xml version=\"1.0\"?>\r\n");
    EXPECT_NE(bag.str().find("\r\n   <leaf/>\r\n   <n>7-x</n>\r\n   <t>"), std::string::npos)
        << bag.str();
    EXPECT_NE(bag.str().find(" null=\"\">"), std::string::npos);
    EXPECT_EQ(bag.str().substr(bag.str().size() - 9), "</root>\r\n");
    EXPECT_EQ(bag.str().find('<', 30), bag.str().find("<leaf"));  // no raw '<' from values

    MLDoc doc;
    Load(doc, bag.str());
    MLDoc::Token root, t;
    ASSERT_TRUE(doc.top().next(root));
    EXPECT_EQ(std::string(root.attribute("v").c_str()), tricky);
    ASSERT_TRUE(root.children("t").next(t));
    EXPECT_EQ(std::string(t.text().c_str()), tricky);

    MLDocOut unstarted;
    EXPECT_THROW(unstarted.raw("x"), TTT);
}

TEST(MLDocWriter, FilesArePrivateAndReplacedWhole) {
    const mode_t old = umask(0);
    const std::string dir = TempDir();
    const std::string path = dir + "/out.xml";
    const std::string target = dir + "/target.txt";
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);

    MLDocOut out;
    out.start(path);
    out.rawLine("<a/>");
    out.end();
    umask(old);
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));  // the link was replaced, not followed
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadFile(path), "<a/>\n");
    EXPECT_EQ(ReadFile(target), "keep");

    {  // abandoned output leaves the old file as it was and no temporary behind
        MLDocOut partial;
        partial.start(path);
        partial.raw("<broken");
    }
    EXPECT_EQ(ReadFile(path), "<a/>\n");
    EXPECT_EQ(CountEntries(dir), 2);

    MLDocOut bad;
    EXPECT_THROW(bad.start(dir + "/missing/out.xml"), TTT);
    unlink(path.c_str());
    unlink(target.c_str());
    rmdir(dir.c_str());
}

TEST(MLDocText, ChArrAndStreq) {
    ChArr none;
    EXPECT_TRUE(none.isNull());
    EXPECT_TRUE(none.empty());
    EXPECT_STREQ(none.c_str(), "");
    ChArr a("abc"), b(a), c("xyz", 2);
    a.set("changed");
    EXPECT_STREQ(b.get(), "abc");
    EXPECT_STREQ(c.get(), "xy");
    EXPECT_FALSE(ChArr("").isNull());
    EXPECT_TRUE(streq(nullptr, ""));
    EXPECT_TRUE(streq("a", "a"));
    EXPECT_FALSE(streq(nullptr, "a"));
    EXPECT_FALSE(streq("a", "b"));
}

}  // namespace
