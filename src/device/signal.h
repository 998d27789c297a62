#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vd {

class IClock;
struct DriverSettings;

// A text of at most N bytes. Assigning a longer text keeps its first N bytes
// and drops the rest, so the capacity holds by construction.
template <size_t N>
class ShortText {
 public:
  static constexpr size_t kCapacity = N;

  ShortText() = default;
  ShortText(std::string_view text) : text_(text.substr(0, N)) {}  // NOLINT: implicit by design
  ShortText(const std::string& text) : ShortText(std::string_view(text)) {}  // NOLINT
  ShortText(const char* text) : ShortText(std::string_view(text)) {}         // NOLINT

  ShortText& operator=(std::string_view text) {
    text_.assign(text.substr(0, N));
    return *this;
  }
  ShortText& operator=(const std::string& text) { return *this = std::string_view(text); }
  ShortText& operator=(const char* text) { return *this = std::string_view(text); }

  const std::string& str() const { return text_; }
  operator std::string_view() const { return text_; }  // NOLINT: reads as a text
  size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }

  friend bool operator==(const ShortText& a, const ShortText& b) = default;
  friend bool operator==(const ShortText& a, std::string_view b) { return a.text_ == b; }
  friend bool operator==(const ShortText& a, const std::string& b) { return a.text_ == b; }
  friend bool operator==(const ShortText& a, const char* b) { return a.text_ == b; }

 private:
  std::string text_;
};

// Kind of a signal, held in one byte. The driver itself uses stExternal for
// everything a transmitter sends and kTestSignalType (11, no name) for its
// periodic test signal.
enum TSignalType : uint8_t {
  stUnknown = 0,
  stExternal = 1,
  stInternal = 2,
  stPosition = 3,
  stCheckAtPoint = 4,
  stTest = 5,
  stSystem = 6,
  stAccessControl = 7,
};
inline constexpr TSignalType kTestSignalType = static_cast<TSignalType>(11);

// One signal on its way from reception to the Kernel; a plain value, copied
// whole when handed on. Texts are single-byte (Windows-1250) strings, byte
// for byte from the wire. Times are seconds since 1970-01-01 00:00:00 counted
// on the local wall clock when the signal is made; the signal buffer turns
// them into UTC when it takes the signal.
struct TSignal {
  int64_t TimeIn = 0;
  int64_t TimeSource = 0;
  bool SourceTimeValid = false;
  std::string HardwareNumber;
  std::string DriverName;
  int32_t DriverPort = 0;
  TSignalType SignalType = stUnknown;
  std::string CanalType;
  std::string CanalSlot;
  ShortText<20> Code;
  ShortText<100> Extension1;
  ShortText<100> Extension2;
  ShortText<100> Extension3;
  ShortText<100> Extension4;
  ShortText<100> Extension5;
  double Value = 0;
  std::string DriverPortName;

  friend bool operator==(const TSignal&, const TSignal&) = default;
};

// Fills a signal for a device port with its defaults: both times the current
// local wall-clock seconds, DriverName from the settings, DriverPort the given
// number, DriverPortName from the entry FindPortIndex finds, type stExternal,
// everything else empty or zero. The settings must hold at least one port.
void InitPortSignal(TSignal& signal, int32_t port_number, const DriverSettings& settings,
                    const IClock& clock);

// The 0-based index of the first port entry whose PortNumber equals
// port_number; 0 when none does.
size_t FindPortIndex(const DriverSettings& settings, int32_t port_number);

// Each byte as two upper-case hexadecimal digits, no separator.
std::string BytesToHex(std::string_view bytes);

// Extension1 takes bytes 1-100 of the text, Extension2 101-200, ... Extension5
// 401-500; the rest is dropped, an extension past the end becomes empty.
void SplitToExtensions(std::string_view text, TSignal& signal);

// "stUnknown" ... "stAccessControl" for 0 to 7, the decimal value otherwise.
std::string SignalTypeName(TSignalType type);

}  // namespace vd
