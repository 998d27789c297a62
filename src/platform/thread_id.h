#pragma once

#include <cstdint>

namespace vd {

// The operating system's identifier of the calling thread (as in log lines).
int64_t CurrentThreadId();

// Names the calling thread for ps, top and debuggers (at most 15 bytes are
// kept). Failures are ignored.
void SetCurrentThreadName(const char* name);

}  // namespace vd
