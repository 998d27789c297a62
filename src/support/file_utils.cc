#include "support/file_utils.h"

#ifndef _WIN32
#include <fnmatch.h>
#endif

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <new>
#include <random>

#include "support/clock.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/log_writer.h"

namespace vd {
namespace {

// Name draws before UniqueFileName gives up. A directory would need every one
// of the 255 names of the current millisecond taken for many milliseconds on
// end; with a stuck clock (or a broken file system that reports every name
// as taken) this turns an endless loop into an error.
constexpr int kMaxNameDraws = 10000;

int RandomSuffix() {
  static std::mutex mutex;
  static std::mt19937 generator{std::random_device{}()};
  std::lock_guard<std::mutex> guard(mutex);
  return std::uniform_int_distribution<int>(0, 254)(generator);
}

}  // namespace

std::string DirectoryOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string FileNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string IncludeTrailingSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

std::string UniqueFileName(IFileSystem& fs, const IClock& clock, const std::string& dir,
                           std::string extension) {
  if (!extension.empty() && extension.front() != '.') extension.insert(0, ".");
  for (int draw = 0; draw < kMaxNameDraws; ++draw) {
    int64_t ticks = clock.Ticks(true) % 1000000;
    if (ticks < 0) ticks += 1000000;
    char stem[16];
    std::snprintf(stem, sizeof stem, "%06X%02X", static_cast<unsigned>(ticks),
                  static_cast<unsigned>(RandomSuffix()));
    std::string name = dir;
    name += stem;
    name += extension;
    if (!fs.Stat(name).exists) return name;
  }
  throw MakeOSError(EEXIST, "choose a free file name in", dir);
}

bool MatchesMask(std::string_view name, std::string_view mask) {
  if (mask == "*.*") return true;  // the system's rule: names without a dot match too
#ifdef _WIN32
  // "*" and "?" with ASCII letters folded, as the system's listing matches.
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  size_t n = 0;
  size_t m = 0;
  size_t star = std::string_view::npos;  // the last "*" seen, and where it began to match
  size_t resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (m < mask.size() && (mask[m] == '?' || fold(mask[m]) == fold(name[n]))) {
      ++n;
      ++m;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
#else
  // Masks are plain wildcards: no escapes, and a leading "." is no special case.
  return ::fnmatch(std::string(mask).c_str(), std::string(name).c_str(),
                   FNM_CASEFOLD | FNM_NOESCAPE) == 0;
#endif
}

int FindFiles(IFileSystem& fs, const std::string& dir, std::string_view mask,
              const std::function<void(const std::string& dir, const std::string& name)>& found) {
  int count = 0;
  for (const std::string& name : fs.ListDirectory(dir)) {
    if (!MatchesMask(name, mask)) continue;
    ++count;
    found(dir, name);
  }
  return count;
}

bool RenameToError(IFileSystem& fs, const std::string& path) {
  if (!fs.Stat(path).exists) return false;
  try {
    fs.Rename(path, path + ".error", false);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string TemporaryFileName(const std::string& path) { return path + ".tmp"; }

void WriteFileDurably(IFileSystem& fs, const std::string& path, std::string_view data, bool flush) {
  const std::string temporary = TemporaryFileName(path);
  try {
    fs.WriteFile(temporary, data, flush);
    fs.Rename(temporary, path, true);
  } catch (...) {
    try {
      if (fs.Stat(temporary).exists) fs.DeleteFile(temporary);
    } catch (...) {  // the original failure is the one worth reporting
    }
    throw;
  }
  // The file is complete under its name now; a failure here means only that
  // the new name may not survive a power cut.
  if (flush) {
    const std::string dir = DirectoryOf(path);
    fs.SyncDirectory(dir.empty() ? "./" : dir);
  }
}

void WriteNewFileDurably(IFileSystem& fs, const std::string& path, std::string_view data,
                         bool flush) {
  try {
    WriteFileDurably(fs, path, data, flush);
  } catch (...) {
    try {
      if (fs.Stat(path).exists) fs.DeleteFile(path);
    } catch (...) {  // the original failure is the one worth reporting
    }
    throw;
  }
}

bool RecreateMissingDirectory(IFileSystem& fs, ILogWriter& log, const std::string& dir) noexcept {
  try {
    if (fs.Stat(dir).exists) return false;
    fs.CreateDirectories(dir);
  } catch (...) {
    return false;
  }
  try {
    log.LogWrite("Cache directory recreated: " + dir);
  } catch (...) {
  }
  return true;
}

bool IsTransientFileError(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) return true;
  const auto* os_error = dynamic_cast<const EOSError*>(&error);
  if (os_error == nullptr) return false;
  switch (os_error->ErrorCode()) {
    case EIO:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case EAGAIN:
    case EBUSY:
    case EINTR:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

void RetryTransient(const std::function<void()>& load) {
  for (int attempt = 1;; ++attempt) {
    try {
      load();
      return;
    } catch (const std::exception& error) {
      if (attempt >= kCacheLoadAttempts || !IsTransientFileError(error)) throw;
    }
  }
}

void SetAsideUnreadableFile(IFileSystem& fs, ILogWriter& log, std::string_view kind,
                            const std::string& path, std::string_view why) {
  if (RenameToError(fs, path)) {
    log.LogWrite("Unreadable " + std::string(kind) + " file set aside as " + path +
                 ".error: " + std::string(why));
  } else {
    log.LogWrite("Cannot set aside unreadable " + std::string(kind) + " file: " + path);
  }
}

void RemoveUnfinishedFiles(IFileSystem& fs, ILogWriter& log, const std::string& dir,
                           std::string_view mask) {
  const std::string temporary_mask = TemporaryFileName(std::string(mask));
  std::vector<std::string> unfinished;
  FindFiles(fs, dir, temporary_mask, [&unfinished](const std::string& d, const std::string& name) {
    unfinished.push_back(d + name);
  });
  for (const std::string& path : unfinished) {
    if (fs.Stat(path).is_directory) continue;
    try {
      fs.DeleteFile(path);
      log.LogWrite("Removed unfinished cache file: " + path);
    } catch (...) {
      log.LogWrite("Cannot remove unfinished cache file: " + CurrentExceptionText());
    }
  }
}

}  // namespace vd
