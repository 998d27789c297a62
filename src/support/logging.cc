#include "support/logging.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "support/clock.h"
#include "support/file_system.h"
#include "support/file_utils.h"
#include "support/log_format.h"
#include "support/text_utils.h"

namespace vd {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kDefaultSpec = "<default>";
const std::string kEqualsLine(130, '=');
const std::string kDashLine(130, '-');

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

// Position of the extension's "." in path, or npos when its file name has none.
size_t ExtensionPos(std::string_view path) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  if (dot == std::string_view::npos) return dot;
  if (slash != std::string_view::npos && dot < slash) return std::string_view::npos;
  return dot;
}

std::string ChangeExtension(std::string_view path, std::string_view extension) {
  const size_t dot = ExtensionPos(path);
  std::string out(dot == std::string_view::npos ? path : path.substr(0, dot));
  out += extension;
  return out;
}

bool IsAbsolutePath(std::string_view path) {
#ifdef _WIN32
  // "C:/..." or "C:\..."
  if (path.size() >= 3 && path[1] == ':' && (path[2] == '/' || path[2] == '\\')) return true;
#endif
  return !path.empty() && path.front() == '/';
}

// Resolves "." and ".." segments and repeated "/" of an absolute path; a
// trailing "/" stays.
std::string NormalizePath(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::string(path);
  std::vector<std::string_view> parts;
  size_t pos = 0;
  while (pos < path.size()) {
    const size_t end = std::min(path.find('/', pos), path.size());
    const std::string_view part = path.substr(pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  std::string out;
  for (const auto part : parts) {
    out += '/';
    out += part;
  }
  if (out.empty() || path.back() == '/') out += '/';
  return out;
}

std::string NumberedName(const std::string& spec, int32_t number) {
  const std::string name = FileNameOf(spec);
  const size_t dot = ExtensionPos(name);
  char digits[16];
  std::snprintf(digits, sizeof digits, "_%04d", static_cast<int>(number));
  if (dot == std::string::npos) return name + digits;
  return name.substr(0, dot) + digits + name.substr(dot);
}

std::string FrameBlock(std::string_view lines) {
  std::string out(kCrLf);
  out += kEqualsLine;
  out += kCrLf;
  out += lines;
  out += kEqualsLine;
  out += kCrLf;
  out += kCrLf;
  return out;
}

std::string SizeKindText(int64_t size_limit_kb) {
  return "OGRANICZONEJ WIELKOŚCI (~" + std::to_string(size_limit_kb) + "KB)";
}

// "POPRAWNA." when the files were written in order 1, 2, 3 ... once each,
// else the positions in the order written.
std::string OrderText(const std::vector<int32_t>& order) {
  bool in_sequence = true;
  for (size_t i = 0; i < order.size(); ++i) in_sequence = in_sequence && order[i] == int32_t(i);
  if (in_sequence) return "POPRAWNA.";
  std::string out;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(order[i] + 1);
  }
  return out + " (WYSTĘPUJĄ POWTÓRZENIA!).";
}

int64_t AbsoluteLimit(int64_t size_limit_kb) {
  return size_limit_kb == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max()
                                                              : std::llabs(size_limit_kb);
}

int64_t LimitBytes(int64_t size_limit_kb) {
  const int64_t kb = AbsoluteLimit(size_limit_kb);
  return kb > std::numeric_limits<int64_t>::max() / 1024 ? std::numeric_limits<int64_t>::max()
                                                         : kb * 1024;
}

}  // namespace

std::string ResolveLogFileName(std::string_view spec, const std::string& default_name) {
  std::string resolved;
  if (spec.empty() || EqualsIgnoreCase(spec, kDefaultSpec)) {
    resolved = default_name;
  } else {
    if (IsAbsolutePath(spec)) {
      resolved = spec;
    } else {
      const std::string_view visible = TrimLeft(spec);
      resolved = DirectoryOf(default_name);
      resolved += !visible.empty() && visible.front() == '/' ? visible.substr(1) : spec;
    }
    if (resolved.back() == '/') resolved += FileNameOf(default_name);
    const size_t dot = ExtensionPos(resolved);
    if (dot == std::string::npos || dot + 1 == resolved.size()) {
      resolved = ChangeExtension(resolved, ".txt");
    }
  }
  return NormalizePath(TrimBlanks(resolved));
}

