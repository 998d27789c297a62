#pragma once

#include "support/file_system.h"

namespace vd {

// The host's file system through the Windows calls (CreateFileW and its
// kin, UTF-8 paths widened; "/" and "\" both separate). Every failure is
// raised as EOSError naming the operation and the path (MakeWindowsError).
// Holds no state; safe to call from any thread. Files are opened with
// delete sharing, so that a file one thread reads can be renamed or deleted
// by another, as on POSIX.
//
// Durability: WriteFile with sync flushes the file (FlushFileBuffers);
// Rename moves with write-through (MoveFileEx MOVEFILE_WRITE_THROUGH), so
// the new name is on disk when it returns. Windows cannot flush a directory:
// SyncDirectory only checks that the directory is there, the renames having
// been written through already. AppendFile does not flush.
class WindowsFileSystem final : public IFileSystem {
 public:
  FileInfo Stat(const std::string& path) override;
  bool IsWritable(const std::string& path) override;
  std::vector<std::string> ListDirectory(const std::string& dir) override;
  void CreateDirectories(const std::string& dir) override;
  std::string ReadFile(const std::string& path, int64_t max_size) override;
  void WriteFile(const std::string& path, std::string_view data, bool sync) override;
  int64_t AppendFile(const std::string& path, std::string_view data) override;
  // With replace false an existing target is never overwritten (MoveFileEx
  // without MOVEFILE_REPLACE_EXISTING refuses it atomically).
  void Rename(const std::string& from, const std::string& to, bool replace) override;
  void DeleteFile(const std::string& path) override;
  void SyncDirectory(const std::string& dir) override;
};

}  // namespace vd
