#include "cache_inspector.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <pugixml.hpp>
#include <tuple>
#include <vector>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "buffers/signal_xml.h"
#include "platform/cache_lock.h"
#include "platform/disk_space.h"
#include "service/watchdog.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/file_utils.h"
#include "support/text_encoding.h"
#include "support/text_utils.h"
#include "support/xml_utils.h"

namespace vd {
namespace {

constexpr char kErrorSuffix[] = ".error";
constexpr uint16_t kSystemEventFrameType = 9;

enum class Kind { kSignal, kQuestion, kError, kTemporary, kOther };

Kind KindOf(const std::string& name) {
  if (MatchesMask(name, "*.sig")) return Kind::kSignal;
  if (MatchesMask(name, "*.que")) return Kind::kQuestion;
  if (MatchesMask(name, std::string("*") + kErrorSuffix)) return Kind::kError;
  if (MatchesMask(name, TemporaryFileName("*"))) return Kind::kTemporary;
  return Kind::kOther;
}

// The name an ".error" file had before it was set aside.
std::string WithoutErrorSuffix(const std::string& name) {
  return name.substr(0, name.size() - (sizeof kErrorSuffix - 1));
}

// The Text and SourceTime of a system event document; empty and 0 when the
// body is no such document.
struct EventSummary {
  std::string text;
  int64_t source_time = 0;
};

EventSummary SummariseEvent(const std::string& body) {
  EventSummary summary;
  try {
    pugi::xml_document document;
    ParseXml(body, document);
    const pugi::xml_node event = RequireChild(document.document_element(), "SystemEvent");
    summary.text = ChildText(event, "Text");
    summary.source_time = ParseInt64(ChildText(event, "SourceTime"));
  } catch (...) {
  }
  return summary;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

struct TCacheInspector::Entry {
  std::string Name;
  Kind FileKind = Kind::kOther;
  // What the file reads as: the kind of its name, or for an ".error" file of
  // the name it had.
  Kind ReadAs = Kind::kOther;
  int64_t Size = 0;
  int64_t ModifiedMs = 0;
  bool Vanished = false;  // gone between the listing and the read
  std::string Problem;    // why it cannot be read; empty when it can
  std::optional<TSignal> Signal;
  std::optional<TQuestionItem> Question;
  EventSummary Event;  // of a system event
  // UTC seconds the file's content dates from: a signal's TimeIn, an event's
  // SourceTime, a question's file time. The files' names wrap and tell
  // nothing of their order.
  int64_t Time = 0;
};

std::string FormatAge(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%llds", static_cast<long long>(seconds));
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%lldm%02llds", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  } else if (seconds < 86400) {
    std::snprintf(text, sizeof text, "%lldh%02lldm", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds % 3600 / 60));
  } else {
    std::snprintf(text, sizeof text, "%lldd%02lldh", static_cast<long long>(seconds / 86400),
                  static_cast<long long>(seconds % 86400 / 3600));
  }
  return text;
}

TCacheInspector::TCacheInspector(IFileSystem& fs, const IClock& clock, std::string cache_directory)
    : fs_(fs), clock_(clock), directory_(IncludeTrailingSlash(std::move(cache_directory))) {}

int64_t TCacheInspector::NowSeconds() const { return clock_.UtcNowMs() / 1000; }

TCacheInspector::Entry TCacheInspector::Read(const std::string& name) {
  Entry entry;
  entry.Name = name;
  entry.FileKind = KindOf(name);
  entry.ReadAs = entry.FileKind == Kind::kError ? KindOf(WithoutErrorSuffix(name)) : entry.FileKind;
  const std::string path = directory_ + name;
  const FileInfo info = fs_.Stat(path);
  if (!info.exists) {
    entry.Vanished = true;
    return entry;
  }
  entry.Size = info.size;
  entry.ModifiedMs = info.modified_unix_ms;
  if (entry.ReadAs != Kind::kSignal && entry.ReadAs != Kind::kQuestion) return entry;
  try {
    entry.Time = entry.ModifiedMs / 1000;
    if (entry.ReadAs == Kind::kSignal) {
      entry.Signal = ParseSignalDocument(fs_.ReadFile(path, TSignalBuffer::kMaxFileSize));
      entry.Time = entry.Signal->TimeIn;
    } else {
      entry.Question = ParseQuestionFile(fs_.ReadFile(path, TQuestionsBuffer::kMaxFileSize));
      if (entry.Question->FrameType == kSystemEventFrameType) {
        entry.Event = SummariseEvent(entry.Question->QuestionBody);
        entry.Time = entry.Event.source_time;
      }
    }
  } catch (const EOSError& error) {
    if (error.ErrorCode() == ENOENT) {
      entry.Vanished = true;
    } else {
      entry.Problem = ExceptionText(error);
    }
  } catch (const std::exception& error) {
    entry.Problem = ExceptionText(error);
  }
  return entry;
}

bool TCacheInspector::Scan(std::vector<Entry>& entries, std::ostream& err) {
  try {
    std::vector<std::string> names = fs_.ListDirectory(directory_);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (fs_.Stat(directory_ + name).is_directory) continue;
      Entry entry = Read(name);
      if (!entry.Vanished) entries.push_back(std::move(entry));
    }
    return true;
  } catch (const std::exception& error) {
    err << "vd-cache: " << ExceptionText(error) << "\n";
    return false;
  }
}

