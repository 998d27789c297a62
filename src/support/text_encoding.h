#pragma once

#include <string>
#include <string_view>

namespace vd {

// Signal texts are single-byte Windows-1250 strings; files, logs and XML
// documents are UTF-8. Every one of the 256 byte values survives the round
// trip Win1250ToUtf8 -> Utf8ToWin1250: the five bytes the code page leaves
// undefined (0x81, 0x83, 0x88, 0x90, 0x98) map to U+0081, U+0083, U+0088,
// U+0090 and U+0098.
std::string Win1250ToUtf8(std::string_view bytes);

// UTF-8 to Windows-1250; a character the code page cannot hold, and a byte
// that is no valid UTF-8, become "?".
std::string Utf8ToWin1250(std::string_view utf8);

}  // namespace vd
