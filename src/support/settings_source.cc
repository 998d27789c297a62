#include "support/settings_source.h"

#include "support/errors.h"

namespace vd {
namespace {

[[noreturn]] void InvalidType(std::string_view name) {
  throw ERegistryException("Invalid data type for '" + std::string(name) + "'");
}

}  // namespace

std::string ISettingsKey::ReadText(std::string_view name) const {
  const std::optional<SettingsValue> value = FindValue(name);
  if (!value) return {};
  if (value->type != SettingsValueType::kText && value->type != SettingsValueType::kExpandText) {
    InvalidType(name);
  }
  return value->text;
}

int32_t ISettingsKey::ReadInteger(std::string_view name) const {
  const std::optional<SettingsValue> value = FindValue(name);
  if (!value) throw ERegistryException("Failed to get data for '" + std::string(name) + "'");
  if (value->type != SettingsValueType::kNumber) InvalidType(name);
  return static_cast<int32_t>(value->number);
}

}  // namespace vd