int TCacheInspector::List(std::ostream& out, std::ostream& err) {
  std::vector<Entry> entries;
  if (!Scan(entries, err)) return 1;
  std::vector<const Entry*> signals;
  std::vector<const Entry*> questions;
  for (const Entry& entry : entries) {
    if (entry.FileKind == Kind::kSignal) signals.push_back(&entry);
    if (entry.FileKind == Kind::kQuestion) questions.push_back(&entry);
  }
  // Oldest first, as the driver sends them; the unreadable ones last.
  const auto by_time = [](const Entry* a, const Entry* b) {
    const auto key = [](const Entry* e) {
      return std::tuple(!e->Problem.empty(), e->Time, e->ModifiedMs);
    };
    return key(a) < key(b);
  };
  std::stable_sort(signals.begin(), signals.end(), by_time);
  std::stable_sort(questions.begin(), questions.end(), by_time);
  const int64_t now = NowSeconds();
  out << "Pending signals: " << signals.size() << "\n";
  for (const Entry* entry : signals) {
    out << "  " << entry->Name;
    if (!entry->Signal) {
      out << "  unreadable: " << entry->Problem << "\n";
      continue;
    }
    const TSignal& s = *entry->Signal;
    out << "  age " << FormatAge(now - s.TimeIn) << "  HN "
        << Quoted(Win1250ToUtf8(s.HardwareNumber)) << "  Code "
        << Quoted(Win1250ToUtf8(s.Code.str())) << "  port " << s.DriverPort;
    if (!s.DriverPortName.empty()) out << " " << Quoted(Win1250ToUtf8(s.DriverPortName));
    out << "\n";
  }
  out << "Events and questions: " << questions.size() << "\n";
  for (const Entry* entry : questions) {
    out << "  " << entry->Name;
    if (!entry->Question) {
      out << "  unreadable: " << entry->Problem << "\n";
      continue;
    }
    const TQuestionItem& q = *entry->Question;
    out << "  age " << FormatAge(now - entry->Time);
    if (q.FrameType == kSystemEventFrameType) {
      out << "  event " << Quoted(entry->Event.text);
    } else {
      out << "  frame type " << q.FrameType;
    }
    out << "\n";
  }
  return 0;
}

int TCacheInspector::Show(const std::string& file, std::ostream& out, std::ostream& err) {
  const std::string name = FileNameOf(file);
  const Entry entry = Read(name);
  if (entry.Vanished) {
    err << "vd-cache: no file " << name << " in " << directory_ << "\n";
    return 1;
  }
  out << "File: " << directory_ << name << " (" << entry.Size << " bytes)\n";
  if (!entry.Problem.empty()) {
    out << "Cannot be read: " << entry.Problem << "\n";
    return 1;
  }
  if (entry.Signal) {
    pugi::xml_document document;
    pugi::xml_node element = document.append_child("Signal");
    WriteSignalXml(*entry.Signal, element);
    for (const pugi::xml_node child : element.children()) {
      out << child.name() << ": " << child.text().get() << "\n";
    }
    out << "Age: " << FormatAge(NowSeconds() - entry.Signal->TimeIn) << "\n";
  } else if (entry.Question) {
    const TQuestionItem& q = *entry.Question;
    out << "FrameType: " << q.FrameType << "\n"
        << "DestinationInstallationNumber: " << q.DestinationInstallationNumber << "\n"
        << "DestinationModuleGUID: " << q.DestinationModuleGUID.ToString() << "\n"
        << "WaitOnlyForACK: " << (q.WaitOnlyForACK ? "True" : "False") << "\n"
        << "Direction: " << static_cast<int>(q.Direction) << "\n"
        << "QuestionBody: " << q.QuestionBody << "\n";
  } else {
    out << "Not a signal or question file\n";
  }
  return 0;
}

