#include "filter.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace alg {
namespace {

// A request record with fixed properties.
class FakeRecord : public ObjectWithProperties {
  public:
    using Props = std::map<std::string, std::string>;
    explicit FakeRecord(Props props) : props_(std::move(props)) {}
    bool GetPropVal(const char* name, std::string& value) const override {
        auto it = props_.find(name);
        if (it == props_.end()) return false;
        value = it->second;
        return true;
    }

  private:
    std::map<std::string, std::string> props_;
};

struct Entry {
    std::string en;
    std::string suffix;
    LogLevel level;
    MsgType type;
};

// Collects every message it is given; safe to share between threads.
class FakeLog : public I_ToLogSystem {
  public:
    void Log(LoggedMessage& m) override {
        std::lock_guard<std::mutex> lock(mutex_);
        entries.push_back({m.en, m.suffix, m.level, m.type});
    }
    std::vector<Entry> entries;

  private:
    std::mutex mutex_;
};

AccessList Rule(unsigned short number, ActionType action, std::string user = {},
                LogLevel level = event) {
    AccessList r;
    r.user = std::move(user);
    r.logLevel = level;
    r.action = action;
    r.number = number;
    return r;
}

TEST(TextFilter, MaskTypesCaseAndWholeValue) {
    // "wild" ignores letter case and must cover the whole value.
    TextFilter wild("wild", "*.example.com");
    EXPECT_TRUE(wild.ExactMatch("www.example.com"));
    EXPECT_TRUE(wild.ExactMatch("WWW.Example.COM"));
    EXPECT_FALSE(wild.ExactMatch("www.example.com.evil.net"));
    EXPECT_FALSE(wild.ExactMatch("example.com"));

    // The mask type name is read in any letter case; the C forms respect letter case.
    TextFilter wildC("WILDC", "*.example.com");
    EXPECT_TRUE(wildC.ExactMatch("www.example.com"));
    EXPECT_FALSE(wildC.ExactMatch("www.Example.com"));

    TextFilter re("Regexp", "ab+c");
    EXPECT_TRUE(re.ExactMatch("ABBC"));
    EXPECT_FALSE(re.ExactMatch("xabbc"));
    EXPECT_TRUE(re.Contains("xabbc"));
    TextFilter reC("regexpc", "ab+c");
    EXPECT_FALSE(reC.ExactMatch("ABBC"));
    EXPECT_TRUE(reC.ExactMatch("abbc"));

    // Wildcard "?" is one character and brackets a set.
    TextFilter set("wild", "h?st[0-9]");
    EXPECT_TRUE(set.ExactMatch("host7"));
    EXPECT_FALSE(set.ExactMatch("host"));

    // The mask is UTF-8.
    TextFilter cyr("wild", "привет*");
    EXPECT_TRUE(cyr.ExactMatch("ПРИВЕТ мир"));

    for (const char* bad : {"", "wildcard", "regex", "glob"}) {
        try {
            TextFilter f(bad, "x");
            ADD_FAILURE() << bad;
        } catch (const InitializerError& e) {
            EXPECT_EQ(&e.Msg(), &InvalidMaskType);
        }
    }
    EXPECT_THROW(TextFilter(nullptr, "x"), InitializerError);
    EXPECT_THROW(MaskCompiles("none", "x"), InitializerError);

    // A mask that does not compile matches nothing, not even its own text.
    EXPECT_FALSE(MaskCompiles("regexp", "(ab"));
    EXPECT_TRUE(MaskCompiles("regexp", "(ab)"));
    TextFilter broken("regexp", "(ab");
    EXPECT_FALSE(broken.IsValid());
    EXPECT_FALSE(broken.ExactMatch("(ab"));
    EXPECT_FALSE(broken.Contains("(ab"));
    // An empty mask matches only the empty value.
    TextFilter empty("wild", nullptr);
    EXPECT_TRUE(empty.ExactMatch(""));
    EXPECT_FALSE(empty.ExactMatch("a"));
}

// The matcher must answer as QRegExp does, whichever engine runs the mask: every mask of the
// samples and suites, and the constructs whose meaning differs between the two syntaxes.
TEST(TextFilter, AnswersAsQRegExpForEveryMaskAndText) {
    struct Mask {
        const char* type;
        const char* mask;
        bool linear;
    };
    // clang-format off
    const Mask masks[] = {
        {"wild", "*@blocked.example*", true}, {"wild", "*forbidden-word*", true},
        {"wild", "*.example.org", true},      {"wildC", "*.exe", true},
        {"wild", "<script*</script>", true},  {"wild", "127.0.0.*", true},
        {"wild", "h?st[0-9]", true},          {"wild", "[^a]x[]y]\\*", true},
        {"wild", "a.b(c)+$^{2}", true},       {"regexp", "^DELE$", true},
        {"regexp", "(25|465|587)", true},     {"regexp", "curl/[0-9.]+", true},
        {"regexp", "a|ab", true},             {"regexp", "(ab|a)(bcd|c)?", true},
        {"regexp", "x*", true},               {"regexp", "\\d+\\s\\w+\\S\\W", true},
        {"regexpC", "[\\d\\s_-]+\\D", true}, {"regexp", "\\x41\\0102\\e\\%.", true},
        {"regexp", "a{2,3}b{,1}c{2,}", true}, {"regexpC", "Привет", true},
        {"regexp", "(a)\\1", false},          {"regexp", "a(?=b)", false},
        {"regexp", "\\bword\\b", false},      {"regexp", "a{1001}", false},
    };
    const std::string texts[] = {
        "", "a", "aab", "ab", "abcd", "x@blocked.example.net", "mail@BLOCKED.example",
        "forbidden-word", "FORBIDDEN-WORD later", "www.example.org", "www.example.org.evil",
        "setup.EXE", "run.exe", "<script>x</script>y", "127.0.0.1", "host7", "hast9",
        "bx]y\\zz", "a.b(c)+$^{2}", "DELE", "xDELE", "465", "curl/7.88.1", "Ab2ab1",
        "١٢ \xc2\xa0żółw!-", "42 \t_x", "AB.%!", "aaabcc", "привет Привет", "word a wordy",
        "\xff\xfe" "ab\xc3", "\xef\xbb\xbf" "DELE", std::string(5000, 'a'),
    };
    // clang-format on
    for (const Mask& m : masks) {
        const MaskType type = ParseMaskType(m.type);
        const TextFilter f(m.type, m.mask);
        EXPECT_EQ(f.IsLinear(), m.linear) << m.mask;
        for (const std::string& text : texts) {
            const char* t = text.c_str();
            const QString q = QString::fromUtf8(t);
            QRegExp rx(QString::fromUtf8(m.mask), type.cs, type.syntax);
            const bool beyond = !m.linear && q.size() > kBacktrackLimit;
            EXPECT_EQ(f.ExactMatch(text), !beyond && rx.exactMatch(q)) << m.mask << " / " << t;
            EXPECT_EQ(f.Contains(text), beyond || rx.indexIn(q) >= 0) << m.mask << " / " << t;

            // Replacement by the loop the rules ran over QRegExp alone.
            QString expected;
            int count = 0, copied = 0;
            for (int pos = beyond ? -1 : rx.indexIn(q); pos >= 0;) {
                const int len = rx.matchedLength();
                expected += q.mid(copied, pos - copied) + "<>";
                ++count;
                copied = pos + len;
                if (len == 0) {
                    if (copied >= q.size()) break;
                    expected += q.at(copied++);
                }
                if (copied >= q.size()) break;
                pos = rx.indexIn(q, copied);
            }
            expected += q.mid(copied);
            std::string replaced = text;
            EXPECT_EQ(f.Replace(replaced, "<>"), count) << m.mask << " / " << t;
            EXPECT_EQ(replaced, count ? expected.toUtf8().toStdString() : text)
                << m.mask << " / " << t;
        }
    }
}

TEST(AccessList, ActionNames) {
    EXPECT_EQ(ParseActionType("ALLOW"), atAllow);
    EXPECT_EQ(AccessList::ParseActionType("Drop"), atDrop);
    EXPECT_EQ(ParseActionType("reject"), atReject);
    for (const char* bad : {"", "deny", "allowed"}) {
        try {
            ParseActionType(bad);
            ADD_FAILURE() << bad;
        } catch (const InitializerError& e) {
            EXPECT_EQ(&e.Msg(), &InvalidActionType);
        }
    }
    EXPECT_THROW(ParseActionType(nullptr), InitializerError);
    EXPECT_STREQ(ActionName(atDrop), "drop");
    EXPECT_STREQ(ActionName(atNone), "Unknown");
    EXPECT_STREQ(ActionName(static_cast<ActionType>(7)), "Unknown");
}

TEST(HandshakeFilter, FirstMatchingRuleDecidesAndLogsOnce) {
    FakeRecord record({{"Host", "www.example.com"}, {"Port", "80"}});
    FakeLog log;

    // No rules: rejected, logged at verbose.
    HandshakeFilter none;
    EXPECT_EQ(none.GetAction("bob", record, log), atReject);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].en, DefaultFilterAction.en);
    EXPECT_EQ(log.entries[0].level, verbose);
    EXPECT_EQ(log.entries[0].type, info);

    HandshakeFilter hf;
    hf.Append(Rule(1, atAllow, "alice"));  // alice only, no filters
    AccessList urlRule = Rule(2, atAllow);
    urlRule.filters.emplace_back(TextFilter("wild", "*"), "URL");  // no such property
    hf.Append(std::move(urlRule));
    AccessList hostRule = Rule(3, atReject, {}, detail);
    hostRule.filters.emplace_back(TextFilter("wild", "*.EXAMPLE.com"), "Host");
    hostRule.filters.emplace_back(TextFilter("regexp", "80|8080"), "Port");
    hf.Append(std::move(hostRule));
    AccessList alsoMatches = Rule(4, atDrop);
    alsoMatches.filters.emplace_back(TextFilter("wild", "*"), "Host");
    hf.Append(std::move(alsoMatches));

    log.entries.clear();
    EXPECT_EQ(hf.GetAction("alice", record, log), atAllow);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].en, ActionOfFilter.en);
    EXPECT_EQ(log.entries[0].suffix, " 1 - allow");
    EXPECT_EQ(log.entries[0].level, event);

    // The user comparison is exact; bob and ALICE fall through to rule 3, and only rule 3
    // logs although rule 4 matches too.
    for (const char* user : {"bob", "ALICE", ""}) {
        log.entries.clear();
        EXPECT_EQ(hf.GetAction(user, record, log), atReject) << user;
        ASSERT_EQ(log.entries.size(), 1u);
        EXPECT_EQ(log.entries[0].suffix, " 3 - reject");
        EXPECT_EQ(log.entries[0].level, detail);
    }
    log.entries.clear();
    EXPECT_EQ(hf.GetAction(nullptr, record, log), atReject);

    // Every filter of a rule must match: port 81 fails rule 3, rule 4 applies.
    FakeRecord other({{"Host", "www.example.com"}, {"Port", "81"}});
    log.entries.clear();
    EXPECT_EQ(hf.GetAction("bob", other, log), atDrop);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].suffix, " 4 - drop");

    // A record without "Host" matches none of the filtered rules: default reject.
    FakeRecord bare(FakeRecord::Props{{"Port", "80"}});
    log.entries.clear();
    EXPECT_EQ(hf.GetAction("bob", bare, log), atReject);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].en, DefaultFilterAction.en);
}

