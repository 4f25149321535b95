// The text of message header fields as mail readers show it: RFC 2047 encoded words
// ("=?utf-8?b?...?=") read into UTF-8 and written back. GMime does the work; it and GLib
// stay behind this header.
#pragma once

#include <string>
#include <string_view>

namespace alg {

// `value` (a header field's value, unfolded, without NUL) in UTF-8 with its encoded words
// decoded: words in a known charset converted from it, adjacent words joined as readers join
// them, text outside them read as UTF-8 or, where it is not, as a legacy 8-bit charset.
// A NUL an encoded word carries comes out as "?", so the result is always whole.
// Safe from any thread.
std::string DecodeHeaderText(std::string_view value);

// `text` (UTF-8) as a header value: the words that need it as UTF-8 encoded words, the
// others as they are, the leading blanks kept. The result is one line: it holds no CR, LF
// or NUL. Safe from any thread.
std::string EncodeHeaderText(std::string_view text);

}  // namespace alg
