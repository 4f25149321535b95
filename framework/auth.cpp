#include "auth.h"

#include <poll.h>
#include <security/pam_appl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>

#include "alg_xml.h"
#include "algsocket.h"
#include "basis.h"
#include "dirmap.h"
#include "radlibc.h"
#include "radlibi.h"

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

namespace {
thread_local ALGPool* tQuitPool = nullptr;
}  // namespace

AuthQuitScope::AuthQuitScope(ALGPool* pool) : previous_(tQuitPool) {
    tQuitPool = pool;
}

AuthQuitScope::~AuthQuitScope() {
    tQuitPool = previous_;
}

ALGPool* AuthQuitScope::Current() {
    return tQuitPool;
}

bool AuthenticationBase::authenticate(const char* user, const char* password) {
    if (user == nullptr || password == nullptr) throw LogicError(kNullCredentials);
    const std::string u(user);
    std::string p(password);
    // The copy of the password is wiped however the check ends.
    struct Wipe {
        std::string& text;
        ~Wipe() { explicit_bzero(text.data(), text.size()); }
    } wipe{p};
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
    std::istringstream in;
    try {
        in.str(ReadRegularFile(path, kMaxFileSize));
    } catch (const FileReadError&) {
        throw FactoryError(CantOpenFile, " - " + path);
    }
    PairReader pairs(in, "=");
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
// PAM
// ---------------------------------------------------------------------------------------------

int stdin_conv(int count, const pam_message** messages, pam_response** responses, void* appdata) {
    if (count != 1 || messages == nullptr || messages[0] == nullptr ||
        messages[0]->msg_style != PAM_PROMPT_ECHO_OFF || responses == nullptr || appdata == nullptr)
        return PAM_CONV_ERR;
    auto* response = static_cast<pam_response*>(std::calloc(1, sizeof(pam_response)));
    char* answer = ::strdup(static_cast<const char*>(appdata));
    if (response == nullptr || answer == nullptr) {
        std::free(response);
        std::free(answer);
        return PAM_BUF_ERR;
    }
    response->resp = answer;
    response->resp_retcode = 0;
    *responses = response;
    return PAM_SUCCESS;
}

namespace {

// The fail delay the PAM check of this thread asked for, in microseconds.
thread_local unsigned int tPamFailDelay = 0;

// Stands in for PAM's own sleep after a failed check, which would be slept holding the lock.
void RecordFailDelay(int status, unsigned int delay, void*) {
    tPamFailDelay = status == PAM_SUCCESS ? 0 : delay;
}

// Sleeps `us` microseconds, or ends with TerminationEvent once the caller's AuthQuitScope pool
// is told to quit.
void SleepFailDelay(unsigned int us) {
    if (us == 0) return;
    const QuitWaker quit(AuthQuitScope::Current());
    pollfd p{quit.Descriptor(), POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    for (int pass = 0; pass < 1000; ++pass) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) return;
        ::poll(&p, quit.Descriptor() >= 0 ? 1 : 0, static_cast<int>(left));
        if (quit.QuitRaised()) throw TerminationEvent();
    }
}

}  // namespace

bool AuthSysAPI::doAuthenticate(const char* user, const char* password) {
    if (user == nullptr || password == nullptr) throw LogicError(kNullCredentials);
    int status = PAM_AUTH_ERR;
    tPamFailDelay = 0;
    {
        threadkit::ObjectLevelLockable::Lock guard(lock_);
        pam_conv conversation{&stdin_conv, const_cast<char*>(password)};
        pam_handle_t* handle = nullptr;
        const int started = pam_start(kPamService, user, &conversation, &handle);
        if (started != PAM_SUCCESS) throw AuthError(kPamStartFails, started);
        void (*recordDelay)(int, unsigned int, void*) = &RecordFailDelay;
        pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(recordDelay));
        status = pam_authenticate(handle, PAM_SILENT);
        pam_end(handle, status);
    }
    SleepFailDelay(tPamFailDelay);
    return status == PAM_SUCCESS;
}

AuthenticationBase* AuthSysAPIClass::Create(const ALGauthsystemType&) const {
    return new AuthSysAPI();
}

// ---------------------------------------------------------------------------------------------
// RADIUS server
// ---------------------------------------------------------------------------------------------

