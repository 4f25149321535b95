// Authentication systems: the registry of factories that build a listener's system by name,
// the base every system derives from (with its cache of recently accepted logins), the stub
// that refuses everybody, the plaintext password file, PAM and a RADIUS server.
//
// Ownership: the listener owns the system CreateClass returns. Factories are static objects,
// registered before main in search order. Every operation of a built system may be called
// from any number of session threads at once.
#pragma once

#include <netinet/in.h>

#include <ctime>
#include <functional>
#include <istream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "alogger.h"
#include "threadkit.h"

struct ALGgeneralType;
struct ALGauthsystemType;
struct ALGparamType;
struct pam_message;
struct pam_response;

namespace alg {

ALG_MESSAGE(AuthSystemClassNotFound, "AuthSystem class not found", "не найден класс AuthSystem");
ALG_MESSAGE(CantOpenFile, "Can't open file", "Не удалось открыть файл");
ALG_MESSAGE(NotEnoughParamsToConnect, "Not enough parameters for connect to RADIUS server",
            "Недостаточно параметров для соединения с RADIUS-сервером");
ALG_MESSAGE(RadiusSecretTooLong, "RADIUS server secret is longer than 127 characters",
            "Секрет RADIUS-сервера длиннее 127 символов");
ALG_MESSAGE(RadiusServerTooLong, "RADIUS server name is longer than 255 characters",
            "Имя RADIUS-сервера длиннее 255 символов");

// LogicError texts of this module (a null factory name throws kNullIdentifierText).
inline constexpr char kNullCredentials[] = "login or password is NULL";
inline constexpr char kNullSeparators[] = "PairReader: NULL separator set";
// AuthError texts of this module.
inline constexpr char kPamStartFails[] = "pam_start() fails";
inline constexpr char kRadiusSocketFails[] = "Unable to initialize RADIUS socket";
inline constexpr char kRadiusNoRandom[] = "RADIUS: no random source for the request";
inline constexpr char kRadiusTooLong[] = "RADIUS: user name or password too long for a request";

// Factory names, equal to the GetName() of the systems they build.
inline constexpr char kStubName[] = "Stub";
inline constexpr char kPlaintextName[] = "Plaintext file";
inline constexpr char kSysAPIName[] = "System API";
inline constexpr char kRadiusName[] = "Radius server";

// The PAM service whose configuration (/etc/pam.d/pam_alg) decides how "System API" checks.
inline constexpr char kPamService[] = "pam_alg";

// Parameter of "Plaintext file" naming the password file; default systemEtcDir() + "passwd".
inline constexpr char kPwdFileParam[] = "pwdfile";
inline constexpr char kDefaultPwdFile[] = "passwd";

// A failure of the authentication machinery itself (not a refused login); `Code()` is the
// underlying system's status (for PAM the PAM status).
class AuthError : public std::runtime_error {
  public:
    AuthError(const std::string& text, int code) : std::runtime_error(text), code_(code) {}
    int Code() const { return code_; }

  private:
    int code_;
};

// Logins accepted recently. The whole cache is discarded at the first lookup or insertion
// that comes more than kLifetime seconds after the previous discard (or when the clock has
// gone back), so an accepted login is trusted for at most kLifetime seconds. It never holds
// more than kMaxEntries users: an insertion that would exceed that discards the cache first.
// Thread-safe.
class LoginCache {
  public:
    // Seconds since the epoch; tests inject their own.
    using Clock = std::function<std::time_t()>;
    static constexpr std::time_t kLifetime = 90;
    static constexpr std::size_t kMaxEntries = 4096;

    // An empty `clock` means time().
    explicit LoginCache(Clock clock = {});
    LoginCache(const LoginCache&) = delete;
    LoginCache& operator=(const LoginCache&) = delete;

    // True when `user` is cached with exactly `password` (compared in constant time).
    bool IsAuthorized(const std::string& user, const std::string& password);
    // Caches the pair, replacing an earlier password of the same user.
    void AddAuthorized(const std::string& user, const std::string& password);
    // Number of cached users.
    std::size_t Size() const;

  private:
    // Discards everything when due and tells whether it did; caller holds lock_.
    bool FlushIfDue(std::time_t now);

    threadkit::ObjectLevelLockable lock_;
    std::map<std::string, std::string> entries_;
    Clock clock_;
    std::time_t lastFlush_;
};

class ALGPool;

// For its lifetime, names to the authentication systems the socket pool through which a stop
// reaches the calling thread's session (null: none). A system that waits for a server joins
// it with a QuitWaker and ends the check with TerminationEvent once told to quit, so a stop or
// restart of the service is not held up for the server's time-outs. Per thread; scopes nest.
class AuthQuitScope {
  public:
    explicit AuthQuitScope(ALGPool* pool);
    ~AuthQuitScope();
    AuthQuitScope(const AuthQuitScope&) = delete;
    AuthQuitScope& operator=(const AuthQuitScope&) = delete;

    // The calling thread's innermost pool; null outside every scope.
    static ALGPool* Current();

