#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace vd {

class IFileSystem;
class ILogWriter;

// The cache directory both buffers keep their files in, and what happens
// when it goes while the driver runs (removed by hand).
//
// The first buffer whose write finds the directory gone makes it again
// (RecreateIfMissing), which then calls on_recreated: the service takes its
// cache lock in the new directory, so that a second driver cannot start on
// it. Generation counts the recreations; a buffer that sees it change knows
// that the files of everything it holds went with the old directory and
// writes them again, and the signal buffer then raises the one event that
// tells the operator.
//
// Borrowed collaborators must outlive the object. Safe to call from any
// thread. RecreateIfMissing runs with a buffer's lock possibly held, so
// on_recreated must not call into a buffer; the log's lock is taken after
// mutex_.
class TCacheDirectory {
 public:
  // on_recreated may raise: the failure is logged and kept for the event.
  TCacheDirectory(IFileSystem& fs, ILogWriter& log, std::string path,
                  std::function<void()> on_recreated = {});

  TCacheDirectory(const TCacheDirectory&) = delete;
  TCacheDirectory& operator=(const TCacheDirectory&) = delete;

  const std::string& Path() const { return path_; }  // ends with "/"

  // After a failed write: makes the directory again when it has gone (log
  // line "Cache directory recreated: <dir>") and calls on_recreated; true
  // when it did, so that the write is worth one more try. Never raises.
  bool RecreateIfMissing() noexcept;

  // How often the directory was made again.
  uint64_t Generation() const noexcept { return generation_.load(std::memory_order_acquire); }

  // Empty when on_recreated succeeded at the latest recreation (or none
  // happened); otherwise its error text.
  std::string LockFailure() const;

 private:
  IFileSystem& fs_;
  ILogWriter& log_;
  const std::string path_;
  const std::function<void()> on_recreated_;

  mutable std::mutex mutex_;
  std::string lock_failure_;  // guarded by mutex_
  std::atomic<uint64_t> generation_{0};
};

}  // namespace vd
