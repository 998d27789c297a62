#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/guid.h"
#include "support/system_event_sink.h"

namespace vd {

class IClock;
class IFileSystem;
class TCacheDirectory;
class ILogWriter;
struct TOrvanFrame;

// One frame the driver wants to send to the Kernel, other than a signal.
// Plain record owned by TQuestionsBuffer::Items.
struct TQuestionItem {
  uint32_t DestinationInstallationNumber = 0;  // 16-bit value
  TGuid DestinationModuleGUID;
  std::string QuestionBody;  // the frame's data part, sent as it is
  std::string FileName;      // full path of the ".que" file; empty: memory-only
  uint16_t FrameType = 0;
  uint8_t Direction = 1;
  TGuid FrameGUID;          // new at creation and at every load
  uint8_t SendCount = 0;    // takes since the item was last made ready
  int64_t DueTime = -1;     // Ticks seconds; meaning depends on the state
  int64_t CreatedTime = 0;  // Ticks seconds of creation or load
  bool WaitOnlyForACK = false;
};

// The item a ".que" file describes, read exactly as loading reads it (the
// six elements under the root, by name); FileName, FrameGUID and the times
// are left as they are. Raises EXMLDocError for a document that is not
// well-formed or lacks an element, EConvertError for a value that does not
// convert or fit.
TQuestionItem ParseQuestionFile(std::string_view text);

// What TakeQuestion hands to the Kernel link for one frame.
struct TQuestion {
  uint16_t FrameType = 0;
  std::string QuestionBody;
  uint8_t Direction = 0;
  TGuid DestinationModuleGUID;
  uint16_t DestinationInstallationNumber = 0;
  TGuid FrameGUID;
};

// The question buffer's state for monitoring, as one snapshot.
struct TQuestionsBufferStats {
  size_t Questions = 0;  // questions queued, parked or waiting for an answer
  size_t Events = 0;     // system events (frame type 9) waiting, stored or not
  // Since start: AddSystemEvent calls that queued their event (stored or in
  // memory), events queued in memory only, events not queued at all, and
  // ".que" file writes that failed.
  uint64_t EventsRaised = 0;
  uint64_t EventsUnstored = 0;
  uint64_t EventsDropped = 0;
  uint64_t CacheWriteFailures = 0;
};

// The outgoing queue of the driver's messages to the Kernel other than
// signals: memory-only questions (control-command reports) and durable system
// events. A durable item has its own ".que" file in the cache directory, which
// is written completely (temporary name, flush, rename, directory flush)
// before the item is queued, deleted only when the item is finished, and
// loaded again at the next start.
//
// Threads: every method is safe to call from any thread. AddSystemEvent is
// called everywhere, also while the caller holds the signal buffer's lock;
// AddQuestion from connection threads; TakeQuestion, CancelQuestion and
// HandleAnswer from the Kernel link thread; CheckTimeouts from the system
// thread. One re-entrant lock serialises them all, file writes included, so
// that the buffer's own error paths can raise events on the same thread. The
// buffer calls no other buffer while holding it; the log writer's lock is
// innermost.
//
// The file system, clock and log writer are borrowed and must outlive the
// buffer. Destruction frees the items and keeps their files.
class TQuestionsBuffer final : public ISystemEventSink {
 public:
  // At most this many events that could not be stored wait in memory.
  static constexpr size_t kMaxUnstoredEvents = 16;
  // Our own files hold a few hundred bytes; anything near this is not ours.
  static constexpr int64_t kMaxFileSize = int64_t{16} * 1024 * 1024;
  // System events waiting at most (stored or not). While the Kernel is away
  // the driver raises a few a minute (link events once a minute per kind, the
  // stale-signal and growth reports), so this is more than a day of them; at
  // the bound a new event is dropped and counted, and those that tell how the
  // outage began stay. Signals wait in their own buffer and are never dropped.
  static constexpr size_t kMaxWaitingEvents = 10000;

  struct Options {
    std::string CacheDirectory;  // "/" is added when missing
    std::string ModuleName;      // the driver's Name, for events
    std::string ModuleIp;        // the driver's LocalIP, for events
    bool FlushWrites = true;     // "FlushCacheWrites": fsync files and directory
    // When set, called after every item AddQuestion or AddSystemEvent queued
    // at the end of Ready, on the adding thread and outside lock_ (possibly
    // while the caller holds the signal buffer's lock), so that the Kernel
    // link can wake at once instead of at its next poll. It must be quick,
    // must not raise and must not call into either buffer.
    std::function<void()> OnWorkAdded = {};
    size_t MaxWaitingEvents = kMaxWaitingEvents;
    // The directory (same path) shared with the signal buffer; borrowed.
    // None: the buffer keeps its own.
    TCacheDirectory* Cache = nullptr;
  };

  // Creates the cache directory when it is missing; otherwise removes the
  // temporary files of interrupted writes and loads every "*.que" file.
  // An unreadable file is renamed to name + ".error" and reported as an
  // event. Raises EOSError when the directory can be neither created nor
  // listed.
  TQuestionsBuffer(IFileSystem& fs, const IClock& clock, ILogWriter& log, Options options);
  ~TQuestionsBuffer() override;

