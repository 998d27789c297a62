#include "platform/disk_space.h"

#include <sys/statvfs.h>

#include <cerrno>

#include "support/errors.h"

namespace vd {

int64_t FreeDiskBytes(const std::string& path) {
  struct statvfs info {};
  int result = -1;
  do {
    result = ::statvfs(path.c_str(), &info);
  } while (result != 0 && errno == EINTR);
  if (result != 0) throw MakeOSError(errno, "statvfs", path);
  return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
}

}  // namespace vd
