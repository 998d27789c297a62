#include "platform/open_file_limit.h"

namespace vd {

// Windows has no descriptor limit to raise: sockets and files are handles,
// of which a process may hold 2^24.
OpenFileLimit RaiseOpenFileLimit() {
  constexpr uint64_t kHandleLimit = uint64_t{1} << 24;
  return {kHandleLimit, kHandleLimit};
}

}  // namespace vd
