// The server's HTTP response: its reader with unchunk and ungzip, the framing a body passed on
// as it arrives would follow (the chunked follower over the same bytes), the charset searches
// over its header lines and body, and the write with gzip put back; and the searches alone over
// any text.
#include "chunked_framing.h"
#include "fuzz_input.h"
#include "http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    fuzz::RunOne(
        data, size,
        [](test::FakeStream& peer) {
            HttpResponse response;
            const bool chunked = response.ReadHead(peer, fuzz::kTimeout);
            response.StreamedHead(chunked);
            if (response.BodyFraming("GET", chunked).kind == HttpBodyFraming::Kind::chunked) {
                ChunkedFraming follower;
                const std::string rest = peer.Unread();
                try {
                    for (std::size_t at = 0; at < rest.size() && !follower.Complete(); at += 7)
                        follower.Scan(std::string_view(rest).substr(at, 7));
                } catch (const FramingError&) {
                }
            }
            const bool hasBody = response.ReadBody(peer, fuzz::kTimeout, chunked);
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
