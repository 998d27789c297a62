#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "support/settings_source.h"

namespace vd {

// The registry's machine hive (HKEY_LOCAL_MACHINE), read only. A key is
// opened with read access, or where that is refused with query-and-enumerate
// access, or with query access alone. Texts (REG_SZ and REG_EXPAND_SZ, read
// as stored: variables are not expanded) come as UTF-8 cut at the first NUL,
// REG_DWORD as a number, every other type as its bytes; the registry itself
// matches names without regard to letter case.
//
// Holds nothing but its root; safe to call from any thread.
class WindowsRegistry final : public ISettingsSource {
 public:
  // root: the key below HKEY_LOCAL_MACHINE that key paths are relative to;
  // empty for the hive itself (tests give a key of their own).
  explicit WindowsRegistry(std::string root = {});

  // True also for a key that exists but cannot be opened (access denied).
  bool KeyExists(std::string_view path) const override;
  // nullptr when the key does not exist or none of the accesses is granted.
  std::unique_ptr<ISettingsKey> OpenKeyReadOnly(std::string_view path) const override;

 private:
  std::wstring FullPath(std::string_view path) const;

  const std::string root_;
};

}  // namespace vd
