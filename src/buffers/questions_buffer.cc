#include "buffers/questions_buffer.h"

#include <algorithm>
#include <optional>
#include <pugixml.hpp>
#include <string_view>
#include <utility>

#include "buffers/base64.h"
#include "buffers/cache_directory.h"
#include "kernel/orvan_frame.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/file_utils.h"
#include "support/log_writer.h"
#include "support/text_utils.h"
#include "support/time_utils.h"
#include "support/xml_utils.h"

namespace vd {

namespace {

constexpr char kQuestionMask[] = "*.que";
constexpr char kQuestionExtension[] = ".que";
// Makes room for one more element ahead of time, so that the push_back that
// follows cannot fail; grows geometrically.
template <typename T>
void ReserveOneMore(std::vector<T>& list) {
  if (list.size() == list.capacity()) list.reserve(std::max<size_t>(16, 2 * list.size()));
}

constexpr uint16_t kSystemEventFrameType = 9;
constexpr uint8_t kDriverDirection = 1;

constexpr int64_t kResendAfterTakeSeconds = 5;
constexpr int64_t kAnswerDeadlineSeconds = 60;
constexpr int64_t kRetryAfterRefusalSeconds = 30;
constexpr int64_t kRetryAfterDirection9Seconds = 60;
constexpr int64_t kRetryAfterCancelSeconds = 5;
constexpr int64_t kMemoryItemLifetimeSeconds = 60;

// An integer field of a ".que" file that must fit the frame header field.
int32_t ParseField(pugi::xml_node root, const char* name, int32_t max) {
  const std::string text = ChildText(root, name);
  const int32_t value = ParseInt32(text);
  if (value < 0 || value > max) {
    throw EConvertError("'" + text + "' is out of range for " + name);
  }
  return value;
}

void Erase(std::vector<TQuestionItem*>& list, const TQuestionItem* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

}  // namespace

TQuestionItem ParseQuestionFile(std::string_view text) {
  pugi::xml_document document;
  ParseXml(text, document);
  const pugi::xml_node root = document.document_element();
  TQuestionItem item;
  item.FrameType = static_cast<uint16_t>(ParseField(root, "FrameType", UINT16_MAX));
  item.DestinationInstallationNumber =
      static_cast<uint32_t>(ParseField(root, "DestinationInstallationNumber", UINT16_MAX));
  const std::string guid_text = ChildText(root, "DestinationModuleGUID");
  const std::optional<TGuid> destination = TGuid::Parse(guid_text);
  if (!destination) throw EConvertError("'" + guid_text + "' is not a valid GUID value");
  item.DestinationModuleGUID = *destination;
  item.WaitOnlyForACK = ParseBool(ChildText(root, "WaitOnlyForACK"));
  item.Direction = static_cast<uint8_t>(ParseField(root, "Direction", UINT8_MAX));
  item.QuestionBody = Base64Decode(ChildText(root, "QuestionBody"));
  return item;
}

TQuestionsBuffer::TQuestionsBuffer(IFileSystem& fs, const IClock& clock, ILogWriter& log,
                                   Options options)
    : fs_(fs),
      clock_(clock),
      log_(log),
      cache_directory_(IncludeTrailingSlash(std::move(options.CacheDirectory))),
      module_name_(std::move(options.ModuleName)),
      module_ip_(std::move(options.ModuleIp)),
      flush_writes_(options.FlushWrites),
      on_work_added_(std::move(options.OnWorkAdded)),
      max_waiting_events_(options.MaxWaitingEvents),
      own_cache_(options.Cache != nullptr
                     ? nullptr
                     : std::make_unique<TCacheDirectory>(fs, log, cache_directory_)),
      cache_(options.Cache != nullptr ? *options.Cache : *own_cache_),
      restored_generation_(cache_.Generation()) {
  if (!fs_.Stat(cache_directory_).exists) {
    fs_.CreateDirectories(cache_directory_);
    return;
  }
  RemoveUnfinishedFiles(fs_, log_, cache_directory_, kQuestionMask);
  FindFiles(
      fs_, cache_directory_, kQuestionMask,
      [this](const std::string& dir, const std::string& name) { LoadQuestionFile(dir, name); });
}

TQuestionsBuffer::~TQuestionsBuffer() = default;

bool TQuestionsBuffer::AddQuestion(uint16_t FrameType, const std::string& QuestionBody,
                                   bool WaitOnlyForACK, const TGuid& DestinationModuleGUID,
                                   uint16_t DestinationInstallationNumber) {
  try {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    AddItem(FrameType, QuestionBody, DestinationInstallationNumber, DestinationModuleGUID,
            WaitOnlyForACK, std::string(), kDriverDirection, true);
  } catch (...) {  // the lock is released here already: the event's wake-up runs outside it
    AddSystemEvent("Error while adding question to buffer.", CurrentExceptionText(), true);
    return false;
  }
  NotifyWorkAdded();
  return true;
}

bool TQuestionsBuffer::AddQuestion(uint16_t FrameType, const std::string& QuestionBody,
                                   bool WaitOnlyForACK) {
  return AddQuestion(FrameType, QuestionBody, WaitOnlyForACK, TGuid{}, 0);
}

bool TQuestionsBuffer::AddSystemEvent(const std::string& text, const std::string& details,
                                      bool is_error) {
  // A failing disk must not make events raise events: every failure is
  // swallowed here, without a log line.
  std::string body;
  try {
    pugi::xml_document document;
    pugi::xml_node event = document.append_child("Data").append_child("SystemEvent");
    AppendTextElement(event, "SourceTime", std::to_string(DateTimeToUnixSeconds(NowUtc(clock_))));
    AppendTextElement(event, "ModuleName", module_name_);
    AppendTextElement(event, "ModuleIp", module_ip_);
    AppendTextElement(event, "Owner", "System");
    AppendTextElement(event, "EventType", is_error ? "Error" : "Info");
    AppendTextElement(event, "Text", text);
    AppendTextElement(event, "Details", details).append_attribute("Encoding") = "0";
    body = SerializeXml(document);
  } catch (...) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    ++counters_.EventsDropped;
    return false;
  }
  bool stored = false;
  bool queued = false;
  {
    // Choosing the name and creating the file must not interleave with
    // another writer; building the document needs no lock.
    std::lock_guard<std::recursive_mutex> guard(lock_);
    RestoreFilesIfRecreated();
    if (event_items_ >= max_waiting_events_) {
      ++counters_.EventsDropped;
      return false;
    }
    // A second attempt only when the cache directory had gone and was made
    // again.
    for (int attempt = 0; attempt < 2 && !stored; ++attempt) {
      try {
        const std::string file_name =
            UniqueFileName(fs_, clock_, cache_directory_, kQuestionExtension);
        AddItem(kSystemEventFrameType, body, 0, TGuid{}, true, file_name, kDriverDirection, true);
        stored = true;
      } catch (...) {
        ++counters_.CacheWriteFailures;
        if (!cache_.RecreateIfMissing()) break;
        RestoreFilesIfRecreated();
      }
    }
    queued = stored || QueueUnstoredEvent(body);
    ++(queued ? counters_.EventsRaised : counters_.EventsDropped);
    if (queued && !stored) ++counters_.EventsUnstored;
  }
  if (queued) NotifyWorkAdded();
  return stored;
}

bool TQuestionsBuffer::QueueUnstoredEvent(const std::string& body) noexcept {
  try {
    size_t unstored = 0;
    for (const auto& item : items_) {
      unstored += item->FileName.empty() && item->FrameType == kSystemEventFrameType;
    }
    if (unstored >= kMaxUnstoredEvents) return false;
    AddItem(kSystemEventFrameType, body, 0, TGuid{}, true, std::string(), kDriverDirection, true);
    return true;
  } catch (...) {
    return false;
  }
}

bool TQuestionsBuffer::TakeQuestion(TQuestion& question) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  RestoreFilesIfRecreated();
  ReturnDueItems();
  if (ready_.empty()) {
    question.QuestionBody.clear();
    return false;
  }
  TQuestionItem* item = ready_.front();
  question.FrameType = item->FrameType;
  question.QuestionBody = item->QuestionBody;
  question.Direction = item->Direction;
  question.DestinationModuleGUID = item->DestinationModuleGUID;
  question.DestinationInstallationNumber =
      static_cast<uint16_t>(item->DestinationInstallationNumber);
  question.FrameGUID = item->FrameGUID;
  item->DueTime = NowSeconds() + kResendAfterTakeSeconds;
  if (item->SendCount < UINT8_MAX) ++item->SendCount;
  return true;
}

