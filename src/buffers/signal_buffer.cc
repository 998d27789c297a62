#include "buffers/signal_buffer.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>
#include <utility>

#include "buffers/cache_directory.h"
#include "buffers/signal_xml.h"
#include "config/driver_settings.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/file_utils.h"
#include "support/log_writer.h"
#include "support/system_event_sink.h"
#include "support/text_encoding.h"
#include "support/text_utils.h"
#include "support/time_utils.h"

namespace vd {
namespace {

constexpr char kSignalExtension[] = ".sig";
constexpr char kSignalMask[] = "*.sig";
constexpr int64_t kNever = std::numeric_limits<int64_t>::min();
constexpr char kCacheRecreatedText[] =
    "Cache directory recreated; the signals and events held were written to it again.";

int64_t SaturatingAdd(int64_t a, int64_t b) {
  if (b > 0 && a > std::numeric_limits<int64_t>::max() - b) {
    return std::numeric_limits<int64_t>::max();
  }
  if (b < 0 && a < std::numeric_limits<int64_t>::min() - b) {
    return std::numeric_limits<int64_t>::min();
  }
  return a + b;
}

// UTC seconds as the local date "yyyy-mm-dd", followed by " hh:nn:ss" unless
// the time is exactly midnight. A time the zone rules cannot convert is
// written as its number of seconds.
std::string LocalTimeText(int64_t utc_seconds) {
  try {
    const CivilTime local = UtcUnixToLocal(utc_seconds);
    char text[96];
    int length =
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", local.year, local.month, local.day);
    if (local.hour != 0 || local.minute != 0 || local.second != 0) {
      length += std::snprintf(text + length, sizeof text - static_cast<size_t>(length),
                              " %02d:%02d:%02d", local.hour, local.minute, local.second);
    }
    return std::string(text, static_cast<size_t>(length));
  } catch (...) {
    return std::to_string(utc_seconds);
  }
}

// Removes a file that may or may not exist; a failure leaves it for the
// start-up cleanup (a temporary name) or is the lesser evil (see callers).
void RemoveFileQuietly(IFileSystem& fs, const std::string& path) noexcept {
  try {
    if (fs.Stat(path).exists) fs.DeleteFile(path);
  } catch (...) {
  }
}

}  // namespace

TSignalBuffer::TSignalBuffer(IFileSystem& fs, const IClock& clock, ISystemEventSink& events,
                             ILogWriter& log, const DriverSettings& settings,
                             std::string cache_directory, bool flush_writes,
                             std::function<void()> on_work_added, TCacheDirectory* cache)
    : fs_(fs),
      clock_(clock),
      events_(events),
      log_(log),
      cache_directory_(IncludeTrailingSlash(std::move(cache_directory))),
      own_cache_(cache != nullptr ? nullptr
                                  : std::make_unique<TCacheDirectory>(fs, log, cache_directory_)),
      cache_(cache != nullptr ? *cache : *own_cache_),
      flush_writes_(flush_writes),
      on_work_added_(std::move(on_work_added)),
      capacity_(std::max<size_t>(1, settings.SignalBufferCapacity)),
      // 100 below the capacity, as long as that leaves nine tenths of it.
      normal_margin_(std::min<size_t>(kNormalMargin, capacity_ / 10)),
      restored_generation_(cache_.Generation()) {
  if (fs_.Stat(cache_directory_).exists) {
    RemoveUnfinishedFiles(fs_, log_, cache_directory_, kSignalMask);
    LoadSignalFiles();
  } else {
    fs_.CreateDirectories(cache_directory_);
  }

  const int64_t now = NowSeconds();
  port_states_.reserve(settings.Ports.size());
  for (const PortEntry& port : settings.Ports) {
    PortState state;
    state.LastSignalTime = now;
    state.WindowStart = kNever;
    state.WindowCount = 0;
    state.InactivityTimeout = port.InactivityMessageTimeout;
    state.MaxPerMinute = port.MaxReceiveSignals;
    port_states_.push_back(state);
  }
}

TSignalBuffer::~TSignalBuffer() = default;

size_t TSignalBuffer::GuidHash::operator()(const TGuid& guid) const noexcept {
  uint64_t low = 0;
  uint64_t high = 0;
  std::memcpy(&low, &guid.data4, sizeof low);
  high = (uint64_t{guid.data1} << 32) | (uint64_t{guid.data2} << 16) | guid.data3;
  // Ids are random, but a Kernel's answers may carry any GUID: mix anyway.
  uint64_t h = (low ^ (high * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
  return static_cast<size_t>(h ^ (h >> 31));
}

void TSignalBuffer::LoadSignalFiles() {
  std::vector<LoadedFile> files;
  FindFiles(fs_, cache_directory_, kSignalMask,
            [&files](const std::string& dir, const std::string& name) {
              files.push_back(LoadedFile{dir + name, std::nullopt, std::string(), false});
            });
  // Reading and parsing run on several threads; the results are taken in
  // listing order, so that events, renames and the order of equal TimeIns
  // are those of a load file by file.
  constexpr size_t kFilesPerThread = 512;
  constexpr size_t kChunk = 64;
  std::atomic<size_t> next{0};
  const auto read_files = [this, &files, &next] {
    for (size_t begin; (begin = next.fetch_add(kChunk)) < files.size();) {
      const size_t end = std::min(files.size(), begin + kChunk);
      for (size_t i = begin; i < end; ++i) ReadSignalFile(files[i]);
    }
  };
  const size_t threads = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()),
                                          files.size() / kFilesPerThread + 1);
  std::vector<std::thread> helpers;
  for (size_t t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(read_files);
    } catch (...) {
      break;  // no thread to spare: this one reads what is left
    }
  }
  read_files();
  for (std::thread& helper : helpers) helper.join();

