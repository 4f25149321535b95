#include "cfg_loader.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "alg-control.h"
#include "alg_xml.h"
#include "cmdbus.h"

namespace alg {

ALG_MESSAGE(PolicyObtainedPMP, "Policy obtained by PMP", "Политика получена по PMP");
ALG_MESSAGE(PolicyErrorPMP, "Error occured while getting policy by PMP: ",
            "Произошла ошибка при получении политики по PMP: ");
ALG_MESSAGE(PolicySaveFailPMP, "Can't save policy obtained by PMP to file",
            "Не удалось сохранить политику полученную по PMP в файл");

namespace {

constexpr const char* kSessionName = "Loader";
constexpr ReadWriteMode_t kSessionMode = 1;
constexpr long kPollWaitMs = 1000;
constexpr long kPauseMs = 10000;
constexpr std::size_t kThreadStack = 0x100000;

void LogFailure(I_ToLogSystem* log, const std::exception& e) {
    if (log) LogException(*log, e, event, error);
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

template <typename Load>
bool ReadPolicy(ALGalgpolicyType& policy, Load load, std::string& error) {
    AlgDoc doc;
    try {
        load(doc);
        if (doc.parse(policy)) return true;
        error = "the document has not exactly one algpolicy element";
    } catch (const TTT& e) {
        error = (e.document().empty() ? std::string("(unnamed)") : e.document());
        if (e.line() > 0) error += ", line " + std::to_string(e.line());
        error += ": " + e.cause();
    }
    return false;
}

}  // namespace

bool ReadPolicyText(ALGalgpolicyType& policy, const char* name, const std::string& text,
                    std::string& error) {
    return ReadPolicy(
        policy, [&](AlgDoc& doc) { doc.load(name, text.data(), static_cast<int>(text.size())); },
        error);
}

bool ReadPolicyFile(ALGalgpolicyType& policy, const std::string& path, std::string& error,
                    std::string* fileText) {
    return ReadPolicy(
        policy,
        [&](AlgDoc& doc) {
            std::string data = MLDoc::readFile(path);
            doc.load(path.c_str(), data.data(), static_cast<int>(data.size()));
            if (fileText) *fileText = std::move(data);
        },
        error);
}

std::string EncodeRegistration(std::string_view loaderName, std::string_view statusText) {
    std::string out;
    cmdbus::PayloadWriter(out).Text(loaderName).Text(statusText);
    return out;
}

bool DecodeRegistration(std::string_view payload, std::string& loaderName,
                        std::string& statusText) {
    cmdbus::PayloadReader in(payload);
    std::string name, status;
    if (!in.Text(name) || !in.Text(status) || !in.AtEnd()) return false;
    loaderName.swap(name);
    statusText.swap(status);
    return true;
}

std::string EncodePollReply(std::uint32_t code, std::string_view text) {
    std::string out;
    cmdbus::PayloadWriter(out).U32(code).Text(text);
    return out;
}

PollReply ParsePollReply(std::string_view reply) {
    cmdbus::PayloadReader in(reply);
    PollReply r;
    if (!in.U32(r.code)) throw CommandStreamError();
    if (r.code == kPmpNotReady) return r;
    if (r.code != kPmpPolicyFollows && in.AtEnd()) return r;  // an error without text
    if (!in.Text(r.text) || !in.AtEnd()) throw CommandStreamError();
    return r;
}

void ALG_CfgLoader::init(I_ToLogSystem& log, std::function<std::string()> loaderName,
                         std::function<void()> restart) {
    fini();
    worker_ = std::make_unique<Worker>();
    worker_->log = &log;
    worker_->loaderName = std::move(loaderName);
    worker_->restart = std::move(restart);
}

void ALG_CfgLoader::workerStart() {
    if (!worker_) return;
    Worker& w = *worker_;
    threadkit::ConditionVariable::Lock guard(w.lock);
    if (w.running) {
        if (!w.statusFresh) w.status.clear();
        w.statusFresh = false;
        if (w.awaitingRestart) {
            // The end of the restart made for a received policy: its outcome is the push's
            // own, reported with a registration at once, whatever a reload that follows does
            // to the status text; and that reload reads the settings file, not the policy.
            w.awaitingRestart = false;
            w.outcome = w.status;
            w.outcomePending = true;
            w.policy.clear();
        }
        ++w.wakeups;
        w.lock.Broadcast();
        return;
    }
    if (w.joinable) return;  // a stop is still joining the previous thread
    // The name comes from the application (a virtual function of it): it is read here, on
    // the application's thread, since a worker thread still starting while the application
    // is being destroyed would ask a half-destroyed object.
    w.name.clear();
    try {
        if (w.loaderName) w.name = w.loaderName();
    } catch (const std::exception& e) {
        LogFailure(w.log, e);
    }
    w.running = true;
    w.statusFresh = false;
    pthread_attr_t attr;
    bool started = false;
    if (pthread_attr_init(&attr) == 0) {
        started = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE) == 0 &&
                  pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM) == 0 &&
                  pthread_attr_setstacksize(&attr, kThreadStack) == 0 &&
                  pthread_create(&w.thread, &attr, &Worker::ThreadProc, &w) == 0;
        pthread_attr_destroy(&attr);
    }
    w.running = started;
    w.joinable = started;
}

