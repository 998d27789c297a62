#include "device/signal.h"

#include <iterator>

#include "config/driver_settings.h"
#include "support/text_encoding.h"
#include "support/time_utils.h"

namespace vd {

void InitPortSignal(TSignal& signal, int32_t port_number, const DriverSettings& settings,
                    const IClock& clock) {
  const int64_t now = NowLocalUnix(clock);
  signal.TimeIn = now;
  signal.TimeSource = now;
  signal.SourceTimeValid = false;
  signal.HardwareNumber.clear();
  signal.DriverName = Utf8ToWin1250(settings.Name);
  signal.DriverPort = port_number;
  signal.SignalType = stExternal;
  signal.CanalType.clear();
  signal.CanalSlot.clear();
  signal.Code = std::string_view();
  signal.Extension1 = std::string_view();
  signal.Extension2 = std::string_view();
  signal.Extension3 = std::string_view();
  signal.Extension4 = std::string_view();
  signal.Extension5 = std::string_view();
  signal.Value = 0;
  // Without any configured port there is no name to take; the signal still
  // carries its port number.
  if (settings.Ports.empty()) {
    signal.DriverPortName.clear();
  } else {
    signal.DriverPortName =
        Utf8ToWin1250(settings.Ports[FindPortIndex(settings, port_number)].PortName);
  }
}

size_t FindPortIndex(const DriverSettings& settings, int32_t port_number) {
  for (size_t i = 0; i < settings.Ports.size(); ++i) {
    if (settings.Ports[i].PortNumber == port_number) return i;
  }
  return 0;
}

std::string BytesToHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex(bytes.size() * 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    hex[2 * i] = kDigits[byte >> 4];
    hex[2 * i + 1] = kDigits[byte & 0x0F];
  }
  return hex;
}

void SplitToExtensions(std::string_view text, TSignal& signal) {
  constexpr size_t kSlice = ShortText<100>::kCapacity;
  ShortText<100>* const extensions[] = {&signal.Extension1, &signal.Extension2, &signal.Extension3,
                                        &signal.Extension4, &signal.Extension5};
  size_t start = 0;
  for (ShortText<100>* extension : extensions) {
    *extension = start < text.size() ? text.substr(start, kSlice) : std::string_view();
    start += kSlice;
  }
}

std::string SignalTypeName(TSignalType type) {
  static constexpr const char* kNames[] = {"stUnknown",  "stExternal",     "stInternal",
                                           "stPosition", "stCheckAtPoint", "stTest",
                                           "stSystem",   "stAccessControl"};
  const auto value = static_cast<unsigned>(type);
  if (value < std::size(kNames)) return kNames[value];
  return std::to_string(value);
}

}  // namespace vd