  index_.reserve(files.size());
  for (LoadedFile& file : files) AcceptLoadedFile(file);
  pending_.sort(
      [](const SignalEntry& a, const SignalEntry& b) { return a.Signal.TimeIn < b.Signal.TimeIn; });
}

void TSignalBuffer::ReadSignalFile(LoadedFile& file) noexcept {
  try {
    RetryTransient(
        [&] { file.signal = ParseSignalDocument(fs_.ReadFile(file.path, kMaxFileSize)); });
  } catch (...) {
    file.signal.reset();
    try {
      file.error = CurrentExceptionText();
    } catch (...) {
      file.transient = true;  // out of memory even for the text: the file may be fine
    }
  }
}

void TSignalBuffer::AcceptLoadedFile(LoadedFile& file) {
  if (file.signal) {
    try {
      const auto time_in = time_in_counts_.try_emplace(file.signal->TimeIn).first;
      pending_.emplace_back();
      SignalEntry& entry = pending_.back();
      entry.Signal = std::move(*file.signal);
      entry.Id = NewGuid();
      entry.State = EntryState::kPending;
      entry.TimeInSlot = time_in;
      ++time_in->second.pending;
      try {
        entry.FileName = file.path;
        index_.emplace(entry.Id, std::prev(pending_.end()));
        test_signals_ += entry.Signal.SignalType == kTestSignalType;
      } catch (...) {
        index_.erase(entry.Id);
        --time_in->second.pending;
        ReleaseTimeIn(time_in);
        pending_.pop_back();
        throw;
      }
      return;
    } catch (const std::exception& error) {
      file.error = ExceptionText(error);
      file.transient = true;
    }
  }
  events_.AddSystemEvent("Błąd odczytu sygnału z dysku!", file.error, true);
  if (file.transient) {
    log_.LogWrite("Signal file left for the next start: " + file.path);
  } else {
    SetAsideUnreadableFile(fs_, log_, "signal", file.path, file.error);
  }
}

