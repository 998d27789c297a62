#pragma once

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/file_system.h"

namespace vd {

// Wraps a real file system (normally a HostFileSystem on a temporary
// directory) and makes its operations fail on demand, counts them, and can
// simulate a power cut. Safe to use from any thread; the switches may be
// flipped at any time. Every call into the wrapped file system happens under
// one internal lock, so calls are serialised.
//
// Injected failures (raised as EOSError like the real ones):
// - fail_write / no_space: WriteFile writes the first half of the data
//   (create-or-truncate included) and raises EIO / ENOSPC; AppendFile writes
//   nothing and raises.
// - fail_flush: a WriteFile with sync writes all data but does not sync it,
//   then raises EIO; SyncDirectory raises EIO and syncs nothing.
// - fail_rename: the operation raises EIO and changes
//   nothing.
// - FailNext(op, n): the n-th next call of op fails as above (with the given
//   error code), once.
// - IsWritable fails by answering false (a file or directory this process
//   may not write), through FailNext or on_call.
//
// Power-cut model. Only files are modelled; directories are durable as soon
// as they are created. A path is taken into the model the first time an
// operation changes it; what it holds at that moment counts as durable.
// From then on:
// - file data becomes durable only through WriteFile with sync (the data
//   written) - an unsynced WriteFile or AppendFile leaves the file's durable
//   data as it was before;
// - a directory entry change (creation by WriteFile or AppendFile, Rename,
//   DeleteFile) becomes durable only when SyncDirectory is called for the
//   directory holding that entry (for Rename: each of the two entries with
//   its own directory).
// SimulatePowerCut() rewrites the wrapped file system to the durable state:
// a path whose durable entry is absent is deleted; a path whose durable entry
// names a file gets that file's durable data (an empty file when its data was
// never synced). Afterwards the model starts afresh. Examples: a file written
// without sync and never synced vanishes (new) or reverts to its earlier
// synced content (rewritten in place); a rename not followed by
// SyncDirectory is undone; an appended file keeps only its synced content.
class FaultFileSystem final : public IFileSystem {
 public:
  enum class Operation {
    kStat,
    kListDirectory,
    kCreateDirectories,
    kReadFile,
    kWriteFile,
    kAppendFile,
    kRename,
    kDeleteFile,
    kSyncDirectory,
    kIsWritable,
  };
  static constexpr int kOperationCount = 10;

  // target must outlive this object.
  explicit FaultFileSystem(IFileSystem& target);

  FileInfo Stat(const std::string& path) override;
  bool IsWritable(const std::string& path) override;
  std::vector<std::string> ListDirectory(const std::string& dir) override;
  void CreateDirectories(const std::string& dir) override;
  std::string ReadFile(const std::string& path, int64_t max_size) override;
  void WriteFile(const std::string& path, std::string_view data, bool sync) override;
  int64_t AppendFile(const std::string& path, std::string_view data) override;
  void Rename(const std::string& from, const std::string& to, bool replace) override;
  void DeleteFile(const std::string& path) override;
  void SyncDirectory(const std::string& dir) override;

  // Makes the nth next call of op fail once (nth 1 is the very next call).
  // Stat cannot fail. A later FailNext for the same op replaces this one.
  void FailNext(Operation op, int nth = 1, int error_code = EIO);

  // How many calls of op were made (failed ones included).
  int Calls(Operation op) const;

  // Reverts the wrapped file system to what would survive a power cut now.
  void SimulatePowerCut();

  std::atomic<bool> fail_write{false};
  std::atomic<bool> no_space{false};
  std::atomic<bool> fail_flush{false};
  std::atomic<bool> fail_rename{false};

  // When set, called at the start of every call except Stat, before the
  // call's lock is taken, with the operation and its (first) path. Lets a
  // test hold a call back, look at the disk just before it, or make exactly
  // this call fail: a non-zero result is raised as that errno before the
  // call changes anything (it counts in Calls all the same). Set it before
  // the file system is shared between threads.
  std::function<int(Operation op, const std::string& path)> on_call;

 private:
  struct PendingFailure {
    int remaining = 0;  // calls until the failing one; 0 when none is armed
    int error_code = EIO;
  };

  // Calls on_call when set; raises (and counts the call) when it asks to.
  void Hook(Operation op, const std::string& path);
  // Counts the call and answers the errno it must fail with, or 0.
  int CountAndCheck(Operation op, bool switch_on, int switch_code);
  // Counts the call and raises EOSError(what, path) when it must fail.
  void CountAndMaybeThrow(Operation op, bool switch_on, int switch_code, const char* what,
                          const std::string& path);
  // Takes path into the model (see above) unless it is there already or is
  // a directory; returns whether the path is modelled.
  bool Adopt(const std::string& path);
  int NewInode(std::optional<std::string> synced_data);

  IFileSystem& target_;

  std::array<std::atomic<int>, kOperationCount> calls_{};

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  std::array<PendingFailure, kOperationCount> pending_{};
  // File identities: the data that survives for each (nullopt: never synced).
  std::map<int, std::optional<std::string>> inodes_;
  int next_inode_ = 1;
  // Modelled path -> file it names now (absent: no file there now).
  std::map<std::string, int> current_;
  // Modelled path -> file it names after a power cut (nullopt: none).
  std::map<std::string, std::optional<int>> durable_;
};

}  // namespace vd