TLogging::TLogging(IFileSystem& fs, const IClock& clock, const std::string& directory,
                   int64_t size_limit_kb, bool delete_existing, const ProgramInfo& program)
    : fs_(fs),
      clock_(clock),
      size_limit_kb_(AbsoluteLimit(size_limit_kb)),
      size_limit_bytes_(LimitBytes(size_limit_kb)),
      delete_existing_(delete_existing),
      session_start_ms_(UtcMsToLocalMs(clock.UtcNowMs())),
      monotonic_at_start_(clock.MonotonicMs()) {
  const std::string& exe = program.executable_path;
  const std::string exe_name = FileNameOf(exe);
  const std::string fallback = "/[LOG]/" + ChangeExtension(exe_name, ".txt");
  default_file_name_ = ResolveLogFileName(directory, fallback);

  program_header_ =
      "> LOG ZAPISYWANY PRZEZ " + exe_name + " (PID: " + std::to_string(program.process_id) + ")";
  if (!program.version.empty()) program_header_ += " v. " + program.version;
  const FileInfo info = fs_.Stat(exe);
  if (info.exists && !info.is_directory) {
    // A last-write time outside the years 1601-9999 is left out.
    constexpr int64_t kEarliestMs = -11644473600000;
    constexpr int64_t kLatestMs = 253402300799999;
    if (info.modified_unix_ms >= kEarliestMs && info.modified_unix_ms <= kLatestMs) {
      program_header_ += ", ZMODYFIKOWANY: " + LocalTimestamp(info.modified_unix_ms);
    }
    program_header_ += ", WIELKOŚĆ: " + std::to_string(info.size) + "B";
  }
  std::string exe_dir = DirectoryOf(exe);
  if (exe_dir.size() > 1) exe_dir.pop_back();
  program_header_ += " (" + exe_dir + ").";
}

TLogging::~TLogging() { EndSession(); }

void TLogging::LogWrite(std::string_view text) { Write(text, true, kDefaultSpec); }

bool TLogging::Write(std::string_view text, bool with_timestamp, std::string_view file_spec) {
  bool written = false;
  try {
    std::lock_guard<std::mutex> guard(mutex_);
    written = WriteLocked(text, with_timestamp, file_spec, clock_.UtcNowMs());
  } catch (...) {
  }
  if (!written) write_errors_.fetch_add(1, std::memory_order_relaxed);
  return written;
}

void TLogging::EndSession() {
  try {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> specs;
    for (const auto& series : created_files_) specs.push_back(series.Spec);
    for (const auto& spec : specs) {
      const int64_t utc_now = clock_.UtcNowMs();
      const std::string block = FrameBlock(
          "> " + LocalTimestamp(utc_now) + " ZAKOŃCZENIE SESJI LOGOWANIA ROZPOCZĘTEJ " +
          FormatLogTimestamp(UnixMsToCivil(session_start_ms_)) + ", TRWAJĄCEJ " +
          FormatDuration(false, SessionClockMs(), session_start_ms_) + "." + std::string(kCrLf));
      WriteLocked(block, false, spec, utc_now);
    }
    created_files_.clear();
  } catch (...) {
    // The closing block is lost; nothing else depends on it.
  }
}