bool TSignalBuffer::AddSignal(TSignal signal) {
  // Texts, times and the entry need no shared state: prepared before the
  // lock. The list node is made before the file is written, so that nothing
  // can fail between a successful write and the append.
  std::optional<std::string> failure;
  Writer writer;
  try {
    signal.HardwareNumber = EscapeControlChars(signal.HardwareNumber, false);
    signal.Code = EscapeControlChars(signal.Code, false);
    signal.Extension1 = EscapeControlChars(signal.Extension1, false);
    signal.Extension2 = EscapeControlChars(signal.Extension2, false);
    signal.Extension3 = EscapeControlChars(signal.Extension3, false);
    signal.Extension4 = EscapeControlChars(signal.Extension4, false);
    signal.Extension5 = EscapeControlChars(signal.Extension5, false);
    signal.TimeIn = LocalUnixToUtcUnix(signal.TimeIn, clock_);
    signal.TimeSource = LocalUnixToUtcUnix(signal.TimeSource, clock_);
    writer.entry.emplace_back();
    writer.entry.front().Id = NewGuid();
    writer.entry.front().Signal = std::move(signal);  // last: nothing raises after it
  } catch (...) {
    writer.entry.clear();
    failure = CurrentExceptionText();
  }
  const TSignal& stored_signal = writer.entry.empty() ? signal : writer.entry.front().Signal;

  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Reserve(stored_signal, failure ? &*failure : nullptr, writer)) return false;
  }

  // Concurrent callers flush their own files at the same time (the file
  // system commits such flushes together); the directory flush that makes
  // the new names durable is shared below.
  std::string error;
  bool written = false;
  std::string temporary;
  try {
    temporary = TemporaryFileName(writer.file_name);
  } catch (...) {
    error = CurrentExceptionText();
  }
  // A second attempt only when the cache directory had gone and was made
  // again: one deletion must not refuse every signal until the next start.
  for (int attempt = 0; attempt < 2 && !written && !temporary.empty(); ++attempt) {
    try {
      fs_.WriteFile(temporary, SignalDocument(stored_signal), flush_writes_);
      fs_.Rename(temporary, writer.file_name, true);
      written = true;
    } catch (...) {
      error = CurrentExceptionText();
      RemoveFileQuietly(fs_, temporary);
      if (!cache_.RecreateIfMissing()) break;
    }
  }

  bool stored = false;
  if (written && flush_writes_) {
    stored = CommitInGroup(writer);
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    Finish(writer, written, error);
    stored = written;
  }
  RestoreFilesIfRecreated();
  if (stored) NotifyWorkAdded();
  return stored;
}

void TSignalBuffer::RestoreFilesIfRecreated() noexcept {
  if (restored_generation_.load(std::memory_order_acquire) == cache_.Generation()) return;
  // One restorer at a time, and nobody waits for it: a caller that finds one
  // at work goes on, and the restorer looks again once it is done (the
  // directory may have gone once more meanwhile).
  std::unique_lock<std::mutex> restoring(restore_mutex_, std::try_to_lock);
  if (!restoring.owns_lock()) return;
  for (uint64_t generation = cache_.Generation();
       restored_generation_.load(std::memory_order_acquire) != generation;
       generation = cache_.Generation()) {
    RestoreFiles(generation);
  }
}

