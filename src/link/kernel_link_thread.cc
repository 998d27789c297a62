#include "link/kernel_link_thread.h"

#include <algorithm>
#include <cerrno>

#include "kernel/frame_header.h"
#include "kernel/kernel_messages.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "link/communication_data.h"
#include "platform/thread_id.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/log_writer.h"
#include "support/system_event_sink.h"
#include "support/text_utils.h"

namespace vd {
namespace {

// A received frame's buffer is kept for the next one up to this size.
constexpr size_t kKeptBufferSize = size_t{64} * 1024;

constexpr char kFrameEventText[] = "Incorrect frame received from kernel.";
constexpr char kShortReadText[] = "Unable to read requested number of bytes!";

}  // namespace

TLinkTransport::Options TKernelLinkThread::TransportOptions(TKernelLinkKind kind) {
  TLinkTransport::Options options;
  if (kind == TKernelLinkKind::Pipe) {
    options.MaxReadSize = 4096;
    options.IoTimeoutMs = 5000;
    options.RaiseOnTimeout = true;
  }
  return options;
}

TKernelLinkThread::TKernelLinkThread(Options options, Collaborators collaborators)
    : options_(std::move(options)),
      c_(collaborators),
      socket_(c_.SocketApi),
      pipe_(c_.SocketApi),
      stream_(options_.Kind == TKernelLinkKind::Tcp ? static_cast<IByteStream&>(socket_) : pipe_),
      transport_(stream_, TransportOptions(options_.Kind), stopping_, &stop_event_, c_.Clock,
                 &heartbeat_),
      codec_(options_.Security) {}

TKernelLinkThread::~TKernelLinkThread() { Stop(); }

void TKernelLinkThread::Start() {
  if (thread_.joinable()) return;
  stopping_ = false;
  stop_event_.Drain();  // a stop before this start is over
  thread_ = std::thread([this] { Execute(); });
}

void TKernelLinkThread::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  stop_event_.Notify();
  thread_.join();
}

int64_t TKernelLinkThread::NowSeconds() const { return c_.Clock.Ticks(false); }

void TKernelLinkThread::Beat() { heartbeat_.Beat(c_.Clock.MonotonicMs()); }

std::string TKernelLinkThread::CurrentEndpoint() const {
  std::lock_guard<std::mutex> guard(endpoint_mutex_);
  return current_endpoint_;
}

void TKernelLinkThread::SetCurrentEndpoint() {
  std::lock_guard<std::mutex> guard(endpoint_mutex_);
  current_endpoint_ = Endpoint();
}

void TKernelLinkThread::WriteLog(const std::string& message) {
  const char* kind = options_.Kind == TKernelLinkKind::Tcp ? " Kernel TCP (" : " Kernel Pipe (";
  c_.Log.LogWrite(std::to_string(thread_id_) + kind + options_.Name + "): " + message);
}

bool TKernelLinkThread::Throttled(int64_t& last_event_time) {
  const int64_t now = NowSeconds();
  if (last_event_time != kNever && now < last_event_time + kEventIntervalSeconds) return true;
  last_event_time = now;
  return false;
}

std::string TKernelLinkThread::Endpoint() const {
  return options_.Kind == TKernelLinkKind::Tcp ? host_ + ":" + std::to_string(port_)
                                               : options_.PipePath;
}

void TKernelLinkThread::Execute() {
  thread_id_ = CurrentThreadId();
  SetCurrentThreadName("vd-kernel-link");
  WriteLog("connection thread start");
  last_frame_event_time_ = kNever;
  last_thread_error_event_time_ = kNever;
  last_host_.clear();
  last_port_ = 0;
  while (!stopping_.load()) {
    Beat();
    try {
      if (Connect()) FrameLoop();
    } catch (...) {
      const std::string text = CurrentExceptionText();
      WriteLog("Communication thread exception: " + text);
      if (!Throttled(last_thread_error_event_time_)) {
        if (options_.Kind == TKernelLinkKind::Tcp) {
          c_.Events.AddSystemEvent("Kernel connection thread error.", text, true);
        } else {
          c_.Events.AddSystemEvent(
              FormatPlaceholders("Pipe connection server {0} connection error!", {Endpoint()}),
              text, true);
        }
      }
    }
    if (!stopping_.load()) {
      CloseConnection();
      Pause(kReconnectPauseMs);
    }
  }
  Unregister();
  WriteLog("connection thread stop");
}

