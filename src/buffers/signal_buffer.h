#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "device/signal.h"
#include "device/signal_sink.h"
#include "support/guid.h"

namespace vd {

class IClock;
class TCacheDirectory;
class IFileSystem;
class ILogWriter;
class ISystemEventSink;
struct DriverSettings;

// The signal buffer's state for monitoring, as one snapshot.
struct TSignalBufferStats {
  struct Port {
    uint64_t Added = 0;    // signals buffered since start
    uint64_t Refused = 0;  // signals refused since start, for whatever reason
  };
  size_t Capacity = 0;
  size_t Pending = 0;
  size_t Postponed = 0;
  size_t InFlight = 0;  // accepted, files still being written
  // Every signal the buffer holds, as the capacity counts them.
  size_t Held() const { return Pending + Postponed + InFlight; }
  // TimeIn (UTC seconds) of the oldest signal pending or postponed.
  std::optional<int64_t> OldestTimeIn;
  // Of the signals pending or postponed, the driver's own test signals.
  size_t TestSignals = 0;
  // One per configured port, in the order of DriverSettings::Ports; signals
  // of other ports (the test signal) count in none.
  std::vector<Port> Ports;
  // Signal files that could not be stored since start.
  uint64_t CacheWriteFailures = 0;
};

// The durable queue of signals between device reception and the Kernel link.
//
// Every accepted signal is written to its own ".sig" file in the cache
// directory (durably: temporary name, flush, rename, flush of the directory)
// before AddSignal reports success; in memory the signals wait in arrival
// order and the link takes the oldest with GetFirstSignal. A signal leaves
// the buffer, with its file, only through RemoveSignal once the Kernel has
// acknowledged it; a refused one is postponed and comes back after its delay.
// The files of signals still buffered at stop are loaded at the next start.
// The buffer also carries the per-port supervision bound to signal arrival:
// the per-minute limit, the inactivity report, and the buffer-full and
// buffer-normal events.
//
// Group commit: AddSignal writes, flushes and renames its file without the
// lock, so that concurrent callers flush at the same time (the file system
// serves simultaneous flushes with one commit). With flushing on they then
// queue for the directory flush that makes the new names durable; the first
// in the queue leads: it waits for the callers still writing their files,
// takes every queued one as one batch, flushes the directory once and (under
// the lock again) appends the batch to the pending signals, writes their log
// lines and wakes the others. Every caller still returns only once its own
// file is durable. A cache directory that has gone (removed while the driver
// runs) is made again (see TCacheDirectory) and the write tried once more;
// the files of the signals held, which went with it, are then written again
// without the lock, and one event tells the operator. A failed write, flush
// or rename refuses that signal; a failed directory flush refuses exactly the signals of its batch;
// neither leaves a file under the final name.
//
// The capacity bounds every signal the buffer holds: pending, postponed (a
// Kernel that refuses every signal is an outage like any other) and being
// written.
//
// Costs do not grow with the backlog: an index by Id finds the entry to
// remove or postpone, postponed signals wait ordered by their due time, and
// counts per TimeIn give the oldest signal and the old-signal count.
//
// Stored signals carry UTC seconds; AddSignal takes local wall-clock seconds.
//
// Collaborators are borrowed and must outlive the buffer. The settings are
// read in the constructor only (the ports and the capacity).
//
// on_work_added, when set, is called after AddSignal appended its signal to
// the pending signals, on the adding thread and outside mutex_,
// so that the Kernel link can wake at once instead of at its next poll. It
// must be quick, must not raise and must not call into this buffer (a
// wake-up of a waiting thread, nothing more). A postponed signal becoming due
// calls nothing: the link finds it at its next pass.
//
// Threads: AddSignal from any thread (device connections, system thread);
// GetFirstSignal, PostponeSignal and RemoveSignal from the Kernel link thread
// (they never raise); CountOldSignals and CheckInactivity from the system
// thread. Construction and destruction run while no other thread uses it.
//
// Locking: mutex_ guards all state; it is never held across a file write or
// flush of AddSignal. It is held while the buffer calls the system-event sink
// (the question buffer) and the log, so the lock order is: signal buffer,
// then question buffer, then log. Neither of those may call back into the
// buffer. restore_mutex_ is only ever tried, never waited for, by a caller
// holding no lock.
class TSignalBuffer final : public ISignalSink {
 public:
  // "Event buffer size normalized." once fewer than the capacity less this
  // are held again (less a tenth of a capacity below 1000).
  static constexpr size_t kNormalMargin = 100;
  static constexpr int64_t kCountingWindowSeconds = 60;
  static constexpr int64_t kOldSignalAgeSeconds = 300;
  // Signal files are a few hundred bytes; a larger file is no signal file.
  static constexpr int64_t kMaxFileSize = 1 << 20;
  // A batch leader stops waiting for more writers at this many.
  static constexpr size_t kMaxBatch = 128;
  // Files of acknowledged signals whose deletion failed, kept for a retry.
  static constexpr size_t kMaxUndeletedFiles = 1000;

