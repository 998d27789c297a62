#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "support/time_utils.h"

namespace vd {

class IClock;
class ISignalSink;
class ISystemEventSink;
struct DriverSettings;

// Writes one text to the transmitter on the connection the message came from.
// May raise (a broken connection); the parse then counts as failed.
using ReplyWriter = std::function<void(const std::string&)>;

// The event raised for every message that could not be handled.
inline constexpr std::string_view kSignalAnalysisError = "Signal analysis error.";

// The time reply to a transmitter: "*" + hn + "*" + password + "*00*" +
// yyyyMMddhhmmss of `now` (the year without leading zeros) + "*" + "\n".
std::string BuildTimeReply(std::string_view hn, std::string_view password, const CivilTime& now);

// Turns transmitter messages into signals. A message is "[" + body + "]":
// the first byte is skipped unread, the body runs up to the first "]", and
// whatever follows that "]" is ignored. The body holds fixed-position fields
// (flags, hardware number, message kind, source date and time, value,
// payload); kind "02AD" and any other kind become a signal for the signal
// sink, kind "02AC" is a time request answered through the reply writer, and
// a message with an unreadable date is answered with the time as well.
//
// Keeps no state between messages: one object may serve any number of ports
// and connections, and ParseDeviceMessage is safe to call from any thread.
// The collaborators are borrowed and must outlive the parser.
class TDeviceMessageParser {
 public:
  TDeviceMessageParser(const DriverSettings& settings, const IClock& clock, ISignalSink& signals,
                       ISystemEventSink& events);

  // Handles one message received on the port at 1-based position
  // `port_number` in settings.Ports; `canal_type` becomes the signal's
  // CanalType. An empty `reply` drops the replies. Returns true when the
  // message was handled (whether or not the signal sink buffered the signal).
  // On failure raises the event "Signal analysis error." with the error's
  // description and returns false; no signal is added then. Never raises.
  // Leading and trailing bytes up to 0x20 are ignored.
  bool ParseDeviceMessage(std::string_view message, int32_t port_number,
                          std::string_view canal_type, const ReplyWriter& reply) const;

 private:
  // Parses and hands on; raises on a message that cannot be handled.
  void Parse(std::string_view message, int32_t port_number, std::string_view canal_type,
             const ReplyWriter& reply) const;
  void WriteTimeReply(std::string_view hn, int32_t port_number, const ReplyWriter& reply) const;

  const DriverSettings& settings_;
  const IClock& clock_;
  ISignalSink& signals_;
  ISystemEventSink& events_;
};

}  // namespace vd
