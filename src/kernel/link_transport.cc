#include "kernel/link_transport.h"

#include <algorithm>
#include <array>

#include "kernel/crc32.h"
#include "kernel/frame_header.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/heartbeat.h"

namespace vd {

TLinkTransport::TLinkTransport(IByteStream& stream, Options options,
                               const std::atomic<bool>& stopping, const TWakeEvent* stop_event,
                               const IClock& clock, THeartbeat* heartbeat)
    : stream_(stream),
      options_(options),
      stopping_(stopping),
      stop_event_(stop_event),
      clock_(clock),
      heartbeat_(heartbeat) {}

size_t TLinkTransport::ReadData(char* data, size_t count, int64_t deadline_ms) {
  if (count == 0) return 0;
  const int64_t step_ms = std::max(options_.IdleStepMs, 1);
  const int64_t idle_ms = int64_t{options_.IdleSteps} * step_ms;
  // On the pipe the first byte may take IoTimeoutMs, and not coming is an
  // error; after a piece, and on TCP from the start, the idle time-out rules.
  bool first = options_.RaiseOnTimeout;
  int64_t limit_ms = first ? options_.IoTimeoutMs : idle_ms;
  size_t done = first ? 0 : stream_.ReadSome(data, std::min(count, options_.MaxReadSize));
  int64_t since_ms = clock_.MonotonicMs();
  int64_t passes = 0;
  while (done < count && !stopping_.load()) {
    const int64_t now = clock_.MonotonicMs();
    if (heartbeat_ != nullptr) heartbeat_->Beat(now);
    const int64_t end = std::min(since_ms + limit_ms, deadline_ms);
    if (now >= end || passes >= limit_ms / step_ms) {
      if (first && now < deadline_ms) throw Exception("Read operation timeout!");
      break;
    }
    ++passes;
    const int wait_ms = static_cast<int>(std::min(end - now, step_ms));
    if (!stream_.Wait(wait_ms, stop_event_, nullptr).Readable) continue;
    const size_t n = stream_.ReadSome(data + done, std::min(count - done, options_.MaxReadSize));
    if (n == 0) break;  // readable without data: the peer has closed
    done += n;
    first = false;
    limit_ms = idle_ms;
    since_ms = clock_.MonotonicMs();
    passes = 0;
  }
  return done;
}

TFrameReadResult TLinkTransport::ReadFrame(TOrvanFrame& frame, int64_t deadline_ms) {
  std::array<uint8_t, kFrameHeaderSize> header{};
  if (ReadData(reinterpret_cast<char*>(header.data()), header.size(), deadline_ms) <
      header.size()) {
    return TFrameReadResult::ShortHeader;
  }
  frame = ParseFrameHeader(std::span<const uint8_t, kFrameHeaderSize>(header));
  if (CalculateHeaderCRC(frame) != frame.HeaderCRC) return TFrameReadResult::HeaderCRC;
  try {
    CheckFrameHeaderSizes(frame);
  } catch (const Exception&) {
    return TFrameReadResult::ShortData;  // more than this driver reads: unreadable
  }
  // The buffer grows with the bytes that actually arrive, so a header that
  // announces much more than the peer sends costs no more than it sent.
  frame.Data.clear();
  while (frame.Data.size() < frame.TransmittedDataSize) {
    const size_t have = frame.Data.size();
    const size_t piece = std::min<size_t>(frame.TransmittedDataSize - have, kDataPieceSize);
    frame.Data.resize(have + piece);
    if (ReadData(frame.Data.data() + have, piece, deadline_ms) < piece) {
      frame.Data.clear();
      return TFrameReadResult::ShortData;
    }
  }
  if (CalculateDataCRC(frame.Data) != frame.DataCRC) return TFrameReadResult::DataCRC;
  return TFrameReadResult::Good;
}

size_t TLinkTransport::ClearInputBuffer() {
  std::array<char, 4096> scratch;
  size_t total = 0;
  // Bounded: what arrived up to now, not a peer that keeps sending.
  for (int pass = 0; pass < 1024; ++pass) {
    const size_t available = stream_.Available();
    if (available == 0) break;
    const size_t n = stream_.ReadSome(scratch.data(), std::min(available, scratch.size()));
    if (n == 0) break;
    total += n;
  }
  return total;
}

void TLinkTransport::SendBytes(const std::string& bytes) {
  const size_t sent = stream_.Send(bytes, options_.IoTimeoutMs);
  if (sent < bytes.size()) {
    if (options_.RaiseOnTimeout) throw Exception("Write operation timeout!");
    throw Exception("Unable to send data frame.");
  }
}

}  // namespace vd
