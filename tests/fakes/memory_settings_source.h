#pragma once

#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "support/settings_source.h"

namespace vd {

// A settings store the test fills by hand. Keys are created on first use
// (their parents too); DenyOpen makes an existing key refuse to open, as a
// key without read permission does. Names match without ASCII letter case.
class MemorySettingsSource final : public ISettingsSource {
 public:
  void AddKey(std::string_view path) {
    std::string key = Fold(path);
    for (size_t slash = key.find('\\'); slash != std::string::npos;
         slash = key.find('\\', slash + 1)) {
      keys_[key.substr(0, slash)];
    }
    keys_[key];
  }
  void SetText(std::string_view path, std::string_view name, std::string text) {
    SettingsValue value;
    value.text = std::move(text);
    SetValue(path, name, std::move(value));
  }
  void SetNumber(std::string_view path, std::string_view name, uint32_t number) {
    SettingsValue value;
    value.type = SettingsValueType::kNumber;
    value.number = number;
    SetValue(path, name, std::move(value));
  }
  void SetValue(std::string_view path, std::string_view name, SettingsValue value) {
    AddKey(path);
    keys_[Fold(path)][Fold(name)] = std::move(value);
  }
  void DenyOpen(std::string_view path) { denied_.insert(Fold(path)); }

  bool KeyExists(std::string_view path) const override { return keys_.count(Fold(path)) != 0; }

  std::unique_ptr<ISettingsKey> OpenKeyReadOnly(std::string_view path) const override {
    const auto key = keys_.find(Fold(path));
    if (key == keys_.end() || denied_.count(key->first) != 0) return nullptr;
    return std::make_unique<Key>(key->second);
  }

 private:
  using Values = std::map<std::string, SettingsValue>;

  class Key final : public ISettingsKey {
   public:
    explicit Key(const Values& values) : values_(values) {}
    std::optional<SettingsValue> FindValue(std::string_view name) const override {
      const auto value = values_.find(Fold(name));
      if (value == values_.end()) return std::nullopt;
      return value->second;
    }

   private:
    const Values& values_;
  };

  static std::string Fold(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
  }

  std::map<std::string, Values> keys_;
  std::set<std::string> denied_;
};

}  // namespace vd