namespace {

constexpr char kServerParam[] = "IP";
constexpr char kPortParam[] = "Port";
constexpr char kSecretParam[] = "ServerSecret";

// The first parameter `name` with a non-empty value, or null.
const ALGparamType* FirstParam(const ALGauthsystemType& cfg, const char* name) {
    for (const ALGparamType* p : cfg.param)
        if (std::strcmp(p->name.c_str(), name) == 0 && !p->value.empty()) return p;
    return nullptr;
}

std::string FirstValue(const ALGauthsystemType& cfg, const char* name) {
    const ALGparamType* p = FirstParam(cfg, name);
    return p ? p->value.c_str() : std::string();
}

// A decimal port from 1 to 65535 (blanks around it allowed), or 0.
int ParsePort(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (end == begin || *end != '\0' || errno != 0 || value < 1 || value > 65535) return 0;
    return static_cast<int>(value);
}

// Closes a descriptor when the scope ends.
struct SocketCloser {
    int fd;
    ~SocketCloser() { TermRadiusSocket(fd, fd); }
};

void CheckLimits(const RadiusParams& params) {
    if (params.server.empty() || params.secret.empty())
        throw InitializerError(NotEnoughParamsToConnect);
    if (params.server.size() > AuthRadius::kMaxServer) throw InitializerError(RadiusServerTooLong);
    if (params.secret.size() > AuthRadius::kMaxSecret) throw InitializerError(RadiusSecretTooLong);
}

}  // namespace

RadiusParams AuthRadiusClass::Params(const ALGauthsystemType& cfg) {
    RadiusParams params;
    params.server = FirstValue(cfg, kServerParam);
    params.secret = FirstValue(cfg, kSecretParam);
    const int port = ParsePort(FirstValue(cfg, kPortParam));
    params.port = port != 0 ? port : AuthRadius::kDefaultPort;
    CheckLimits(params);
    return params;
}

const ALGparamType* AuthRadiusClass::UnusablePort(const ALGauthsystemType& cfg) {
    const ALGparamType* port = FirstParam(cfg, kPortParam);
    return port && ParsePort(port->value.c_str()) == 0 ? port : nullptr;
}

AuthenticationBase* AuthRadiusClass::Create(const ALGauthsystemType& cfg) const {
    return new AuthRadius(Params(cfg));
}

void AuthRadiusClass::Validate(const ALGauthsystemType& cfg) const {
    Params(cfg);
}

AuthRadius::AuthRadius(const RadiusParams& params, int timeoutSeconds, int retries)
    : timeout_(timeoutSeconds), retries_(retries), secret_(params.secret) {
    CheckLimits(params);
    // One socket for both servers: only the address is kept, each check opens its own.
    int fd = -1, unused = -1, err = 0;
    sockaddr_in acctAddress{};
    unsigned short localPorts[2] = {0, 0};
    const auto port = static_cast<unsigned short>(params.port);
    if (InitRadiusSocket(&fd, &serverAddress_, &unused, &acctAddress, params.server.c_str(),
                         params.server.c_str(), localPorts, port, port, &err) != 0)
        throw AuthError(kRadiusSocketFails, -1);
    TermRadiusSocket(fd, unused);
    // The address the server sees us from, rather than whatever the host name resolves to.
    GetLocalIPTowards(&serverAddress_, &localAddress_);
}

AuthRadius::~AuthRadius() {
    explicit_bzero(secret_.data(), secret_.size());
}

bool AuthRadius::doAuthenticate(const char* user, const char* password) {
    if (user == nullptr || password == nullptr) throw LogicError(kNullCredentials);
    if (std::strlen(user) > RAD_MAX_ATTR_VALUE || std::strlen(password) > RAD_MAX_PASSWORD)
        throw AuthError(kRadiusTooLong, -1);
    char authenticator[RAD_AUTH_SIZE];
    unsigned char id = 0;
    if (GenerateAuthenticator(authenticator) == nullptr || GeneratePacketID(&id) < 0)
        throw AuthError(kRadiusNoRandom, -1);
    char hidden[RAD_MAX_PASSWORD];
    RadAuthRequest request{};
    request.authenticator = authenticator;
    request.identifier = id;
    request.userName = user;
    request.password = hidden;
    request.state = "";
    std::memcpy(request.nasIP, &localAddress_, sizeof request.nasIP);
    request.secret = secret_.c_str();
    char packet[RAD_MAX_PACKET];
    if (EncryptPassword(password, secret_.c_str(), authenticator, hidden,
                        &request.passwordLength) != 0 ||
        BuildRadAuthPkt(packet, &request) < 0)
        throw AuthError(kRadiusTooLong, -1);

    int err = 0;
    const SocketCloser fd{OpenRadiusSocket(0, &err)};
    if (fd.fd < 0) throw AuthError(kRadiusSocketFails, -1);
    char reply[RAD_MAX_PACKET];
    sockaddr_in from{};
    int code = 0;
    const QuitWaker quit(AuthQuitScope::Current());
    const int status =
        SendRecvRadiusPktUntil(fd.fd, quit.Descriptor(), &serverAddress_, packet, secret_.c_str(),
                               reply, sizeof reply, &from, retries_, timeout_, &code);
    if (status == RAD_ERR_QUIT) throw TerminationEvent();
    return status == RAD_OK && code == RAD_ACCESS_ACCEPT;
}

// ---------------------------------------------------------------------------------------------
// Factory instances, in search order.
// ---------------------------------------------------------------------------------------------

namespace {
AuthSysAPIClass sysAPIFactory;
AuthStubClass stubFactory;
AuthRadiusClass radiusFactory;
AuthPlaintextClass plaintextFactory;
}  // namespace

}  // namespace alg