void TQuestionsBuffer::CancelQuestion(const TGuid& FrameGUID) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  TQuestionItem* item = FindByGuid(FrameGUID);
  if (item == nullptr) return;
  if (!item->FileName.empty()) {
    ParkItem(item, kRetryAfterCancelSeconds);
  } else {
    DeleteItem(item);
  }
}

bool TQuestionsBuffer::HandleAnswer(const TOrvanFrame& frame) {
  // Raised after the lock is released, so that the event's wake-up runs
  // outside it.
  std::optional<std::string> error;
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    TQuestionItem* item = FindByGuid(frame.FrameGUID);
    if (item == nullptr) return false;
    try {
      const bool durable = !item->FileName.empty();
      switch (frame.Direction) {
        case 2:  // acknowledgement
        case 5:
          item->DueTime = NowSeconds() + kAnswerDeadlineSeconds;
          if (item->WaitOnlyForACK) {
            DeleteItem(item);
          } else {
            DetachItem(item);
          }
          break;
        case 3:  // refusal; one of an item not sent since it was made ready is stale
          if (item->SendCount > 0) {
            if (durable) {
              ParkItem(item, kRetryAfterRefusalSeconds);
            } else {
              DeleteItem(item);
            }
          }
          break;
        case 6:  // final answer
          DeleteItem(item);
          break;
        case 9:
          if (durable) {
            ParkItem(item, kRetryAfterDirection9Seconds);
          } else {
            DeleteItem(item);
          }
          break;
        default:
          break;
      }
    } catch (...) {
      error = CurrentExceptionText();
    }
  }
  if (error) AddSystemEvent("Error while adding answer to buffer.", *error, true);
  return true;
}

