// Everything the Kernel sends is untrusted. An input is a stream of frames as
// they arrive on the link; each goes the receive path of a link thread: the
// header is parsed and its sizes checked before the data part is taken, the
// CRCs are computed, the data part is decoded and the frame is handed to the
// exchange protocol, which parses status answers. No input may crash, hang,
// leak or reach undefined behaviour; refusals are Exceptions. The protocol
// and its buffers live across inputs, as on a link thread.
//
// The CRCs are computed as a transport does, but a mismatch does not end the
// input: otherwise nearly every mutation would stop at the checksum.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "config/driver_settings.h"
#include "device/signal.h"
#include "kernel/crc32.h"
#include "kernel/frame_codec.h"
#include "kernel/frame_header.h"
#include "kernel/kernel_messages.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "link/communication_data.h"
#include "platform/posix_file_system.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/log_writer.h"
#include "support/system_event_sink.h"
#include "support/system_time_setter.h"

namespace {

// The seed corpus's encrypted frames use this key.
constexpr char kFuzzKey[] = "Fuzz link key 01";
// Frames handled per input at most.
constexpr int kMaxFramesPerInput = 16;

// A clock that moves one second per frame, so that resends, postponed
// signals and throttles come into play.
class StepClock final : public vd::IClock {
 public:
  int64_t MonotonicMs() const override { return monotonic_ms_; }
  int64_t UtcNowMs() const override { return 1705320000000 + monotonic_ms_; }
  void Step() { monotonic_ms_ += 1000; }

 private:
  int64_t monotonic_ms_ = 3600000;
};

// Never touches the machine's clock.
class NoTimeSetter final : public vd::ISystemTimeSetter {
 public:
  bool SetSystemTimeUtc(int64_t) override { return false; }
};

class CountingEvents final : public vd::ISystemEventSink {
 public:
  bool AddSystemEvent(const std::string&, const std::string&, bool) override { return true; }
};

struct ScratchDir {
  ScratchDir() {
    char pattern[] = "/tmp/vd_kernel_receive_fuzz_XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    path = std::string(pattern) + "/";
  }
  ~ScratchDir() {
    vd::PosixFileSystem fs;
    for (const char* sub : {"sig/", "que/"}) {
      for (const std::string& name : fs.ListDirectory(path + sub)) fs.DeleteFile(path + sub + name);
      rmdir((path + sub).c_str());
    }
    rmdir(path.c_str());
  }
  std::string path;
};

struct Link {
  Link() {
    settings.Ports.resize(1);
    vd::TSignal signal;
    vd::InitPortSignal(signal, 1, settings, clock);
    signals->AddSignal(signal);
    questions->AddQuestion(1200, "<Data/>", false);
  }

  void CheckAnswer(const vd::TOrvanFrame& answer, bool error) {
    const bool expected = error ? answer.Direction == vd::kDirectionError
                                : answer.Direction == vd::kDirectionAcknowledge ||
                                      answer.Direction == vd::kDirectionAnswerAcknowledge;
    if (!expected || !answer.Data.empty()) __builtin_trap();
    vd::TOrvanFrame encoded = answer;
    codec.EncodeFrame(encoded);
  }

  ScratchDir scratch;
  vd::PosixFileSystem fs;
  StepClock clock;
  vd::NullLogWriter log;
  CountingEvents events;
  NoTimeSetter time_setter;
  vd::DriverSettings settings;
  vd::TListOfModules modules;
  vd::TKernelSettings kernel{modules};
  std::unique_ptr<vd::TSignalBuffer> signals = std::make_unique<vd::TSignalBuffer>(
      fs, clock, events, log, settings, scratch.path + "sig/", false);
  std::unique_ptr<vd::TQuestionsBuffer> questions = std::make_unique<vd::TQuestionsBuffer>(
      fs, clock, log, vd::TQuestionsBuffer::Options{scratch.path + "que/", "Fuzz", "", false});
  vd::TFrameCodec codec{vd::FrameSecurity{false, kFuzzKey, vd::kFrameSecurityDefaultIVSeed}};
  vd::TCommunicationData protocol{
      vd::TCommunicationData::Collaborators{clock, settings, kernel, modules, *signals, *questions,
                                            events, log, time_setter},
      vd::TCommunicationData::kTcpStatusIntervalSeconds,
      vd::TCommunicationData::kTcpResendIntervalSeconds};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Link link;
  link.protocol.Reset();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (int n = 0; n < kMaxFramesPerInput && bytes.size() >= vd::kFrameHeaderSize; ++n) {
    vd::TOrvanFrame out;
    if (link.protocol.GetNextFrameToSend(out)) link.codec.EncodeFrame(out);

    vd::TOrvanFrame frame = vd::ParseFrameHeader(bytes.substr(0, vd::kFrameHeaderSize));
    bytes.remove_prefix(vd::kFrameHeaderSize);
    try {
      vd::CheckFrameHeaderSizes(frame);
    } catch (const vd::Exception&) {
      return 0;  // a transport drops the connection: the rest is unreadable
    }
    if (bytes.size() < frame.TransmittedDataSize) return 0;
    frame.Data = std::string(bytes.substr(0, frame.TransmittedDataSize));
    bytes.remove_prefix(frame.TransmittedDataSize);
    static_cast<void>(vd::CalculateHeaderCRC(frame) == frame.HeaderCRC &&
                      vd::CalculateDataCRC(frame.Data) == frame.DataCRC);
    try {
      link.codec.DecodeFrame(frame);
      link.protocol.HandleReceivedFrame(
          frame,
          [](const vd::TOrvanFrame& f) {
            link.CheckAnswer(vd::BuildErrorAnswer(f, link.kernel), true);
          },
          [](const vd::TOrvanFrame& f) {
            link.CheckAnswer(vd::BuildAnswer(f, link.kernel), false);
          });
    } catch (const vd::Exception&) {
      // Refused frame: the link answers with an error or drops the connection.
    }
    link.clock.Step();
  }
  return 0;
}