int Replace(const char* maskType, const char* from, const char* to, std::string& text) {
    return ProcOption(maskType, from, "Subject", to).Replace("subject", text);
}

TEST(ProcOption, ReplaceCountsAndNeverRescansInsertedText) {
    std::string v = "abc";
    EXPECT_EQ(Replace("regexp", "c", "x", v), 1);
    EXPECT_EQ(v, "abx");

    v = "aaa";
    EXPECT_EQ(Replace("regexp", "a", "aa", v), 3);
    EXPECT_EQ(v, "aaaaaa");

    v = "Hello";
    EXPECT_EQ(Replace("regexp", "h.*", "", v), 1);
    EXPECT_EQ(v, "");

    // Letter case of the pattern follows the mask type.
    v = "Abc abc";
    EXPECT_EQ(Replace("regexpC", "abc", "-", v), 1);
    EXPECT_EQ(v, "Abc -");
    v = "Abc abc";
    EXPECT_EQ(Replace("wild", "a?c", "-", v), 2);
    EXPECT_EQ(v, "- -");

    // Positions count characters: multi-byte text around the match stays intact.
    v = "жжXжж";
    EXPECT_EQ(Replace("regexp", "x", "Ы", v), 1);
    EXPECT_EQ(v, "жжЫжж");

    // No match or another item: unchanged, count 0.
    v = "abc";
    EXPECT_EQ(Replace("regexp", "z", "y", v), 0);
    EXPECT_EQ(ProcOption("regexp", "a", "Subject", "y").Replace("From", v), 0);
    EXPECT_EQ(v, "abc");

    // Text after a NUL byte is neither hidden from the pattern nor lost.
    v = std::string("a\0bc", 4);
    EXPECT_EQ(Replace("regexp", "c", "x", v), 1);
    EXPECT_EQ(v, std::string("a\0bx", 4));
    EXPECT_TRUE(
        ProcOption("regexp", "bad", "Subject", "").Cut("SUBJECT", std::string("ok\0bad", 6)));
}

