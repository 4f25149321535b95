// ftp-gateway's control channel: server replies, client commands with the PORT and EPRT address
// codecs, and the proxy login (its command waits and the USER and PASS arguments).
#include "ftptransfer.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    fuzz::RunOne(
        data, size,
        [](test::FakeStream& peer) {
            FtpResponseReader reply;
            for (int i = 0; i < 64; ++i) {
                reply.Read(peer, fuzz::kTimeout);
                test::FakeStream out;
                reply.Write(out, fuzz::kTimeout);
            }
        },
        [](test::FakeStream& peer) {
            FtpRequestReader command;
            for (int i = 0; i < 64; ++i) {
                command.Read(peer, fuzz::kTimeout);
                std::string dataAddress;
                int dataPort = 0;
                command.DataPort(dataAddress, dataPort);
                command.TransferDirection();
                if (command.argument != nullptr) {
                    std::string address, hostPort;
                    int port = 0;
                    if (FTPUnpackIP(command.argument, address, port))
                        PackIP(address, port, hostPort);
                }
                test::FakeStream out;
                command.Write(out, fuzz::kTimeout);
            }
        },
        [](test::FakeStream& peer) {
            FtpHandshakeRequest login;
            login.port = "21";
            test::FakeStream out;
            std::string user, pass;
            if (!login.WaitForCommand(peer, out, "USER", user, userCmdBadReply, fuzz::kTimeout))
                return;
            if (!login.WaitForCommand(peer, out, "PASS", pass, passCmdBadReply, fuzz::kTimeout))
                return;
            if (login.ParseLogin(user)) login.ParsePassword(pass);
        });
    return 0;
}