bool TLogging::WriteLocked(std::string_view text, bool with_timestamp, std::string_view file_spec,
                           int64_t utc_now_ms) {
  const std::string now = LocalTimestamp(utc_now_ms);
  Selection selection = SelectFile(file_spec, now);
  TCreatedFile& series = *selection.series;
  TFileState* file = &series.Files[selection.current];
  const std::string path = series.Directory + file->Name;
  const bool header_due = !selection.header.empty();
  bool written = false;
  try {
    const FileInfo before = fs_.Stat(path);
    if (!before.is_directory) {
      if (!before.exists) fs_.CreateDirectories(series.Directory);
      std::string data = std::move(selection.header);
      if (before.size != file->ExpectedSize && file->ExpectedSize > 0) {
        file->ModifiedExternally = true;
        data += kCrLf;
        data += kDashLine;
        data += kCrLf;
        data += "> UWAGA! PLIK TEN (TYP: " + SizeKindText(size_limit_kb_) + ", NR " +
                std::to_string(selection.current + 1) + ", " + path +
                ") ZOSTAŁ ZMODYFIKOWANY LUB USUNIĘTY PODCZAS SESJI LOGOWANIA.";
        data += kCrLf;
        data += kDashLine;
        data += kCrLf;
        data += kCrLf;
      }
      if (with_timestamp) {
        data += now;
        data += " | ";
      }
      data += text;
      data += kCrLf;
      file->ExpectedSize = fs_.AppendFile(path, data);
      written = true;
    }
  } catch (...) {
    // A partly written line still changed the size: expect what is there now
    // so that the next write does not report our own fragment as a change.
    const FileInfo after = fs_.Stat(path);
    if (after.exists && !after.is_directory) file->ExpectedSize = after.size;
  }
  if (!written) {
    file->Failed += 1;
    if (header_due) file->HeaderPending = true;
  } else {
    file->HeaderPending = false;
  }
  return written;
}

TLogging::Selection TLogging::SelectFile(std::string_view file_spec, const std::string& now) {
  const std::string resolved = ResolveLogFileName(file_spec, default_file_name_);
  const std::string label = EqualsIgnoreCase(file_spec, resolved)
                                ? " <" + FileNameOf(resolved) + ">"
                                : " <\"" + std::string(file_spec) + "\">";

  Selection selection;
  bool overwritten = false;
  int32_t previous = -1;
  auto found =
      std::find_if(created_files_.begin(), created_files_.end(),
                   [&](const TCreatedFile& s) { return EqualsIgnoreCase(s.Spec, resolved); });
  if (found != created_files_.end()) {
    TCreatedFile& series = *found;
    previous = series.Order.back();
    const int32_t number = NextFileNumber(series.Spec, series.Files[previous].Number);
    const std::string name = NumberedName(series.Spec, number);
    int32_t current = previous;
    if (!EqualsIgnoreCase(name, series.Files[previous].Name)) {
      auto known = std::find_if(series.Files.begin(), series.Files.end(), [&](const TFileState& f) {
        return EqualsIgnoreCase(f.Name, name);
      });
      if (known != series.Files.end()) {
        current = static_cast<int32_t>(known - series.Files.begin());
      } else {
        AddFile(series, number, overwritten);
        current = static_cast<int32_t>(series.Files.size() - 1);
      }
      series.Order.push_back(current);
      series.Files[current].Attempts += 1;
    } else {
      series.Files[current].Attempts += 1;
    }
    selection.series = &series;
    selection.current = current;
  } else {
    TCreatedFile series;
    series.Spec = resolved;
    series.Directory = DirectoryOf(resolved);
    created_files_.push_back(std::move(series));
    TCreatedFile& added = created_files_.back();
    AddFile(added, NextFileNumber(resolved, 1), overwritten);
    added.Files[0].Attempts = 1;
    added.Order.push_back(0);
    selection.series = &added;
    selection.current = 0;
  }

  TCreatedFile& series = *selection.series;
  TFileState& file = series.Files[selection.current];
  const bool switched = previous != selection.current;
  if (!switched && !file.HeaderPending && fs_.Stat(series.Directory + file.Name).exists) {
    return selection;
  }

  const std::string position = std::to_string(selection.current + 1);
  std::string lines = "> " + now + " " + FormatBias(LocalTimeZoneBias(clock_)) +
                      " ROZPOCZĘCIE ZAPISU: PLIK " + SizeKindText(size_limit_kb_) + " NR " +
                      position + " (" + series.Directory + file.Name + label + ")." +
                      std::string(kCrLf);

  if (previous >= 0 && switched) {
    TFileState& old = series.Files[previous];
    const std::string note =
        "> " + now + " ZAKOŃCZENIE ZAPISU PLIKU " + SizeKindText(size_limit_kb_) + " NR " +
        std::to_string(previous + 1) + " (" + series.Directory + old.Name + label + ")." +
        std::string(kCrLf) + "> KONTYNUACJA ZNAJDUJE SIĘ W PLIKU NR " + position + " (" +
        file.Name + ")." + std::string(kCrLf) +
        "> RZECZYWISTA KOLEJNOŚĆ ZAPISU PLIKÓW (WG ICH NUMERÓW): " + OrderText(series.Order) +
        std::string(kCrLf) +
        "> SUMA PRÓB ZAPISU DO TEGO PLIKU: " + std::to_string(old.Attempts + 1) +
        ", W TYM NIEUDANYCH: " + std::to_string(old.Failed) + "." + std::string(kCrLf) +
        SessionLine() + std::string(kCrLf);
    const std::string block = std::string(kCrLf) + FrameBlock(note);
    old.Attempts += 1;
    const std::string old_path = series.Directory + old.Name;
    bool noted = false;
    if (fs_.Stat(old_path).exists) {
      try {
        old.ExpectedSize = fs_.AppendFile(old_path, block);
        noted = true;
      } catch (...) {
      }
    }
    if (!noted) old.Failed += 1;
  }

  if (series.Order.size() > 1) {
    const TFileState& before_last = series.Files[series.Order[series.Order.size() - 2]];
    lines += "> PLIK TEN STANOWI KONTYNUACJĘ DANYCH ZNAJDUJĄCYCH SIĘ W PLIKU NR " +
             std::to_string(series.Order[series.Order.size() - 2] + 1) + " (" + before_last.Name +
             ")." + std::string(kCrLf);
  }
  if (overwritten) {
    lines += "> UWAGA! ISTNIEJĄCY WCZEŚNIEJ PLIK O TEJ NAZWIE ZOSTAŁ NADPISANY.";
    lines += kCrLf;
  }
  lines += SessionLine();
  lines += kCrLf;
  lines += program_header_;
  lines += kCrLf;
  selection.header = FrameBlock(lines);
  return selection;
}

