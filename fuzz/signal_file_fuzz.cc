// Signal files come from disk and are untrusted: any content must load or be
// rejected with a driver error, never crash. What loads must write back to a
// document that loads again; from then on writing and loading are stable (the
// first write may escape control characters a foreign file carried, and the
// escapes may then be cut to the field's length).
#include <cstddef>
#include <cstdint>
#include <string>
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
  const std::string written =
      vd::SignalDocument(vd::ParseSignalDocument(vd::SignalDocument(signal)));
  if (vd::SignalDocument(vd::ParseSignalDocument(written)) != written) __builtin_trap();
  return 0;
}
