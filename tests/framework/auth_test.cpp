#include "auth.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "alg_xml.h"

namespace {

namespace fs = std::filesystem;
using alg::AuthenticationBase;
using alg::AuthSystemClass;
using alg::LoginCache;

constexpr char kDemoMd5[] = "4b4d9529148d8d9440d7e20c78287f69";    // "demo-password"
constexpr char kSpacedMd5[] = "e38b0226f6bedc4cb9d7b691f580125f";  // "pa ss=word"
constexpr char kSecretMd5[] = "5ebe2294ecd0e0f08eab7690d2a6ee69";  // "secret"

// A system whose answers and failures the test sets, counting how often it is asked.
class ScriptedSystem : public AuthenticationBase {
  public:
    explicit ScriptedSystem(std::time_t* now) : AuthenticationBase([now] { return *now; }) {}
    const char* GetName() const override { return "Scripted"; }

    std::string acceptedPassword = "right";
    bool fail = false;
    int calls = 0;

  protected:
    bool doAuthenticate(const char*, const char* password) override {
        ++calls;
        if (fail) throw alg::AuthError("backend down", 7);
        return acceptedPassword == password;
    }
};

// A scratch directory removed after the test.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/auth_test_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = made;
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string File(const std::string& name, const std::string& content) const {
        const std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

ALGgeneralType General(const char* name) {
    ALGgeneralType g;
    if (name) g.authsystem.name.set(name);
    return g;
}

void AddParam(ALGauthsystemType& a, const char* name, const char* value) {
    ALGparamType& p = a.param.appendNew();
    p.name.set(name);
    if (value) p.value.set(value);
}

std::unique_ptr<AuthenticationBase> Create(const ALGgeneralType& g) {
    return std::unique_ptr<AuthenticationBase>(AuthSystemClass::CreateClass(g));
}

TEST(AuthRegistry, FindIsExactAndRejectsNull) {
    ASSERT_NE(AuthSystemClass::Find("Stub"), nullptr);
    EXPECT_STREQ(AuthSystemClass::Find("Plaintext file")->GetName(), "Plaintext file");
    EXPECT_EQ(AuthSystemClass::Find("stub"), nullptr);
    EXPECT_EQ(AuthSystemClass::Find("Stub "), nullptr);
    try {
        AuthSystemClass::Find(nullptr);
        FAIL() << "null name accepted";
    } catch (const alg::LogicError& e) {
        EXPECT_STREQ(e.what(), "Attempt to find object with NULL identifier");
    }
}

TEST(AuthRegistry, AbsentOrEmptyNameGivesStubThatRefusesEveryone) {
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        auto sys = Create(General(name));
        ASSERT_NE(sys, nullptr);
        EXPECT_STREQ(sys->GetName(), "Stub");
        EXPECT_FALSE(sys->authenticate("demo", "demo-password"));
        EXPECT_FALSE(sys->authenticate("", ""));
        EXPECT_NO_THROW(AuthSystemClass::CheckAuthSystem(General(name)));
    }
    auto named = Create(General("Stub"));
    EXPECT_STREQ(named->GetName(), "Stub");
    EXPECT_FALSE(named->authenticate("root", "x"));
}

TEST(AuthRegistry, UnknownNameFailsWithPairAndDetail) {
    for (auto call : {+[](const ALGgeneralType& g) { Create(g); },
                      +[](const ALGgeneralType& g) { AuthSystemClass::CheckAuthSystem(g); }}) {
        try {
            call(General("stub"));
            FAIL() << "lower-case stub accepted";
        } catch (const alg::FactoryError& e) {
            EXPECT_STREQ(e.what(), "AuthSystem class not found");
            EXPECT_STREQ(e.Msg().en, "AuthSystem class not found");
            // "не найден класс AuthSystem" in Windows-1251.
            EXPECT_STREQ(e.Msg().ru,
                         "\xED\xE5 \xED\xE0\xE9\xE4\xE5\xED \xEA\xEB\xE0\xF1\xF1 AuthSystem");
            EXPECT_EQ(e.Detail(), " - stub");
        }
    }
}

TEST(LoginCache, CachesAcceptedLoginsOnlyAndForAtMostTheLifetime) {
    std::time_t now = 1000;
    ScriptedSystem sys(&now);

    EXPECT_FALSE(sys.authenticate("u", "wrong"));
    EXPECT_FALSE(sys.authenticate("u", "wrong"));
    EXPECT_EQ(sys.calls, 2) << "a refused login was cached";

    EXPECT_TRUE(sys.authenticate("u", "right"));
    EXPECT_EQ(sys.calls, 3);
    now += 90;  // exactly the lifetime: still trusted
    EXPECT_TRUE(sys.authenticate("u", "right"));
    EXPECT_EQ(sys.calls, 3);

    // Prefixes, extensions and one changed byte of the cached password go to the system.
    for (const char* other : {"righ", "right!", "rigHt", ""})
        EXPECT_FALSE(sys.authenticate("u", other));
    EXPECT_EQ(sys.calls, 7);

    // More than the lifetime after the flush at creation: the cache is emptied.
    now += 1;
    sys.acceptedPassword = "changed";
    EXPECT_FALSE(sys.authenticate("u", "right"));
    EXPECT_EQ(sys.calls, 8);
}

TEST(LoginCache, ClockSteppedBackFlushes) {
    std::time_t now = 5000;
    ScriptedSystem sys(&now);
    EXPECT_TRUE(sys.authenticate("u", "right"));
    now -= 3600;
    sys.acceptedPassword = "new";
    EXPECT_FALSE(sys.authenticate("u", "right"));
    EXPECT_EQ(sys.calls, 2);
}

TEST(LoginCache, LaterPasswordReplacesAndSizeStaysBounded) {
    std::time_t now = 0;
    LoginCache cache([&now] { return now; });
    cache.AddAuthorized("u", "one");
    cache.AddAuthorized("u", "two");
    EXPECT_FALSE(cache.IsAuthorized("u", "one"));
    EXPECT_TRUE(cache.IsAuthorized("u", "two"));
    EXPECT_FALSE(cache.IsAuthorized("v", "two"));

    for (std::size_t i = 0; i < LoginCache::kMaxEntries + 10; ++i)
        cache.AddAuthorized("user" + std::to_string(i), "p");
    EXPECT_LE(cache.Size(), LoginCache::kMaxEntries);
    EXPECT_TRUE(cache.IsAuthorized("user" + std::to_string(LoginCache::kMaxEntries + 9), "p"));
}

TEST(LoginCache, SystemFailuresPassThroughUncached) {
    std::time_t now = 0;
    ScriptedSystem sys(&now);
    sys.fail = true;
    try {
        sys.authenticate("u", "right");
        FAIL() << "AuthError swallowed";
    } catch (const alg::AuthError& e) {
        EXPECT_EQ(e.Code(), 7);
    }
    sys.fail = false;
    EXPECT_TRUE(sys.authenticate("u", "right"));
    EXPECT_EQ(sys.calls, 2);
    EXPECT_THROW(sys.authenticate(nullptr, "x"), alg::LogicError);
    EXPECT_THROW(sys.authenticate("u", nullptr), alg::LogicError);
}

TEST(PairReader, LineRules) {
    const std::string longLine(alg::PairReader::kMaxLineLength + 1, 'x');
    std::istringstream in(
        "a=1\n"
        "b==2\n"
        "=empty\n"
        "nosep\n"
        "\n"
        "c=\n"
        "d===\n"
        "e=  spaced value \n"
        "f=g=h\n"
        "crlf=v\r\n"
        "long=" +
        longLine +
        "\n"
        "a=last\n"
        "tail=t");
    alg::PairReader pairs(in, "=");
    const std::map<std::string, std::string> expected{
        {"a", "last"}, {"b", "2"},    {"", "empty"}, {"e", "  spaced value "},
        {"f", "g=h"},  {"crlf", "v"}, {"tail", "t"}};
    const std::map<std::string, std::string>& read = pairs;
    EXPECT_EQ(read, expected);

    std::istringstream multi("k:;v\nw;x\n");
    alg::PairReader other(multi, ":;");
    EXPECT_EQ(other.at("k"), "v");
    EXPECT_EQ(other.at("w"), "x");
    EXPECT_THROW(alg::PairReader(multi, nullptr), alg::LogicError);
}

TEST(AuthPlaintext, ChecksDigestsFromTheFile) {
    TempDir dir;
    std::string upper = kDemoMd5;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    const std::string path = dir.File("users", "demo=" + upper +
                                                   "\n"
                                                   "spaced==" +
                                                   std::string(kSpacedMd5) +
                                                   "\r\n"
                                                   "dup=" +
                                                   std::string(kDemoMd5) +
                                                   "\n"
                                                   "bad=" +
                                                   std::string(kSecretMd5) +
                                                   "0\n"
                                                   "dup=" +
                                                   std::string(kSecretMd5));
    ALGgeneralType g = General("Plaintext file");
    AddParam(g.authsystem, "pwdfile", "");
    AddParam(g.authsystem, "pwdfile", path.c_str());
    AddParam(g.authsystem, "pwdfile", "/nonexistent/second");
    auto sys = Create(g);
    EXPECT_STREQ(sys->GetName(), "Plaintext file");

    EXPECT_TRUE(sys->authenticate("demo", "demo-password"));
    EXPECT_FALSE(sys->authenticate("demo", "demo-passwor"));
    EXPECT_FALSE(sys->authenticate("Demo", "demo-password"));
    EXPECT_TRUE(sys->authenticate("spaced", "pa ss=word"));
    EXPECT_TRUE(sys->authenticate("dup", "secret"));
    EXPECT_FALSE(sys->authenticate("dup", "demo-password"));
    EXPECT_FALSE(sys->authenticate("bad", "secret"));
    EXPECT_FALSE(sys->authenticate("nobody", "demo-password"));
    EXPECT_NO_THROW(AuthSystemClass::CheckAuthSystem(g));
}

TEST(AuthPlaintext, DefaultPathAndUnopenableFiles) {
    TempDir dir;
    dir.File("passwd", std::string("demo=") + kDemoMd5 + "\n");
    const char* saved = getenv("ALG_SYSCONFDIR");
    const std::string savedValue = saved ? saved : "";
    setenv("ALG_SYSCONFDIR", (dir.Path() + "/").c_str(), 1);
    ALGgeneralType g = General("Plaintext file");
    AddParam(g.authsystem, "pwdfile", "");
    EXPECT_EQ(alg::AuthPlaintextClass::PasswordFilePath(g.authsystem), dir.Path() + "/passwd");
    EXPECT_TRUE(Create(g)->authenticate("demo", "demo-password"));
    if (saved)
        setenv("ALG_SYSCONFDIR", savedValue.c_str(), 1);
    else
        unsetenv("ALG_SYSCONFDIR");

    const std::string fifo = dir.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = dir.File("huge", "demo=x\n");
    ASSERT_EQ(truncate(huge.c_str(), alg::AuthPlaintextClass::kMaxFileSize + 1), 0);
    for (const std::string& bad : {dir.Path() + "/missing", dir.Path(), fifo, huge}) {
        ALGgeneralType b = General("Plaintext file");
        AddParam(b.authsystem, "pwdfile", bad.c_str());
        try {
            Create(b);
            FAIL() << bad << " opened";
        } catch (const alg::FactoryError& e) {
            EXPECT_STREQ(e.what(), "Can't open file");
            EXPECT_STREQ(e.Msg().en, "Can't open file");
            EXPECT_EQ(e.Detail(), " - " + bad);
        }
        EXPECT_THROW(AuthSystemClass::CheckAuthSystem(b), alg::FactoryError);
    }
}

TEST(AuthRegistry, FactoriesInSearchOrder) {
    std::vector<std::string> names;
    for (const AuthSystemClass* c : AuthSystemClass::Classes()) names.push_back(c->GetName());
    EXPECT_EQ(names,
              (std::vector<std::string>{"System API", "Stub", "Radius server", "Plaintext file"}));
    auto pam = Create(General("System API"));
    EXPECT_STREQ(pam->GetName(), "System API");
}

ALGgeneralType Radius(std::initializer_list<std::pair<const char*, const char*>> params) {
    ALGgeneralType g = General("Radius server");
    for (const auto& [name, value] : params) AddParam(g.authsystem, name, value);
    return g;
}

TEST(AuthRadius, ParametersLimitsAndPorts) {
    const std::string secret127(127, 's');
    const std::vector<std::pair<const char*, int>> ports{
        {nullptr, 1645}, {"0", 1645},    {"-5", 1645},    {"65536", 1645},
        {"18x", 1645},   {"1812", 1812}, {"65535", 65535}};
    for (const auto& [port, expected] : ports) {
        ALGgeneralType g = Radius({{"IP", "127.0.0.1"}, {"ServerSecret", "k"}});
        if (port) AddParam(g.authsystem, "Port", port);
        EXPECT_EQ(alg::AuthRadiusClass::Params(g.authsystem).port, expected) << port;
        EXPECT_EQ(alg::AuthRadiusClass::UnusablePort(g.authsystem) != nullptr,
                  port && expected == 1645)
            << port;
    }
    const auto params = alg::AuthRadiusClass::Params(Radius({{"IP", ""},
                                                             {"IP", "10.1.2.3"},
                                                             {"IP", "10.9.9.9"},
                                                             {"ServerSecret", secret127.c_str()}})
                                                         .authsystem);
    EXPECT_EQ(params.server, "10.1.2.3");
    EXPECT_EQ(params.secret, secret127);
    EXPECT_THROW(Create(Radius({{"ServerSecret", "k"}})), alg::InitializerError);

    auto system = Create(Radius({{"IP", "127.0.0.9"}, {"ServerSecret", "k"}, {"Port", "1812"}}));
    const sockaddr_in& address = static_cast<alg::AuthRadius&>(*system).ServerAddress();
    EXPECT_EQ(address.sin_addr.s_addr, inet_addr("127.0.0.9"));
    EXPECT_EQ(ntohs(address.sin_port), 1812);
    // Credentials User-Name or User-Password cannot carry are a system error, not a refusal.
    EXPECT_THROW(system->authenticate("u", std::string(129, 'p').c_str()), alg::AuthError);
    EXPECT_THROW(system->authenticate(std::string(254, 'u').c_str(), "p"), alg::AuthError);
}

}  // namespace
