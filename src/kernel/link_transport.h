#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "kernel/orvan_frame.h"
#include "platform/byte_stream.h"
#include "platform/wake_event.h"

namespace vd {

// How a received frame turned out at the transport level.
enum class TFrameReadResult {
  Good,         // both CRCs match; Data holds the transmitted bytes
  ShortHeader,  // fewer than 75 header bytes came
  HeaderCRC,    // HeaderCRC does not match the header bytes
  ShortData,    // fewer data bytes came than announced (by the deadline), or more than the codec
                // accepts
  DataCRC,      // DataCRC does not match the data bytes
};

class IClock;
class THeartbeat;

// The byte mover of one Kernel link: reads and writes whole frames on a byte
// stream (a TCP socket, or the Kernel's local named pipe) with the link's
// waiting rules. Frames are read header first; the sizes the header
// announces are checked against the codec's limit before any buffer is
// allocated, then exactly the announced data bytes are read.
//
// Every read has two bounds on the clock: the idle time-out, which each
// arriving piece restarts, and the caller's absolute deadline for the whole
// operation, which nothing restarts, so a peer that sends a byte now and then
// holds a read no longer than the deadline. Waits are sliced (IdleStepMs at
// most) so that a clock advanced by hand ends them too, and are bounded in
// passes besides. The heartbeat, if any, beats at every slice.
//
// Belongs to the link thread; the stop flag is the only member other threads
// touch (through the link). The stream, the stop flag, the stop event, the
// clock and the heartbeat are borrowed and must outlive the transport.
class TLinkTransport {
 public:
  // A deadline that never comes.
  static constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

  struct Options {
    // Largest single read (2048 on TCP, 4096 on the pipe).
    size_t MaxReadSize = 2048;
    // Time-out of each write, and on the pipe of the first read of ReadData
    // ("Read operation timeout!" / "Write operation timeout!").
    int IoTimeoutMs = 2000;
    // The pipe raises on a timed-out read or write; TCP reports a short
    // transfer instead.
    bool RaiseOnTimeout = false;
    // Waits between the pieces of a read: IdleStepMs each; the read gives up
    // after IdleSteps * IdleStepMs without data.
    int IdleStepMs = 50;
    int IdleSteps = 100;
  };

  // stop_event (if not null) ends every wait at once when notified;
  // stopping is set by the link when the thread is to end; heartbeat may be
  // null.
  TLinkTransport(IByteStream& stream, Options options, const std::atomic<bool>& stopping,
                 const TWakeEvent* stop_event, const IClock& clock, THeartbeat* heartbeat);

  // Reads count bytes: what is there at once (on the pipe: waiting up to
  // IoTimeoutMs for the first byte), then piece by piece while data keeps
  // coming. Stops early at the end of the stream, after the idle time-out,
  // at deadline_ms (monotonic ms of the clock) or when the link is stopping.
  // Returns the bytes read; fewer than count means the read failed. Raises
  // EOSError on a stream error and, with RaiseOnTimeout, "Read operation
  // timeout!" when the first byte did not come within IoTimeoutMs (a
  // deadline that came first is a short read).
  size_t ReadData(char* data, size_t count, int64_t deadline_ms);

  // Reads one frame into frame (header fields and transmitted Data); the
  // whole frame by deadline_ms.
  TFrameReadResult ReadFrame(TOrvanFrame& frame, int64_t deadline_ms);

  // Discards the bytes that have arrived; returns how many.
  size_t ClearInputBuffer();

  // Sends the serialized frame. Raises "Unable to send data frame." when the
  // peer took fewer bytes within the time-out ("Write operation timeout!"
  // with RaiseOnTimeout), EOSError when the connection failed.
  void SendBytes(const std::string& bytes);

 private:
  // The data part is read in pieces of this size.
  static constexpr size_t kDataPieceSize = size_t{64} * 1024;

  IByteStream& stream_;
  const Options options_;
  const std::atomic<bool>& stopping_;
  const TWakeEvent* const stop_event_;
  const IClock& clock_;
  THeartbeat* const heartbeat_;
};

}  // namespace vd