void TSignalBuffer::RestoreFiles(uint64_t generation) noexcept {
  struct Held {
    TGuid id;
    std::string file;
    TSignal signal;
  };
  std::vector<Held> held;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    held.reserve(pending_.size() + postponed_.size());
    for (EntryList* list : {&pending_, &postponed_}) {
      for (SignalEntry& entry : *list) {
        // A signal taken while the directory was gone could draw the name of
        // a held one whose file had gone with it (nothing on disk said the
        // name was taken): one of the two gets a name of its own, or the
        // removal of either would delete the other's file.
        if (NameTaken(entry.FileName)) entry.FileName = DrawFreeName();
        restoring_names_.insert(entry.FileName);
        held.push_back({entry.Id, entry.FileName, entry.Signal});
      }
    }
    restored_generation_.store(generation, std::memory_order_release);
  } catch (...) {  // out of memory: this generation counts as done
    std::lock_guard<std::mutex> lock(mutex_);
    restoring_names_.clear();
    restored_generation_.store(generation, std::memory_order_release);
    return;
  }

  // Written like new files, but without the lock, so that producers do not
  // wait, and without flushing each file: a backlog of tens of thousands
  // must be back well within the watchdog's limit for the calling thread
  // (a restart halfway would lose the rest). The data reaches the disk with
  // the system's write-back; the directory is flushed once, at the end.
  size_t written = 0;
  std::string failure;
  for (const Held& h : held) {
    const std::string temporary = TemporaryFileName(h.file);
    try {
      fs_.WriteFile(temporary, SignalDocument(h.signal), false);
      fs_.Rename(temporary, h.file, true);
      ++written;
    } catch (...) {
      RemoveFileQuietly(fs_, temporary);
      if (failure.empty()) failure = CurrentExceptionText();
    }
  }
  try {
    if (flush_writes_) fs_.SyncDirectory(cache_directory_);
  } catch (...) {
    if (failure.empty()) failure = CurrentExceptionText();
  }
  // A signal acknowledged meanwhile had its file deleted before it was
  // written again: it must not come back at the next start.
  std::vector<std::string> gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Held& h : held) {
      if (index_.count(h.id) == 0) gone.push_back(h.file);
    }
  }
  for (const std::string& file : gone) RemoveFileQuietly(fs_, file);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    restoring_names_.clear();
  }

  try {
    std::string details = cache_directory_ + ": " + std::to_string(written) + " of " +
                          std::to_string(held.size()) + " signal files written again";
    if (!failure.empty()) details += " (" + failure + ")";
    const std::string lock_failure = cache_.LockFailure();
    details += lock_failure.empty() ? "; cache lock taken again"
                                    : "; cache lock not taken again: " + lock_failure;
    log_.LogWrite("Signal files restored: " + details);
    // The question buffer writes its own files again before it queues this.
    events_.AddSystemEvent(kCacheRecreatedText, details, true);
  } catch (...) {  // out of memory for the texts; the files are written
  }
}

bool TSignalBuffer::Reserve(const TSignal& signal, const std::string* failure, Writer& writer) {
  std::string text;
  try {
    CountSignalOnPort(signal.DriverPort);
    if (failure != nullptr) {
      text = *failure;
    } else if (HeldCount() >= capacity_) {
      CheckBufferSize(true);
    } else {
      SignalEntry& entry = writer.entry.front();
      const auto time_in = time_in_counts_.try_emplace(signal.TimeIn).first;
      ++time_in->second.writing;
      entry.TimeInSlot = time_in;
      try {
        index_.emplace(entry.Id, writer.entry.begin());
        std::string name = ReserveFileName();
        try {
          entry.FileName = name;
        } catch (...) {
          in_flight_names_.pop_back();
          throw;
        }
        writer.file_name = std::move(name);
      } catch (...) {
        index_.erase(entry.Id);
        --time_in->second.writing;
        ReleaseTimeIn(time_in);
        throw;
      }
      writer.driver_port = signal.DriverPort;
      ++in_flight_;
      return true;
    }
  } catch (...) {
    text = CurrentExceptionText();
  }
  if (PortState* state = StateOfPort(signal.DriverPort)) ++state->Refused;
  if (!text.empty()) {
    log_.LogWrite("New signal exception: " + text);
    events_.AddSystemEvent("Error while adding signal.", text, true);
  }
  LogSignalLine(signal, false);
  return false;
}

bool TSignalBuffer::NameTaken(const std::string& name) const {
  return std::find(in_flight_names_.begin(), in_flight_names_.end(), name) !=
             in_flight_names_.end() ||
         restoring_names_.count(name) != 0;
}