TEST(ProcOption, EmptyMatchesTerminate) {
    std::string v = "abc";
    EXPECT_EQ(Replace("regexp", "x*", "-", v), 3);
    EXPECT_EQ(v, "-a-b-c");

    v = "abc";
    EXPECT_EQ(Replace("regexp", "b*", "", v), 3);
    EXPECT_EQ(v, "ac");

    v = "abc";
    EXPECT_EQ(Replace("regexp", "$", "!", v), 1);
    EXPECT_EQ(v, "abc!");

    v = "";
    EXPECT_EQ(Replace("regexp", ".*", "x", v), 1);
    EXPECT_EQ(v, "x");

    // Cut with an empty-matching pattern matches any text, the empty one included.
    EXPECT_TRUE(ProcOption("regexp", "q*", "Subject", "").Cut("Subject", ""));
}

// A section over one rule.
template <typename S>
S Section(unsigned short index, std::string userid, const char* name, const char* from,
          const char* to, LogLevel level = verbose) {
    S s;
    s.userid = std::move(userid);
    s.index = index;
    s.logLevel = level;
    s.options.emplace_back("regexp", from, name, to);
    s.bodies.emplace_back("regexp", from, kBodyRuleName, to);
    return s;
}

TEST(ProcessSection, CutsFirstThenReplacesPerUser) {
    ProcessSection ps;
    ps.cuts.push_back(Section<CutSection>(1, "alice", "Subject", "secret", nullptr));
    ps.cuts.push_back(Section<CutSection>(2, "", "subject", "secret|private", nullptr, event));
    ps.replaces.push_back(Section<ReplaceSection>(1, "", "content-type", "c", "x"));
    ReplaceSection second = Section<ReplaceSection>(2, "", "Content-Type", "x", "yy", detail);
    second.options.emplace_back("regexp", "b", "Content-Type", "B");
    ps.replaces.push_back(std::move(second));
    FakeLog log;

    // Only the first matching cut section logs, with its own index.
    std::string v = "top secret";
    EXPECT_TRUE(ps.ProcessOption("alice", "SUBJECT", v, log));
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].en, CutOption.en);
    EXPECT_EQ(log.entries[0].suffix, ":1.1");
    EXPECT_EQ(log.entries[0].level, verbose);

    log.entries.clear();
    v = "top private";
    EXPECT_TRUE(ps.ProcessOption("alice", "Subject", v, log));
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].suffix, ":2.1");
    EXPECT_EQ(log.entries[0].level, event);

    // Section 1 is alice's only; bob meets section 2. A non-matching value passes unchanged.
    log.entries.clear();
    v = "secret";
    EXPECT_TRUE(ps.ProcessOption("bob", "Subject", v, log));
    EXPECT_EQ(log.entries.at(0).suffix, ":2.1");
    v = "hello";
    EXPECT_FALSE(ps.ProcessOption("bob", "Subject", v, log));
    EXPECT_EQ(v, "hello");

    // Replace sections chain: abc -> abx -> abyy -> aByy; each hit logged with its count.
    log.entries.clear();
    v = "abc";
    EXPECT_FALSE(ps.ProcessOption("bob", "Content-type", v, log));
    EXPECT_EQ(v, "aByy");
    ASSERT_EQ(log.entries.size(), 3u);
    EXPECT_EQ(log.entries[0].en, ReplaceOption.en);
    EXPECT_EQ(log.entries[0].suffix, ":1.1 (1)");
    EXPECT_EQ(log.entries[1].suffix, ":2.1 (1)");
    EXPECT_EQ(log.entries[2].suffix, ":2.2 (1)");
    EXPECT_EQ(log.entries[2].level, detail);
    EXPECT_EQ(log.entries[2].type, info);

    // A cut refuses before anything is replaced.
    ps.cuts.push_back(Section<CutSection>(3, "", "Content-Type", "abc", nullptr));
    v = "abc";
    EXPECT_TRUE(ps.ProcessOption("bob", "content-TYPE", v, log));
    EXPECT_EQ(v, "abc");

    // Body rules see bodies only; option rules see items only.
    log.entries.clear();
    std::string body = "the secret plan";
    EXPECT_TRUE(ps.ProcessBody("bob", body, log, kFilterCodepage));
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].en, CutBody.en);
    EXPECT_EQ(log.entries[0].suffix, ":2.1");
    body = "xbx";
    log.entries.clear();
    EXPECT_FALSE(ps.ProcessBody("bob", body, log, kFilterCodepage));
    EXPECT_EQ(body, "yybyy");
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].en, ReplaceBody.en);
    EXPECT_EQ(log.entries[0].suffix, ":2.1 (2)");
}

