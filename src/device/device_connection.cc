#include "device/device_connection.h"

#include <atomic>
#include <utility>

#include "config/driver_settings.h"
#include "device/device_message.h"
#include "device/dos_attack_control.h"
#include "device/reception_loop.h"
#include "device/signal.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/log_format.h"
#include "support/log_writer.h"
#include "support/text_encoding.h"
#include "support/text_utils.h"

namespace vd {
namespace {

// Numbers the connections for the life of the process ("(ID n) ").
std::atomic<uint64_t> connection_counter{0};

constexpr std::string_view kInvalidFrameEvent =
    "Invalid data frame received on port {0} (TCP {1}). The sum of ignored invalid frames: {2}. "
    "The last frame sent from IP address {3}.";

// An IPv4 peer of a dual-stack socket in its plain a.b.c.d form.
std::string PlainAddress(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  return address.to_string();
}

// Holds the parser's events for one message until the port's flood control
// has decided on it, so that invalid frames beyond the flood limit raise no
// event each (only the throttled invalid-frame report counts them).
class THeldEvents final : public ISystemEventSink {
 public:
  bool AddSystemEvent(const std::string& text, const std::string& details, bool is_error) override {
    held_.push_back({text, details, is_error});
    return true;
  }
  void ForwardTo(ISystemEventSink& sink) {
    for (const Event& event : held_) sink.AddSystemEvent(event.text, event.details, event.is_error);
    held_.clear();
  }
  void Drop() { held_.clear(); }

 private:
  struct Event {
    std::string text, details;
    bool is_error;
  };
  std::vector<Event> held_;
};

}  // namespace

void TConnectionGroup::Added() {
  std::lock_guard<std::mutex> guard(lock_);
  ++live_;
}

void TConnectionGroup::Ended() {
  std::lock_guard<std::mutex> guard(lock_);
  --live_;
  if (live_ == 0) ended_.notify_all();
}

bool TConnectionGroup::WaitAllEnded(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> guard(lock_);
  return ended_.wait_for(guard, wait, [this] { return live_ == 0; });
}

std::vector<std::string_view> SplitReceivedMessages(std::string_view data) {
  std::vector<std::string_view> messages;
  size_t start = 0;
  for (size_t end = data.find(']'); end != std::string_view::npos; end = data.find(']', start)) {
    messages.push_back(data.substr(start, end + 1 - start));
    start = end + 1;
  }
  if (messages.empty()) messages.push_back(data);
  return messages;
}

TDeviceConnection::TDeviceConnection(TReceptionLoop& loop, asio::ip::tcp::socket socket,
                                     int32_t port_number, int32_t tcp_port,
                                     std::shared_ptr<TConnectionGroup> group)
    : loop_(loop),
      port_number_(port_number),
      tcp_port_(tcp_port),
      group_(std::move(group)),
      strand_(asio::make_strand(loop.Workers().get_executor())),
      socket_(std::move(socket)) {
  group_->Added();
}

TDeviceConnection::~TDeviceConnection() {
  // A connection dropped before it started has no stop line to wait for.
  if (!started_) group_->Ended();
}

void TDeviceConnection::Start() {
  asio::error_code ec;
  const asio::ip::tcp::endpoint peer = socket_.remote_endpoint(ec);
  if (!ec) socket_.non_blocking(true, ec);
  if (ec) {  // gone before it could be served
    socket_.close(ec);
    return;
  }
  started_ = true;
  log_prefix_ = "(ID " + std::to_string(++connection_counter) + ") ";
  peer_ = PlainAddress(peer.address()) + ":" + std::to_string(peer.port());
  last_activity_ = loop_.Context().Clock.Ticks(false);
  invalid_count_ = 0;
  loop_.Register(shared_from_this());
  Log(log_prefix_ + "Connection thread start: " + std::to_string(port_number_) +
      ". Client IP address and port: " + peer_ + ".");
  WaitReadable();
}

void TDeviceConnection::Stop() {
  if (stopped_ || !started_) return;
  stopped_ = true;
  const std::shared_ptr<TDeviceConnection> keep = shared_from_this();
  asio::error_code ec;
  socket_.close(ec);
  loop_.Unregister(*this);
  Log(log_prefix_ + "Connection thread stop: " + std::to_string(port_number_));
  Defer([group = group_] { group->Ended(); });
}

void TDeviceConnection::WaitReadable() {
  socket_.async_wait(
      asio::ip::tcp::socket::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
        if (self->stopped_) return;
        if (ec) {
          self->Log(self->log_prefix_ +
                    "frame reception exception: " + ExceptionText(MakeOSError(ec.value(), "wait")));
          self->Stop();
          return;
        }
        self->OnReadable();
      });
}