void ALG_CfgLoader::workerStop() {
    if (!worker_) return;
    Worker& w = *worker_;
    pthread_t thread{};
    bool join = false;
    {
        threadkit::ConditionVariable::Lock guard(w.lock);
        w.running = false;
        ++w.wakeups;
        w.lock.Broadcast();
        if (w.joinable) {
            thread = w.thread;
            join = true;
            w.joinable = false;
        }
    }
    if (!join) return;
    if (pthread_equal(thread, pthread_self()))
        pthread_detach(thread);  // stopped from its own thread: it ends by itself
    else
        pthread_join(thread, nullptr);
}

void ALG_CfgLoader::fini() {
    workerStop();
    worker_.reset();
}

bool ALG_CfgLoader::IsRunning() const {
    if (!worker_) return false;
    threadkit::ConditionVariable::Lock guard(worker_->lock);
    return worker_->running;
}

void ALG_CfgLoader::get_lsp_data(std::string& out) const {
    out.clear();
    if (!worker_) return;
    threadkit::ConditionVariable::Lock guard(worker_->lock);
    out = worker_->policy;
}

void ALG_CfgLoader::workerLog(const LoggedMessage& m) {
    if (!worker_) return;
    threadkit::ConditionVariable::Lock guard(worker_->lock);
    worker_->status = CutReportedText(m.leadIn + (m.en ? m.en : "") + m.suffix);
    worker_->statusFresh = true;
}

void ALG_CfgLoader::saveToFile(const std::string& path, const std::string& text,
                               I_ToLogSystem* log) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + (slash == std::string::npos ? "/." : ".") + base + ".XXXXXX";
    const int fd = base.empty() ? -1 : mkostemp(temp.data(), O_CLOEXEC);  // mode 0600
    bool saved = false;
    if (fd >= 0) {
        saved = WriteAll(fd, text) && fchmod(fd, 0600) == 0 && fsync(fd) == 0;
        saved = (close(fd) == 0) && saved;
        saved = saved && rename(temp.c_str(), path.c_str()) == 0;
        if (!saved) unlink(temp.c_str());
    }
    if (saved || !log) return;
    LoggedMessage m(PolicySaveFailPMP, event, error);
    m.AddSuffix(" " + path);
    log->Log(m);
}

bool ALG_CfgLoader::Worker::WaitForWake(long ms) {
    if (!running) return false;
    const timespec deadline = threadkit::ConditionVariable::DeadlineAfter(ms < 0 ? 0 : ms);
    while (running && wakeups == seen) {
        if (ms < 0)
            lock.Wait();
        else if (!lock.TimedWait(deadline))
            break;
    }
    woken = wakeups != seen;
    seen = wakeups;
    return running;
}

void* ALG_CfgLoader::Worker::ThreadProc(void* state) {
    Worker& w = *static_cast<Worker*>(state);
    CommandSender& bus = *CommandSender::Instance();
    BridgeSession* session = nullptr;
    std::string name;
    {
        threadkit::ConditionVariable::Lock guard(w.lock);
        name = w.name;
    }
    for (;;) {
        {
            threadkit::ConditionVariable::Lock guard(w.lock);
            w.seen = w.wakeups;
        }
        if (session && session->State() != BridgeSession::kUsable) {
            bus.CloseSession(session);
            session = nullptr;
        }
        if (!session) session = bus.OpenNewSession(kSessionName, kSessionMode);
        bool again = false;
        if (session) {
            try {
                again = w.Round(session, name);
            } catch (const std::exception& e) {
                LogFailure(w.log, e);
            }
        }
        threadkit::ConditionVariable::Lock guard(w.lock);
        if (!w.running) break;
        if (!again && !w.WaitForWake(kPauseMs)) break;
    }
    if (session) bus.CloseSession(session);
    return nullptr;
}

bool ALG_CfgLoader::Worker::Round(BridgeSession*& session, const std::string& name) {
    std::string payload, reply;
    bool reportsOutcome = false;
    {
        threadkit::ConditionVariable::Lock guard(lock);
        reportsOutcome = outcomePending;
        payload = EncodeRegistration(name, reportsOutcome ? outcome : status);
    }
    if (!session->__SendCommand(kPmpModule, kPmpRegister, payload.data(), unsigned(payload.size()),
                                &reply))
        return false;
    if (reportsOutcome) {
        threadkit::ConditionVariable::Lock guard(lock);
        outcomePending = false;
    }
    for (;;) {
        if (!session->__SendCommand(kPmpModule, kPmpPoll, nullptr, 0, &reply)) return false;
        PollReply answer;
        try {
            answer = ParsePollReply(reply);
        } catch (const CommandStreamError&) {
            // The service is out of step with us: start over on a new session.
            CommandSender::Instance()->CloseSession(session);
            session = nullptr;
            return false;
        }
        if (answer.code == kPmpPolicyFollows) {
            if (answer.text.empty()) return false;
            LoggedMessage m(PolicyObtainedPMP, verbose, info);
            log->Log(m);
            threadkit::ConditionVariable::Lock guard(lock);
            policy.swap(answer.text);
            // A stop that came first must not be followed by a restart nobody waits for.
            if (running) {
                seen = wakeups;
                awaitingRestart = true;
                if (restart) restart();
                WaitForWake(-1);
                awaitingRestart = false;
            }
            policy.clear();
            return outcomePending;
        }
        if (answer.code == kPmpNotReady) {
            threadkit::ConditionVariable::Lock guard(lock);
            if (!WaitForWake(kPollWaitMs)) return false;
            // A new start-up outcome is reported at once rather than after the next error.
            if (woken) return true;
            continue;
        }
        LoggedMessage m(PolicyErrorPMP, verbose, warning);
        m.AddSuffix(answer.text);
        log->Log(m);
        return false;
    }
}

}  // namespace alg
