#include "support/log_format.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "support/text_encoding.h"

namespace vd {
namespace {

constexpr int64_t kMsPerDay = 86400000;

constexpr std::array<std::string_view, 32> kControlNames = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "TAB", "LF",
    "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
    "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};

constexpr std::array<std::string_view, 7> kShortDayNames = {"Nd", "Pn", "Wt", "Śr",
                                                            "Cz", "Pt", "So"};

}  // namespace

std::string_view ControlCharacterName(unsigned char byte) {
  if (byte < kControlNames.size()) return kControlNames[byte];
  if (byte == 127) return "DEL";
  return {};
}

std::string FormatBytes(std::string_view data, std::string_view separator, bool with_characters,
                        bool with_control_names) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(data.size() * (with_characters ? 6 + separator.size() : 2 + separator.size()));
  for (size_t i = 0; i < data.size(); ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    if (i > 0) out += separator;
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
    if (!with_characters) continue;
    out += '[';
    const std::string_view name = with_control_names ? ControlCharacterName(byte) : "";
    if (!name.empty()) {
      out += name;
    } else if (byte >= 0x80) {
      out += Win1250ToUtf8(data.substr(i, 1));
    } else {
      out += static_cast<char>(byte);
    }
    out += ']';
  }
  return out;
}

std::string FormatDuration(bool in_seconds, int64_t later, int64_t earlier) {
  int64_t span = 0;
  if (__builtin_sub_overflow(later, earlier, &span)) return "?";
  if (in_seconds && __builtin_mul_overflow(span, int64_t{1000}, &span)) return "?";
  if (span < 0) return "?";
  const int64_t days = span / kMsPerDay;
  const int64_t rest = span % kMsPerDay;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%lld dni, %02d:%02d:%02d", static_cast<long long>(days),
                static_cast<int>(rest / 3600000), static_cast<int>(rest / 60000 % 60),
                static_cast<int>(rest / 1000 % 60));
  std::string out = buffer;
  if (in_seconds) {
    out += " [g:m:s]";
  } else {
    std::snprintf(buffer, sizeof buffer, ".%03d [g:m:s.ms]", static_cast<int>(rest % 1000));
    out += buffer;
  }
  return out;
}

std::string FormatLogTimestamp(const CivilTime& time) {
  const std::chrono::year_month_day calendar{std::chrono::year{time.year},
                                             std::chrono::month{static_cast<unsigned>(time.month)},
                                             std::chrono::day{static_cast<unsigned>(time.day)}};
  const unsigned weekday = std::chrono::weekday{std::chrono::sys_days{calendar}}.c_encoding();
  char date[16];
  char clock[32];
  std::snprintf(date, sizeof date, "%02d.%02d.%04d ", time.day, time.month, time.year);
  std::snprintf(clock, sizeof clock, " %02d:%02d:%02d.%03d", time.hour, time.minute, time.second,
                time.millisecond);
  std::string out = date;
  out += kShortDayNames[weekday % 7];
  out += clock;
  return out;
}

int64_t UtcMsToLocalMs(int64_t utc_ms) {
  try {
    CivilTime utc = UnixMsToCivil(utc_ms);
    const int millisecond = utc.millisecond;
    utc.millisecond = 0;
    CivilTime local = UtcToLocal(utc);
    local.millisecond = millisecond;
    return CivilToUnixMs(local);
  } catch (...) {
    return utc_ms;
  }
}

int32_t LocalTimeZoneBias(const IClock& clock) {
  try {
    return TimeZoneBias(clock);
  } catch (...) {
    return 0;
  }
}

std::string FormatBias(int32_t bias_minutes) {
  const int64_t magnitude = std::llabs(static_cast<long long>(bias_minutes));
  return std::string("(= UTC") + (bias_minutes > 0 ? " - " : " + ") + std::to_string(magnitude) +
         " min.)";
}

}  // namespace vd
