#pragma once

#include <cstdint>

namespace vd {

// The process's limit of open file descriptors.
struct OpenFileLimit {
  uint64_t Soft = 0;
  uint64_t Hard = 0;
};

// Raises the soft limit of open files to the hard limit and returns the
// limits in force afterwards. Raises EOSError when they cannot be read.
OpenFileLimit RaiseOpenFileLimit();

}  // namespace vd
