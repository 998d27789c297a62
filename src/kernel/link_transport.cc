#include "kernel/link_transport.h"

#include <algorithm>
#include <array>

#include "kernel/crc32.h"
#include "kernel/frame_header.h"
#include "support/errors.h"

namespace vd {

TLinkTransport::TLinkTransport(IByteStream& stream, Options options,
                               const std::atomic<bool>& stopping, const TWakeEvent* stop_event)
    : stream_(stream), options_(options), stopping_(stopping), stop_event_(stop_event) {}

size_t TLinkTransport::ReadData(char* data, size_t count) {
  size_t done = 0;
  if (options_.RaiseOnTimeout && count > 0) {
    const TStreamWait wait = stream_.Wait(options_.IoTimeoutMs, stop_event_, nullptr);
    if (!wait.Readable && !stopping_.load()) throw Exception("Read operation timeout!");
  }
  done += stream_.ReadSome(data, std::min(count, options_.MaxReadSize));
  int idle = 0;
  while (done < count && idle < options_.IdleSteps && !stopping_.load()) {
    if (!stream_.Wait(options_.IdleStepMs, stop_event_, nullptr).Readable) {
      ++idle;
      continue;
    }
    const size_t n = stream_.ReadSome(data + done, std::min(count - done, options_.MaxReadSize));
    if (n == 0) break;  // readable without data: the peer has closed
    done += n;
    idle = 0;
  }
  return done;
}

TFrameReadResult TLinkTransport::ReadFrame(TOrvanFrame& frame) {
  std::array<uint8_t, kFrameHeaderSize> header{};
  if (ReadData(reinterpret_cast<char*>(header.data()), header.size()) < header.size()) {
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
    if (ReadData(frame.Data.data() + have, piece) < piece) {
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
