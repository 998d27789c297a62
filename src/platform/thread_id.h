#pragma once

#include <cstdint>

namespace vd {

// The operating system's identifier of the calling thread (as in log lines).
int64_t CurrentThreadId();

}  // namespace vd
