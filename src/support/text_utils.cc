#include "support/text_utils.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "support/errors.h"

namespace vd {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperTrimmed(std::string_view text) {
  std::string result(TrimBlanks(text));
  for (char& c : result) c = ToUpperAscii(c);
  return result;
}

// Optional sign followed by one or more decimal digits, nothing else.
bool IsDecimalInteger(std::string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

template <typename Int>
Int ParseInteger(std::string_view text) {
  const auto fail = [&]() {
    return EConvertError("'" + std::string(text) + "' is not a valid integer value");
  };
  if (!IsDecimalInteger(text)) throw fail();
  std::string_view digits = text;
  if (digits.front() == '+') digits.remove_prefix(1);
  Int value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) throw fail();
  return value;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToUpperAscii(a[i]) != ToUpperAscii(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string EscapeControlChars(std::string_view text, bool drop_nul) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 32 && code != 127) {
      result += c;
    } else if (code != 0 || !drop_nul) {
      result += '[';
      result += kHexDigits[code >> 4];
      result += kHexDigits[code & 0x0F];
      result += ']';
    }
  }
  return result;
}

std::string ReadKeyValue(std::string_view key, std::string_view text) {
  const std::string wanted = UpperTrimmed(key);
  std::string result;
  std::string current_key;
  bool reading_value = false;
  bool quoted = false;
  bool key_matches = false;
  for (const char c : text) {
    if (reading_value && c == '"') {
      quoted = !quoted;
      continue;
    }
    if (c == ';' && !quoted) {
      reading_value = false;
      current_key.clear();
      continue;
    }
    if (c == '=' && !quoted) {
      if (!reading_value) {
        reading_value = true;
        key_matches = UpperTrimmed(current_key) == wanted;
      }
      continue;
    }
    if (reading_value) {
      if (key_matches) result += c;
    } else {
      current_key += c;
    }
  }
  return std::string(TrimBlanks(result));
}

int64_t ParseInt64(std::string_view text) { return ParseInteger<int64_t>(text); }

int32_t ParseInt32(std::string_view text) { return ParseInteger<int32_t>(text); }

double ParseFloat(std::string_view text) {
  const auto fail = [&]() {
    return EConvertError("'" + std::string(text) + "' is not a valid floating point value");
  };
  // from_chars takes no '+' sign and no blanks; a leading '+' is allowed here
  // but only a digit or '.' may follow it.
  std::string_view number = text;
  const bool plus = !number.empty() && number.front() == '+';
  if (plus) number.remove_prefix(1);
  if (number.empty() || (plus && !IsDigit(number.front()) && number.front() != '.') ||
      (!plus && number.front() != '-' && !IsDigit(number.front()) && number.front() != '.')) {
    throw fail();
  }
  double value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value,
                                            std::chars_format::general);
  if (error != std::errc() || end != number.data() + number.size() || !std::isfinite(value)) {
    throw fail();
  }
  return value;
}

bool ParseBool(std::string_view text) {
  if (EqualsIgnoreCase(text, "true")) return true;
  if (EqualsIgnoreCase(text, "false")) return false;
  // Any decimal number, however long or large its exponent: [+-] digits
  // [. digits] [E [+-] digits], with at least one mantissa digit. Its value
  // is zero exactly when every mantissa digit is zero, so it is never
  // converted (and never overflows).
  size_t i = 0;
  const auto digits = [&]() {
    const size_t start = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    return i - start;
  };
  bool non_zero = false;
  const auto mantissa_digits = [&]() {
    const size_t start = i;
    const size_t count = digits();
    for (size_t k = start; k < i; ++k) non_zero = non_zero || text[k] != '0';
    return count;
  };
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t count = mantissa_digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    count += mantissa_digits();
  }
  bool valid = count > 0;
  if (valid && i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    valid = digits() > 0;
  }
  if (!valid || i != text.size()) {
    throw EConvertError("'" + std::string(text) + "' is not a valid boolean value");
  }
  return non_zero;
}

std::string FormatFloat(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";  // also for -0
  // to_chars in general format with a precision chooses exactly what %.15G
  // chooses, without regard to the process locale.
  char buffer[64];
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  if (error != std::errc()) return {};
  std::string_view raw(buffer, static_cast<size_t>(end - buffer));
  const size_t e = raw.find('e');
  if (e == std::string_view::npos) return std::string(raw);
  // "1e-05" -> "1E-5", "1e+15" -> "1E15".
  std::string result(raw.substr(0, e));
  result += 'E';
  std::string_view exponent = raw.substr(e + 1);
  if (exponent.front() == '-') result += '-';
  if (exponent.front() == '-' || exponent.front() == '+') exponent.remove_prefix(1);
  while (exponent.size() > 1 && exponent.front() == '0') exponent.remove_prefix(1);
  result += exponent;
  return result;
}

std::string FormatArg::Text() const {
  struct Visitor {
    std::string operator()(int64_t v) const { return std::to_string(v); }
    std::string operator()(bool v) const { return v ? "True" : "False"; }
    std::string operator()(char v) const { return std::string(1, v); }
    std::string operator()(double v) const { return FormatFloat(v); }
    std::string operator()(const std::string& v) const { return v; }
  };
  return std::visit(Visitor{}, value_);
}

std::string FormatPlaceholders(std::string_view format, std::initializer_list<FormatArg> values) {
  std::string result;
  result.reserve(format.size());
  std::string digits;
  bool in_braces = false;
  const auto placeholder_value = [&](std::string_view pending) -> const FormatArg* {
    if (pending.empty() || pending.size() > 9) return nullptr;  // 9 digits cannot overflow
    size_t index = 0;
    for (const char c : pending) index = index * 10 + static_cast<size_t>(c - '0');
    if (index >= values.size()) return nullptr;
    return values.begin() + index;
  };
  for (const char c : format) {
    if (!in_braces) {
      if (c == '{') {
        in_braces = true;
      } else {
        result += c;
      }
      continue;
    }
    if (IsDigit(c)) {
      digits += c;
    } else if (c == '}') {
      // Leading zeros are allowed, so only the significant digits count.
      std::string_view significant = digits;
      while (significant.size() > 1 && significant.front() == '0') significant.remove_prefix(1);
      if (const FormatArg* arg = placeholder_value(significant)) {
        result += arg->Text();
      } else {
        result += '{';
        result += digits;
        result += '}';
      }
      digits.clear();
      in_braces = false;
    } else if (c == '{') {
      result += '{';
      result += digits;
      digits.clear();
    } else {
      result += '{';
      result += digits;
      result += c;
      digits.clear();
      in_braces = false;
    }
  }
  if (in_braces) {
    result += '{';
    result += digits;
  }
  return result;
}

}  // namespace vd