bool TKernelLinkThread::Connect() {
  c_.KernelSettings.SetKernelRegistered(false);
  if (options_.Kind == TKernelLinkKind::Tcp) {
    if (!c_.KernelSettings.GetCurrentKernel(host_, port_)) return false;
    SetCurrentEndpoint();
    if (!socket_.Connected()) {
      c_.KernelSettings.SetKernelRegistered(false);
      try {
        socket_.ConnectTcp(host_, port_, kConnectTimeoutMs, stop_event_.Fd());
        WriteLog("TCP connection to Kernel " + Endpoint() + " established");
      } catch (...) {
        const std::string text = CurrentExceptionText();
        WriteLog("unable to establish TCP connection to Kernel " + Endpoint() + ": " + text);
        if (!c_.KernelSettings.CurrentKernelHasError()) {
          c_.Events.AddSystemEvent(
              FormatPlaceholders("Unable to establish connection to kernel {0} !", {Endpoint()}),
              text, true);
          c_.KernelSettings.SetConnectionError(true);
        }
      }
    }
    if (!socket_.Connected()) return false;
    c_.Events.AddSystemEvent(
        FormatPlaceholders("Connection to kernel {0} established.", {Endpoint()}), "", false);
  } else {
    SetCurrentEndpoint();
    try {
      pipe_.Open(options_.PipePath);
      pipe_connect_error_reported_ = false;
      WriteLog("named pipe connection established (" + options_.PipePath + ")");
    } catch (...) {
      const std::string text = CurrentExceptionText();
      WriteLog("unable to establish named pipe connection (" + options_.PipePath + "): " + text);
      if (!pipe_connect_error_reported_) {
        c_.Events.AddSystemEvent(
            FormatPlaceholders("Unable to establish named pipe connection {0} !",
                               {options_.PipePath}),
            text, true);
        pipe_connect_error_reported_ = true;
      }
      return false;
    }
    c_.Events.AddSystemEvent(
        FormatPlaceholders("Named pipe connection server {0} connection established.",
                           {options_.PipePath}),
        "", false);
  }
  connected_ = true;
  c_.CommunicationData.Reset();
  c_.KernelSettings.SetInstallationNumber(0);
  last_good_frame_time_ = NowSeconds();
  bad_frame_count_ = 0;
  if (options_.Kind == TKernelLinkKind::Tcp &&
      (port_ != last_port_ || !EqualsIgnoreCase(host_, last_host_))) {
    last_host_ = host_;
    last_port_ = port_;
    c_.ModuleList.SetChangeIndex(0);
    c_.ModuleList.Clear();
  }
  return true;
}

void TKernelLinkThread::FrameLoop() {
  while (!stopping_.load()) {
    Beat();
    if (c_.CommunicationData.GetNextFrameToSend(out_frame_)) SendFrame(out_frame_);
    TStreamWait wait;
    size_t available = 0;
    try {
      wait = stream_.Wait(kDataWaitMs, &c_.WorkEvent, &stop_event_);
      if (wait.Readable) available = stream_.Available();
    } catch (...) {
      if (options_.Kind == TKernelLinkKind::Tcp) throw;
      WriteLog("wait exception: " + CurrentExceptionText());
      return;
    }
    if (wait.Woken) c_.WorkEvent.Drain();
    if (wait.Readable) {
      if (available == 0) {
        // Readable without data: the Kernel has closed the connection.
        if (options_.Kind == TKernelLinkKind::Pipe) {
          WriteLog("wait exception: " +
                   ExceptionText(EOSError(EPIPE, "pipe closed by the Kernel")));
        }
        return;
      }
      if (!ReceiveFrame()) return;
    }
    in_frame_.Data.clear();
    if (in_frame_.Data.capacity() > kKeptBufferSize) in_frame_.Data.shrink_to_fit();
    if (NowSeconds() >= last_good_frame_time_ + kSilenceSeconds) return;
  }
}

bool TKernelLinkThread::ReceiveFrame() {
  // A frame that is not whole by the end of the minute of silence is silence
  // too, however many bytes of it trickle in.
  const TFrameReadResult result =
      transport_.ReadFrame(in_frame_, (last_good_frame_time_ + kSilenceSeconds) * 1000);
  if (result == TFrameReadResult::Good) {
    bad_frame_count_ = 0;
    last_good_frame_time_ = NowSeconds();
    last_good_frame_ms_ = c_.Clock.MonotonicMs();
    try {
      codec_.DecodeFrame(in_frame_);
    } catch (...) {
      const std::string text = CurrentExceptionText();
      WriteLog("frame processing error: " + text);
      if (!Throttled(last_frame_event_time_)) {
        c_.Events.AddSystemEvent("Kernel frame processing error!", text, true);
      }
      SendErrorAnswer(in_frame_);
      return true;
    }
    const bool was_registered = c_.CommunicationData.Registered();
    c_.CommunicationData.HandleReceivedFrame(
        in_frame_, [this](const TOrvanFrame& frame) { SendErrorAnswer(frame); },
        [this](const TOrvanFrame& frame) { SendAnswer(frame); });
    if (!was_registered && c_.CommunicationData.Registered()) {
      if (options_.Kind == TKernelLinkKind::Tcp) {
        c_.Events.AddSystemEvent("Registration in Kernel.", Endpoint(), false);
        c_.KernelSettings.SetConnectionError(false);
      } else {
        c_.Events.AddSystemEvent("Module registered correctly.", "", false);
      }
    }
    return true;
  }

  ++bad_frame_count_;
  const char* description = kShortReadText;
  switch (result) {
    case TFrameReadResult::ShortHeader:
      WriteLog("unable to read the requested number of frame header bytes!");
      break;
    case TFrameReadResult::HeaderCRC:
      WriteLog("incorrect header CRC");
      description = "Incorrect frame header CRC.";
      break;
    case TFrameReadResult::ShortData:
      WriteLog("unable to read the requested number of frame data bytes!");
      break;
    default:
      WriteLog("incorrect data CRC");
      description = "Incorrect frame header data CRC.";
      break;
  }
  if (bad_frame_count_ < kMaxBadFrames) {
    if (transport_.ClearInputBuffer() > 0) WriteLog("input buffer cleared");
    return true;
  }
  if (!Throttled(last_frame_event_time_)) {
    c_.Events.AddSystemEvent(kFrameEventText, description, true);
  }
  return false;
}

