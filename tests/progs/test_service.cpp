// A service built on the service shell alone, for the shell's end-to-end tests. Controlled by
// the environment:
//   ALGTEST_SERVICE_NAME   service name (default "alg_test")
//   ALGTEST_INIT_RESULT    what doInitialize returns (default 0)
//   ALGTEST_RUN_RESULT     when set, doRun returns it at once; otherwise the shell's doRun
//   ALGTEST_FINAL_RESULT   what doFinalize returns (default 0)
//   ALGTEST_LOG            file that receives one line per event: "error: <text>",
//                          "info: <text>", "cwd: <dir>", "foreground: <0|1>", "init",
//                          "finalize", "exit: <status>"
// doInitialize also prints "initialized <pid>" on standard output.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "service.h"

namespace {

int EnvInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return (value && *value) ? std::atoi(value) : fallback;
}

// Appends one line with a single write, so that lines of parent and child never interleave.
void Record(const std::string& line) {
    const char* path = std::getenv("ALGTEST_LOG");
    if (!path || !*path) return;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) < 0) {
        // The test sees the missing line.
    }
    ::close(fd);
}

class TestService : public alg::CService {
  public:
    explicit TestService(const char* name) : CService(name, nullptr) {}

    void LogServiceInfo(const char* text) override {
        Record(std::string("info: ") + text);
        CService::LogServiceInfo(text);
    }
    void LogServiceError(const char* text) override {
        Record(std::string("error: ") + text);
        CService::LogServiceError(text);
    }

  protected:
    int doInitialize() override {
        char cwd[4096];
        Record(std::string("cwd: ") + (::getcwd(cwd, sizeof cwd) ? cwd : "?"));
        Record(std::string("foreground: ") + (IsForeground() ? "1" : "0"));
        Record("init");
        // Blocked before the start is announced, so that a stop sent right after it waits
        // for the shell's doRun instead of ending the process.
        pthread_sigmask(SIG_BLOCK, &signalSet_, nullptr);
        std::printf("initialized %ld\n", static_cast<long>(::getpid()));
        std::fflush(stdout);
        return EnvInt("ALGTEST_INIT_RESULT", 0);
    }
    int doRun() override {
        if (std::getenv("ALGTEST_RUN_RESULT")) return EnvInt("ALGTEST_RUN_RESULT", 0);
        return CService::doRun();
    }
    int doFinalize() override {
        Record("finalize");
        return EnvInt("ALGTEST_FINAL_RESULT", 0);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const char* name = std::getenv("ALGTEST_SERVICE_NAME");
    const std::string serviceName = (name && *name) ? name : "alg_test";
    TestService service(serviceName.c_str());
    const int status = service.RegisterService(argc, argv);
    Record("exit: " + std::to_string(status));
    return status;
}
