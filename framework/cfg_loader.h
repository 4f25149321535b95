// The policy loader: the program's side of policy delivery (PMP) by the management service
// over the command bus. A worker thread registers the program (module 20, command 3), polls
// for a policy (command 4), hands a received policy to the application and has it restart,
// and reports the outcome of that restart with a registration made as soon as the restart
// ends; later registrations carry the outcome of the last proxy creation.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "alogger.h"
#include "threadkit.h"

class BridgeSession;
struct ALGalgpolicyType;

namespace alg {

ALG_MESSAGE(PolicyUnreadable, "Policy cannot be read: ", "Не удалось прочитать политику: ");
ALG_MESSAGE(PolicyRefusedPMP,
            "Policy obtained by PMP is not used, the previous policy stays in force",
            "Политика, полученная по PMP, не применена, действует прежняя политика");

// Read `text` (named `name` in complaints) or the file at `path` into `policy`. False, with
// the reader's complaint as one line ("NAME, line N: CAUSE") in `error`, when the document
// cannot be read or has not exactly one `algpolicy` element; nothing is printed. `fileText`,
// when given, receives the bytes read from the file.
bool ReadPolicyText(ALGalgpolicyType& policy, const char* name, const std::string& text,
                    std::string& error);
bool ReadPolicyFile(ALGalgpolicyType& policy, const std::string& path, std::string& error,
                    std::string* fileText = nullptr);

// PMP on the bus: module, commands and poll result codes.
inline constexpr std::uint32_t kPmpModule = 20;
inline constexpr long kPmpRegister = 3;
inline constexpr long kPmpPoll = 4;
inline constexpr std::uint32_t kPmpPolicyFollows = 1;
inline constexpr std::uint32_t kPmpNotReady = 3;

// A poll reply too short (or too long) for its own layout.
class CommandStreamError : public std::runtime_error {
  public:
    CommandStreamError() : std::runtime_error("CommandStreamError") {}
};

// Registration payload: loader name, status text (each a 32-bit length and its bytes).
std::string EncodeRegistration(std::string_view loaderName, std::string_view statusText);
// False when `payload` is not exactly one registration.
bool DecodeRegistration(std::string_view payload, std::string& loaderName, std::string& statusText);

// Poll reply: the result code, then the text's length and bytes. The text is the policy for
// code 1 and an error text for codes other than 1 and 3.
struct PollReply {
    std::uint32_t code = 0;
    std::string text;
};
std::string EncodePollReply(std::uint32_t code, std::string_view text);
// Throws CommandStreamError unless the reply matches its layout exactly: 4 bytes at least;
// code 3 needs nothing more; code 1 needs 8 + L bytes; another code is 4 bytes alone (empty
// text) or 8 + L bytes.
PollReply ParsePollReply(std::string_view reply);

// The program's policy loader; one per program, a member of the application object.
//
// Wiring (application object): init() in its constructor; workerStart() at the end of every
// initialisation, after the proxy was created; get_lsp_data() when creating the proxy (a
// non-empty text is parsed instead of the settings file, and stored with saveToFile once a
// listener is built from it);
// workerLog() with every start-up failure; workerStop() on stop; fini() in its destructor.
// `restart` is the application's Restart(); the worker calls it holding the loader's lock and
// waits until workerStart() or workerStop() wakes it, so the application's restart must run on
// another thread (the main thread). `loaderName` is read by workerStart when it starts a
// worker thread, on the caller's thread.
class ALG_CfgLoader {
  public:
    ALG_CfgLoader() = default;
    ~ALG_CfgLoader() { fini(); }
    ALG_CfgLoader(const ALG_CfgLoader&) = delete;
    ALG_CfgLoader& operator=(const ALG_CfgLoader&) = delete;

    void init(I_ToLogSystem& log, std::function<std::string()> loaderName,
              std::function<void()> restart);

    // Starts the worker thread, or, when it runs, ends a proxy creation: a status text left by
    // workerLog since the previous workerStart is kept for the next registration, an older
    // one is cleared; the worker is woken either way. A thread that cannot be created leaves
    // the loader not running, silently.
    void workerStart();
    // Stops the worker and waits for it; returns within one wake-up of the worker (at most
    // one bus exchange, 200 ms per send).
    void workerStop();
    // workerStop, then frees the worker state. Idempotent.
    void fini();

    // The policy text received by PMP and not yet consumed by a restart; empty otherwise.
    void get_lsp_data(std::string& out) const;

    // Stores `text` as the file `path`, mode 0600, atomically (a temporary file in the same
    // directory, then renamed over `path`): the file holds either its old content or all of
    // `text`. Any failure logs "Can't save policy obtained by PMP to file" (event, error) with
    // the suffix " " + path through `log` (when not null), and leaves `path` untouched.
    static void saveToFile(const std::string& path, const std::string& text, I_ToLogSystem* log);

    // Sets the status text to the lead-in text, English text and suffix of `m`, cut to
    // kMaxReportedText bytes.
    void workerLog(const LoggedMessage& m);

    bool IsRunning() const;

    struct Worker;

  private:
    std::unique_ptr<Worker> worker_;
};

// The worker state; every field is guarded by `lock`.
struct ALG_CfgLoader::Worker {
    bool running = false;
    I_ToLogSystem* log = nullptr;
    std::function<std::string()> loaderName;
    std::function<void()> restart;
    // What loaderName returned when the running worker was started.
    std::string name;
    std::string policy;
    std::string status;
    // True when workerLog set `status` after the latest workerStart.
    bool statusFresh = false;
    // The status text at the end of the restart made for a received policy, sent with the
    // next registration (made at once) whatever happens to `status` meanwhile.
    std::string outcome;
    bool outcomePending = false;
    // Set while the application restarts for a received policy; the workerStart that ends
    // the restart takes the outcome.
    bool awaitingRestart = false;
    // Counts wake-ups (workerStart, workerStop), so that spurious ones are told apart; `seen`
    // is the count the worker has acted on, `woken` whether its last wait saw a new one.
    std::uint64_t wakeups = 0;
    std::uint64_t seen = 0;
    bool woken = false;
    mutable threadkit::ConditionVariable lock;
    pthread_t thread{};
    bool joinable = false;

    static void* ThreadProc(void* state);

    // One registration and its polls; true when the next round should start without the
    // pause. May close `session` (and null it) when the service is out of step.
    bool Round(BridgeSession*& session, const std::string& name);
    // Waits up to `ms` (no limit when negative) for a wake-up newer than `seen` or the running
    // flag to clear; call with `lock` held. True when the running flag is still set.
    bool WaitForWake(long ms);
};

}  // namespace alg