  // Removes files left behind by interrupted writes, then loads every ".sig"
  // file of cache_directory (created with its parents when missing), oldest
  // TimeIn first; files are read and parsed on several threads. A read that
  // fails for a reason that may pass is tried again a few times; a file that
  // still cannot be read is reported, renamed to its name followed by
  // ".error" and named in the log. With flush_writes false files are written
  // without flushing them to stable storage (faster, not power-loss safe).
  // Raises EOSError when the directory cannot be created or listed. cache,
  // when given, is the directory (same path) shared with the question
  // buffer; borrowed.
  TSignalBuffer(IFileSystem& fs, const IClock& clock, ISystemEventSink& events, ILogWriter& log,
                const DriverSettings& settings, std::string cache_directory,
                bool flush_writes = true, std::function<void()> on_work_added = {},
                TCacheDirectory* cache = nullptr);
  ~TSignalBuffer() override;

  TSignalBuffer(const TSignalBuffer&) = delete;
  TSignalBuffer& operator=(const TSignalBuffer&) = delete;

  // Converts the signal's times to UTC, writes its file and appends it to the
  // pending signals; true when the signal is buffered and its file written
  // (durably with flushing on). Refuses it (false) while the buffer holds
  // Capacity() signals (pending, postponed or being written), or when the
  // file cannot be written; a refused signal leaves no file. Always logs one "New signal ..." line,
  // once the outcome is known.
  bool AddSignal(TSignal signal) override;

  // First returns postponed signals whose delay has passed to the end of the
  // pending ones, in the order they were postponed; then copies out the
  // oldest pending signal and its Id. The signal stays pending. False when
  // none is pending.
  bool GetFirstSignal(TSignal& signal, TGuid& id) noexcept;

  // Moves the pending signal with that Id aside for delay_seconds; its file
  // stays. False when no pending signal has that Id.
  bool PostponeSignal(const TGuid& id, int64_t delay_seconds) noexcept;

  // Removes the pending signal with that Id and deletes its file (after the
  // lock is released; a file that cannot be deleted now is tried again at
  // later removals). False when no pending signal has that Id (also when it
  // is postponed).
  bool RemoveSignal(const TGuid& id) noexcept;

  // total: pending signals; old: those received more than
  // kOldSignalAgeSeconds ago (by the UTC clock). Returns old > 0.
  bool CountOldSignals(int32_t& old_count, int32_t& total_count);

  // Reports every port that received nothing for its inactivity timeout,
  // once per full timeout period.
  void CheckInactivity();

  size_t PendingCount() const;
  size_t PostponedCount() const;
  // Signals accepted by AddSignal whose files are still being written.
  size_t InFlightCount() const;
  // AddSignal refuses new signals while this many are pending, postponed or
  // in flight (DriverSettings::SignalBufferCapacity).
  size_t Capacity() const { return capacity_; }
  // A snapshot taken under the lock, in time independent of the backlog
  // (apart from the list of ports); safe to call from any thread.
  TSignalBufferStats Stats() const;
  const std::string& CacheDirectory() const { return cache_directory_; }

 private:
  // Signals per TimeIn (UTC seconds), for the oldest waiting one and the
  // old-signal count without a walk of the backlog.
  struct TimeInCount {
    size_t pending = 0;
    size_t postponed = 0;
    size_t writing = 0;  // reserved, file being written
  };
  using TimeInCounts = std::map<int64_t, TimeInCount>;

  enum class EntryState : uint8_t { kWriting, kPending, kPostponed };

  struct SignalEntry {
    TGuid Id;
    TSignal Signal;  // times in UTC
    std::string FileName;
    // Ticks seconds when a postponed entry returns; -1 once it has returned.
    int64_t DueTime = -1;
    // Order of postponement, in which due entries return.
    uint64_t PostponeOrder = 0;
    EntryState State = EntryState::kWriting;
    TimeInCounts::iterator TimeInSlot;  // its count; valid from reservation or load on
  };
  using EntryList = std::list<SignalEntry>;

  struct GuidHash {
    size_t operator()(const TGuid& guid) const noexcept;
  };

  struct PortState {
    int64_t LastSignalTime = 0;  // Ticks seconds
    int64_t WindowStart = 0;     // Ticks seconds
    int32_t WindowCount = 0;
    int32_t InactivityTimeout = 0;  // seconds; <= 0 disables the report
    int32_t MaxPerMinute = 0;       // <= 0 disables the limit
    uint64_t Added = 0;             // since start
    uint64_t Refused = 0;
  };

  // One AddSignal call from the reservation of its file name to its result.
  // Lives on the caller's stack. The fields below the line are guarded by
  // mutex_; the others belong to the caller until it queues, then to the
  // leader of its batch.
  struct Writer {
    EntryList entry;        // one node, made before the lock is taken
    std::string file_name;  // reserved; empty: nothing reserved
    int32_t driver_port = 0;
    // ----
    Writer* next = nullptr;  // the next in writers_
    bool done = false;       // a leader has finished this writer
    bool stored = false;     // valid once done
    std::condition_variable woken;
  };

  // One ".sig" file read at start, before it joins the pending signals.
  struct LoadedFile {
    std::string path;
    std::optional<TSignal> signal;  // empty: unreadable
    std::string error;              // ExceptionText when unreadable
    bool transient = false;         // read, but no memory to take it: left for the next start
  };

