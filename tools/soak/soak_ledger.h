#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vd {

// The identifier a session-log line reports as stored: the Ext1 text of a
// "New signal added:" line. None for any other line, for a "New signal NOT
// added:" line and for a line cut short before the next field (a kill in the
// middle of the write), whose identifier could be a truncated one.
std::optional<std::string> AddedSignalId(std::string_view log_line);

// The Extension1 text of a signal line of the Kernel simulator's JSON output;
// none for events and other lines.
std::optional<std::string> DeliveredSignalId(std::string_view json_line);

// What a soak run saw, for its summary.
struct TSoakFigures {
  uint64_t Seed = 0;
  int Kills = 0;               // SIGKILLs sent to a running driver
  int KillsAtStart = 0;        // of those, before READY
  int KillsWhileStopping = 0;  // of those, after a SIGTERM
  int CleanStops = 0;          // SIGTERMs that ended the driver by themselves
  int Starts = 0;
  int SimulatorRestarts = 0;
  int LinkDrops = 0;
  int SilentRounds = 0;  // load phases with a Kernel that answered nothing
  size_t SignalsSent = 0;
  size_t SignalsAdded = 0;
  size_t SignalsDelivered = 0;  // distinct added or not
  size_t Lost = 0;
  size_t Duplicates = 0;  // acknowledged signal frames beyond the first per identifier
  int Hangs = 0;
  int TmpFindings = 0;
  int ErrorFindings = 0;
  int UnreadableFindings = 0;
  int FailedStops = 0;           // a clean stop that did not exit 0
  int64_t LongestRestartMs = 0;  // kill to the next READY
  double DurationSeconds = 0;
  std::vector<std::string> Problems;  // one line each, for the report
};

// Whether the run kept every promise: nothing lost, no hang, no leftover or
// set-aside file, every cache file readable, every clean stop exited 0.
bool SoakPassed(const TSoakFigures& figures);
std::string SoakSummaryText(const TSoakFigures& figures);
// The figures as one JSON object on one line (no line end).
std::string SoakSummaryJson(const TSoakFigures& figures);

// Reconciles what the driver logged as stored with what reached the Kernel.
// Single-threaded; owned by the soak's main thread.
class TSoakLedger {
 public:
  // Every "New signal added:" line of a log text (CR LF or LF lines).
  void AddLogText(std::string_view text);
  // One line of the simulator's JSON output. Any receipt delivers; only a
  // second acknowledged receipt is a duplicate (a frame the Kernel received
  // but did not answer is sent again by design).
  void AddSimulatorLine(std::string_view json_line);

  size_t AddedCount() const { return added_.size(); }
  size_t DeliveredCount() const { return delivered_.size(); }
  size_t DuplicateFrames() const { return duplicates_; }
  bool Delivered(const std::string& id) const { return delivered_.count(id) != 0; }
  // Added identifiers that never reached the simulator, sorted.
  std::vector<std::string> Lost() const;

 private:
  std::unordered_set<std::string> added_;
  std::unordered_set<std::string> delivered_;
  std::unordered_map<std::string, uint32_t> acknowledged_;
  size_t duplicates_ = 0;
};

// Names of the directory's files that end with ".tmp" or ".error" (no
// recursion; a missing directory has none).
std::vector<std::string> LeftoverFiles(const std::string& dir, std::string_view suffix);

// Loads a copy of the cache directory into the driver's own signal and
// question buffers (in scratch_dir, emptied first) and returns the names of
// the files they could not read and set aside.
std::vector<std::string> UnreadableCacheFiles(const std::string& cache_dir,
                                              const std::string& scratch_dir);

}  // namespace vd
