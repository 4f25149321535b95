// smtp-gateway: the proxy login over AUTH LOGIN (without the server's look-up) and the server
// reply reader.
#include "fuzz_input.h"
#include "smtp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    fuzz::Input in(data, size);
    test::FakeStream& stream = in.stream;
    fuzz::Refusals([&] {
        if (in.selector % 2 == 0) {
            std::string text;
            for (int i = 0; i < 64; ++i) ReadSmtpReply(stream, text, fuzz::kTimeout);
            return;
        }
        SmtpHandshakeRequest login;
        login.port = "25";
        test::FakeStream out;
        if (!login.WiatForAuthCommand(stream, out, fuzz::kTimeout)) return;
        // As Read goes on: the user-name line unless it came with AUTH LOGIN, then the password.
        if (login.host.empty()) ReadSmtpLine(stream, login.host, fuzz::kTimeout);
        ReadSmtpLine(stream, login.password, fuzz::kTimeout);
        if (login.ProcessLogin()) login.ProcessPassword();
    });
    return 0;
}