TEST(Filter, ConcurrentMatchingKeepsResultsApart) {
    HandshakeFilter hf;
    AccessList r = Rule(1, atAllow);
    r.filters.emplace_back(TextFilter("regexp", "h(o+)st"), "Host");
    hf.Append(std::move(r));
    const ProcOption rule("regexp", "o+", "Host", "0");
    FakeLog log;

    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread has inputs whose matches differ in length and position.
            const std::string host = "h" + std::string(t + 1, 'o') + "st";
            const std::string text = std::string(t, 'x') + std::string(2 * t + 1, 'o') + "y";
            FakeRecord record(FakeRecord::Props{{"Host", host}});
            FakeRecord wrong(FakeRecord::Props{{"Host", host + "x"}});
            for (int i = 0; i < kRounds; ++i) {
                std::string v = text;
                if (rule.Replace("host", v) != 1 || v != std::string(t, 'x') + "0y") ++failures[t];
                if (hf.GetAction("u", record, log) != atAllow) ++failures[t];
                if (hf.GetAction("u", wrong, log) != atReject) ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_EQ(log.entries.size(), static_cast<std::size_t>(kThreads * kRounds * 2));
}

}  // namespace
}  // namespace alg

// ---------------------------------------------------------------------------------------------
// Building from policy records
// ---------------------------------------------------------------------------------------------

