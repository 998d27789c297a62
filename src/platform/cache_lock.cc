#include "platform/cache_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "support/file_utils.h"
#include "support/text_utils.h"

namespace vd {
namespace {

std::string LockPath(const std::string& cache_directory) {
  return IncludeTrailingSlash(cache_directory) + kCacheLockFileName;
}

int OpenRetrying(const std::string& path, int flags) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int TryLock(int fd) {
  int result = -1;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result;
}

int64_t ReadProcessId(int fd) {
  char text[32] = {};
  const ssize_t size = ::pread(fd, text, sizeof text - 1, 0);
  if (size <= 0) return 0;
  try {
    return ParseInt64(TrimBlanks(std::string_view(text, static_cast<size_t>(size))));
  } catch (...) {
    return 0;
  }
}

// Opens (creating it when missing) and locks the lock file of directory, or
// the directory itself, waiting up to wait_ms for a holder that lets go, and
// writes this process's id into the lock file; its descriptor.
int TakeLock(const std::string& directory, TCacheLock::Kind kind, int wait_ms) {
  const bool whole = kind == TCacheLock::Kind::kDirectory;
  const std::string path = whole ? directory : LockPath(directory);
  const int fd = OpenRetrying(path, whole ? O_RDONLY | O_DIRECTORY : O_RDWR | O_CREAT);
  if (fd < 0) throw MakeOSError(errno, "open", path);
  constexpr int kSliceMs = 50;
  int locked = TryLock(fd);
  for (int waited = 0; locked != 0 && errno == EWOULDBLOCK && waited < wait_ms;
       waited += kSliceMs) {
    ::usleep(kSliceMs * 1000);
    locked = TryLock(fd);
  }
  if (locked != 0) {
    const int error = errno;
    const int64_t holder = whole ? 0 : ReadProcessId(fd);
    ::close(fd);
    if (error == EWOULDBLOCK) {
      throw ECacheInUse("Cache directory " + directory + " is in use by another process" +
                        (whole ? "" : " (process id " + std::to_string(holder) + ")"));
    }
    throw MakeOSError(error, "lock", path);
  }
  if (whole) return fd;
  // Only for the message of a refused process: a failure here changes nothing.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
  return fd;
}

}  // namespace

TCacheLock::TCacheLock(const std::string& cache_directory, Kind kind)
    : directory_(IncludeTrailingSlash(cache_directory)),
      kind_(kind),
      fd_(TakeLock(directory_, kind_, kRetryWindowMs)) {}

void TCacheLock::TakeAgain() {
  const int fd = TakeLock(directory_, kind_, 0);
  ::close(fd_);
  fd_ = fd;
}

TCacheLock::~TCacheLock() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

int64_t TCacheLock::Holder(const std::string& cache_directory) {
  const int fd = OpenRetrying(LockPath(cache_directory), O_RDONLY);
  if (fd < 0) return 0;
  int64_t holder = 0;
  if (TryLock(fd) != 0) {
    holder = ReadProcessId(fd);
    if (holder == 0) holder = -1;  // held, by a process that wrote no id yet
  }
  ::close(fd);  // releases a lock taken just now
  return holder;
}

}  // namespace vd
