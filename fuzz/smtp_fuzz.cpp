// smtp-gateway: the server reply reader and the proxy login over AUTH LOGIN (without the
// server's look-up).
#include "fuzz_input.h"
#include "smtp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    fuzz::RunOne(
        data, size,
        [](test::FakeStream& peer) {
            std::string text;
            for (int i = 0; i < 64; ++i) ReadSmtpReply(peer, text, fuzz::kTimeout);
        },
        [](test::FakeStream& peer) {
            SmtpHandshakeRequest login;
            login.port = "25";
            test::FakeStream out;
            if (!login.WiatForAuthCommand(peer, out, fuzz::kTimeout)) return;
            // As Read goes on: the user-name line unless it came with AUTH LOGIN, then the
            // password.
            if (login.host.empty()) ReadSmtpLine(peer, login.host, fuzz::kTimeout);
            ReadSmtpLine(peer, login.password, fuzz::kTimeout);
            if (login.ProcessLogin()) login.ProcessPassword();
        });
    return 0;
}
