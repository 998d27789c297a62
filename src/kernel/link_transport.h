#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
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
  ShortData,    // fewer data bytes came than announced, or more than the codec accepts
  DataCRC,      // DataCRC does not match the data bytes
};

// The byte mover of one Kernel link: reads and writes whole frames on a byte
// stream (a TCP socket, or the Kernel's local named pipe) with the link's
// waiting rules. Frames are read header first; the sizes the header
// announces are checked against the codec's limit before any buffer is
// allocated, then exactly the announced data bytes are read.
//
// Belongs to the link thread; the stop flag is the only member other threads
// touch (through the link). The stream, the stop flag and the stop event are
// borrowed and must outlive the transport.
class TLinkTransport {
 public:
  struct Options {
    // Largest single read (2048 on TCP, 4096 on the pipe).
    size_t MaxReadSize = 2048;
    // Time-out of each write, and on the pipe of the first read of ReadData
    // ("Read operation timeout!" / "Write operation timeout!").
    int IoTimeoutMs = 2000;
    // The pipe raises on a timed-out read or write; TCP reports a short
    // transfer instead.
    bool RaiseOnTimeout = false;
    // Waits between the pieces of a read: kIdleStepMs each, at most
    // kIdleSteps in a row.
    int IdleStepMs = 50;
    int IdleSteps = 100;
  };

  // stop_event (if not null) ends every wait at once when notified;
  // stopping is set by the link when the thread is to end.
  TLinkTransport(IByteStream& stream, Options options, const std::atomic<bool>& stopping,
                 const TWakeEvent* stop_event);

  // Reads count bytes: what is there at once (on the pipe: waiting up to
  // IoTimeoutMs for the first byte), then piece by piece while data keeps
  // coming. Stops early at the end of the stream, after IdleSteps waits
  // without data, or when the link is stopping. Returns the bytes read; fewer
  // than count means the read failed. Raises EOSError on a stream error and,
  // with RaiseOnTimeout, "Read operation timeout!".
  size_t ReadData(char* data, size_t count);

  // Reads one frame into frame (header fields and transmitted Data).
  TFrameReadResult ReadFrame(TOrvanFrame& frame);

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
};

}  // namespace vd
