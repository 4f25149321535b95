// The client's HTTP request: the steps of HttpRequest::Read but the host look-up (which would
// reach the resolver), the proxy credentials and the origin-form write.
#include "fuzz_input.h"
#include "http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    fuzz::Input in(data, size);
    test::FakeStream& stream = in.stream;
    fuzz::Refusals([&] {
        HttpRequest request;
        stream.ReadToTermChar(request.method, ' ', fuzz::kTimeout, HttpLimits::kLine);
        request.CheckMethod();
        request.ReadURI(stream, fuzz::kTimeout);
        stream.ReadToTermChar(request.version, '\n', fuzz::kTimeout, HttpLimits::kLine);
        request.ReadOptions(stream, fuzz::kTimeout);
        request.ReadBody(stream, fuzz::kTimeout);
        request.ExtractAuthInfo();
        std::string value;
        for (const char* name : {"URL", "METHOD", "Host", "Port"}) request.GetPropVal(name, value);
        test::FakeStream out;
        request.Write(out, fuzz::kTimeout);
    });
    return 0;
}
