#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/log_writer.h"
#include "support/version.h"

namespace vd {

class IClock;
class IFileSystem;

// What the log header says about the writing program. The service fills it
// from its own process; tests set it freely.
struct ProgramInfo {
  std::string executable_path;  // absolute, e.g. "/opt/volter/VolterDirectDrv"
  int64_t process_id = 0;
  std::string version = kDriverVersion;  // four parts "a.b.c.d"; empty: no version shown
};

// Resolves a log file specification against a default full file name:
// empty or "<default>" (any letter case) gives default_name; a relative name
// is taken in default_name's directory (a name whose first visible character
// is "/" only after leading blanks counts as relative, too); a name ending
// with "/" gets default_name's file name; a name without extension gets
// ".txt"; blanks around the result are trimmed and "." and ".." segments
// resolved.
std::string ResolveLogFileName(std::string_view spec, const std::string& default_name);

// The session log: one human-readable Polish text log per service run,
// written into a numbered series of files of limited size
// (<dir>/VolterDirectDrv_0001.txt, _0002 ...). Each file starts with a framed
// header naming the session and the program; switching to the next number
// leaves a closing note in the old file and a continuation line in the new
// one; a file changed or deleted by somebody else is reported by a warning
// block; the destructor writes the session's closing block.
//
// Every write opens, appends and closes the file (IFileSystem::AppendFile), so
// other programs may read, copy or delete the files while the service runs.
// Lines are UTF-8 and end with CR LF.
//
// When the service is given no usable directory the series falls back to
// "/[LOG]/" + the executable's name with extension ".txt".
//
// Threads: LogWrite, Write and EndSession are safe to call from any thread;
// lines of different threads never interleave. The file system and the clock
// must outlive the log. The log's lock is innermost: while holding it the log
// calls only the file system and the clock.
class TLogging final : public ILogWriter {
 public:
  // directory: where the series lives (normally absolute, ending with "/").
  // size_limit_kb: a file is full above this size (its absolute value is
  // used). delete_existing: a file of the series found on disk when the
  // session first selects it is deleted first. Creates no file yet.
  TLogging(IFileSystem& fs, const IClock& clock, const std::string& directory,
           int64_t size_limit_kb, bool delete_existing, const ProgramInfo& program);
  // Writes the closing block (EndSession).
  ~TLogging() override;

  TLogging(const TLogging&) = delete;
  TLogging& operator=(const TLogging&) = delete;

  // Write(text, true, "<default>"); never raises.
  void LogWrite(std::string_view text) override;

  // Appends one line (with the long timestamp and " | " in front when
  // with_timestamp) to the current file of the series named by file_spec
  // ("<default>" or a file name resolved by ResolveLogFileName). True when
  // the whole line was written; a failure is counted in the file's closing
  // note. Never raises.
  bool Write(std::string_view text, bool with_timestamp, std::string_view file_spec);

  // Writes the closing block of the session to the current file of every
  // series written to, and forgets the series. Called by the destructor.
  void EndSession();

  // The full name of the default series before numbering.
  const std::string& DefaultFileName() const { return default_file_name_; }

  // Milliseconds since 1970 on the local clock at construction.
  int64_t SessionStart() const { return session_start_ms_; }

  // Lines that Write could not write, since construction; safe to call from
  // any thread.
  uint64_t WriteErrors() const { return write_errors_.load(std::memory_order_relaxed); }

 private:
  struct TFileState {
    std::string Name;  // without directory
    int32_t Number = 0;
    int32_t Attempts = 0;
    int32_t Failed = 0;
    int64_t ExpectedSize = 0;
    bool ModifiedExternally = false;
    // A header was due but the line carrying it was not written: it is due
    // again on the next write to this file.
    bool HeaderPending = false;
  };

  struct TCreatedFile {
    std::string Spec;       // resolved full name before numbering
    std::string Directory;  // Spec's directory, ending with "/"
    std::vector<TFileState> Files;
    std::vector<int32_t> Order;  // indexes into Files; last is current
  };

  struct Selection {
    TCreatedFile* series = nullptr;
    int32_t current = 0;  // index into series->Files
    std::string header;   // framed header block, empty when none is due
  };

  bool WriteLocked(std::string_view text, bool with_timestamp, std::string_view file_spec,
                   int64_t utc_now_ms);
  Selection SelectFile(std::string_view file_spec, const std::string& now);
  void AddFile(TCreatedFile& series, int32_t number, bool& overwritten);
  int32_t NextFileNumber(const std::string& spec, int32_t start);
  std::string SessionLine() const;
  int64_t SessionClockMs() const;
  std::string LocalTimestamp(int64_t utc_ms) const;

  // Constant after construction.
  IFileSystem& fs_;
  const IClock& clock_;
  const int64_t size_limit_kb_;
  const int64_t size_limit_bytes_;
  const bool delete_existing_;
  const int64_t session_start_ms_;    // local clock
  const int64_t monotonic_at_start_;  // clock_.MonotonicMs() at construction
  std::string default_file_name_;
  std::string program_header_;

  std::mutex mutex_;
  std::vector<TCreatedFile> created_files_;  // guarded by mutex_
  std::atomic<uint64_t> write_errors_{0};
};

}  // namespace vd