namespace alg {
namespace {

void AddAccess(ALGhandshakeType& hs, const char* user, const char* level, const char* action,
               const char* property, const char* maskType, const char* mask) {
    ALGaccessType& a = hs.access.appendNew();
    a.userid.set(user);
    a.loglevel.set(level);
    a.action.set(action);
    if (!property) return;
    ALGfilterbyType& f = a.filterby.appendNew();
    f.name.set(property);
    f.masktype.set(maskType);
    f.mask.set(mask);
}

TEST(PolicyBuild, AccessRulesWarnAboutMasksThatDoNotCompile) {
    ALGhandshakeType hs;
    AddAccess(hs, "alice", "Events", "Allow", nullptr, nullptr, nullptr);
    AddAccess(hs, nullptr, "detail", "DROP", "Host", "wild", "*.example.com");
    AddAccess(hs, nullptr, "none", "allow", "Host", "regexp", "(bad");
    FakeLog log;
    HandshakeFilter hf;
    hf.Load(hs, log);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].en, InvalidMask.en);
    EXPECT_EQ(log.entries[0].suffix, " (access rule 3): (bad");
    EXPECT_EQ(log.entries[0].level, detail);
    EXPECT_EQ(log.entries[0].type, warning);

    ASSERT_EQ(hf.Rules().size(), 3u);
    EXPECT_EQ(hf.Rules().front().user, "alice");
    EXPECT_EQ(hf.Rules().front().logLevel, event);
    EXPECT_EQ(hf.Rules().back().number, 3);
    log.entries.clear();
    FakeRecord bad(FakeRecord::Props{{"Host", "(bad"}});
    EXPECT_EQ(hf.GetAction("bob", bad, log), atReject);
    EXPECT_EQ(log.entries.at(0).en, DefaultFilterAction.en);
    FakeRecord good(FakeRecord::Props{{"Host", "a.Example.com"}});
    EXPECT_EQ(hf.GetAction("bob", good, log), atDrop);

