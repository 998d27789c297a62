#pragma once

#include "device/signal.h"

namespace vd {

// Where received signals go: the signal buffer implements it; tests record.
// Safe to call from any thread.
class ISignalSink {
 public:
  virtual ~ISignalSink() = default;

  // Stores the signal durably; true when it was buffered. May raise; callers
  // treat an error like a refusal.
  virtual bool AddSignal(TSignal signal) = 0;
};

}  // namespace vd
