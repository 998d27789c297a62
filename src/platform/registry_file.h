#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "support/settings_source.h"

namespace vd {

class IFileSystem;

// The machine hive of the registry as an export file of the registry editor:
// "Windows Registry Editor Version 5.00" (UTF-16LE with byte-order mark, or
// UTF-8 with or without one) or "REGEDIT4" (Windows-1250), lines ending in
// CR LF or LF. Understood:
// - "[key]" sections, with or without a leading "HKEY_LOCAL_MACHINE\";
//   sections of another root ("[HKEY_CURRENT_USER\...]") are skipped;
//   "[-key]" deletes what the file gave that key and its sub-keys so far;
// - "name"="text" with the escapes \\ and \", "@" for the default value,
//   "name"=- deleting a value given earlier;
// - dword:<hex>, hex:<bytes> (binary), hex(<type>):<bytes> where type 1 and 2
//   are texts (UTF-16LE bytes in 5.00 files, Windows-1250 in REGEDIT4 files),
//   4 a number, 7 a multi-text, b a 64-bit number; byte lists continue on the
//   next line after a trailing backslash;
// - blank lines and ";" comments.
// A key given only as the parent of another key exists and has no values.
// Key and value names match without regard to ASCII letter case.
//
// The whole file is read when the object is built and never changes
// afterwards; every method is safe to call from any thread.
class RegistryFile final : public ISettingsSource {
 public:
  // Larger files are refused before anything is allocated for them.
  static constexpr int64_t kMaxFileSize = int64_t{1024} * 1024;

  // Reads and parses the file. A file that cannot be read raises the
  // EOSError naming it; one that cannot be parsed (or is too large) raises
  // ERegistryException "<path>, line <n>: <what is wrong>".
  static RegistryFile Load(IFileSystem& fs, const std::string& path);

  // Parses the bytes of a file; file_name only goes into error messages.
  static RegistryFile Parse(std::string_view bytes, const std::string& file_name);

  bool KeyExists(std::string_view path) const override;
  std::unique_ptr<ISettingsKey> OpenKeyReadOnly(std::string_view path) const override;
  // The path Load read; empty after Parse.
  std::string FilePath() const override { return path_; }

 private:
  // Value name (folded to lower case) -> value.
  using Values = std::map<std::string, SettingsValue>;
  friend class RegistryFileParser;

  RegistryFile() = default;

  // Key path (folded to lower case, no root, no trailing "\") -> its values.
  std::map<std::string, Values> keys_;
  std::string path_;
};

}  // namespace vd