std::string TSignalBuffer::DrawFreeName() {
  // A name in flight or being written again has no file yet, so
  // UniqueFileName cannot see it taken.
  constexpr int kMaxDraws = 1000;
  for (int draw = 0; draw < kMaxDraws; ++draw) {
    std::string name = UniqueFileName(fs_, clock_, cache_directory_, kSignalExtension);
    if (!NameTaken(name)) return name;
  }
  throw MakeOSError(EEXIST, "choose a free file name in", cache_directory_);
}

std::string TSignalBuffer::ReserveFileName() {
  in_flight_names_.push_back(DrawFreeName());
  return in_flight_names_.back();
}

bool TSignalBuffer::CommitInGroup(Writer& self) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (writers_tail_ != nullptr) {
    writers_tail_->next = &self;
  } else {
    writers_head_ = &self;
  }
  writers_tail_ = &self;
  ++queued_;
  if (writers_head_ != &self) writers_head_->woken.notify_one();  // one more for its batch
  // Bounded: the leader ahead finishes its batch or hands the lead on; the
  // writers still writing their files arrive (or fail) soon, and there are
  // never more of them than callers inside AddSignal.
  for (;;) {
    if (self.done) return self.stored;
    if (writers_head_ == &self && (queued_ >= in_flight_ || queued_ >= kMaxBatch)) break;
    self.woken.wait(lock);
  }

  // Leading: every writer queued now is one batch; the leader waited for
  // those still writing their files, so that the batches stay large when
  // many callers add at once. Those queued while the batch is stored wait
  // for the next leader; the nodes from self to last do not change
  // meanwhile.
  Writer* const last = writers_tail_;
  queued_ = 0;
  lock.unlock();
  std::string error;
  const bool stored = StoreBatch(&self, last, error);
  lock.lock();

  writers_head_ = last->next;
  if (writers_head_ == nullptr) writers_tail_ = nullptr;
  for (Writer* writer = &self;;) {
    Writer* const next = writer->next;
    const bool is_last = writer == last;
    Finish(*writer, stored, error);
    writer->stored = stored;
    writer->done = true;
    if (writer != &self) writer->woken.notify_one();
    if (is_last) break;
    writer = next;
  }
  if (writers_head_ != nullptr) writers_head_->woken.notify_one();
  return stored;
}

bool TSignalBuffer::StoreBatch(Writer* first, const Writer* last, std::string& error) noexcept {
  try {
    fs_.SyncDirectory(cache_directory_);
    return true;
  } catch (...) {
    try {
      error = CurrentExceptionText();
    } catch (...) {
    }
  }
  // A file that stays under its name would come back at the next start as a
  // signal its sender was told was not stored. Never raises: the writers
  // behind wait for this leader.
  for (Writer* writer = first;; writer = writer->next) {
    RemoveFileQuietly(fs_, writer->file_name);
    if (writer == last) break;
  }
  try {
    fs_.SyncDirectory(cache_directory_);
  } catch (...) {  // the removals are done; only their durability is uncertain
  }
  return false;
}

void TSignalBuffer::Finish(Writer& writer, bool stored, const std::string& error) noexcept {
  const auto name = std::find(in_flight_names_.begin(), in_flight_names_.end(), writer.file_name);
  if (name != in_flight_names_.end()) {
    std::swap(*name, in_flight_names_.back());
    in_flight_names_.pop_back();
  }
  --in_flight_;
  writer.file_name.clear();
  // The next leader may be waiting for this writer.
  if (writers_head_ != nullptr) writers_head_->woken.notify_one();
  SignalEntry& entry = writer.entry.front();
  TimeInCount& count = entry.TimeInSlot->second;
  --count.writing;
  PortState* const port = StateOfPort(writer.driver_port);
  if (stored) {
    ++count.pending;
    entry.State = EntryState::kPending;
    if (port != nullptr) ++port->Added;
    test_signals_ += entry.Signal.SignalType == kTestSignalType;
    pending_.splice(pending_.end(), writer.entry);
    LogSignalLine(pending_.back().Signal, true);
    return;
  }
  index_.erase(entry.Id);
  ReleaseTimeIn(entry.TimeInSlot);
  if (port != nullptr) ++port->Refused;
  ++cache_write_failures_;
  try {
    log_.LogWrite("Save signal to file exception: " + error);
    events_.AddSystemEvent("Error while saving signal to disk.", error, true);
  } catch (...) {  // out of memory for the texts; the line below still tells
  }
  LogSignalLine(entry.Signal, false);
}

