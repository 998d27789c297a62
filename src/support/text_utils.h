#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace vd {

// Each character below 32, and 127, becomes "[" + two upper-case hexadecimal
// digits + "]"; with drop_nul a NUL is removed instead. Other bytes stay.
std::string EscapeControlChars(std::string_view text, bool drop_nul);

// The value of key in a "key=value;key=value" text. Keys match without regard
// to ASCII letter case and surrounding blanks; a value between double quotes
// may hold ";" and "="; the quotes never reach the result; a missing key gives
// an empty text, a key given twice the two values joined.
std::string ReadKeyValue(std::string_view key, std::string_view text);

// The text without its leading and trailing blanks and control characters
// (bytes 0x00 to 0x20); bytes from 0x80 up are kept.
std::string_view TrimBlanks(std::string_view text);

// Whether a and b are equal without regard to ASCII letter case.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Decimal integers with an optional sign; raise EConvertError
// ("'<text>' is not a valid integer value") when the text is not one or the
// value does not fit.
int64_t ParseInt64(std::string_view text);
int32_t ParseInt32(std::string_view text);

// A floating-point number with "." as decimal separator, as FormatFloat
// writes it; raises EConvertError ("'<text>' is not a valid floating point
// value").
double ParseFloat(std::string_view text);

// Booleans as the driver's files hold them: "0", "1", any other decimal
// number such as "-3", "1.0" or "1E3" (non-zero is true, also beyond the
// range of double), "True" and "False" in any letter case; raises
// EConvertError ("'<text>' is not a valid boolean value") otherwise.
bool ParseBool(std::string_view text);

// A number in the general format with at most 15 significant digits, "." as
// decimal separator and an exponent form for very small or large magnitudes
// (1E-5, 1E15).
std::string FormatFloat(double value);

// One value for FormatPlaceholders.
class FormatArg {
 public:
  FormatArg(int32_t value) : value_(static_cast<int64_t>(value)) {}   // NOLINT
  FormatArg(int64_t value) : value_(value) {}                         // NOLINT
  FormatArg(uint32_t value) : value_(static_cast<int64_t>(value)) {}  // NOLINT
  FormatArg(bool value) : value_(value) {}                            // NOLINT
  FormatArg(char value) : value_(value) {}                            // NOLINT
  FormatArg(double value) : value_(value) {}                          // NOLINT
  FormatArg(std::string_view value) : value_(std::string(value)) {}   // NOLINT
  FormatArg(const std::string& value) : value_(value) {}              // NOLINT
  FormatArg(const char* value) : value_(std::string(value)) {}        // NOLINT

  // Integers in decimal, booleans "True"/"False", a character as itself,
  // floating point as FormatFloat, texts as they are.
  std::string Text() const;

 private:
  std::variant<int64_t, bool, char, double, std::string> value_;
};

// Fills "{0}", "{1}" ... of format with the texts of the values; a
// placeholder without a value, or anything that is not one, stays as written.
std::string FormatPlaceholders(std::string_view format, std::initializer_list<FormatArg> values);

}  // namespace vd
