// TCacheInspector: what vd-cache does with a cache directory. Reads judge
// every file with the driver's own readers (a ".sig" file as the signal
// buffer loads it, a ".que" file as the question buffer does), so a file the
// inspector calls valid is one the driver loads. Reading works while the
// driver runs (a file acknowledged meanwhile is skipped); requeue changes the
// cache and so refuses while another process holds the cache lock.
//
// Each command writes its result on out, a failure on err, and returns the
// exit code: 0 done, 1 failed or refused.
//
// Not thread-safe; the file system and clock are borrowed.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vd {

class IClock;
class IFileSystem;

class TCacheInspector {
 public:
  TCacheInspector(IFileSystem& fs, const IClock& clock, std::string cache_directory);

  // Pending signals (file, age, HN, Code, port), then the events and
  // questions (file, age, frame type, event text), each oldest first by the
  // time they hold (TimeIn, SourceTime), never by file name.
  int List(std::ostream& out, std::ostream& err);
  // Every field of one file of the directory (a ".error" file too: read as
  // the kind its name had, with the reason it cannot be read).
  int Show(const std::string& file, std::ostream& out, std::ostream& err);
  // Each ".error" file and why it cannot be read now.
  int Errors(std::ostream& out, std::ostream& err);
  // Renames NAME.error back to NAME when NAME is a ".sig" or ".que" name, it
  // is free, and the file now reads as a valid file of its kind; the driver
  // loads it at its next start.
  int Requeue(const std::string& file, std::ostream& out, std::ostream& err);
  // Counts and bytes of each kind, the oldest pending signal and event, the
  // free space, whether a driver holds the cache and the watchdog's stalls.
  int Stats(std::ostream& out, std::ostream& err);

 private:
  struct Entry;
  // Every file of the directory, read and judged; false (and the reason on
  // err) when the directory cannot be listed.
  bool Scan(std::vector<Entry>& entries, std::ostream& err);
  Entry Read(const std::string& name);
  int64_t NowSeconds() const;

  IFileSystem& fs_;
  const IClock& clock_;
  const std::string directory_;  // ends with "/"
};

// A duration for people: "42s", "5m07s", "3h05m", "2d04h".
std::string FormatAge(int64_t seconds);

}  // namespace vd
