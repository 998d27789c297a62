#include "platform/registry_file.h"

#include <optional>
#include <vector>

#include "support/errors.h"
#include "support/file_system.h"
#include "support/text_encoding.h"
#include "support/utf8.h"

namespace vd {
namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kMachineRoot = "HKEY_LOCAL_MACHINE";

// Thrown inside the parser; the line number is added where it is caught.
struct SyntaxError {
  std::string what;
};

[[noreturn]] void Fail(std::string what) { throw SyntaxError{std::move(what)}; }

char FoldChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = FoldChar(c);
  return folded;
}

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Fold(text.substr(0, prefix.size())) == Fold(prefix);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to max_digits hexadecimal digits, nothing else.
std::optional<uint32_t> ParseHex(std::string_view text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  return value;
}

// UTF-16LE to UTF-8. Without error_at a lone surrogate becomes U+FFFD and an
// odd last byte is dropped; with it, decoding stops there, the byte offset
// goes to *error_at and the text decoded so far is returned.
std::string Utf16LeToUtf8(std::string_view bytes, size_t* error_at = nullptr) {
  std::string out;
  out.reserve(bytes.size());
  const auto unit = [&](size_t i) {
    return static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  };
  size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    const char16_t first = unit(i);
    char32_t cp = first;
    if (first >= 0xD800 && first <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
        unit(i + 2) <= 0xDFFF) {
      cp = 0x10000 + ((static_cast<char32_t>(first) - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (first >= 0xD800 && first <= 0xDFFF) {
      if (error_at != nullptr) {
        *error_at = i;
        return out;
      }
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  if (error_at != nullptr && i < bytes.size()) *error_at = i;
  return out;
}

std::string CutAtNul(std::string text) {
  if (const size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

// Splits the decoded text into lines (LF or CR LF).
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace

// Turns the lines of a file into keys and values.
class RegistryFileParser {
 public:
  RegistryFileParser(RegistryFile& file, bool version4, std::vector<std::string_view> lines)
      : file_(file), version4_(version4), lines_(std::move(lines)) {}

  // Parses every line after the header; on a syntax error line_ names the
  // line (1-based after adding 1).
  void Run() {
    for (line_ = 1; line_ < lines_.size(); ++line_) {
      const std::string_view line = Trim(lines_[line_]);
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        Section(line);
      } else if (line.front() == '"' || line.front() == '@') {
        Value(line);
      } else {
        Fail("a line that is no key, value or comment");
      }
    }
  }

  size_t LineNumber() const { return line_ + 1; }

 private:
  using Values = RegistryFile::Values;

  void Section(std::string_view line) {
    if (line.back() != ']') Fail("a key line without its closing ']'");
    std::string_view path = Trim(line.substr(1, line.size() - 2));
    const bool deletion = !path.empty() && path.front() == '-';
    if (deletion) path.remove_prefix(1);
    current_ = nullptr;
    skipping_ = false;
    const std::optional<std::string> key = MachinePath(path);
    if (!key) {
      skipping_ = true;  // another root
      return;
    }
    if (deletion) {
      Delete(*key);
      skipping_ = true;
      return;
    }
    current_ = &file_.keys_[*key];
  }

  // The path below the machine root, folded; nullopt for another root.
  static std::optional<std::string> MachinePath(std::string_view path) {
    const size_t slash = path.find('\\');
    const std::string_view first = path.substr(0, slash);
    if (Fold(first) == Fold(kMachineRoot) || Fold(first) == "hklm") {
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    } else if (StartsWithFolded(first, "HKEY_")) {
      return std::nullopt;
    }
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    if (path.find("\\\\") != std::string_view::npos || (!path.empty() && path.front() == '\\')) {
      Fail("a key path with an empty part");
    }
    return Fold(path);
  }

  void Delete(const std::string& key) {
    auto& keys = file_.keys_;
    keys.erase(key);
    const std::string prefix = key.empty() ? std::string() : key + "\\";
    auto it = keys.lower_bound(prefix);
    while (it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0) {
      it = keys.erase(it);
    }
  }

  void Value(std::string_view line) {
    if (current_ == nullptr && !skipping_) Fail("a value before the first key");
    std::string name;
    if (line.front() == '@') {
      line.remove_prefix(1);
    } else {
      name = Quoted(line);
    }
    line = Trim(line);
    if (line.empty() || line.front() != '=') Fail("a value name without '='");
    line = Trim(line.substr(1));

    std::optional<SettingsValue> value;
    if (!line.empty() && line.front() == '"') {
      value.emplace();
      value->text = Quoted(line);
      EndOfValue(line);
    } else if (line == "-") {
      // A deletion: value stays empty.
    } else if (StartsWithFolded(line, "dword:")) {
      line.remove_prefix(6);
      const size_t end = line.find(';');
      const std::optional<uint32_t> number = ParseHex(Trim(line.substr(0, end)), 8);
      if (!number) Fail("a dword value that is not 1 to 8 hexadecimal digits");
      value.emplace();
      value->type = SettingsValueType::kNumber;
      value->number = *number;
    } else if (StartsWithFolded(line, "hex")) {
      value = HexValue(line.substr(3));
    } else {
      Fail("value data that is no text, dword or hex list");
    }
    if (current_ == nullptr) return;
    if (value) {
      (*current_)[Fold(name)] = std::move(*value);
    } else {
      current_->erase(Fold(name));
    }
  }

  // Removes a double-quoted text with the escapes \\ and \" from the front
  // of line and answers it.
  static std::string Quoted(std::string_view& line) {
    std::string text;
    for (size_t i = 1; i < line.size(); ++i) {
      const char c = line[i];
      if (c == '"') {
        line.remove_prefix(i + 1);
        return text;
      }
      if (c == '\\') {
        if (i + 1 >= line.size() || (line[i + 1] != '\\' && line[i + 1] != '"')) {
          Fail("a backslash in a quoted text that is not \\\\ or \\\"");
        }
        ++i;
      }
      text += line[i];
    }
    Fail("a quoted text without its closing '\"'");
  }

  // What may follow a complete value: blanks and a comment.
  static void EndOfValue(std::string_view rest) {
    rest = Trim(rest);
    if (!rest.empty() && rest.front() != ';') Fail("unexpected text after the value");
  }

  // rest follows "hex": ":" or "(<type>):", then the byte list.
  SettingsValue HexValue(std::string_view rest) {
    uint32_t type = 3;
    if (!rest.empty() && rest.front() == '(') {
      const size_t close = rest.find(')');
      const std::optional<uint32_t> number =
          close == std::string_view::npos ? std::nullopt : ParseHex(rest.substr(1, close - 1), 8);
      if (!number) Fail("a hex value type that is not a hexadecimal number in parentheses");
      type = *number;
      rest.remove_prefix(close + 1);
    }
    if (rest.empty() || rest.front() != ':') Fail("a hex value without ':'");
    const std::string bytes = ByteList(rest.substr(1));

    SettingsValue value;
    switch (type) {
      case 1:
      case 2:
        value.type = type == 1 ? SettingsValueType::kText : SettingsValueType::kExpandText;
        value.text = CutAtNul(version4_ ? Win1250ToUtf8(bytes) : Utf16LeToUtf8(bytes));
        return value;
      case 3:
        value.type = SettingsValueType::kBinary;
        break;
      case 4:
        value.type = bytes.size() == 4 ? SettingsValueType::kNumber : SettingsValueType::kOther;
        for (size_t i = bytes.size(); i-- > 0 && bytes.size() == 4;) {
          value.number = (value.number << 8) | static_cast<unsigned char>(bytes[i]);
        }
        break;
      case 7:
        value.type = SettingsValueType::kMultiText;
        break;
      case 0xB:
        value.type = SettingsValueType::kQword;
        break;
      default:
        value.type = SettingsValueType::kOther;
        break;
    }
    value.bytes = bytes;
    return value;
  }

  // Comma-separated two-digit hexadecimal bytes, continued on the next line
  // while a line ends with a backslash.
  std::string ByteList(std::string_view rest) {
    std::string bytes;
    for (;;) {
      rest = Trim(rest);
      const bool continued = !rest.empty() && rest.back() == '\\';
      if (continued) rest = Trim(rest.substr(0, rest.size() - 1));
      while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::optional<uint32_t> byte = ParseHex(Trim(rest.substr(0, comma)), 2);
        if (!byte) Fail("a hex list entry that is not one or two hexadecimal digits");
        bytes += static_cast<char>(*byte);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      }
      if (!continued) return bytes;
      if (line_ + 1 >= lines_.size()) Fail("a hex list continued past the end of the file");
      rest = lines_[++line_];
    }
  }

  RegistryFile& file_;
  const bool version4_;
  const std::vector<std::string_view> lines_;
  size_t line_ = 0;
  Values* current_ = nullptr;  // the section's key; null before one or while skipping
  bool skipping_ = false;      // inside a section whose values are dropped
};

RegistryFile RegistryFile::Load(IFileSystem& fs, const std::string& path) {
  const FileInfo info = fs.Stat(path);
  if (info.exists && info.size > kMaxFileSize) {
    throw ERegistryException(path + ", line 1: the file is larger than " +
                             std::to_string(kMaxFileSize) + " bytes");
  }
  RegistryFile file = Parse(fs.ReadFile(path, kMaxFileSize), path);
  file.path_ = path;
  return file;
}

RegistryFile RegistryFile::Parse(std::string_view bytes, const std::string& file_name) {
  const auto error = [&](size_t line, const std::string& what) {
    return ERegistryException(file_name + ", line " + std::to_string(line) + ": " + what);
  };
  if (bytes.size() > static_cast<size_t>(kMaxFileSize)) {
    throw error(1, "the file is larger than " + std::to_string(kMaxFileSize) + " bytes");
  }

  // Everything becomes UTF-8 text first.
  std::string text;
  bool utf16 = false;
  if (bytes.starts_with("\xFF\xFE")) {
    utf16 = true;
    size_t error_at = std::string_view::npos;
    text = Utf16LeToUtf8(bytes.substr(2), &error_at);
    if (error_at != std::string_view::npos) {
      size_t line = 1;
      for (char c : text) line += c == '\n' ? 1 : 0;
      throw error(line, "invalid UTF-16 text (a lone surrogate or an odd number of bytes)");
    }
  } else if (bytes.starts_with("\xFE\xFF")) {
    throw error(1, "UTF-16 big-endian text is not supported; save the file as UTF-16LE or UTF-8");
  } else if (bytes.starts_with("\xEF\xBB\xBF")) {
    text = bytes.substr(3);
  } else {
    text = bytes;
  }

  const size_t first_end = text.find('\n');
  const std::string_view header =
      Trim(std::string_view(text).substr(0, first_end).substr(0, text.find('\r')));
  const bool version4 = header == kHeader4;
  if (!version4 && header != kHeader5) {
    throw error(1, "not a registry file: the first line must be \"" + std::string(kHeader5) +
                       "\" or \"" + std::string(kHeader4) + "\"");
  }
  if (version4 && !utf16 && !bytes.starts_with("\xEF\xBB\xBF")) text = Win1250ToUtf8(text);

  std::vector<std::string_view> lines = SplitLines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    for (size_t pos = 0; pos < line.size();) {
      char32_t cp = 0;
      const size_t length = DecodeUtf8Sequence(line, pos, cp);
      if (length == 0) throw error(i + 1, "invalid UTF-8 text");
      if (cp == 0) throw error(i + 1, "a NUL character");
      pos += length;
    }
  }

  RegistryFile file;
  RegistryFileParser parser(file, version4, std::move(lines));
  try {
    parser.Run();
  } catch (const SyntaxError& e) {
    throw error(parser.LineNumber(), e.what);
  }
  return file;
}

namespace {

class RegistryFileKey final : public ISettingsKey {
 public:
  explicit RegistryFileKey(const std::map<std::string, SettingsValue>* values) : values_(values) {}

  std::optional<SettingsValue> FindValue(std::string_view name) const override {
    if (values_ == nullptr) return std::nullopt;
    const auto value = values_->find(Fold(name));
    if (value == values_->end()) return std::nullopt;
    return value->second;
  }

 private:
  const std::map<std::string, SettingsValue>* values_;  // null for a key without values
};

}  // namespace

bool RegistryFile::KeyExists(std::string_view path) const {
  std::string key = Fold(path);
  while (!key.empty() && key.back() == '\\') key.pop_back();
  if (keys_.count(key) != 0) return true;
  // A parent of a key that the file gives.
  const std::string prefix = key + "\\";
  const auto child = keys_.lower_bound(prefix);
  return child != keys_.end() && child->first.compare(0, prefix.size(), prefix) == 0;
}

std::unique_ptr<ISettingsKey> RegistryFile::OpenKeyReadOnly(std::string_view path) const {
  if (!KeyExists(path)) return nullptr;
  std::string key = Fold(path);
  while (!key.empty() && key.back() == '\\') key.pop_back();
  const auto found = keys_.find(key);
  return std::make_unique<RegistryFileKey>(found == keys_.end() ? nullptr : &found->second);
}

}  // namespace vd
