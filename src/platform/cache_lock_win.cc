#include <windows.h>
// after windows.h
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdio>

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

// A read-only directory holds no lock file; a named mutex, one per path
// (letters and separators folded as the file system folds them), stands for
// its lock. Global, so that the service and a program run by hand in another
// session see each other; local when this process may not create global
// objects.
HANDLE TakeDirectoryMutex(const std::string& directory) {
  uint64_t hash = 14695981039346656037ULL;  // FNV-1a
  for (const char c : directory) {
    const char folded = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c == '\\' ? '/' : c;
    hash = (hash ^ static_cast<unsigned char>(folded)) * 1099511628211ULL;
  }
  char name[48];
  std::snprintf(name, sizeof name, "VolterDirectDrv_Cache_%016llX",
                static_cast<unsigned long long>(hash));
  for (const char* scope : {"Global\\", "Local\\"}) {
    const std::wstring wide = WideFromUtf8(scope + std::string(name));
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, wide.c_str());
    const DWORD error = ::GetLastError();
    if (mutex == nullptr) {
      if (error == ERROR_ACCESS_DENIED && scope[0] == 'G') continue;
      throw MakeWindowsError(error, "create the lock of", directory);
    }
    if (error == ERROR_ALREADY_EXISTS) {
      ::CloseHandle(mutex);
      throw ECacheInUse("Cache directory " + directory + " is in use by another process");
    }
    return mutex;
  }
  throw MakeWindowsError(ERROR_ACCESS_DENIED, "create the lock of", directory);
}

}  // namespace

TCacheLock::TCacheLock(const std::string& cache_directory, Kind kind)
    : directory_(IncludeTrailingSlash(cache_directory)), kind_(kind) {
  if (kind_ == Kind::kDirectory) {
    mutex_ = TakeDirectoryMutex(directory_);
  } else {
    fd_ = TakeLock(directory_, kRetryWindowMs);
  }
}

void TCacheLock::TakeAgain() {
  if (kind_ == Kind::kDirectory) return;  // the mutex stands for the path, not the directory
  const int fd = TakeLock(directory_, 0);
  ::_close(fd_);
  fd_ = fd;
}

TCacheLock::~TCacheLock() {
  if (fd_ >= 0) ::_close(fd_);  // releases the lock
  if (mutex_ != nullptr) ::CloseHandle(mutex_);
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