void TKernelLinkThread::CloseConnection() {
  try {
    const bool was_connected = stream_.Connected();
    stream_.Close();
    connected_ = false;
    c_.KernelSettings.SetKernelRegistered(false);
    if (!was_connected) return;
    if (options_.Kind == TKernelLinkKind::Tcp) {
      WriteLog("TCP connection to Kernel " + Endpoint() + " closed");
      c_.Events.AddSystemEvent(FormatPlaceholders("Connection to kernel {0} closed.", {Endpoint()}),
                               "", false);
    } else {
      WriteLog("pipe connection to " + options_.PipePath + " closed");
      c_.Events.AddSystemEvent(
          FormatPlaceholders("Pipe connection server {0} connection closed.", {options_.PipePath}),
          "", false);
    }
  } catch (...) {
    WriteLog((options_.Kind == TKernelLinkKind::Tcp ? "error while closing TCP connection: "
                                                    : "error while closing pipe: ") +
             CurrentExceptionText());
  }
}

void TKernelLinkThread::Pause(int64_t ms) {
  const int64_t deadline = c_.Clock.MonotonicMs() + ms;
  // Sliced so that a clock advanced by hand releases the pause too; bounded
  // in passes besides.
  constexpr int kSliceMs = 20;
  for (int pass = 0; pass < 1000 && !stopping_.load() && c_.Clock.MonotonicMs() < deadline;
       ++pass) {
    Beat();
    stream_.Wait(kSliceMs, &stop_event_, nullptr);
  }
}

void TKernelLinkThread::Unregister() {
  try {
    if (!stream_.Connected()) return;
    // One deadline for the whole unregistration: the send, and every frame
    // read while waiting for the answer, however slowly its bytes come.
    const int64_t deadline = c_.Clock.MonotonicMs() + kUnregistrationWaitMs;
    TOrvanFrame frame;
    BuildUnregistration(frame, c_.KernelSettings, NewGuid());
    SendFrame(frame);
    // Whole frames are read, so a request the Kernel sent just before the
    // answer is skipped rather than misread as the answer's header.
    constexpr int kMaxPasses = static_cast<int>(kUnregistrationWaitMs / kDataWaitMs);
    TLinkTransport reader(stream_, TransportOptions(options_.Kind), not_stopping_, nullptr,
                          c_.Clock, &heartbeat_);
    for (int pass = 0; pass < kMaxPasses; ++pass) {
      const int64_t now = c_.Clock.MonotonicMs();
      heartbeat_.Beat(now);
      if (now >= deadline) break;
      const int wait_ms = static_cast<int>(std::min<int64_t>(kDataWaitMs, deadline - now));
      if (!stream_.Wait(wait_ms, nullptr, nullptr).Readable) continue;
      if (stream_.Available() == 0) break;
      TOrvanFrame answer;
      if (reader.ReadFrame(answer, deadline) != TFrameReadResult::Good) break;
      if (answer.FrameType == 3 && answer.Direction == 2) break;
    }
  } catch (...) {
    WriteLog("module unregistration exception: " + CurrentExceptionText());
  }
  stream_.Close();
  connected_ = false;
}

void TKernelLinkThread::SendFrame(TOrvanFrame& frame) {
  codec_.EncodeFrame(frame);
  transport_.SendBytes(SerializeFrame(frame));
}

void TKernelLinkThread::SendAnswer(const TOrvanFrame& received) {
  TOrvanFrame answer = BuildAnswer(received, c_.KernelSettings);
  SendFrame(answer);
}

void TKernelLinkThread::SendErrorAnswer(const TOrvanFrame& received) {
  TOrvanFrame answer = BuildErrorAnswer(received, c_.KernelSettings);
  SendFrame(answer);
}

}  // namespace vd
