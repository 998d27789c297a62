#include "device/device_control.h"

#include <algorithm>

#include "config/driver_settings.h"
#include "support/text_utils.h"
#include "support/xml_utils.h"

namespace vd {

std::string ParameterValue(const TSimpleParameters& parameters, int32_t key) {
  for (const TSimpleParameter& parameter : parameters)
    if (parameter.Key == key) return std::string(TrimBlanks(parameter.Text2));
  return {};
}

TDeviceParamControlBuffer::TDeviceParamControlBuffer(bool flag1, bool flag2)
    : flag1_(flag1), flag2_(flag2) {
  (void)flag1_;
  (void)flag2_;
}

void TDeviceParamControlBuffer::AddControl(const TDeviceControl& control) {
  std::lock_guard<std::mutex> guard(lock_);
  entries_.push_back(control);
  count_.store(entries_.size(), std::memory_order_release);
}

bool TDeviceParamControlBuffer::FindControl(const std::string& hn, const std::string& port_key,
                                            const std::string& third_key,
                                            TDeviceControl& found) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const TDeviceControl& entry : entries_) {
    if (entry.HN != hn) continue;
    if (entry.PortKey != port_key && entry.PortKey != "*") continue;
    if (entry.ThirdKey != third_key && entry.ThirdKey != "*") continue;
    found = entry;
    return true;
  }
  return false;
}

bool TDeviceParamControlBuffer::RemoveControl(const TDeviceControl& control) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const TDeviceControl& e) {
    return e.ControlId == control.ControlId;
  });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  count_.store(entries_.size(), std::memory_order_release);
  return true;
}

std::string BuildControlFrame(const TDeviceControl& control, const DriverSettings& settings,
                              int32_t port_number) {
  if (port_number < 1 || static_cast<size_t>(port_number) > settings.Ports.size()) return {};
  if (control.Command != "ModemRestart") return {};
  const PortEntry& entry = settings.Ports[static_cast<size_t>(port_number - 1)];
  return "#" + control.HN + "#" + std::to_string(entry.PortNumber) + "#3F#";
}

std::string BuildControlAnswer(const TDeviceControl& control, bool failed) {
  pugi::xml_document document;
  pugi::xml_node data = document.append_child("Data");
  AppendTextElement(data, "Id", control.ControlId);
  AppendTextElement(data, "Name", control.ControlName);
  AppendTextElement(data, "Status", failed ? "0" : "1");
  AppendTextElement(data, "ModuleName", control.ModuleName);
  return SerializeXml(document);
}

std::string ControlFailedText(const TDeviceControl& control) {
  std::string text = kControlFailedFormat;
  const size_t first = text.find("%s");
  text.replace(first, 2, control.Command);
  const size_t second = text.find("%s", first + control.Command.size());
  text.replace(second, 2, control.HN);
  return text;
}

}  // namespace vd