  // The constructor's steps (no lock needed then).
  void LoadSignalFiles();
  void ReadSignalFile(LoadedFile& file) noexcept;
  void AcceptLoadedFile(LoadedFile& file);

  // Flushing on: queues the writer; as leader, stores the batch. True when
  // the writer's file is stored.
  bool CommitInGroup(Writer& self);
  // Flushes the directory for the files of first to last (in queue order)
  // without the lock; on failure removes their files and sets error.
  bool StoreBatch(Writer* first, const Writer* last, std::string& error) noexcept;

  // These run with mutex_ held.
  // Accounting, capacity, Id index, file name; false (the signal refused and
  // its line logged) when the signal is not to be written.
  bool Reserve(const TSignal& signal, const std::string* failure, Writer& writer);
  std::string ReserveFileName();
  // Whether a name is in flight or being written again (it has no file yet).
  bool NameTaken(const std::string& name) const;
  // A new file name that is neither on disk nor taken.
  std::string DrawFreeName();
  // Ends a writer: appends its entry, or reports it refused, logs its line
  // and frees its reservation. Never raises.
  void Finish(Writer& writer, bool stored, const std::string& error) noexcept;
  void CountSignalOnPort(int32_t driver_port);
  // The PortState of a signal's DriverPort, or nullptr.
  PortState* StateOfPort(int32_t driver_port);
  // Drops a count whose TimeIn has no signal left.
  void ReleaseTimeIn(TimeInCounts::iterator count) noexcept;
  void CheckBufferSize(bool exceeded);
  // Pending, postponed and in flight: what the capacity counts.
  size_t HeldCount() const { return pending_.size() + postponed_.size() + in_flight_; }
  void ReturnDuePostponed();
  // Without mutex_: true when the file is gone (the failure is logged).
  bool DeleteSignalFile(const std::string& file_name);
  void LogSignalLine(const TSignal& signal, bool added) noexcept;
  std::string NewSignalLine(const TSignal& signal, bool added) const;
  int64_t NowSeconds() const;
  // Calls on_work_added_ (if set); never raises. Called without mutex_.
  void NotifyWorkAdded() const noexcept;
  // When the cache directory was made again since the last look (by either
  // buffer), writes the file of every signal pending or postponed again,
  // then raises the event "Cache directory recreated; ...". Called without
  // any lock; one caller does the work (RestoreFiles), the others go on.
  // Never raises.
  void RestoreFilesIfRecreated() noexcept;
  void RestoreFiles(uint64_t generation) noexcept;

  // Constant after construction.
  IFileSystem& fs_;
  const IClock& clock_;
  ISystemEventSink& events_;
  ILogWriter& log_;
  const std::string cache_directory_;                 // ends with "/"
  const std::unique_ptr<TCacheDirectory> own_cache_;  // when none is shared
  TCacheDirectory& cache_;
  const bool flush_writes_;
  const std::function<void()> on_work_added_;
  const size_t capacity_;
  const size_t normal_margin_;  // kNormalMargin, or less for a small capacity

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  // Oldest first; GetFirstSignal reads the front.
  EntryList pending_;
  // Refused signals waiting for their DueTime, in no particular order.
  EntryList postponed_;
  // Every entry by Id, from its reservation to its removal.
  std::unordered_map<TGuid, EntryList::iterator, GuidHash> index_;
  // The postponed entries by DueTime; the next to return first.
  std::multimap<int64_t, EntryList::iterator> due_;
  uint64_t next_postpone_order_ = 0;
  std::vector<EntryList::iterator> returning_;  // ReturnDuePostponed's room
  TimeInCounts time_in_counts_;
  // One per configured port, in the order of DriverSettings::Ports.
  std::vector<PortState> port_states_;
  // Between "Event buffer size exceeded." and "... normalized.".
  bool size_exceeded_ = false;
  // Files of acknowledged signals whose deletion failed; retried at later
  // removals so the signal is not sent again after a restart.
  std::vector<std::string> undeleted_files_;
  // Signals between their reservation and their result: they count against
  // capacity_, and their names are taken before their files exist.
  size_t in_flight_ = 0;
  std::vector<std::string> in_flight_names_;
  // Flushing on: writers waiting for their batch, the leader first (an
  // intrusive list, so queuing cannot fail).
  Writer* writers_head_ = nullptr;
  Writer* writers_tail_ = nullptr;
  // Writers in that queue not yet taken into a batch.
  size_t queued_ = 0;
  uint64_t cache_write_failures_ = 0;
  // The driver's own test signals among pending_ and postponed_.
  size_t test_signals_ = 0;
  // Held by the one caller writing the files again, before mutex_.
  std::mutex restore_mutex_;
  // The cache directory's generation whose files were written (or are being
  // written) again; read without a lock.
  std::atomic<uint64_t> restored_generation_{0};
  // Names of the files being written again: no new signal may draw one,
  // since a file whose signal was removed meanwhile is deleted afterwards.
  std::set<std::string> restoring_names_;
};

}  // namespace vd