  private:
    ALGPool* previous_;
};

// Base of every authentication system.
class AuthenticationBase {
  public:
    virtual ~AuthenticationBase() = default;
    AuthenticationBase(const AuthenticationBase&) = delete;
    AuthenticationBase& operator=(const AuthenticationBase&) = delete;

    // The system's class name, the same text as its factory's GetName().
    virtual const char* GetName() const = 0;

    // True when the login is accepted: from the cache, else from doAuthenticate (an accepted
    // login is then cached). Null arguments throw LogicError; AuthError and LogicError of the
    // concrete system pass through and nothing is cached.
    bool authenticate(const char* user, const char* password);

    // Whether the process runs as a daemon (set by the listener; systems that could prompt on
    // a terminal must not when it is set).
    void SetDaemonFlag(bool daemon) { daemon_ = daemon; }
    bool DaemonFlag() const { return daemon_; }

  protected:
    // `clock` drives the login cache; empty means time().
    explicit AuthenticationBase(LoginCache::Clock clock = {}) : cache_(std::move(clock)) {}

    // The concrete check; both arguments are non-null.
    virtual bool doAuthenticate(const char* user, const char* password) = 0;

  private:
    LoginCache cache_;
    bool daemon_ = false;
};

// Factory of one kind of authentication system; each kind has one static instance, which
// registers itself on construction and unregisters on destruction.
class AuthSystemClass {
  public:
    virtual ~AuthSystemClass();
    AuthSystemClass(const AuthSystemClass&) = delete;
    AuthSystemClass& operator=(const AuthSystemClass&) = delete;

    virtual const char* GetName() const = 0;
    // Builds a system from the policy's authsystem element; the caller owns the result.
    // Throws FactoryError, InitializerError or AuthError when the element cannot be served.
    virtual AuthenticationBase* Create(const ALGauthsystemType& cfg) const = 0;
    // Builds a system without policy data, or null when the kind needs policy data.
    virtual AuthenticationBase* CreateDefault() const { return nullptr; }
    // Throws exactly what Create would throw for `cfg`; builds and discards a system unless
    // the kind overrides it with a check that has no side effects.
    virtual void Validate(const ALGauthsystemType& cfg) const;

    // The registered factories, in search order.
    static const std::vector<AuthSystemClass*>& Classes();
    // First factory whose name equals `name` exactly, or null; null `name` throws LogicError.
    static AuthSystemClass* Find(const char* name);
    // The listener's system: the stub's default when the authsystem name is empty or absent,
    // else Create of the factory of that name. An unknown name throws FactoryError
    // AuthSystemClassNotFound with detail " - " and the name. The caller owns the result.
    static AuthenticationBase* CreateClass(const ALGgeneralType& general);
    // Judges the general section's authsystem by the same rules as CreateClass and throws
    // what CreateClass would throw; used by the policy checker.
    static void CheckAuthSystem(const ALGgeneralType& general);

  protected:
    AuthSystemClass();

  private:
    static std::vector<AuthSystemClass*>& Registry();
};

// Answers every login with a fixed answer; the factory always fixes it to false.
class AuthStub : public AuthenticationBase {
  public:
    explicit AuthStub(bool answer) : answer_(answer) {}
    const char* GetName() const override { return kStubName; }

  protected:
    bool doAuthenticate(const char*, const char*) override { return answer_; }

  private:
    bool answer_;
};

class AuthStubClass : public AuthSystemClass {
  public:
    const char* GetName() const override { return kStubName; }
    AuthenticationBase* Create(const ALGauthsystemType& cfg) const override;
    AuthenticationBase* CreateDefault() const override;
};

// Reads lines of key, a run of separator characters and value into a map. A line without a
// separator, or whose separator run reaches its end, is skipped; the value is the rest of the
// line unchanged except that a CR before the LF is dropped; a later line replaces an earlier
// value of the same key. Lines longer than kMaxLineLength bytes are skipped whole.
class PairReader : public std::map<std::string, std::string> {
  public:
    static constexpr std::size_t kMaxLineLength = 4096;

    // Reads `in` to its end; a null `separators` throws LogicError.
    PairReader(std::istream& in, const char* separators);
};

// Checks logins against a map of user name to the hex MD5 digest of the password (either
// letter case), fixed at creation. Read-only afterwards, so no locking.
class AuthPlaintext : public AuthenticationBase {
  public:
    explicit AuthPlaintext(std::map<std::string, std::string> users, LoginCache::Clock clock = {})
        : AuthenticationBase(std::move(clock)), users_(std::move(users)) {}
    const char* GetName() const override { return kPlaintextName; }

  protected:
    bool doAuthenticate(const char* user, const char* password) override;

  private:
    const std::map<std::string, std::string> users_;
};

class AuthPlaintextClass : public AuthSystemClass {
  public:
    const char* GetName() const override { return kPlaintextName; }
    // Largest password file read, in bytes.
    static constexpr std::size_t kMaxFileSize = 8u << 20;

    // Reads the password file; FactoryError CantOpenFile (detail " - " and the path) when it
    // is missing, unreadable, not a regular file or larger than kMaxFileSize.
    AuthenticationBase* Create(const ALGauthsystemType& cfg) const override;