void TDeviceConnection::OnReadable() {
  if (loop_.Overloaded()) {  // read once the disk has caught up
    loop_.Pause(shared_from_this());
    return;
  }
  asio::error_code ec;
  const size_t available = socket_.available(ec);
  if (!ec && available == 0) {  // the peer closed the connection
    Stop();
    return;
  }
  size_t count = 0;
  if (!ec) {
    count = socket_.read_some(
        asio::buffer(loop_.ReadBuffer(), std::min(available, TReceptionLoop::kMaxReadBytes)), ec);
  }
  if (ec == asio::error::would_block) {
    WaitReadable();
    return;
  }
  if (ec) {
    Log(log_prefix_ +
        "frame reception exception: " + ExceptionText(MakeOSError(ec.value(), "read")));
    Stop();
    return;
  }
  try {
    HandleRead(std::string_view(loop_.ReadBuffer(), count), count < available);
  } catch (...) {
    const std::string text = CurrentExceptionText();
    Log(log_prefix_ + "exception: " + text);
    AddSystemEvent(std::string(kSignalAnalysisError), text, true);
    Stop();
  }
  if (!stopped_) WaitReadable();
}

void TDeviceConnection::HandleRead(std::string_view data, bool cut_short) {
  const TReceptionContext& context = loop_.Context();
  last_activity_ = context.Clock.Ticks(false);
  std::string line = log_prefix_ + "read (" + std::to_string(data.size()) + "): ";
  line += data.substr(0, kMaxLoggedReadBytes);
  if (data.size() > kMaxLoggedReadBytes) line += " ...";
  Log(std::move(line));
  // A message that our own read limit cut in two is joined again; only the
  // network's splits count as separate messages.
  std::string joined;
  if (!carry_.empty()) {
    joined = std::move(carry_) + std::string(data);
    carry_.clear();
    data = joined;
  }
  const size_t last = data.rfind(']');
  if (cut_short && last != std::string_view::npos && data.size() - last - 1 <= kMaxCarryBytes) {
    carry_ = data.substr(last + 1);
    data = data.substr(0, last + 1);
  }
  THeldEvents held;
  const TDeviceMessageParser parser(context.Settings, context.Clock, *this, held);
  const ReplyWriter reply = [this](const std::string& text) { WriteToDevice(text); };
  for (const std::string_view message : SplitReceivedMessages(data)) {
    if (parser.ParseDeviceMessage(TrimBlanks(message), port_number_, "G", reply)) {
      invalid_count_ = 0;
      held.ForwardTo(*this);
    } else {
      ++invalid_count_;
      if (HandleInvalidFrame(message)) {
        held.ForwardTo(*this);
      } else {
        held.Drop();
      }
    }
    if (invalid_count_ >= kMaxInvalidFrames) {
      Log(log_prefix_ + "closing connection because of too many invalid frames received");
      Stop();
      return;
    }
  }
}

bool TDeviceConnection::HandleInvalidFrame(std::string_view frame) {
  loop_.CountInvalidFrame(port_number_);
  const TReceptionContext& context = loop_.Context();
  const std::vector<PortEntry>& ports = context.Settings.Ports;
  const std::string hex = BytesToHex(frame);
  TDoSAttackControl* flood = nullptr;
  if (port_number_ >= 1 && static_cast<size_t>(port_number_) <= ports.size())
    flood = ports[static_cast<size_t>(port_number_ - 1)].FloodControl.get();
  bool report = true;
  int32_t ignored = 1;
  const bool accepted = flood == nullptr || flood->Check(report, ignored);
  if (flood != nullptr && accepted) {
    TSignal signal;
    InitPortSignal(signal, port_number_, context.Settings, context.Clock);
    signal.CanalType = "N";
    signal.HardwareNumber = Utf8ToWin1250(context.Settings.Name);
    signal.Code = "UNKNOWN";
    SplitToExtensions(hex, signal);
    AddSignal(std::move(signal));
  }
  if (report) {
    AddSystemEvent(
        FormatPlaceholders(kInvalidFrameEvent, {port_number_, tcp_port_, ignored, peer_}), hex,
        true);
  }
  return accepted;
}

