// The server's HTTP response: its reader with unchunk and ungzip, the charset searches over
// its header lines and body, and the write with gzip put back.
#include "fuzz_input.h"
#include "http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    fuzz::Input in(data, size);
    test::FakeStream& stream = in.stream;
    if (in.selector == 1) {
        // The searches alone, over any text.
        const std::string text = stream.Unread();
        HttpCharset::FromPage(text);
        HttpCharset::IsTextHtml(text);
        HttpCharset::FromHeader(text);
        return 0;
    }
    fuzz::Refusals([&] {
        HttpResponse response;
        const bool hasBody = response.Read(stream, fuzz::kTimeout);
        for (const std::string& line : response.headers) {
            HttpCharset::IsTextHtml(line);
            HttpCharset::FromHeader(line);
        }
        if (hasBody) HttpCharset::FromPage(response.body);
        test::FakeStream out;
        response.Write(out, fuzz::kTimeout);
    });
    return 0;
}