void TSignalBuffer::LogSignalLine(const TSignal& signal, bool added) noexcept {
  try {
    log_.LogWrite(NewSignalLine(signal, added));
  } catch (...) {
    // Out of memory for the line; the result must still tell what was stored.
  }
}

TSignalBuffer::PortState* TSignalBuffer::StateOfPort(int32_t driver_port) {
  const int64_t index = int64_t{driver_port} - 1;
  if (index < 0 || index >= static_cast<int64_t>(port_states_.size())) return nullptr;
  return &port_states_[static_cast<size_t>(index)];
}

void TSignalBuffer::ReleaseTimeIn(TimeInCounts::iterator count) noexcept {
  const TimeInCount& c = count->second;
  if (c.pending == 0 && c.postponed == 0 && c.writing == 0) time_in_counts_.erase(count);
}

void TSignalBuffer::CountSignalOnPort(int32_t driver_port) {
  PortState* const port = StateOfPort(driver_port);
  if (port == nullptr) return;
  PortState& state = *port;
  const int64_t now = NowSeconds();
  state.LastSignalTime = now;
  if (state.WindowCount < std::numeric_limits<int32_t>::max()) ++state.WindowCount;
  if (state.WindowStart <= now - kCountingWindowSeconds) {
    state.WindowStart = now;
    state.WindowCount = 1;
  }
  if (state.MaxPerMinute > 0 && state.WindowCount == state.MaxPerMinute) {
    events_.AddSystemEvent("Limit of received signals per minute reached (" +
                               std::to_string(state.MaxPerMinute) + ") on port " +
                               std::to_string(driver_port) + " .",
                           "", true);
  }
}

void TSignalBuffer::CheckBufferSize(bool exceeded) {
  const size_t occupied = HeldCount();
  if (exceeded) {
    if (occupied == capacity_ && !size_exceeded_) {
      events_.AddSystemEvent("Event buffer size exceeded.", "", true);
      size_exceeded_ = true;
    }
  } else if (occupied + normal_margin_ < capacity_ && size_exceeded_) {
    events_.AddSystemEvent("Event buffer size normalized.", "", false);
    size_exceeded_ = false;
  }
}

bool TSignalBuffer::GetFirstSignal(TSignal& signal, TGuid& id) noexcept {
  RestoreFilesIfRecreated();
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    ReturnDuePostponed();
    if (pending_.empty()) return false;
    signal = pending_.front().Signal;
    id = pending_.front().Id;
    return true;
  } catch (...) {
    log_.LogWrite("Get first signal exception: " + CurrentExceptionText());
    return false;
  }
}

void TSignalBuffer::ReturnDuePostponed() {
  const int64_t now = NowSeconds();
  if (due_.empty() || due_.begin()->first > now) return;
  // In the order they were postponed, so that signals refused one after the
  // other return oldest first. Splicing moves the nodes without allocating.
  const auto end = due_.upper_bound(now);
  returning_.clear();
  for (auto it = due_.begin(); it != end; ++it) returning_.push_back(it->second);
  std::sort(returning_.begin(), returning_.end(), [](EntryList::iterator a, EntryList::iterator b) {
    return a->PostponeOrder < b->PostponeOrder;
  });
  due_.erase(due_.begin(), end);
  for (const EntryList::iterator entry : returning_) {
    entry->DueTime = -1;
    entry->State = EntryState::kPending;
    --entry->TimeInSlot->second.postponed;
    ++entry->TimeInSlot->second.pending;
    pending_.splice(pending_.end(), postponed_, entry);
  }
  returning_.clear();
}

