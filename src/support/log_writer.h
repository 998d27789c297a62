#pragma once

#include <string_view>

namespace vd {

// The session log's entry point as the components see it: one text line, the
// log adds the timestamp. TLogging (support/logging.h) implements it; with
// logging switched off the components get a NullLogWriter. Safe to call from
// any thread; never raises. The log's lock is innermost: callers may hold
// their own locks.
class ILogWriter {
 public:
  virtual ~ILogWriter() = default;
  virtual void LogWrite(std::string_view text) = 0;
};

// Logging switched off: every line is dropped.
class NullLogWriter final : public ILogWriter {
 public:
  void LogWrite(std::string_view) override {}
};

}  // namespace vd
