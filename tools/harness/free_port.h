#pragma once

#include <cstdint>

namespace vd {

// A loopback TCP port nobody listens on right now (0 when none could be
// found). Another process may take it before the caller binds it.
int32_t FreeLoopbackPort();

}  // namespace vd