    // An absent level or action, or an unknown mask type, stops the building.
    for (auto [level, action, maskType] :
         {std::tuple{(const char*)nullptr, "allow", "wild"}, std::tuple{"event", "", "wild"},
          std::tuple{"event", "allow", "glob"}}) {
        ALGhandshakeType broken;
        AddAccess(broken, nullptr, level, action, "Host", maskType, "*");
        HandshakeFilter target;
        EXPECT_THROW(target.Load(broken, log), InitializerError);
    }
}

ALGreplaceType& AddSection(ObjectVector<ALGreplaceType>& list, const char* user,
                           const char* level) {
    ALGreplaceType& r = list.appendNew();
    r.userid.set(user);
    r.loglevel.set(level);
    return r;
}

void AddOption(ALGreplaceType& r, const char* name, const char* maskType, const char* from,
               const char* to) {
    ALGoptionType& o = r.option.appendNew();
    o.name.set(name);
    o.masktype.set(maskType);
    o.from.set(from);
    o.to.set(to);
}

void AddBody(ALGreplaceType& r, const char* maskType, const char* from, const char* to) {
    ALGbodyType& b = r.body.appendNew();
    b.masktype.set(maskType);
    b.from.set(from);
    b.to.set(to);
}

TEST(PolicyBuild, SectionsWithOptionsAndBodies) {
    ALGprocessType process;
    ALGreplaceType& rep = AddSection(process.replace, nullptr, nullptr);
    AddOption(rep, "content-type", "regexp", "c", "x");
    AddBody(rep, "regexp", nullptr, "dropped");
    AddBody(rep, "regexp", "foo", "bar");
    AddBody(rep, "regexpC", "[", "never");
    ALGreplaceType& cut = AddSection(process.cut, "alice", "Details");
    AddOption(cut, "Subject", "wild", "*secret*", "ignored");
    AddBody(cut, "wild", "*", nullptr);

    FakeLog log;
    ProcessSection ps;
    ps.AddReplaceSections(process.replace, BodyRules::build, log);
    ps.AddCutSections(process.cut, BodyRules::skip, log);
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[0].en, EmptyFromExpression.en);
    EXPECT_EQ(log.entries[0].type, warning);
    EXPECT_EQ(log.entries[1].en, InvalidMask.en);
    EXPECT_EQ(log.entries[1].suffix, " (replace 1.2): [");

    const ReplaceSection& r = ps.replaces.front();
    EXPECT_EQ(r.index, 1);
    EXPECT_EQ(r.logLevel, verbose);
    EXPECT_EQ(r.bodies.size(), 2u);
    const CutSection& c = ps.cuts.front();
    EXPECT_EQ(c.userid, "alice");
    EXPECT_EQ(c.logLevel, detail);
    EXPECT_TRUE(c.bodies.empty());
    EXPECT_TRUE(c.options.front().to.empty());

    log.entries.clear();
    std::string v = "abc";
    EXPECT_FALSE(ps.ProcessOption("alice", "Content-Type", v, log));
    EXPECT_EQ(v, "abx");
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].suffix, ":1.1 (1)");
    EXPECT_EQ(log.entries[0].level, verbose);
    v = "top secret";
    EXPECT_TRUE(ps.ProcessOption("alice", "subject", v, log));
    EXPECT_FALSE(ps.ProcessOption("bob", "subject", v, log));
    std::string body = "food";
    EXPECT_FALSE(ps.ProcessBody("alice", body, log, kFilterCodepage));
    EXPECT_EQ(body, "bard");

    // A second batch continues the numbering; an unknown mask type stops the building.
    ps.AddCutSections(process.cut, BodyRules::build, log);
    EXPECT_EQ(ps.cuts.back().index, 2);
    EXPECT_EQ(ps.cuts.back().bodies.size(), 1u);
    ALGprocessType broken;
    AddOption(AddSection(broken.cut, nullptr, nullptr), "Subject", "", "x", nullptr);
    EXPECT_THROW(ps.AddCutSections(broken.cut, BodyRules::skip, log), InitializerError);
}

}  // namespace
}  // namespace alg

