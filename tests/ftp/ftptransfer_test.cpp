#include "ftptransfer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/fake_stream.h"

namespace alg {
namespace {

using test::FakeStream;

// Peer segmentations every read must survive.
const std::vector<std::size_t> kPieces = {1, 7, FakeStream::kWhole};

TEST(FtpTransferTest, RepliesReadWhateverTheSegmentation) {
    struct Case {
        std::string input;
        unsigned short code;      // 0: the read throws
        const char* error;        // English text of the expected ParseError
        std::size_t replyLength;  // bytes that form the reply
    };
    const std::string multi = "220-Welcome\r\n220-x\r\n220 ready\r\n";
    const std::string lines = "211-a\r\n 211 not the end\r\n211-still\r\n211\r\n211 End\r\n";
    const Case cases[] = {
        {multi + "331 next\r\n", 220, nullptr, multi.size()},
        {lines, 211, nullptr, lines.size()},
        {"220 ok\n", 0, "Incorrect response from server", 0},
        {"22\r\n", 0, "Incorrect response from server", 0},
        {"099 low\r\n", 0, "Incorrect code in response from server", 0},
        {"700 high\r\n", 0, "Incorrect code in response from server", 0},
        {std::string(kMaxFtpLine, 'x'), 0, "FTP line longer than 64 KiB", 0},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : kPieces) {
            SCOPED_TRACE(c.input.substr(0, 40) + " piece " + std::to_string(piece));
            FakeStream in(c.input, piece);
            FtpResponseReader reply;
            if (c.error != nullptr) {
                try {
                    reply.Read(in, 100);
                    FAIL() << "no error";
                } catch (const ParseError& e) {
                    EXPECT_STREQ(e.what(), c.error);
                }
                continue;
            }
            reply.Read(in, 100);
            EXPECT_EQ(reply.code, c.code);
            EXPECT_EQ(reply.text, c.input.substr(0, c.replyLength));
            EXPECT_EQ(in.Unread(), c.input.substr(c.replyLength));
        }
    }

    // A hostile server's endless multi-line reply ends the read, by lines and by bytes.
    std::string manyLines = "250-start\r\n";
    for (std::size_t i = 0; i < kMaxReplyLines; ++i) manyLines += "250-x\r\n";
    std::string manyBytes = "250-start\r\n";
    for (int i = 0; i < 20; ++i) manyBytes += "250-" + std::string(60000, 'y') + "\r\n";
    for (const std::string& input : {manyLines, manyBytes}) {
        FakeStream in(input);
        FtpResponseReader reply;
        EXPECT_THROW(reply.Read(in, 100), ParseError);
    }

    FakeStream out;
    FtpResponseReader reply;
    reply.text = std::string("226 done\r\n") + '\0' + "tail";
    reply.Write(out, 100);
    EXPECT_EQ(out.Written(), "226 done\r\n");
    EXPECT_EQ(out.WriteCalls().size(), 1u);
}

TEST(FtpTransferTest, CommandsSplitClassifiedAndWrittenBack) {
    struct Case {
        const char* line;
        const char* word;
        const char* argument;  // null: none
        direction dir;
        const char* written;
    };
    const Case cases[] = {
        {"retr file name\r\n", "retr", "file name", serverToClient, "retr file name\r\n"},
        {"Stou\r\n", "Stou", nullptr, clientToServer, "Stou\r\n"},
        {"APPE x\r\n", "APPE", "x", clientToServer, "APPE x\r\n"},
        {"MLSD\r\n", "MLSD", nullptr, serverToClient, "MLSD\r\n"},
        {"SIZE x\r\n", "SIZE", "x", noTransfer, "SIZE x\r\n"},
        // Telnet IP and Synch before ABOR, as the urgent-data interrupt sends them.
        {"\xff\xf4\xff\xf2"
         "ABOR\r\n",
         "ABOR", nullptr, noTransfer, "ABOR\r\n"},
        {"\xff\xf2\xffx\r\n", "\xffx", nullptr, noTransfer, "\xffx\r\n"},
        {"LIST \r\n", "LIST", "", serverToClient, "LIST \r\n"},
        {"nlst\r\n", "nlst", nullptr, serverToClient, "nlst\r\n"},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : kPieces) {
            SCOPED_TRACE(std::string(c.line) + " piece " + std::to_string(piece));
            FakeStream in(std::string(c.line) + "NOOP\r\n", piece);
            FtpRequestReader request;
            request.Read(in, 100);
            EXPECT_STREQ(request.Command(), c.word);
            if (c.argument == nullptr)
                EXPECT_EQ(request.argument, nullptr);
            else
                EXPECT_STREQ(request.argument, c.argument);
            EXPECT_EQ(request.TransferDirection(), c.dir);
            FakeStream out;
            request.Write(out, 100);
            EXPECT_EQ(out.Written(), c.written);
            EXPECT_EQ(in.Unread(), "NOOP\r\n");
        }
    }
    for (const char* bad : {"NOOP\n", "\n", "\xff\xf4\xff\xf2\r\n"}) {
        FakeStream in(bad);
        FtpRequestReader request;
        EXPECT_THROW(request.Read(in, 100), ParseError) << bad;
    }

