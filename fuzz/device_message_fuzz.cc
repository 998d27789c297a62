// Transmitter bytes are untrusted: any message must be handled or rejected
// without a crash, a hang or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/driver_settings.h"
#include "device/device_connection.h"
#include "device/device_message.h"
#include "device/signal_sink.h"
#include "platform/system_clock.h"
#include "support/system_event_sink.h"
#include "support/text_utils.h"

namespace {

class DropSignals final : public vd::ISignalSink {
 public:
  bool AddSignal(vd::TSignal) override { return true; }
};

class DropEvents final : public vd::ISystemEventSink {
 public:
  bool AddSystemEvent(const std::string&, const std::string&, bool) override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vd::SystemClock clock;
  static DropSignals signals;
  static DropEvents events;
  static const vd::DriverSettings& settings = []() -> const vd::DriverSettings& {
    static vd::DriverSettings s;
    s.Ports.emplace_back().PortNumber = 1;
    return s;
  }();
  static const vd::TDeviceMessageParser parser(settings, clock, signals, events);

  // One read of a connection: split into its messages, each trimmed and
  // parsed as the connection does. The messages are the whole read, in order.
  const std::string_view read(reinterpret_cast<const char*>(data), size);
  size_t handled = 0;
  for (const std::string_view message : vd::SplitReceivedMessages(read)) {
    if (size > 0 && (message.empty() || message.data() < read.data() ||
                     message.data() + message.size() > read.data() + read.size())) {
      __builtin_trap();  // a message is a non-empty piece of the read
    }
    handled += message.size();
    size_t replies = 0;
    parser.ParseDeviceMessage(vd::TrimBlanks(message), static_cast<int32_t>(size % 3), "G",
                              [&replies](const std::string&) { ++replies; });
    if (replies > 2) __builtin_trap();
  }
  if (handled != size) __builtin_trap();
  return 0;
}