namespace alg {
namespace {

TEST(ProcessSection, BodiesAreMatchedInTheFilterCodepage) {
    ProcessSection ps;
    ps.cuts.push_back(Section<CutSection>(1, "", "x", "секрет", nullptr));
    ps.replaces.push_back(Section<ReplaceSection>(1, "", "x", "привет", "мир"));
    FakeLog log;
    const std::string secret1251 = "\xF1\xE5\xEA\xF0\xE5\xF2";  // "секрет"
    const std::string hello1251 = "\xEF\xF0\xE8\xE2\xE5\xF2!";  // "привет!"

    // Windows-1251 bodies are converted for matching and back afterwards.
    std::string body = hello1251;
    EXPECT_FALSE(ps.ProcessBody("u", body, log, textcode::kWindows1251));
    EXPECT_EQ(body, "\xEC\xE8\xF0!");  // "мир!"
    // A refused body is left in the filter code page.
    body = secret1251;
    EXPECT_TRUE(ps.ProcessBody("u", body, log, textcode::kWindows1251));
    EXPECT_EQ(body, "секрет");

    // Code page 6 is not converted: the Windows-1251 bytes do not spell the UTF-8 pattern,
    // and bytes that are not valid UTF-8 pass unchanged.
    body = secret1251;
    EXPECT_FALSE(ps.ProcessBody("u", body, log, kFilterCodepage));
    EXPECT_EQ(body, secret1251);

    // A text the converter cannot handle stays as it was.
    std::string text = "\x98 stray";  // 0x98 has no Windows-1251 character
    ProcessSection::PrepareToFilter(text, textcode::kWindows1251);
    EXPECT_EQ(text, "\x98 stray");
}

}  // namespace
}  // namespace alg