    // What PORT and EPRT name as the data address: one reading or none.
    const struct {
        const char* line;
        DataPortForm form;
        const char* address = nullptr;
        int port = 0;
    } ports[] = {
        {"PORT 127,0,0,1,4,1\r\n", DataPortForm::valid, "127.0.0.1", 1025},
        {"port 127,0,0,01,4,1\r\n", DataPortForm::valid, "127.0.0.1", 1025},
        {"PORT 10,0,0,7,0,0\r\n", DataPortForm::malformed},
        {"PORT 127,0,0,1,4\r\n", DataPortForm::malformed},
        {"PORT 127,0,0,1,4,1 \r\n", DataPortForm::malformed},
        {"PORT\r\n", DataPortForm::malformed},
        {"EPRT |1|127.0.0.1|1025|\r\n", DataPortForm::valid, "127.0.0.1", 1025},
        {"eprt !1!10.0.0.7!65535!\r\n", DataPortForm::valid, "10.0.0.7", 65535},
        {"EPRT |2|::1|1025|\r\n", DataPortForm::otherProtocol},
        {"EPRT |1|127.1|1025|\r\n", DataPortForm::malformed},
        {"EPRT |1|127.0.0.01|1025|\r\n", DataPortForm::malformed},
        {"EPRT |1|127.0.0.1|0x401|\r\n", DataPortForm::malformed},
        {"EPRT |1|127.0.0.1|1025\r\n", DataPortForm::malformed},
        {"EPRT |1|127.0.0.1|1025|x\r\n", DataPortForm::malformed},
        {"EPRT 111271270.0.0.11102511\r\n", DataPortForm::malformed},
        {"EPRT 127,0,0,1,4,1\r\n", DataPortForm::malformed},
        {"LIST |1|127.0.0.1|1025|\r\n", DataPortForm::malformed},
    };
    for (const auto& p : ports) {
        FakeStream in(p.line);
        FtpRequestReader request;
        request.Read(in, 100);
        std::string address = "untouched";
        int port = -1;
        EXPECT_EQ(request.DataPort(address, port), p.form) << p.line;
        EXPECT_EQ(address, p.form == DataPortForm::valid ? p.address : "untouched") << p.line;
        if (p.form == DataPortForm::valid) {
            EXPECT_EQ(port, p.port) << p.line;
        }
    }
}

