// Transmitter bytes are untrusted: any message must be handled or rejected
// without a crash, a hang or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/device_message.h"
#include "device/signal_sink.h"
#include "platform/system_clock.h"
#include "config/driver_settings.h"
#include "support/system_event_sink.h"

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

  const std::string_view message(reinterpret_cast<const char*>(data), size);
  size_t replies = 0;
  parser.ParseDeviceMessage(message, static_cast<int32_t>(size % 3), "G",
                            [&replies](const std::string&) { ++replies; });
  if (replies > 2) __builtin_trap();
  return 0;
}
