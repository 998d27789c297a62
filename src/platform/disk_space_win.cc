#include <windows.h>

#include "platform/disk_space.h"
#include "platform/windows_error.h"
#include "platform/windows_text.h"

namespace vd {

int64_t FreeDiskBytes(const std::string& path) {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(WideFromUtf8(path).c_str(), &available, nullptr, nullptr)) {
    throw LastWindowsError("GetDiskFreeSpaceEx", path);
  }
  return static_cast<int64_t>(available.QuadPart);
}

}  // namespace vd