int TCacheInspector::Errors(std::ostream& out, std::ostream& err) {
  std::vector<Entry> entries;
  if (!Scan(entries, err)) return 1;
  size_t count = 0;
  for (const Entry& entry : entries) count += entry.FileKind == Kind::kError ? 1 : 0;
  out << "Files set aside: " << count << "\n";
  for (const Entry& entry : entries) {
    if (entry.FileKind != Kind::kError) continue;
    out << "  " << entry.Name << "  ";
    if (entry.ReadAs != Kind::kSignal && entry.ReadAs != Kind::kQuestion) {
      out << "not a signal or question file\n";
    } else if (!entry.Problem.empty()) {
      out << entry.Problem << "\n";
    } else {
      out << "reads as valid now: vd-cache requeue " << entry.Name << "\n";
    }
  }
  return 0;
}

int TCacheInspector::Requeue(const std::string& file, std::ostream& out, std::ostream& err) {
  const std::string name = FileNameOf(file);
  const std::string target = name.size() > 6 ? WithoutErrorSuffix(name) : "";
  if (KindOf(name) != Kind::kError ||
      (KindOf(target) != Kind::kSignal && KindOf(target) != Kind::kQuestion)) {
    err << "vd-cache: not requeued: " << name << " is no NAME.sig.error or NAME.que.error file\n";
    return 1;
  }
  try {
    const TCacheLock lock(directory_);
    const Entry entry = Read(name);
    if (entry.Vanished) {
      err << "vd-cache: not requeued: no file " << name << " in " << directory_ << "\n";
      return 1;
    }
    if (!entry.Problem.empty()) {
      err << "vd-cache: not requeued: " << name << " still cannot be read: " << entry.Problem
          << "\n";
      return 1;
    }
    fs_.Rename(directory_ + name, directory_ + target, false);
    fs_.SyncDirectory(directory_);
  } catch (const ECacheInUse& error) {
    err << "vd-cache: not requeued: " << error.Message() << "; stop the driver first\n";
    return 1;
  } catch (const std::exception& error) {
    err << "vd-cache: not requeued: " << ExceptionText(error) << "\n";
    return 1;
  }
  out << "Requeued " << name << " as " << target << "; the driver loads it at its next start\n";
  return 0;
}

int TCacheInspector::Stats(std::ostream& out, std::ostream& err) {
  std::vector<Entry> entries;
  if (!Scan(entries, err)) return 1;
  struct Tally {
    size_t count = 0;
    int64_t bytes = 0;
  };
  Tally signals, questions, errors, temporary, other;
  std::optional<int64_t> oldest_signal;
  std::optional<int64_t> oldest_event;
  for (const Entry& entry : entries) {
    Tally& tally = entry.FileKind == Kind::kSignal      ? signals
                   : entry.FileKind == Kind::kQuestion  ? questions
                   : entry.FileKind == Kind::kError     ? errors
                   : entry.FileKind == Kind::kTemporary ? temporary
                                                        : other;
    ++tally.count;
    tally.bytes += entry.Size;
    if (entry.FileKind == Kind::kSignal && entry.Signal) {
      oldest_signal = std::min(oldest_signal.value_or(entry.Signal->TimeIn), entry.Signal->TimeIn);
    }
    if (entry.FileKind == Kind::kQuestion && entry.Question &&
        entry.Question->FrameType == kSystemEventFrameType) {
      oldest_event = std::min(oldest_event.value_or(entry.Time), entry.Time);
    }
  }
  const int64_t now = NowSeconds();
  const auto line = [&out](const char* what, const Tally& tally) {
    out << what << tally.count << " (" << tally.bytes << " bytes)\n";
  };
  out << "Cache directory: " << directory_ << "\n";
  line("Signals pending: ", signals);
  line("Events and questions: ", questions);
  line("Files set aside (.error): ", errors);
  line("Unfinished writes (.tmp): ", temporary);
  out << "Oldest pending signal: " << (oldest_signal ? FormatAge(now - *oldest_signal) : "none")
      << "\n";
  out << "Oldest event: " << (oldest_event ? FormatAge(now - *oldest_event) : "none") << "\n";
  out << "Bytes in all: "
      << signals.bytes + questions.bytes + errors.bytes + temporary.bytes + other.bytes << "\n";
  try {
    out << "Free bytes: " << FreeDiskBytes(directory_) << "\n";
  } catch (const std::exception& error) {
    out << "Free bytes: unknown (" << ExceptionText(error) << ")\n";
  }
  const int64_t holder = TCacheLock::Holder(directory_);
  out << "Driver: "
      << (holder == 0  ? std::string("not running on this cache")
          : holder < 0 ? std::string("running")
                       : "running (process id " + std::to_string(holder) + ")")
      << "\n";
  std::string stalls = "0";
  try {
    if (fs_.Stat(directory_ + kStallCountFileName).exists) {
      stalls = std::string(TrimBlanks(fs_.ReadFile(directory_ + kStallCountFileName, 64)));
    }
  } catch (...) {
  }
  out << "Watchdog stalls: " << stalls << "\n";
  return 0;
}

}  // namespace vd
