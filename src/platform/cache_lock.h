#pragma once

#include <cstdint>
#include <string>

#include "support/errors.h"

namespace vd {

// The lock file in the cache directory. It matches neither "*.sig" nor
// "*.que", so the buffers never load it.
inline constexpr char kCacheLockFileName[] = "VolterDirectDrv.lock";

// Another process holds the cache lock.
using ECacheInUse = ErrorKind<"ECacheInUse">;

// One process per cache directory: an exclusive flock on the lock file,
// taken without waiting and held for the object's life (the system drops it
// when the process ends, however it ends). The holder writes its process id
// into the file so that a refused process can name it.
//
// A read-only cache cannot hold a lock file; for it the lock is taken on the
// directory itself (POSIX: a flock on the directory; Windows: a named mutex
// for the directory's path), which names no holder and which Holder does not
// see.
//
// Owns the lock file's descriptor. Not thread-safe; made and destroyed by
// one thread (the start and stop sequences, the cache tool).
class TCacheLock {
 public:
  // Creates the lock file in cache_directory (which must exist) when missing
  // and takes the lock; a holder that lets go within kRetryWindowMs (the cache
  // tool looking whether the driver runs) is waited for. Raises ECacheInUse "Cache directory <dir>
  // is in use by another process (process id <pid>)" when another process holds it, and EOSError
  // when the file cannot be opened or locked.
  enum class Kind { kLockFile, kDirectory };

  explicit TCacheLock(const std::string& cache_directory, Kind kind = Kind::kLockFile);
  ~TCacheLock();

  TCacheLock(const TCacheLock&) = delete;
  TCacheLock& operator=(const TCacheLock&) = delete;

  static constexpr int kRetryWindowMs = 1000;

  // The cache directory was removed and made again: takes the lock on a new
  // lock file there, without waiting, and lets the old one go. Raises as the
  // constructor does and then keeps the old lock.
  void TakeAgain();

  // The process id written by the process holding the lock of
  // cache_directory; 0 when nobody holds it (or the directory has no lock
  // file), -1 when the holder wrote no id. Creates nothing; holds the lock
  // for a moment when it is free.
  static int64_t Holder(const std::string& cache_directory);

 private:
  const std::string directory_;  // ends with "/"
  const Kind kind_;
  int fd_ = -1;  // the locked file (POSIX, kDirectory: the directory)
#ifdef _WIN32
  void* mutex_ = nullptr;  // kDirectory: the named mutex
#endif
};

}  // namespace vd
