// Signal files come from disk and are untrusted: any content must load or be
// rejected with a driver error, never crash. What loads must write back and
// load again to the same signal.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "buffers/signal_xml.h"
#include "support/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vd::TSignal signal;
  try {
    signal = vd::ParseSignalDocument(text);
  } catch (const vd::Exception&) {
    return 0;
  }
  const vd::TSignal again = vd::ParseSignalDocument(vd::SignalDocument(signal));
  if (vd::SignalDocument(again) != vd::SignalDocument(signal)) __builtin_trap();
  return 0;
}