bool TSignalBuffer::PostponeSignal(const TGuid& id, int64_t delay_seconds) noexcept {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = index_.find(id);
    if (found == index_.end() || found->second->State != EntryState::kPending) return false;
    const EntryList::iterator entry = found->second;
    const int64_t due = SaturatingAdd(NowSeconds(), delay_seconds);
    if (returning_.capacity() <= due_.size()) {  // so that returning it cannot fail
      returning_.reserve(std::max<size_t>(16, 2 * returning_.capacity()));
    }
    due_.emplace(due, entry);
    entry->DueTime = due;
    entry->PostponeOrder = next_postpone_order_++;
    entry->State = EntryState::kPostponed;
    --entry->TimeInSlot->second.pending;
    ++entry->TimeInSlot->second.postponed;
    postponed_.splice(postponed_.end(), pending_, entry);
    return true;
  } catch (...) {
    log_.LogWrite("Postpone signal exception: " + CurrentExceptionText());
    return false;
  }
}

bool TSignalBuffer::RemoveSignal(const TGuid& id) noexcept {
  try {
    EntryList removed;
    std::vector<std::string> files;  // to delete: this one, then earlier failures
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto found = index_.find(id);
      if (found == index_.end() || found->second->State != EntryState::kPending) return false;
      files.reserve(undeleted_files_.size() + 1);
      // Out of memory first: the Kernel has the signal, so it must not be
      // sent again whatever happens to its file.
      const EntryList::iterator entry = found->second;
      index_.erase(found);
      --entry->TimeInSlot->second.pending;
      ReleaseTimeIn(entry->TimeInSlot);
      test_signals_ -= entry->Signal.SignalType == kTestSignalType;
      removed.splice(removed.end(), pending_, entry);
      files.swap(undeleted_files_);
      CheckBufferSize(false);
    }
    // The files go without the lock, so that producers never wait for the
    // disk here. Their names stay taken until they are gone. This signal's
    // file first, the others only while deletions succeed: while the disk
    // refuses every one (a read-only cache) a removal costs one attempt and
    // one log line, not one per file kept.
    files.push_back(std::move(removed.front().FileName));
    std::rotate(files.begin(), files.end() - 1, files.end());
    size_t kept = 0;
    for (size_t i = 0; i < files.size(); ++i) {
      if (kept == 0 && DeleteSignalFile(files[i])) continue;
      if (kept != i) files[kept] = std::move(files[i]);
      ++kept;
    }
    files.resize(kept);
    if (!files.empty()) {
      std::lock_guard<std::mutex> lock(mutex_);
      // Bounded: beyond it the file is loaded and sent again after a restart.
      for (std::string& file : files) {
        if (undeleted_files_.size() >= kMaxUndeletedFiles) break;
        undeleted_files_.push_back(std::move(file));
      }
    }
    return true;
  } catch (...) {
    log_.LogWrite("Remove signal exception: " + CurrentExceptionText());
    return false;
  }
}

bool TSignalBuffer::DeleteSignalFile(const std::string& file_name) {
  try {
    fs_.DeleteFile(file_name);
    return true;
  } catch (...) {
    if (!fs_.Stat(file_name).exists) return true;
    try {
      log_.LogWrite("Remove signal file exception: " + CurrentExceptionText());
    } catch (...) {
    }
    return false;
  }
}