    // The first non-empty "pwdfile" parameter, else systemEtcDir() + "passwd".
    static std::string PasswordFilePath(const ALGauthsystemType& cfg);
    // The user map of the password file at `path`; throws like Create.
    static std::map<std::string, std::string> ReadPasswordFile(const std::string& path);
};

// The PAM conversation of "System API": answers exactly one echo-off prompt with the password
// given as `appdata` (a NUL-terminated text); anything else (more or fewer messages, an echoed
// prompt, an informational or error message) gets PAM_CONV_ERR and no response. The response
// is allocated with malloc and belongs to PAM.
int stdin_conv(int count, const pam_message** messages, pam_response** responses, void* appdata);

// Checks logins through PAM under the service kPamService: the authentication step only, with
// PAM_SILENT. PAM modules need not be thread-safe, so every transaction of one system runs
// under its lock (concurrent sessions wait their turn; the login cache spares PAM repeats). The
// delay PAM's modules ask for after a failed check is slept by the failing session once it has
// released the lock, so a wrong password still waits and nobody else waits for it.
class AuthSysAPI : public AuthenticationBase {
  public:
    AuthSysAPI() = default;
    const char* GetName() const override { return kSysAPIName; }

  protected:
    // pam_start failing throws AuthError kPamStartFails with the PAM status as its code; any
    // other outcome than PAM_SUCCESS of pam_authenticate is a refusal. A quit signal of the
    // caller's AuthQuitScope pool during the fail delay throws TerminationEvent.
    bool doAuthenticate(const char* user, const char* password) override;

  private:
    // Serialises pam_start .. pam_end of this system.
    threadkit::ObjectLevelLockable lock_;
};

class AuthSysAPIClass : public AuthSystemClass {
  public:
    const char* GetName() const override { return kSysAPIName; }
    // Parameters are ignored.
    AuthenticationBase* Create(const ALGauthsystemType& cfg) const override;
};

// What a "Radius server" authsystem element asks for.
struct RadiusParams {
    std::string server;  // "IP": dotted IPv4 address or host name
    int port = 0;        // "Port", kDefaultPort when absent or outside 1..65535
    std::string secret;  // "ServerSecret"
};

// Checks logins with one Access-Request each to a RADIUS server, accepted on Access-Accept.
// Every check has a UDP socket of its own, so concurrent checks never see each other's
// answers; only an answer from the server's address and port with the request's identifier,
// Response Authenticator and (when it has one) Message-Authenticator counts. A silent server
// costs retries + 1 requests, each waited for the reply time-out. Holds no lock: what checks
// share is fixed at construction.
class AuthRadius : public AuthenticationBase {
  public:
    static constexpr int kDefaultPort = 1645;
    static constexpr int kReplyTimeout = 10;  // seconds
    static constexpr int kRetries = 1;
    static constexpr std::size_t kMaxSecret = 127;
    static constexpr std::size_t kMaxServer = 255;

    // Resolves `server` (a name that does not resolve leaves 0.0.0.0: every check then times
    // out) and takes the local address that reaches it as NAS-IP-Address. A secret or server name
    // over its limit throws InitializerError RadiusSecretTooLong or RadiusServerTooLong; a socket
    // that cannot be opened throws AuthError kRadiusSocketFails (code -1).
    AuthRadius(const RadiusParams& params, int timeoutSeconds = kReplyTimeout,
               int retries = kRetries);
    ~AuthRadius() override;
    const char* GetName() const override { return kRadiusName; }

    const sockaddr_in& ServerAddress() const { return serverAddress_; }

  protected:
    // False on a refusal, a challenge, a time-out or an exchange failure. A user name over 253
    // bytes or a password over 128 throws AuthError kRadiusTooLong, a socket that cannot be
    // opened AuthError kRadiusSocketFails, a random source that fails AuthError
    // kRadiusNoRandom: the session logs them as system errors. A quit signal of the caller's
    // AuthQuitScope pool during a wait throws TerminationEvent.
    bool doAuthenticate(const char* user, const char* password) override;

  private:
    const int timeout_;
    const int retries_;
    std::string secret_;
    unsigned int localAddress_ = 0;
    sockaddr_in serverAddress_{};
};

class AuthRadiusClass : public AuthSystemClass {
  public:
    const char* GetName() const override { return kRadiusName; }
    AuthenticationBase* Create(const ALGauthsystemType& cfg) const override;
    // Throws what Create would for the parameters, without resolving or opening anything.
    void Validate(const ALGauthsystemType& cfg) const override;

    // "IP", "Port" and "ServerSecret": the first non-empty occurrence of each. A missing
    // server or secret throws InitializerError NotEnoughParamsToConnect; one over its limit
    // RadiusServerTooLong or RadiusSecretTooLong.
    static RadiusParams Params(const ALGauthsystemType& cfg);
    // The "Port" parameter that counts when its value is not a number from 1 to 65535 (the
    // system then uses kDefaultPort without a word), else null.
    static const ALGparamType* UnusablePort(const ALGauthsystemType& cfg);
};

}  // namespace alg