void TQuestionsBuffer::CheckTimeouts() {
  std::optional<std::string> error;  // raised outside the lock, as in HandleAnswer
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    RestoreFilesIfRecreated();
    try {
      const int64_t now = NowSeconds();
      for (size_t i = items_.size(); i-- > 0;) {
        TQuestionItem* item = items_[i].get();
        if (item->DueTime < now && item->CreatedTime + kMemoryItemLifetimeSeconds < now &&
            item->FileName.empty()) {
          DeleteItem(item);
        }
      }
    } catch (...) {
      error = CurrentExceptionText();
    }
  }
  if (error) AddSystemEvent("Timed out frames control exception!", *error, true);
}

TQuestionsBufferStats TQuestionsBuffer::Stats() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  TQuestionsBufferStats stats = counters_;
  stats.Events = event_items_;
  stats.Questions = items_.size() - event_items_;
  return stats;
}

size_t TQuestionsBuffer::ItemCount() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return items_.size();
}

size_t TQuestionsBuffer::ReadyCount() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return ready_.size();
}

size_t TQuestionsBuffer::WaitingCount() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return waiting_.size();
}

std::vector<TQuestionItem> TQuestionsBuffer::Snapshot() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::vector<TQuestionItem> copies;
  copies.reserve(items_.size());
  for (const auto& item : items_) copies.push_back(*item);
  return copies;
}

TQuestionItem& TQuestionsBuffer::AddItem(uint16_t FrameType, const std::string& QuestionBody,
                                         uint32_t DestinationInstallationNumber,
                                         const TGuid& DestinationModuleGUID, bool WaitOnlyForACK,
                                         const std::string& FileName, uint8_t Direction,
                                         bool save) {
  auto item = std::make_unique<TQuestionItem>();
  item->DestinationInstallationNumber = DestinationInstallationNumber;
  item->DestinationModuleGUID = DestinationModuleGUID;
  item->QuestionBody = QuestionBody;
  item->FileName = FileName;
  item->FrameType = FrameType;
  item->Direction = Direction;
  item->FrameGUID = NewGuid();
  item->SendCount = 0;
  item->DueTime = -1;
  item->CreatedTime = NowSeconds();
  item->WaitOnlyForACK = WaitOnlyForACK;
  // Room first, so that nothing can fail between writing the file and
  // queuing the item.
  ReserveOneMore(items_);
  ReserveOneMore(ready_);
  if (save && !item->FileName.empty()) SaveQuestionFile(*item, flush_writes_);
  TQuestionItem* raw = item.get();
  items_.push_back(std::move(item));
  ready_.push_back(raw);
  if (FrameType == kSystemEventFrameType) ++event_items_;
  return *raw;
}

