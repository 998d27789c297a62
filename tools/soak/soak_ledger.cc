#include "soak_ledger.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "config/driver_settings.h"
#include "platform/host_file_system.h"
#include "platform/system_clock.h"
#include "support/log_writer.h"

namespace vd {
namespace {

// The text between begin and the next end marker of line, after the first
// occurrence of after; none when a marker is missing.
std::optional<std::string_view> Between(std::string_view line, std::string_view begin,
                                        std::string_view end, size_t from = 0) {
  const size_t open = line.find(begin, from);
  if (open == std::string_view::npos) return std::nullopt;
  const size_t start = open + begin.size();
  const size_t close = line.find(end, start);
  if (close == std::string_view::npos) return std::nullopt;
  return line.substr(start, close - start);
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

std::optional<std::string> AddedSignalId(std::string_view log_line) {
  constexpr std::string_view kAdded = "New signal added: HN: ";
  const size_t at = log_line.find(kAdded);
  if (at == std::string_view::npos) return std::nullopt;
  const auto id = Between(log_line, " Ext1: ", " Ext2: ", at + kAdded.size());
  if (!id) return std::nullopt;
  return std::string(*id);
}

std::optional<std::string> DeliveredSignalId(std::string_view json_line) {
  if (json_line.find("\"kind\":\"signal\"") == std::string_view::npos) return std::nullopt;
  // The simulator escapes quotes inside texts, so the first bare quote ends
  // the value; the soak's identifiers hold none.
  const auto id = Between(json_line, "\"Extension1\":\"", "\"");
  if (!id) return std::nullopt;
  return std::string(*id);
}

void TSoakLedger::AddLogText(std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (auto id = AddedSignalId(line)) added_.insert(std::move(*id));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

void TSoakLedger::AddSimulatorLine(std::string_view json_line) {
  auto id = DeliveredSignalId(json_line);
  if (!id) return;
  if (json_line.find("\"answer\":2,") != std::string_view::npos && ++acknowledged_[*id] > 1) {
    ++duplicates_;
  }
  delivered_.insert(std::move(*id));
}

std::vector<std::string> TSoakLedger::Lost() const {
  std::vector<std::string> lost;
  for (const std::string& id : added_) {
    if (delivered_.count(id) == 0) lost.push_back(id);
  }
  std::sort(lost.begin(), lost.end());
  return lost;
}

bool SoakPassed(const TSoakFigures& f) {
  return f.Lost == 0 && f.Hangs == 0 && f.TmpFindings == 0 && f.ErrorFindings == 0 &&
         f.UnreadableFindings == 0 && f.FailedStops == 0 && f.Problems.empty();
}

std::string SoakSummaryText(const TSoakFigures& f) {
  char text[1024];
  std::snprintf(text, sizeof text,
                "soak %s (seed %llu)\n"
                "  kills %d (%d during start-up, %d during the stop sequence), clean stops %d, "
                "starts %d\n"
                "  simulator restarts %d, link drops %d, silent Kernel %d times\n"
                "  signals sent %zu, added %zu, delivered %zu, lost %zu, duplicates %zu\n"
                "  hangs %d, .tmp left %d, .error %d, unreadable %d, failed stops %d\n"
                "  longest restart (kill to READY) %lld ms, duration %.1f s\n",
                SoakPassed(f) ? "PASSED" : "FAILED", static_cast<unsigned long long>(f.Seed),
                f.Kills, f.KillsAtStart, f.KillsWhileStopping, f.CleanStops, f.Starts,
                f.SimulatorRestarts, f.LinkDrops, f.SilentRounds, f.SignalsSent, f.SignalsAdded,
                f.SignalsDelivered, f.Lost, f.Duplicates, f.Hangs, f.TmpFindings, f.ErrorFindings,
                f.UnreadableFindings, f.FailedStops, static_cast<long long>(f.LongestRestartMs),
                f.DurationSeconds);
  std::string out = text;
  for (const std::string& problem : f.Problems) out += "  problem: " + problem + "\n";
  return out;
}

std::string SoakSummaryJson(const TSoakFigures& f) {
  char text[1024];
  std::snprintf(
      text, sizeof text,
      "{\"passed\":%s,\"seed\":%llu,\"kills\":%d,\"kills_at_start\":%d,"
      "\"kills_while_stopping\":%d,\"clean_stops\":%d,\"starts\":%d,"
      "\"simulator_restarts\":%d,\"link_drops\":%d,\"silent_rounds\":%d,\"signals_sent\":%zu,"
      "\"signals_added\":%zu,\"delivered\":%zu,\"lost\":%zu,\"duplicates\":%zu,"
      "\"hangs\":%d,\"tmp_left\":%d,\"error_files\":%d,\"unreadable\":%d,"
      "\"failed_stops\":%d,\"longest_restart_ms\":%lld,\"duration_s\":%.1f}",
      SoakPassed(f) ? "true" : "false", static_cast<unsigned long long>(f.Seed), f.Kills,
      f.KillsAtStart, f.KillsWhileStopping, f.CleanStops, f.Starts, f.SimulatorRestarts,
      f.LinkDrops, f.SilentRounds, f.SignalsSent, f.SignalsAdded, f.SignalsDelivered, f.Lost,
      f.Duplicates, f.Hangs, f.TmpFindings, f.ErrorFindings, f.UnreadableFindings, f.FailedStops,
      static_cast<long long>(f.LongestRestartMs), f.DurationSeconds);
  return text;
}

std::vector<std::string> LeftoverFiles(const std::string& dir, std::string_view suffix) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    if (EndsWith(name, suffix)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> UnreadableCacheFiles(const std::string& cache_dir,
                                              const std::string& scratch_dir) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::remove_all(scratch_dir, error);
  fs::create_directories(scratch_dir, error);
  for (const auto& entry : fs::directory_iterator(cache_dir, error)) {
    std::error_code ignored;  // a file removed meanwhile is simply not checked
    if (entry.is_regular_file(ignored)) {
      fs::copy_file(entry.path(), fs::path(scratch_dir) / entry.path().filename(), ignored);
    }
  }
  const std::vector<std::string> before = LeftoverFiles(scratch_dir, ".error");
  {
    HostFileSystem files;
    SystemClock clock;
    NullLogWriter log;
    DriverSettings settings;
    TQuestionsBuffer questions(files, clock, log,
                               TQuestionsBuffer::Options{scratch_dir, "soak", "", false});
    TSignalBuffer signals(files, clock, questions, log, settings, scratch_dir, false);
  }
  std::vector<std::string> unreadable;
  for (const std::string& name : LeftoverFiles(scratch_dir, ".error")) {
    if (std::find(before.begin(), before.end(), name) == before.end()) {
      unreadable.push_back(name.substr(0, name.size() - 6));
    }
  }
  return unreadable;
}

}  // namespace vd
