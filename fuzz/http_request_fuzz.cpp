// The client's HTTP request: the steps of HttpRequest::Read but the host look-up (which would
// reach the resolver), the proxy credentials and the origin-form write.
#include "fuzz_input.h"
#include "http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    fuzz::RunOne(data, size, [](test::FakeStream& peer) {
        HttpRequest request;
        peer.ReadToTermChar(request.method, ' ', fuzz::kTimeout, HttpLimits::kLine);
        request.CheckMethod();
        request.ReadURI(peer, fuzz::kTimeout);
        peer.ReadToTermChar(request.version, '\n', fuzz::kTimeout, HttpLimits::kLine);
        request.ReadOptions(peer, fuzz::kTimeout);
        request.ReadBody(peer, fuzz::kTimeout);
        request.ExtractAuthInfo();
        std::string value;
        for (const char* name : {"URL", "METHOD", "Host", "Port"}) request.GetPropVal(name, value);
        test::FakeStream out;
        request.Write(out, fuzz::kTimeout);
    });
    return 0;
}