  TQuestionsBuffer(const TQuestionsBuffer&) = delete;
  TQuestionsBuffer& operator=(const TQuestionsBuffer&) = delete;

  // Queues a memory-only question with Direction 1. False (and the event
  // "Error while adding question to buffer.") when it could not be queued.
  bool AddQuestion(uint16_t FrameType, const std::string& QuestionBody, bool WaitOnlyForACK,
                   const TGuid& DestinationModuleGUID, uint16_t DestinationInstallationNumber);
  // The same for the Kernel itself (all-zero GUID, installation 0).
  bool AddQuestion(uint16_t FrameType, const std::string& QuestionBody, bool WaitOnlyForACK);

  // Queues a system event as a durable frame of type 9. True only when its
  // ".que" file is complete on disk; on any failure nothing stays on disk and
  // nothing is logged. An event that cannot be stored (a full or failing
  // disk) is still queued in memory, like a question, while fewer than
  // kMaxUnstoredEvents such events are queued, so that the Kernel hears of
  // the failure that keeps it off the disk. A cache directory that has gone
  // is made again (see TCacheDirectory).
  //
  // Once the cache directory was made again (by either buffer), the next
  // AddSystemEvent, TakeQuestion or CheckTimeouts first writes the file of
  // every durable item again, under the lock. Dropped (false, counted) while MaxWaitingEvents
  // events wait. Never raises.
  bool AddSystemEvent(const std::string& text, const std::string& details, bool is_error) override;

  // The first ready item (after returning parked items that are due). The
  // item stays first until it is answered, cancelled or timed out; each take
  // restarts its 5-second DueTime and counts in SendCount. False, with an
  // empty QuestionBody, when nothing is ready.
  bool TakeQuestion(TQuestion& question);

  // The link gave up sending the item: a durable one is parked for 5 seconds,
  // a memory-only one deleted. An unknown guid changes nothing.
  void CancelQuestion(const TGuid& FrameGUID);

  // Applies the Kernel's answer to the item with the frame's FrameGUID;
  // false when no item has it.
  bool HandleAnswer(const TOrvanFrame& frame);

  // Deletes memory-only items whose DueTime has passed and that are older
  // than 60 seconds.
  void CheckTimeouts();

  // Observers for supervision and tests.
  size_t ItemCount() const;
  size_t ReadyCount() const;
  size_t WaitingCount() const;
  // Copies of all items, in creation order.
  std::vector<TQuestionItem> Snapshot() const;
  // Taken under the lock, without a walk of the items.
  TQuestionsBufferStats Stats() const;

 private:
  // Creates an item and queues it at the end of Ready. A durable item's file
  // is written first (unless save is false: the item was just read from that
  // file), so a failed write leaves nothing behind in memory. Caller holds
  // lock_.
  TQuestionItem& AddItem(uint16_t FrameType, const std::string& QuestionBody,
                         uint32_t DestinationInstallationNumber, const TGuid& DestinationModuleGUID,
                         bool WaitOnlyForACK, const std::string& FileName, uint8_t Direction,
                         bool save);
  // A memory-only event item, within kMaxUnstoredEvents; caller holds lock_.
  bool QueueUnstoredEvent(const std::string& body) noexcept;
  // flush: the file and the directory are flushed (with flush_writes_).
  void SaveQuestionFile(const TQuestionItem& item, bool flush);
  void LoadQuestionFile(const std::string& dir, const std::string& name);
  void ReturnDueItems();
  void ParkItem(TQuestionItem* item, int64_t seconds);
  void DetachItem(TQuestionItem* item);
  void DeleteItem(TQuestionItem* item);
  TQuestionItem* FindByGuid(const TGuid& FrameGUID) const;
  int64_t NowSeconds() const;
  // Calls on_work_added_ (if set); never raises. Called without lock_.
  void NotifyWorkAdded() const noexcept;
  // See AddSystemEvent; caller holds lock_. Never raises.
  void RestoreFilesIfRecreated() noexcept;

  // Constant after construction.
  IFileSystem& fs_;
  const IClock& clock_;
  ILogWriter& log_;
  const std::string cache_directory_;  // ends with "/"
  const std::string module_name_;
  const std::string module_ip_;
  const bool flush_writes_;
  const std::function<void()> on_work_added_;
  const size_t max_waiting_events_;
  const std::unique_ptr<TCacheDirectory> own_cache_;  // when none is shared
  TCacheDirectory& cache_;

  mutable std::recursive_mutex lock_;
  std::vector<std::unique_ptr<TQuestionItem>> items_;  // GUARDED_BY(lock_), owner
  std::vector<TQuestionItem*> ready_;                  // GUARDED_BY(lock_)
  std::vector<TQuestionItem*> waiting_;                // GUARDED_BY(lock_)
  size_t event_items_ = 0;                             // GUARDED_BY(lock_): of items_
  TQuestionsBufferStats counters_;                     // GUARDED_BY(lock_): the totals
  uint64_t restored_generation_ = 0;                   // GUARDED_BY(lock_): of cache_
};

}  // namespace vd
