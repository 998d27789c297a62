#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vd {

struct DriverSettings;

// One command parameter: a key and two texts.
struct TSimpleParameter {
  int32_t Key = 0;
  std::string Text1;
  std::string Text2;
};
using TSimpleParameters = std::vector<TSimpleParameter>;

// The second text of the first parameter with that key, blanks trimmed;
// empty when there is none.
std::string ParameterValue(const TSimpleParameters& parameters, int32_t key);

// An order for one transmitter, waiting in TDeviceParamControlBuffer. Plain
// value record, copied whole into and out of the buffer.
struct TDeviceControl {
  std::string HN;
  std::string PortKey;   // a port number in decimal, or "*"
  std::string ThirdKey;  // or "*"
  std::string ControlId;
  std::string ControlName;
  int32_t Reserved1 = 0;
  std::string Command;
  TSimpleParameters Parameters;
  std::string Reserved2;
  std::string Reserved3;
  std::string Reserved4;
  std::string Reserved5;
  std::string Reserved6;
  std::string ModuleName;
  int32_t Reserved7 = 0;
  int32_t Reserved8 = 0;
};

// The control commands waiting for their transmitter connection. Owns the
// ordered list of entries; lock_ guards it. Every method is safe to call from
// any thread; entries go in and out only as copies.
class TDeviceParamControlBuffer {
 public:
  // The flags are kept for the start sequence's sake; nothing reads them.
  TDeviceParamControlBuffer(bool flag1 = true, bool flag2 = true);

  // Appends a copy of the entry.
  void AddControl(const TDeviceControl& control);

  // A copy of the first entry whose HN equals hn and whose PortKey and
  // ThirdKey equal the given keys or are "*". Exact, case-sensitive.
  bool FindControl(const std::string& hn, const std::string& port_key, const std::string& third_key,
                   TDeviceControl& found) const;

  // Removes the first entry with the same ControlId; true when one went.
  bool RemoveControl(const TDeviceControl& control);

  // True when no entry waits; lock-free, so a poll over many connections
  // costs nothing while the buffer is empty.
  bool Empty() const { return count_.load(std::memory_order_acquire) == 0; }

 private:
  const bool flag1_;
  const bool flag2_;

  mutable std::mutex lock_;
  std::vector<TDeviceControl> entries_;  // guarded by lock_
  std::atomic<size_t> count_{0};         // entries_.size(), written under lock_
};

// The frame a command writes to the transmitter on the port at 1-based
// position port_number: "#" + HN + "#" + the entry's PortNumber + "#3F#" for
// "ModemRestart". Empty when the command name has no frame.
std::string BuildControlFrame(const TDeviceControl& control, const DriverSettings& settings,
                              int32_t port_number);

// The answer document of a command for the Kernel (frame type 2504):
// <Data><Id/><Name/><Status>1 or 0</Status><ModuleName/></Data>.
std::string BuildControlAnswer(const TDeviceControl& control, bool failed);

inline constexpr uint16_t kControlAnswerFrameType = 2504;
inline constexpr const char* kControlConfirmedText = "Control command confirmed, transmitter";
// %s: the command, then the hardware number.
inline constexpr const char* kControlFailedFormat = "Błąd wysterowania linii %s nadajnika %s";
std::string ControlFailedText(const TDeviceControl& control);

// Queues a document for the Kernel without destination and without waiting
// only for the acknowledgement (the question buffer's AddQuestion); true when
// queued. Called off the reception loop; may block on the disk.
using QuestionQueue = std::function<bool(uint16_t frame_type, const std::string& body)>;

}  // namespace vd
