#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/time_utils.h"

namespace vd {

class IClock;

// Formatting used by the session log (support/logging.h) and by components
// composing log lines. Pure functions, safe from any thread, never raise
// (except std::bad_alloc).

// Raw received bytes for a log line. Each byte becomes two upper-case
// hexadecimal digits; with_characters adds "[" + the character + "]", where
// with_control_names replaces bytes 0-31 and 127 by their names (STX, ETX,
// ...). Bytes 128-255 are shown as their Windows-1250 character in UTF-8 so
// the log stays valid UTF-8. The separator goes between the items:
// FormatBytes("\x02" "A" "\x03", " ", true, true) == "02[STX] 41[A] 03[ETX]".
std::string FormatBytes(std::string_view data, std::string_view separator, bool with_characters,
                        bool with_control_names);

// The name of a control character (0-31 and 127), or an empty text.
std::string_view ControlCharacterName(unsigned char byte);

// The span later - earlier (both in seconds when in_seconds, else in ms) as
// "D dni, hh:mm:ss [g:m:s]" or "D dni, hh:mm:ss.zzz [g:m:s.ms]"; "?" when the
// span is negative or does not fit 64 bits.
std::string FormatDuration(bool in_seconds, int64_t later, int64_t earlier);

// The log's long timestamp: "dd.mm.yyyy ddd hh:nn:ss.zzz" with the Polish
// short day names (Nd, Pn, Wt, Śr, Cz, Pt, So), e.g. "05.12.2026 So 14:02:13.456".
std::string FormatLogTimestamp(const CivilTime& time);

// The local wall clock at the UTC moment utc_ms, as milliseconds since 1970
// counted on the local clock. Falls back to utc_ms when the zone rules cannot
// convert it.
int64_t UtcMsToLocalMs(int64_t utc_ms);

// The current bias in minutes: UTC = local time + bias, daylight saving
// included.
int32_t LocalTimeZoneBias(const IClock& clock);

// The bias as the log header shows it: -60 gives "(= UTC + 60 min.)", 300
// gives "(= UTC - 300 min.)".
std::string FormatBias(int32_t bias_minutes);

// "True" or "False".
inline std::string BoolToText(bool value) { return value ? "True" : "False"; }

// A signed 64-bit number in decimal.
inline std::string Int64ToText(int64_t value) { return std::to_string(value); }

}  // namespace vd