void TLogging::AddFile(TCreatedFile& series, int32_t number, bool& overwritten) {
  TFileState file;
  file.Number = number;
  file.Name = NumberedName(series.Spec, number);
  if (delete_existing_) {
    const std::string path = series.Directory + file.Name;
    const FileInfo info = fs_.Stat(path);
    if (info.exists && !info.is_directory) {
      try {
        fs_.DeleteFile(path);
        overwritten = true;
      } catch (...) {
        // Not deleted: the session appends to it instead.
      }
    }
  }
  series.Files.push_back(std::move(file));
}

int32_t TLogging::NextFileNumber(const std::string& spec, int32_t start) {
  const std::string directory = DirectoryOf(spec);
  for (int32_t number = std::max(start, 1);; ++number) {
    if (number == std::numeric_limits<int32_t>::max()) return number;
    const std::string path = directory + NumberedName(spec, number);
    const FileInfo info = fs_.Stat(path);
    if (!info.exists) return number;
    // A directory of that name can never take a line: skip it like a full
    // file. So is a file this process may not write (one another user owns,
    // left by a run as root): whatever its owner's write bit says, every
    // line written to it would be lost.
    if (!info.is_directory && !info.read_only && info.size <= size_limit_bytes_ &&
        fs_.IsWritable(path)) {
      return number;
    }
  }
}

std::string TLogging::SessionLine() const {
  return "> SESJA LOGOWANIA ROZPOCZĘŁA SIĘ " +
         FormatLogTimestamp(UnixMsToCivil(session_start_ms_)) + ", TRWA " +
         FormatDuration(false, SessionClockMs(), session_start_ms_) + ".";
}

int64_t TLogging::SessionClockMs() const {
  return session_start_ms_ + (clock_.MonotonicMs() - monotonic_at_start_);
}

std::string TLogging::LocalTimestamp(int64_t utc_ms) const {
  return FormatLogTimestamp(UnixMsToCivil(UtcMsToLocalMs(utc_ms)));
}

}  // namespace vd
