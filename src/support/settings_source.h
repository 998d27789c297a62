#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vd {

// The kinds of stored values the driver tells apart.
enum class SettingsValueType {
  kText,        // REG_SZ
  kExpandText,  // REG_EXPAND_SZ, read as stored: variables are not expanded
  kNumber,      // REG_DWORD
  kBinary,      // REG_BINARY
  kMultiText,   // REG_MULTI_SZ
  kQword,       // REG_QWORD
  kOther,       // any other type number
};

// One stored value. text is set for the two text types (UTF-8, cut at the
// first NUL), number for kNumber; bytes holds the raw data of the binary
// forms (kBinary, kMultiText, kQword, kOther).
struct SettingsValue {
  SettingsValueType type = SettingsValueType::kText;
  std::string text;
  uint32_t number = 0;
  std::string bytes;
};

// One key opened for reading; destroying the object closes the key. Value
// names match without regard to ASCII letter case. Used by one thread at a
// time.
class ISettingsKey {
 public:
  virtual ~ISettingsKey() = default;

  // The value stored under name; nullopt when there is none.
  virtual std::optional<SettingsValue> FindValue(std::string_view name) const = 0;

  bool ValueExists(std::string_view name) const { return FindValue(name).has_value(); }

  // A text value (either text type); a missing value reads as empty. Raises
  // ERegistryException "Invalid data type for '<name>'" for another type.
  std::string ReadText(std::string_view name) const;

  // A 32-bit number value, its bits as a signed number (0xFFFFFFFF is -1).
  // Raises ERegistryException "Failed to get data for '<name>'" when the value
  // is missing and "Invalid data type for '<name>'" when it is no number.
  int32_t ReadInteger(std::string_view name) const;

  // ReadInteger, any non-zero number being true.
  bool ReadBool(std::string_view name) const { return ReadInteger(name) != 0; }
};

// A read-only store of keys and values shaped like the registry's machine
// hive: key paths are relative to it, their parts separated by "\"
// ("Software\Lirra!\Drivers"), and match without regard to ASCII letter case.
// Implementations are safe to call from any thread once built.
class ISettingsSource {
 public:
  virtual ~ISettingsSource() = default;

  virtual bool KeyExists(std::string_view path) const = 0;

  // The key opened for reading; nullptr when it does not exist or cannot be
  // opened.
  virtual std::unique_ptr<ISettingsKey> OpenKeyReadOnly(std::string_view path) const = 0;

  // The file the store was read from; empty when it is none (the system's
  // registry, a store built in memory).
  virtual std::string FilePath() const { return {}; }
};

}  // namespace vd
