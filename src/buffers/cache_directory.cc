#include "buffers/cache_directory.h"

#include <utility>

#include "support/errors.h"
#include "support/file_utils.h"
#include "support/log_writer.h"

namespace vd {

TCacheDirectory::TCacheDirectory(IFileSystem& fs, ILogWriter& log, std::string path,
                                 std::function<void()> on_recreated)
    : fs_(fs),
      log_(log),
      path_(IncludeTrailingSlash(std::move(path))),
      on_recreated_(std::move(on_recreated)) {}

bool TCacheDirectory::RecreateIfMissing() noexcept {
  // One at a time, so that two buffers failing at once make it (and take
  // the lock) once.
  std::lock_guard<std::mutex> lock(mutex_);
  if (!RecreateMissingDirectory(fs_, log_, path_)) return false;
  try {
    lock_failure_.clear();
    if (on_recreated_) on_recreated_();
  } catch (...) {
    try {
      lock_failure_ = CurrentExceptionText();
      log_.LogWrite("Cache lock not taken again: " + lock_failure_);
    } catch (...) {
    }
  }
  generation_.fetch_add(1, std::memory_order_acq_rel);
  return true;
}

std::string TCacheDirectory::LockFailure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lock_failure_;
}

}  // namespace vd
