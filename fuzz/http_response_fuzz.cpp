// The server's HTTP response: its reader with unchunk and ungzip, the charset searches over
// its header lines and body, and the write with gzip put back; and the searches alone over
// any text.
#include "fuzz_input.h"
#include "http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    fuzz::RunOne(
        data, size,
        [](test::FakeStream& peer) {
            HttpResponse response;
            const bool hasBody = response.Read(peer, fuzz::kTimeout);
            for (const std::string& line : response.headers) {
                HttpCharset::IsTextHtml(line);
                HttpCharset::FromHeader(line);
            }
            if (hasBody) HttpCharset::FromPage(response.body);
            test::FakeStream out;
            response.Write(out, fuzz::kTimeout);
        },
        [](test::FakeStream& peer) {
            const std::string text = peer.Unread();
            HttpCharset::FromPage(text);
            HttpCharset::IsTextHtml(text);
            HttpCharset::FromHeader(text);
        });
    return 0;
}
