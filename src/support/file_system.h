#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vd {

// What Stat tells about a path. A missing path has exists == false and the
// other fields zero.
struct FileInfo {
  bool exists = false;
  bool is_directory = false;
  bool read_only = false;
  // POSIX: the mode lets every local user read it (S_IROTH). Always false on
  // Windows, where access lists decide.
  bool readable_by_others = false;
  int64_t size = 0;
  int64_t modified_unix_ms = 0;  // last write, UTC
};

// The file system as the driver sees it. Every file access of the driver goes
// through this seam so that tests can make any step fail (see
// tests/fakes/fault_file_system.h). Paths use "/"; directory paths may end
// with "/". Failures are raised as EOSError naming the operation and the path.
// Implementations are safe to call from any thread.
class IFileSystem {
 public:
  virtual ~IFileSystem() = default;

  // Never raises: a path that cannot be examined reads as missing.
  virtual FileInfo Stat(const std::string& path) = 0;

  // Whether this process may append to the existing file at path or, for a
  // directory, create entries in it, as the system judges it for this
  // process's user (permissions, access lists, a read-only mount). The
  // owner's write bit alone says nothing about another user. False when the
  // path is missing; never raises.
  virtual bool IsWritable(const std::string& path) = 0;

  // Names of the entries of a directory (files and subdirectories, without
  // "." and ".."), in the order the system returns them.
  virtual std::vector<std::string> ListDirectory(const std::string& dir) = 0;

  // Creates the directory and every missing parent; an existing one is fine.
  virtual void CreateDirectories(const std::string& dir) = 0;

  // The whole content of a file. Raises when the file is larger than max_size.
  virtual std::string ReadFile(const std::string& path, int64_t max_size) = 0;

  // Creates or replaces the file with data. With sync the data is flushed to
  // stable storage before the call returns.
  virtual void WriteFile(const std::string& path, std::string_view data, bool sync) = 0;

  // Opens the file for appending (creating it if missing), writes data at its
  // end in one piece and closes it again; returns the size after the write.
  virtual int64_t AppendFile(const std::string& path, std::string_view data) = 0;

  // Renames from to to. With replace false an existing target makes it fail.
  virtual void Rename(const std::string& from, const std::string& to, bool replace) = 0;

  virtual void DeleteFile(const std::string& path) = 0;

  // Flushes the directory entry changes (creations, renames, deletions) of
  // dir to stable storage.
  virtual void SyncDirectory(const std::string& dir) = 0;
};

}  // namespace vd
