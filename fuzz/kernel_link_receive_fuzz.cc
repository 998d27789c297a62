// The link's frame reader meets untrusted bytes first: an input is what the
// Kernel's side of a connection delivers, arriving in pieces of a size the
// input decides. Frames are read as the link thread reads them (header, size
// check before allocating, data, CRCs), bad frames are counted and the input
// cleared as the link does, good ones are decoded. No input may crash, hang,
// allocate more than the codec's limit or reach undefined behaviour.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "kernel/frame_codec.h"
#include "kernel/frame_header.h"
#include "kernel/link_transport.h"
#include "platform/socket_api.h"
#include "platform/stream_socket.h"
#include "platform/system_clock.h"
#include "support/errors.h"

namespace {

constexpr char kFuzzKey[] = "Fuzz link key 01";
constexpr int kFakeFd = 1000;

// A connection that delivers the input and then its end, without a kernel.
class InputSocketApi final : public vd::ISocketApi {
 public:
  void Reset(std::string_view input, size_t piece) {
    input_ = input;
    piece_ = piece;
  }
  int Socket(int, int, int) override { return kFakeFd; }
  int Connect(int, const sockaddr*, socklen_t) override { return 0; }
  ssize_t Send(int, const void*, size_t size, int) override { return static_cast<ssize_t>(size); }
  ssize_t Recv(int, void* data, size_t size, int) override {
    const size_t n = std::min({size, piece_, input_.size()});
    std::memcpy(data, input_.data(), n);
    input_.remove_prefix(n);
    return static_cast<ssize_t>(n);
  }
  int Poll(pollfd* fds, nfds_t count, int) override {
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
      fds[i].revents = fds[i].fd == kFakeFd ? POLLIN : 0;  // data or the end
      ready += fds[i].revents != 0;
    }
    return ready;
  }
  int Available(int, int* count) override {
    *count = static_cast<int>(std::min(input_.size(), piece_));
    return 0;
  }
  int Close(int) override { return 0; }

 private:
  std::string_view input_;
  size_t piece_ = 1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static InputSocketApi api;
  static vd::TFrameCodec codec(vd::FrameSecurity{false, kFuzzKey, vd::kFrameSecurityDefaultIVSeed});
  static const std::atomic<bool> stopping{false};
  static const vd::SystemClock clock;

  api.Reset(std::string_view(reinterpret_cast<const char*>(data), size), size % 61 + 1);
  vd::TStreamSocket socket(api);
  socket.ConnectUnix("/fuzz");
  vd::TLinkTransport::Options options;
  options.IdleSteps = 2;
  vd::TLinkTransport transport(socket, options, stopping, nullptr, clock, nullptr);
  int bad = 0;
  for (int frames = 0; frames < 64 && bad < 3; ++frames) {
    if (socket.Available() == 0) break;  // the Kernel has closed
    vd::TOrvanFrame frame;
    const vd::TFrameReadResult result = transport.ReadFrame(frame, vd::TLinkTransport::kNoDeadline);
    if (frame.Data.size() > vd::kMaxFrameDataSize) __builtin_trap();
    if (result != vd::TFrameReadResult::Good) {
      ++bad;
      transport.ClearInputBuffer();
      continue;
    }
    bad = 0;
    if (frame.Data.size() != frame.TransmittedDataSize) __builtin_trap();
    try {
      codec.DecodeFrame(frame);
    } catch (const vd::Exception&) {
      // Answered with Direction 9 by the link.
    }
  }
  return 0;
}
