#include "header_text.h"

#include <gmime/gmime.h>

#include <memory>
#include <mutex>

namespace alg {

namespace {

void InitializeOnce() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

struct GFree {
    void operator()(char* text) const { g_free(text); }
};
using GText = std::unique_ptr<char, GFree>;

}  // namespace

std::string DecodeHeaderText(std::string_view value) {
    InitializeOnce();
    const std::string text(value);
    const GText decoded(g_mime_utils_header_decode_text(nullptr, text.c_str()));
    return decoded ? std::string(decoded.get()) : text;
}

std::string EncodeHeaderText(std::string_view text) {
    InitializeOnce();
    std::size_t blanks = 0;
    while (blanks < text.size() && (text[blanks] == ' ' || text[blanks] == '\t')) ++blanks;
    const std::string rest(text.substr(blanks));
    const GText encoded(g_mime_utils_header_encode_text(nullptr, rest.c_str(), "utf-8"));
    std::string result(text.substr(0, blanks));
    result += encoded ? encoded.get() : rest.c_str();
    // GMime puts control characters into encoded words; should one ever pass as it is, it
    // must not start a header line of its own.
    for (char& c : result)
        if (c == '\r' || c == '\n') c = ' ';
    return result;
}

}  // namespace alg
