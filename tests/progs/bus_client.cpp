// A stand-in gateway for end-to-end tests of the management service: the policy loader and
// the control channel wired as a gateway wires them, without a listener.
//   bus_client SERVICE LOADER SETTINGS_PATH
// Reports as SERVICE (status records, forwarded messages), registers as LOADER, and stores a
// received policy at SETTINGS_PATH, printing "policy stored N" on standard output. Ends on
// SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <thread>

#include "alg-control.h"
#include "cfg_loader.h"
#include "framework/fake_app.h"

namespace {

ALG_MESSAGE(ClientStarted, "Started", "Запущен");

class App : public alg::I_ToLogSystem, public algtest::FakeApp {
  public:
    App(std::string service, std::string loader, std::string settings)
        : FakeApp(algtest::AppValues(service, "1.0.0", "test"),
                  algtest::ListenerValues("1080", "0", "0", "stub")),
          service_(std::move(service)),
          loaderName_(std::move(loader)),
          settings_(std::move(settings)),
          control_(*this, logs_) {
        alg::LogSystem::LoggerList list;
        list.push_back(std::make_unique<alg::conLogger>("", alg::verbose));
        logs_.ReplaceLoggers(std::move(list));
        loader_.init(
            *this, [this] { return loaderName_; }, [this] { control_.controlRestart(); });
    }
    ~App() override { loader_.fini(); }

    void Log(alg::LoggedMessage& m) override {
        m.sourceText += service_ + " ";
        logs_.WriteMsg(m);
    }

    int Run() {
        for (;;) {
            control_.controlStart();
            std::string policy;
            loader_.get_lsp_data(policy);
            if (!policy.empty()) {
                alg::ALG_CfgLoader::saveToFile(settings_, policy, this);
                std::printf("policy stored %zu\n", policy.size());
                std::fflush(stdout);
            }
            alg::LoggedMessage started(ClientStarted, alg::event, alg::info);
            Log(started);
            loader_.workerStart();
            if (!control_.controlWork()) return 0;
        }
    }
    void Stop() {
        loader_.workerStop();
        control_.controlStop();
    }

  private:
    std::string service_, loaderName_, settings_;
    alg::LogSystem logs_;
    alg::ProxyControl control_;
    alg::ALG_CfgLoader loader_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SERVICE LOADER SETTINGS_PATH\n", argv[0]);
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    App app(argv[1], argv[2], argv[3]);
    std::thread signals([&] {
        int sig = 0;
        sigwait(&stop, &sig);
        app.Stop();
    });
    const int rc = app.Run();
    pthread_kill(signals.native_handle(), SIGTERM);  // no-op when it already took one
    signals.join();
    return rc;
}