TEST(FtpTransferTest, HostPortTextsConvertBothWays) {
    const struct {
        const char* text;
        bool ok;
        const char* address;
        int port;
    } unpack[] = {
        {"10,0,0,7,4,1", true, "10.0.0.7", 1025},
        {" \t10,1,2,3,195,80", true, "10.1.2.3", 50000},
        {"10,0,0,7,4", false, "", 0},
        {"1000,0,0,7,4,1", false, "", 0},
        {"10,0,0,7,4,", false, "", 0},
        {"10,0,0,7,,1", false, "", 0},
        {"0,0,7,4,1", false, "", 0},
        {"10,0,0,7,256,1", false, "", 0},
        {",4,1", false, "", 0},
        {"300,0,0,1,4,1", false, "", 0},
        {"10,0,0,x,4,1", false, "", 0},
        {"10,0,0,7,4,1x", false, "", 0},
        {"10,0,0,7,4,1,9", false, "", 0},
        {"10, 0,0,7,4,1", false, "", 0},
        {"010,000,0,7,4,1", true, "10.0.0.7", 1025},
    };
    for (const auto& u : unpack) {
        std::string address;
        int port = -1;
        EXPECT_EQ(FTPUnpackIP(u.text, address, port), u.ok) << u.text;
        if (!u.ok) continue;
        EXPECT_EQ(address, u.address);
        EXPECT_EQ(port, u.port);
    }
    std::string text;
    EXPECT_TRUE(PackIP("192.168.1.2", 5001, text));
    EXPECT_EQ(text, "192,168,1,2,19,137");
    for (const char* bad : {"192.168.1", "1.2.3.4.5", "1..2.3", "1.2.3.4567"})
        EXPECT_FALSE(PackIP(bad, 21, text)) << bad;
}

TEST(FtpTransferTest, ProxyLoginAttempts) {
    struct Case {
        std::string input;
        unsigned char result;
        std::string written;
        std::string host = {}, port = {}, user = {}, serverLogin = {}, password = {},
                    serverPassword = {};
    };
    const std::string need = needPwd;
    const Case cases[] = {
        {"USER 10.0.0.5 2121$alice$anon\r\nPASS pw$spw$x\r\n", 0, need, "10.0.0.5", "2121", "alice",
         "anon", "pw", "spw$x"},
        {"user 10.0.0.5$alice$bob$x\r\npass a$\r\n", 0, need, "10.0.0.5", "21", "alice", "bob$x",
         "a", ""},
        {"USER  \t10.0.0.5 $alice$bob\r\nPASS a$b\r\n", 0, need, "10.0.0.5", "21", "alice", "bob",
         "a", "b"},
        {"USERX$a$b\r\nPASS a$b\r\n", 0, need, "X", "21", "a", "b", "a", "b"},
        {"NOOP\r\nUSER h$a$b\r\nLIST\r\nPASS a$b\r\n", 0, userCmdBadReply + need + passCmdBadReply,
         "h", "21", "a", "b", "a", "b"},
        {"USER 10.0.0.5\r\nPASS a$b\r\n", 2, need + IncorrectPrxLogin},
        {"USER h$a$b\r\nPASS nodollar\r\n", 2, need + IncorrectPrxLogin},
        {"USER 10.0.0.5 0021$a$b\r\nPASS a$b\r\n", 0, need, "10.0.0.5", "21", "a", "b", "a", "b"},
        // A port the rules would read otherwise than the connect: not a login at all.
        {"USER 10.0.0.5 0P$a$b\r\nPASS a$b\r\n", 2, need + IncorrectPrxLogin},
        {"USER 10.0.0.5 Px$a$b\r\nPASS a$b\r\n", 2, need + IncorrectPrxLogin},
        {"USER 10.0.0.5 65536$a$b\r\nPASS a$b\r\n", 2, need + IncorrectPrxLogin},
        {"USER h$a$b\r\nQuit\r\n", 1, need},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : kPieces) {
            SCOPED_TRACE(c.input + " piece " + std::to_string(piece));
            FakeStream in(c.input, piece);
            FakeStream out;
            FtpHandshakeRequest login;
            login.port = "21";
            EXPECT_EQ(login.Read(in, out, 100), c.result);
            EXPECT_EQ(out.Written(), c.written);
            if (c.result != 0) continue;
            EXPECT_EQ(login.host, c.host);
            EXPECT_EQ(login.port, c.port);
            EXPECT_EQ(login.user, c.user);
            EXPECT_EQ(login.serverLogin, c.serverLogin);
            EXPECT_EQ(login.password, c.password);
            EXPECT_EQ(login.serverPassword, c.serverPassword);
        }
    }
    FakeStream in("USER h$a$b\n");
    FakeStream out;
    FtpHandshakeRequest login;
    EXPECT_THROW(login.Read(in, out, 100), ParseError);
}

}  // namespace
}  // namespace alg
