#pragma once

#include <string>
#include <string_view>

namespace vd {

// The driver's texts are UTF-8; Windows' wide calls take UTF-16. A byte
// sequence that is no valid UTF-8 (or a lone surrogate) becomes U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);

// One argument of a command line as CommandLineToArgvW splits it again:
// quoted when it is empty or holds a blank or a quote, backslashes doubled
// before a quote.
std::wstring QuotedArgument(const std::wstring& argument);

}  // namespace vd
