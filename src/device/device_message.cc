#include "device/device_message.h"

#include <charconv>
#include <utility>

#include "config/driver_settings.h"
#include "device/signal.h"
#include "device/signal_sink.h"
#include "support/errors.h"
#include "support/system_event_sink.h"
#include "support/text_utils.h"

namespace vd {
namespace {

// Message kinds that get their own handling; any other kind becomes a signal
// coded with the kind itself.
constexpr std::string_view kKindSignal = "02AD";
constexpr std::string_view kKindTimeRequest = "02AC";

constexpr size_t kPayloadStart = 30;

// The field at 1-based position `first` of `length` bytes, shortened to what
// the text holds (possibly empty).
std::string_view Field(std::string_view text, size_t first, size_t length) {
  if (first > text.size()) return {};
  return text.substr(first - 1, length);
}

// Everything after the first byte up to the first "]"; empty without "]".
std::string_view CutBody(std::string_view message) {
  if (message.size() < 2) return {};
  const size_t end = message.find(']', 1);
  if (end == std::string_view::npos) return {};
  return message.substr(1, end - 1);
}

void AppendTwoDigits(std::string& out, int value) {
  out += static_cast<char>('0' + value / 10 % 10);
  out += static_cast<char>('0' + value % 10);
}

}  // namespace

std::string BuildTimeReply(std::string_view hn, std::string_view password, const CivilTime& now) {
  char year[16];
  const auto [year_end, ec] = std::to_chars(year, year + sizeof year, now.year);
  (void)ec;  // an int always fits
  std::string reply;
  reply.reserve(hn.size() + password.size() + 32);
  reply += '*';
  reply += hn;
  reply += '*';
  reply += password;
  reply += "*00*";
  reply.append(year, year_end);
  AppendTwoDigits(reply, now.month);
  AppendTwoDigits(reply, now.day);
  AppendTwoDigits(reply, now.hour);
  AppendTwoDigits(reply, now.minute);
  AppendTwoDigits(reply, now.second);
  reply += "*\n";
  return reply;
}

TDeviceMessageParser::TDeviceMessageParser(const DriverSettings& settings, const IClock& clock,
                                           ISignalSink& signals, ISystemEventSink& events)
    : settings_(settings), clock_(clock), signals_(signals), events_(events) {}

bool TDeviceMessageParser::ParseDeviceMessage(std::string_view message, int32_t port_number,
                                              std::string_view canal_type,
                                              const ReplyWriter& reply) const {
  try {
    Parse(message, port_number, canal_type, reply);
    return true;
  } catch (...) {
    try {
      events_.AddSystemEvent(std::string(kSignalAnalysisError), CurrentExceptionText(), true);
    } catch (...) {
      // Out of memory while describing the error: the result still says it.
    }
    return false;
  }
}

void TDeviceMessageParser::Parse(std::string_view message, int32_t port_number,
                                 std::string_view canal_type, const ReplyWriter& reply) const {
  const std::string_view body = CutBody(TrimBlanks(message));
  const std::string_view hn = Field(body, 5, 4);

  // An unreadable source date is answered with the driver's time; the signal
  // then carries the zero date-time as its source time.
  CivilTime source_time;
  try {
    const int year = ParseInt32(Field(body, 13, 4));
    const int month = ParseInt32(Field(body, 17, 2));
    const int day = ParseInt32(Field(body, 19, 2));
    const int hour = ParseInt32(Field(body, 21, 2));
    const int minute = ParseInt32(Field(body, 23, 2));
    const int second = ParseInt32(Field(body, 25, 2));
    source_time = EncodeDateTime(year, month, day, hour, minute, second, 0);
  } catch (const EConvertError&) {
    WriteTimeReply(hn, port_number, reply);
  }

  int32_t value = 0;
  try {
    value = ParseInt32(Field(body, 27, 2));
  } catch (const EConvertError&) {
    value = 0;
  }

  if (body.empty()) throw Exception("Message body is empty");
  const std::string_view kind = Field(body, 9, 4);
  const std::string_view payload = Field(body, kPayloadStart, std::string_view::npos);

  TSignal signal;
  InitPortSignal(signal, port_number, settings_, clock_);
  signal.TimeSource = DateTimeToUnixSeconds(source_time);
  signal.CanalType = canal_type;
  signal.Value = static_cast<uint8_t>(value);  // the low 8 bits: "-1" gives 255
  signal.HardwareNumber = hn;
  signal.Extension3 = Field(body, 3, 2);
  signal.Extension4 = body.substr(0, 1);
  signal.Extension5 = Field(body, 2, 1);

  if (kind == kKindSignal) {
    if (payload.empty()) throw Exception("Message payload is empty");
    switch (payload[0]) {
      case '2':
        signal.HardwareNumber = Field(payload, 2, 4);
        signal.Code = Field(payload, 8, 4);
        signal.Extension2 = Field(payload, 12, 2);
        signal.Extension1 = Field(payload, 14, 3);
        break;
      case '1':
        signal.HardwareNumber = Field(payload, 2, 4);
        signal.Code = Field(payload, 8, 2);
        break;
      case '3':
        signal.HardwareNumber = Field(payload, 2, 4);
        signal.Code = Field(payload, 6, 2);
        break;
      default:
        signal.Code = "UNKNOWN";
        signal.Extension1 = body;
        break;
    }
    signals_.AddSignal(std::move(signal));
  } else if (kind == kKindTimeRequest) {
    WriteTimeReply(hn, port_number, reply);
  } else {
    signal.Code = kind;
    signal.Extension1 = payload;
    signals_.AddSignal(std::move(signal));
  }
}

void TDeviceMessageParser::WriteTimeReply(std::string_view hn, int32_t port_number,
                                          const ReplyWriter& reply) const {
  if (!reply) return;
  // The port number comes from the listener and names an entry; should it
  // not, the transmitter still gets the time, with an empty password.
  std::string_view password;
  if (port_number >= 1 && static_cast<size_t>(port_number) <= settings_.Ports.size()) {
    password = settings_.Ports[static_cast<size_t>(port_number) - 1].DriverPassword;
  }
  reply(BuildTimeReply(hn, password, NowLocal(clock_)));
}

}  // namespace vd