void TDeviceConnection::WriteToDevice(const std::string& text) {
  // The socket is non-blocking: a transmitter that does not read its replies
  // gets an error instead of stalling the loop.
  size_t written = 0;
  for (int attempt = 0; written < text.size() && attempt < 16; ++attempt) {
    asio::error_code ec;
    written += socket_.write_some(asio::buffer(text.data() + written, text.size() - written), ec);
    if (ec) throw MakeOSError(ec.value(), "send", peer_);
  }
  if (written < text.size()) throw MakeOSError(EAGAIN, "send", peer_);
  Log(log_prefix_ + "write (" + std::to_string(text.size()) + "): " + text + " (" +
      FormatBytes(text, " ", false, false) + ")");
}

void TDeviceConnection::Sweep(int64_t now_seconds) {
  if (stopped_) return;
  TDeviceParamControlBuffer& controls = loop_.Context().Controls;
  if (!controls.Empty()) {
    TDeviceControl control;
    if (controls.FindControl("*", std::to_string(port_number_), "*", control)) RunControl(control);
  }
  if (!stopped_ && now_seconds > last_activity_ + kInactivitySeconds) Stop();
}

void TDeviceConnection::RunControl(const TDeviceControl& control) {
  Log("Sending control command, HN   : " + control.HN + " Command : " + control.Command);
  if (SendControlCommand(control)) {
    AnswerControlCommand(control, kControlConfirmedText, false);
  } else {
    AnswerControlCommand(control, ControlFailedText(control), true);
  }
}

bool TDeviceConnection::SendControlCommand(const TDeviceControl& control) {
  try {
    // A command without a frame sends nothing and so fails.
    const std::string frame = BuildControlFrame(control, loop_.Context().Settings, port_number_);
    if (frame.empty()) return false;
    Log(log_prefix_ + "write command: " + frame + " " + FormatBytes(frame, " ", false, false));
    WriteToDevice(frame);
    return true;
  } catch (...) {
    Log(log_prefix_ +
        "Exception send control state frame. Error message: " + CurrentExceptionText());
    return false;
  }
}

void TDeviceConnection::AnswerControlCommand(const TDeviceControl& control, const std::string& text,
                                             bool failed) {
  const TReceptionContext& context = loop_.Context();
  Defer([&context, answer = BuildControlAnswer(control, failed), text] {
    if (context.Questions) context.Questions(kControlAnswerFrameType, answer);
    context.Events.AddSystemEvent(text, "", false);
  });
  // Removed at once, so that the next sweep cannot send it again.
  context.Controls.RemoveControl(control);
}

bool TDeviceConnection::AddSignal(TSignal signal) {
  Defer([this, signal = std::move(signal)]() mutable {
    try {
      loop_.Context().Signals.AddSignal(std::move(signal));
    } catch (...) {
      loop_.Context().Events.AddSystemEvent(std::string(kSignalAnalysisError),
                                            CurrentExceptionText(), true);
    }
  });
  return true;
}

bool TDeviceConnection::AddSystemEvent(const std::string& text, const std::string& details,
                                       bool is_error) {
  Defer([this, text, details, is_error] {
    loop_.Context().Events.AddSystemEvent(text, details, is_error);
  });
  return true;
}

void TDeviceConnection::Log(std::string line) {
  Defer([this, line = std::move(line)] { loop_.Context().Log.LogWrite(line); });
}

void TDeviceConnection::Defer(std::function<void()> work) {
  loop_.WorkQueued();
  asio::post(strand_, [self = shared_from_this(), work = std::move(work)] {
    try {
      work();
    } catch (...) {
      // The sinks report their own failures; one lost line must not end a worker.
    }
    self->loop_.WorkDone();
  });
}

}  // namespace vd
