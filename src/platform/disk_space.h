#pragma once

#include <cstdint>
#include <string>

namespace vd {

// Bytes an unprivileged process may still write on the file system that
// holds path (statvfs: available blocks times the fragment size). Raises
// EOSError when path cannot be examined. Safe to call from any thread.
int64_t FreeDiskBytes(const std::string& path);

}  // namespace vd
