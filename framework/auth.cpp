#include "auth.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>

#include "alg_xml.h"
#include "basis.h"
#include "dirmap.h"

namespace alg {

namespace {

// Compares two byte strings in time that depends only on their lengths, never on where they
// first differ; with `foldCase` ASCII letters compare without regard to case.
bool ConstantTimeEquals(const std::string& a, const std::string& b, bool foldCase) {
    const std::size_t n = std::max(a.size(), b.size());
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0u;
        unsigned y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0u;
        if (foldCase) {
            // Branch-free ASCII lower-casing: add 0x20 to 'A'..'Z' only.
            x |= ((x - 'A') < 26u) << 5;
            y |= ((y - 'A') < 26u) << 5;
        }
        diff |= x ^ y;
    }
    return diff == 0;
}

std::time_t SystemClock() {
    return std::time(nullptr);
}

// Hex MD5 digest of a NUL-terminated text; "" (which no stored value equals) for a text too
// long for the digest's length type, rather than the digest of a truncated prefix.
std::string Md5Hex(const char* text) {
    const std::size_t length = std::strlen(text);
    if (length > std::numeric_limits<unsigned>::max()) return {};
    char hex[2 * HashMD5::kDigestSize + 1];
    HashMD5(text, static_cast<unsigned>(length)).ToCSTR(hex, false);
    return hex;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Login cache
// ---------------------------------------------------------------------------------------------

LoginCache::LoginCache(Clock clock)
    : clock_(clock ? std::move(clock) : Clock(&SystemClock)), lastFlush_(clock_()) {}

bool LoginCache::FlushIfDue(std::time_t now) {
    // A clock stepped back would otherwise keep every entry until it caught up again.
    if (now - lastFlush_ <= kLifetime && now >= lastFlush_) return false;
    entries_.clear();
    lastFlush_ = now;
    return true;
}

bool LoginCache::IsAuthorized(const std::string& user, const std::string& password) {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    if (FlushIfDue(clock_())) return false;
    const auto it = entries_.find(user);
    return it != entries_.end() && ConstantTimeEquals(it->second, password, false);
}

void LoginCache::AddAuthorized(const std::string& user, const std::string& password) {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    FlushIfDue(clock_());
    auto it = entries_.find(user);
    if (it == entries_.end()) {
        if (entries_.size() >= kMaxEntries) entries_.clear();
        entries_.emplace(user, password);
    } else {
        it->second = password;
    }
}

std::size_t LoginCache::Size() const {
    threadkit::ObjectLevelLockable::Lock guard(lock_);
    return entries_.size();
}

// ---------------------------------------------------------------------------------------------
// Authentication base
// ---------------------------------------------------------------------------------------------

bool AuthenticationBase::authenticate(const char* user, const char* password) {
    if (user == nullptr || password == nullptr) throw LogicError(kNullCredentials);
    const std::string u(user), p(password);
    if (cache_.IsAuthorized(u, p)) return true;
    // The cache is not held while the system works: a slow system must not serialise logins.
    const bool accepted = doAuthenticate(user, password);
    if (accepted) cache_.AddAuthorized(u, p);
    return accepted;
}

// ---------------------------------------------------------------------------------------------
// Factory registry
// ---------------------------------------------------------------------------------------------

std::vector<AuthSystemClass*>& AuthSystemClass::Registry() {
    // Built on first use, so it exists before the first factory registers, whichever
    // translation unit that factory lives in.
    static std::vector<AuthSystemClass*> classes;
    return classes;
}

AuthSystemClass::AuthSystemClass() {
    Registry().push_back(this);
}

AuthSystemClass::~AuthSystemClass() {
    auto& classes = Registry();
    classes.erase(std::remove(classes.begin(), classes.end(), this), classes.end());
}

const std::vector<AuthSystemClass*>& AuthSystemClass::Classes() {
    return Registry();
}

AuthSystemClass* AuthSystemClass::Find(const char* name) {
    if (name == nullptr) throw LogicError(kNullIdentifierText);
    for (AuthSystemClass* c : Registry())
        if (std::strcmp(c->GetName(), name) == 0) return c;
    return nullptr;
}

void AuthSystemClass::Validate(const ALGauthsystemType& cfg) const {
    std::unique_ptr<AuthenticationBase> discarded(Create(cfg));
}

namespace {

// The factory that serves `cfg`, shared by CreateClass and CheckAuthSystem; `useDefault` tells
// whether the default system (no name given) is wanted.
const AuthSystemClass& FactoryFor(const ALGauthsystemType& cfg, bool& useDefault) {
    const char* name = cfg.name.c_str();
    useDefault = *name == '\0';
    const AuthSystemClass* factory = AuthSystemClass::Find(useDefault ? kStubName : name);
    if (factory == nullptr) {
        if (useDefault) throw LogicError("default authentication system is not registered");
        throw FactoryError(AuthSystemClassNotFound, std::string(" - ") + name);
    }
    return *factory;
}

}  // namespace

AuthenticationBase* AuthSystemClass::CreateClass(const ALGgeneralType& general) {
    bool useDefault = false;
    const AuthSystemClass& factory = FactoryFor(general.authsystem, useDefault);
    return useDefault ? factory.CreateDefault() : factory.Create(general.authsystem);
}

void AuthSystemClass::CheckAuthSystem(const ALGgeneralType& general) {
    bool useDefault = false;
    const AuthSystemClass& factory = FactoryFor(general.authsystem, useDefault);
    if (useDefault)
        std::unique_ptr<AuthenticationBase> discarded(factory.CreateDefault());
    else
        factory.Validate(general.authsystem);
}

// ---------------------------------------------------------------------------------------------
// Stub
// ---------------------------------------------------------------------------------------------

AuthenticationBase* AuthStubClass::Create(const ALGauthsystemType&) const {
    return new AuthStub(false);
}

AuthenticationBase* AuthStubClass::CreateDefault() const {
    return new AuthStub(false);
}

// ---------------------------------------------------------------------------------------------
// Pair reader
// ---------------------------------------------------------------------------------------------

PairReader::PairReader(std::istream& in, const char* separators) {
    if (separators == nullptr) throw LogicError(kNullSeparators);
    std::string line;
    line.reserve(128);
    while (in.good()) {
        line.clear();
        bool overlong = false;
        bool sawAny = false;
        for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
            sawAny = true;
            if (c == '\n') break;
            if (line.size() < kMaxLineLength)
                line.push_back(static_cast<char>(c));
            else
                overlong = true;
        }
        if (!sawAny || overlong) continue;
        if (!line.empty() && line.back() == '\r') line.pop_back();

        const std::size_t sep = line.find_first_of(separators);
        if (sep == std::string::npos) continue;
        const std::size_t value = line.find_first_not_of(separators, sep);
        if (value == std::string::npos) continue;
        insert_or_assign(line.substr(0, sep), line.substr(value));
    }
}

// ---------------------------------------------------------------------------------------------
// Plaintext password file
// ---------------------------------------------------------------------------------------------

std::string AuthPlaintextClass::PasswordFilePath(const ALGauthsystemType& cfg) {
    for (const ALGparamType* p : cfg.param)
        if (std::strcmp(p->name.c_str(), kPwdFileParam) == 0 && !p->value.empty())
            return p->value.c_str();
    return systemEtcDir() + kDefaultPwdFile;
}

std::map<std::string, std::string> AuthPlaintextClass::ReadPasswordFile(const std::string& path) {
    // Only a regular file: a FIFO would block the open, a device could never end.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw FactoryError(CantOpenFile, " - " + path);
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) throw FactoryError(CantOpenFile, " - " + path);
    PairReader pairs(in, "=");
    if (in.bad()) throw FactoryError(CantOpenFile, " - " + path);
    return std::move(static_cast<std::map<std::string, std::string>&>(pairs));
}

AuthenticationBase* AuthPlaintextClass::Create(const ALGauthsystemType& cfg) const {
    return new AuthPlaintext(ReadPasswordFile(PasswordFilePath(cfg)));
}

bool AuthPlaintext::doAuthenticate(const char* user, const char* password) {
    if (user == nullptr || password == nullptr) throw LogicError(kNullCredentials);
    const std::string digest = Md5Hex(password);
    const auto it = users_.find(user);
    // An unknown user costs the same digest as a known one.
    return it != users_.end() && ConstantTimeEquals(it->second, digest, true);
}

// ---------------------------------------------------------------------------------------------
// Factory instances, in search order ("System API" belongs before the stub, "Radius server"
// between the stub and the plaintext file).
// ---------------------------------------------------------------------------------------------

namespace {
AuthStubClass stubFactory;
AuthPlaintextClass plaintextFactory;
}  // namespace

}  // namespace alg
