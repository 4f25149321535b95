// The command bus payloads the management service decodes from a gateway (status and message
// records, the loader's registration) and the poll replies the loader decodes from the service.
#include <string>
#include <string_view>

#include "alg-control.h"
#include "cfg_loader.h"
#include "cmdbus.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace alg;
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    std::string name, text;
    alg::ProxyInfo info;
    DecodeStatusRecord(payload, name, info);
    std::int32_t type = 0;
    DecodeMessageRecord(payload, type, name, text);
    DecodeRegistration(payload, name, text);
    CutReportedText(payload, 64);
    cmdbus::PayloadReader reader(payload);
    std::uint32_t word = 0;
    for (int i = 0; i < 64 && !reader.AtEnd(); ++i)
        if (!reader.U32(word) || !reader.Text(text)) break;
    fuzz::Refusals([&] { ParsePollReply(payload); });
    return 0;
}
