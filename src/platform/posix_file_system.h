#pragma once

#include "support/file_system.h"

namespace vd {

// The host's file system through POSIX calls. Interrupted calls are retried;
// every failure is raised as EOSError naming the operation and the path.
// Holds no state; safe to call from any thread.
//
// Durability: WriteFile with sync and SyncDirectory reach stable storage
// (fsync); nothing else does. AppendFile does not sync (the session log
// accepts losing its last lines).
class PosixFileSystem final : public IFileSystem {
 public:
  FileInfo Stat(const std::string& path) override;
  bool IsWritable(const std::string& path) override;
  std::vector<std::string> ListDirectory(const std::string& dir) override;
  void CreateDirectories(const std::string& dir) override;
  std::string ReadFile(const std::string& path, int64_t max_size) override;
  void WriteFile(const std::string& path, std::string_view data, bool sync) override;
  int64_t AppendFile(const std::string& path, std::string_view data) override;
  // With replace false the target is never overwritten, not even by a file
  // created at the same moment (renameat2 with RENAME_NOREPLACE, or link and
  // unlink where the file system lacks it).
  void Rename(const std::string& from, const std::string& to, bool replace) override;
  void DeleteFile(const std::string& path) override;
  void SyncDirectory(const std::string& dir) override;
};

}  // namespace vd
