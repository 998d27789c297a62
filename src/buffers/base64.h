#pragma once

#include <string>
#include <string_view>

namespace vd {

// Standard Base64 (alphabet A-Z a-z 0-9 + /, "=" padding, no line breaks),
// the encoding of the question bodies in the ".que" files.

std::string Base64Encode(std::string_view bytes);

// Raises EConvertError for anything that Base64Encode would not have written:
// a length that is not a multiple of four, a character outside the alphabet,
// misplaced padding or padding bits that are not zero.
std::string Base64Decode(std::string_view text);

}  // namespace vd