void TQuestionsBuffer::SaveQuestionFile(const TQuestionItem& item, bool flush) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child("Data");
  AppendTextElement(root, "FrameType", std::to_string(item.FrameType));
  AppendTextElement(root, "DestinationInstallationNumber",
                    std::to_string(item.DestinationInstallationNumber));
  AppendTextElement(root, "DestinationModuleGUID", item.DestinationModuleGUID.ToString());
  AppendTextElement(root, "WaitOnlyForACK", item.WaitOnlyForACK ? "True" : "False");
  AppendTextElement(root, "Direction", std::to_string(item.Direction));
  AppendTextElement(root, "QuestionBody", Base64Encode(item.QuestionBody));
  WriteNewFileDurably(fs_, item.FileName, SerializeXml(document), flush);
}

void TQuestionsBuffer::LoadQuestionFile(const std::string& dir, const std::string& name) {
  if (!MatchesMask(name, kQuestionMask)) return;
  const std::string path = dir + name;
  // A directory under such a name fails to read like any unreadable file:
  // reported and set aside, as the signal buffer does.
  bool read = false;
  try {
    TQuestionItem item;
    RetryTransient([&] { item = ParseQuestionFile(fs_.ReadFile(path, kMaxFileSize)); });
    read = true;
    // The file on disk is already complete and in this form; writing it again
    // would only cost a flush per item at every start.
    AddItem(item.FrameType, item.QuestionBody, item.DestinationInstallationNumber,
            item.DestinationModuleGUID, item.WaitOnlyForACK, path, item.Direction, false);
  } catch (const std::exception& error) {
    const std::string why = ExceptionText(error);
    AddSystemEvent("Error while reading data from disk.", why, true);
    if (read) {  // no memory to hold it: the file itself is fine
      log_.LogWrite("Question file left for the next start: " + path);
    } else {
      SetAsideUnreadableFile(fs_, log_, "question", path, why);
    }
  }
}

void TQuestionsBuffer::RestoreFilesIfRecreated() noexcept {
  const uint64_t generation = cache_.Generation();
  if (generation == restored_generation_) return;
  restored_generation_ = generation;
  // Without a flush per file, as the signal buffer does: callers wait for
  // this lock. The directory is flushed once.
  size_t durable = 0;
  size_t written = 0;
  for (const auto& item : items_) {
    if (item->FileName.empty()) continue;
    ++durable;
    try {
      SaveQuestionFile(*item, false);
      ++written;
    } catch (...) {  // the item is still sent from memory
    }
  }
  try {
    if (flush_writes_ && durable > 0) fs_.SyncDirectory(cache_directory_);
  } catch (...) {
  }
  try {
    log_.LogWrite("Question files restored: " + std::to_string(written) + " of " +
                  std::to_string(durable) + " written again");
  } catch (...) {
  }
}

void TQuestionsBuffer::ReturnDueItems() {
  const int64_t now = NowSeconds();
  for (size_t i = waiting_.size(); i-- > 0;) {
    TQuestionItem* item = waiting_[i];
    if (item->DueTime <= now) {
      item->SendCount = 0;
      item->DueTime = -1;
      ready_.push_back(item);
      waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

void TQuestionsBuffer::ParkItem(TQuestionItem* item, int64_t seconds) {
  item->DueTime = NowSeconds() + seconds;
  ReserveOneMore(waiting_);
  DetachItem(item);
  waiting_.push_back(item);
}

void TQuestionsBuffer::DetachItem(TQuestionItem* item) {
  Erase(ready_, item);
  Erase(waiting_, item);
}

void TQuestionsBuffer::DeleteItem(TQuestionItem* item) {
  DetachItem(item);
  const auto owner = std::find_if(items_.begin(), items_.end(), [item](const auto& candidate) {
    return candidate.get() == item;
  });
  if (owner == items_.end()) return;
  const std::string file_name = std::move(item->FileName);
  if (item->FrameType == kSystemEventFrameType) --event_items_;
  items_.erase(owner);
  // Out of memory first: should the file survive, the item is sent once more
  // after the next start (a duplicate, never a loss).
  if (!file_name.empty() && fs_.Stat(file_name).exists) fs_.DeleteFile(file_name);
}

TQuestionItem* TQuestionsBuffer::FindByGuid(const TGuid& FrameGUID) const {
  for (const auto& item : items_) {
    if (item->FrameGUID == FrameGUID) return item.get();
  }
  return nullptr;
}

int64_t TQuestionsBuffer::NowSeconds() const { return clock_.Ticks(false); }

void TQuestionsBuffer::NotifyWorkAdded() const noexcept {
  if (!on_work_added_) return;
  try {
    on_work_added_();
  } catch (...) {  // a wake-up that failed only delays the link to its next poll
  }
}

}  // namespace vd
