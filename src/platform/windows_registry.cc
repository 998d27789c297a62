#include "platform/windows_registry.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "platform/windows_text.h"

namespace vd {
namespace {

// The accesses tried in turn, the first granted one wins.
constexpr REGSAM kAccesses[] = {KEY_READ, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS,
                                KEY_QUERY_VALUE};

// Opens the key with the first access granted; the error of the last try
// when none is.
LSTATUS OpenKey(const std::wstring& path, HKEY& key) {
  LSTATUS status = ERROR_ACCESS_DENIED;
  for (const REGSAM access : kAccesses) {
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key);
    if (status != ERROR_ACCESS_DENIED) return status;
  }
  return status;
}

class WindowsRegistryKey final : public ISettingsKey {
 public:
  explicit WindowsRegistryKey(HKEY key) : key_(key) {}
  ~WindowsRegistryKey() override { RegCloseKey(key_); }
  WindowsRegistryKey(const WindowsRegistryKey&) = delete;
  WindowsRegistryKey& operator=(const WindowsRegistryKey&) = delete;

  std::optional<SettingsValue> FindValue(std::string_view name) const override {
    const std::wstring wide_name = WideFromUtf8(name);
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    // The value may change between asking its size and reading it: a few
    // tries, each with the size last reported.
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD size = static_cast<DWORD>(data.size());
      const LSTATUS status = RegQueryValueExW(key_, wide_name.c_str(), nullptr, &type,
                                              data.empty() ? nullptr : data.data(), &size);
      if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
      if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && data.empty() && size > 0)) {
        data.resize(size);
        continue;
      }
      if (status != ERROR_SUCCESS) return std::nullopt;
      data.resize(size);
      return Convert(type, data);
    }
    return std::nullopt;
  }

 private:
  static SettingsValue Convert(DWORD type, const std::vector<BYTE>& data) {
    SettingsValue value;
    const std::string bytes(reinterpret_cast<const char*>(data.data()), data.size());
    switch (type) {
      case REG_SZ:
      case REG_EXPAND_SZ: {
        value.type = type == REG_SZ ? SettingsValueType::kText : SettingsValueType::kExpandText;
        std::wstring text(data.size() / sizeof(wchar_t), L'\0');
        std::copy_n(data.data(), text.size() * sizeof(wchar_t),
                    reinterpret_cast<BYTE*>(text.data()));
        text.resize(std::wstring_view(text.c_str()).size());  // cut at the first NUL
        value.text = Utf8FromWide(text);
        return value;
      }
      case REG_DWORD:
        if (data.size() == 4) {
          value.type = SettingsValueType::kNumber;
          value.number = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                         static_cast<uint32_t>(data[2]) << 16 |
                         static_cast<uint32_t>(data[3]) << 24;
          return value;
        }
        value.type = SettingsValueType::kOther;
        break;
      case REG_BINARY:
        value.type = SettingsValueType::kBinary;
        break;
      case REG_MULTI_SZ:
        value.type = SettingsValueType::kMultiText;
        break;
      case REG_QWORD:
        value.type = SettingsValueType::kQword;
        break;
      default:
        value.type = SettingsValueType::kOther;
        break;
    }
    value.bytes = bytes;
    return value;
  }

  const HKEY key_;
};

}  // namespace

WindowsRegistry::WindowsRegistry(std::string root) : root_(std::move(root)) {}

std::wstring WindowsRegistry::FullPath(std::string_view path) const {
  std::string full = root_;
  if (!full.empty() && !path.empty()) full += '\\';
  full += path;
  return WideFromUtf8(full);
}

bool WindowsRegistry::KeyExists(std::string_view path) const {
  HKEY key = nullptr;
  const LSTATUS status = OpenKey(FullPath(path), key);
  if (status == ERROR_SUCCESS) RegCloseKey(key);
  return status == ERROR_SUCCESS || status == ERROR_ACCESS_DENIED;
}

std::unique_ptr<ISettingsKey> WindowsRegistry::OpenKeyReadOnly(std::string_view path) const {
  HKEY key = nullptr;
  if (OpenKey(FullPath(path), key) != ERROR_SUCCESS) return nullptr;
  return std::make_unique<WindowsRegistryKey>(key);
}

}  // namespace vd
