// The status answer is a document of the Kernel: any text must be applied or
// refused with an Exception, never crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/kernel_messages.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/system_event_sink.h"
#include "support/system_time_setter.h"

namespace {

class FixedClock final : public vd::IClock {
 public:
  int64_t MonotonicMs() const override { return 3600000; }
  int64_t UtcNowMs() const override { return 1705320000000; }
};

// Never touches the machine's clock.
class NoTimeSetter final : public vd::ISystemTimeSetter {
 public:
  bool SetSystemTimeUtc(int64_t) override { return false; }
};

class NoEvents final : public vd::ISystemEventSink {
 public:
  bool AddSystemEvent(const std::string&, const std::string&, bool) override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FixedClock clock;
  static NoTimeSetter time_setter;
  static NoEvents events;
  static vd::TListOfModules modules;
  static vd::TKernelSettings kernel(modules);
  try {
    vd::ParseStatusAnswer(std::string_view(reinterpret_cast<const char*>(data), size),
                          vd::TStatusAnswerTargets{kernel, modules, time_setter, events, clock});
  } catch (const vd::Exception&) {
    // Refused: the link drops the connection.
  }
  return 0;
}