bool TSignalBuffer::CountOldSignals(int32_t& old_count, int32_t& total_count) {
  RestoreFilesIfRecreated();
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t cutoff = NowUnixUtc(clock_) - kOldSignalAgeSeconds;
  size_t old = 0;
  for (auto it = time_in_counts_.begin(); it != time_in_counts_.end() && it->first < cutoff; ++it) {
    old += it->second.pending;
  }
  old_count = static_cast<int32_t>(old);
  total_count = static_cast<int32_t>(pending_.size());
  return old > 0;
}

void TSignalBuffer::CheckInactivity() {
  RestoreFilesIfRecreated();
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = NowSeconds();
  for (size_t i = 0; i < port_states_.size(); ++i) {
    PortState& state = port_states_[i];
    if (state.InactivityTimeout > 0 && state.LastSignalTime + state.InactivityTimeout < now) {
      events_.AddSystemEvent("No received events on port " + std::to_string(i + 1) +
                                 " during given period (" +
                                 std::to_string(state.InactivityTimeout) + " sec.).",
                             "", true);
      state.LastSignalTime = now;
    }
  }
}

size_t TSignalBuffer::PendingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size();
}

size_t TSignalBuffer::PostponedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return postponed_.size();
}

size_t TSignalBuffer::InFlightCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_flight_;
}

TSignalBufferStats TSignalBuffer::Stats() const {
  TSignalBufferStats stats;
  stats.Capacity = capacity_;
  stats.Ports.resize(port_states_.size());  // constant after construction
  std::lock_guard<std::mutex> lock(mutex_);
  stats.Pending = pending_.size();
  stats.Postponed = postponed_.size();
  stats.InFlight = in_flight_;
  stats.TestSignals = test_signals_;
  // Keys with no waiting signal are those of signals being written: at most
  // one per writer to pass.
  for (const auto& [time_in, count] : time_in_counts_) {
    if (count.pending + count.postponed == 0) continue;
    stats.OldestTimeIn = time_in;
    break;
  }
  for (size_t i = 0; i < port_states_.size(); ++i) {
    stats.Ports[i].Added = port_states_[i].Added;
    stats.Ports[i].Refused = port_states_[i].Refused;
  }
  stats.CacheWriteFailures = cache_write_failures_;
  return stats;
}

std::string TSignalBuffer::NewSignalLine(const TSignal& signal, bool added) const {
  // The log is UTF-8; signal texts are Windows-1250 bytes. Texts the buffer
  // stores as they came (names, canal) are escaped here too, so that a
  // control character in them cannot break or forge lines of the log.
  const auto text = [](std::string_view bytes) {
    return Win1250ToUtf8(EscapeControlChars(bytes, false));
  };
  std::string line = "New signal ";
  if (!added) line += "NOT ";
  line += "added:";
  line += " HN: " + text(signal.HardwareNumber);
  line += " Code: " + text(signal.Code);
  line += " Ext1: " + text(signal.Extension1);
  line += " Ext2: " + text(signal.Extension2);
  line += " Ext3: " + text(signal.Extension3);
  line += " Ext4: " + text(signal.Extension4);
  line += " Ext5: " + text(signal.Extension5);
  line += " Value: " + FormatFloat(signal.Value);
  line += " Driver port: " + std::to_string(signal.DriverPort);
  line += " Driver port name: " + text(signal.DriverPortName);
  line += " Canal slot: " + text(signal.CanalSlot);
  line += " Canal type: " + text(signal.CanalType);
  line += " Signal type: " + SignalTypeName(signal.SignalType);
  line += " Source time: " + LocalTimeText(signal.TimeSource);
  line += " Reception time: " + LocalTimeText(signal.TimeIn);
  return line;
}

int64_t TSignalBuffer::NowSeconds() const { return clock_.Ticks(false); }

void TSignalBuffer::NotifyWorkAdded() const noexcept {
  if (!on_work_added_) return;
  try {
    on_work_added_();
  } catch (...) {  // a wake-up that failed only delays the link to its next poll
  }
}

}  // namespace vd
