// The policy document read from memory as the loader reads a pushed policy, and written back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "alg_xml.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    alg::fuzz::Refusals([&] {
        ALGalgpolicyType policy;
        if (!policy.load("fuzz", reinterpret_cast<const char*>(data), static_cast<int>(size)))
            return;
        std::string out;
        policy.saveToStr(out);
    });
    return 0;
}
