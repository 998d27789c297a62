#include <windows.h>
// after windows.h
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "platform/cache_lock.h"
#include "platform/windows_error.h"
#include "platform/windows_text.h"
#include "support/file_utils.h"
#include "support/text_utils.h"

namespace vd {
namespace {

std::string LockPath(const std::string& cache_directory) {
  return IncludeTrailingSlash(cache_directory) + kCacheLockFileName;
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// Shared for reading and writing, so that another process can open the file
// and find the lock (LockFileEx) taken.
int Open(const std::string& path, int flags) {
  int fd = -1;
  const std::wstring wide = WideFromUtf8(path);
  if (::_wsopen_s(&fd, wide.c_str(), flags | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                  _S_IREAD | _S_IWRITE) != 0) {
    return -1;
  }
  return fd;
}

// True when the lock is taken; otherwise the Windows error in error.
bool TryLock(int fd, DWORD& error) {
  OVERLAPPED at{};
  if (::LockFileEx(HandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &at)) {
    return true;
  }
  error = ::GetLastError();
  return false;
}

// The holder's id is written after the locked byte range, which another
// process may not read while the lock is held.
constexpr LONGLONG kProcessIdOffset = 16;

int64_t ReadProcessId(int fd) {
  char text[32] = {};
  if (::_lseeki64(fd, kProcessIdOffset, SEEK_SET) < 0) return 0;
  const int size = ::_read(fd, text, sizeof text - 1);
  if (size <= 0) return 0;
  try {
    return ParseInt64(TrimBlanks(std::string_view(text, static_cast<size_t>(size))));
  } catch (...) {
    return 0;
  }
}

// Opens (creating it when missing) and locks the lock file of directory,
// waiting up to wait_ms for a holder that lets go, and writes this process's
// id into it; its descriptor.
int TakeLock(const std::string& directory, int wait_ms) {
  const std::string path = LockPath(directory);
  const int fd = Open(path, _O_RDWR | _O_CREAT);
  if (fd < 0) throw LastWindowsError("open", path);
  constexpr int kSliceMs = 50;
  DWORD error = 0;
  bool locked = TryLock(fd, error);
  for (int waited = 0; !locked && error == ERROR_LOCK_VIOLATION && waited < wait_ms;
       waited += kSliceMs) {
    ::Sleep(kSliceMs);
    locked = TryLock(fd, error);
  }
  if (!locked) {
    const int64_t holder = ReadProcessId(fd);
    ::_close(fd);
    if (error == ERROR_LOCK_VIOLATION) {
      throw ECacheInUse("Cache directory " + directory +
                        " is in use by another process (process id " + std::to_string(holder) +
                        ")");
    }
    throw MakeWindowsError(error, "lock", path);
  }
  // Only for the message of a refused process: a failure here changes nothing.
  const std::string pid = std::to_string(::GetCurrentProcessId()) + "\r\n";
  if (::_chsize_s(fd, kProcessIdOffset) == 0 &&
      ::_lseeki64(fd, kProcessIdOffset, SEEK_SET) == kProcessIdOffset) {
    [[maybe_unused]] const int written =
        ::_write(fd, pid.data(), static_cast<unsigned>(pid.size()));
  }
  return fd;
}

}  // namespace

TCacheLock::TCacheLock(const std::string& cache_directory)
    : directory_(IncludeTrailingSlash(cache_directory)),
      fd_(TakeLock(directory_, kRetryWindowMs)) {}

void TCacheLock::TakeAgain() {
  const int fd = TakeLock(directory_, 0);
  ::_close(fd_);
  fd_ = fd;
}

TCacheLock::~TCacheLock() {
  if (fd_ >= 0) ::_close(fd_);  // releases the lock
}

int64_t TCacheLock::Holder(const std::string& cache_directory) {
  const int fd = Open(LockPath(cache_directory), _O_RDONLY);
  if (fd < 0) return 0;
  int64_t holder = 0;
  DWORD error = 0;
  if (TryLock(fd, error)) {
    OVERLAPPED at{};
    ::UnlockFileEx(HandleOf(fd), 0, 1, 0, &at);
  } else {
    holder = ReadProcessId(fd);
    if (holder == 0) holder = -1;  // held, by a process that wrote no id yet
  }
  ::_close(fd);
  return holder;
}

}  // namespace vd
