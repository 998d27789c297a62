#include "kernel/kernel_messages.h"

#include <limits>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <utility>

#include "config/driver_settings.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/text_utils.h"
#include "support/time_utils.h"
#include "support/xml_utils.h"

namespace vd {
namespace {

constexpr char kRootName[] = "Data";

// The element's text without surrounding blanks.
std::string_view NodeText(pugi::xml_node node) { return TrimBlanks(node.text().get()); }

bool NameIs(pugi::xml_node node, std::string_view name) {
  return EqualsIgnoreCase(node.name(), name);
}

// The first child element named name, letter case ignored.
pugi::xml_node FindChild(pugi::xml_node parent, std::string_view name) {
  for (pugi::xml_node child : parent.children()) {
    if (child.type() == pugi::node_element && NameIs(child, name)) return child;
  }
  return {};
}

pugi::xml_node RequireChildIgnoreCase(pugi::xml_node parent, const char* name) {
  pugi::xml_node child = FindChild(parent, name);
  if (!child) {
    throw EXMLDocError(std::string("XML node with name \"") + name + "\" does not exist!");
  }
  return child;
}

TGuid ParseGuidText(std::string_view text) {
  const std::optional<TGuid> guid = TGuid::Parse(text);
  if (!guid) throw EConvertError("'" + std::string(text) + "' is not a valid GUID value");
  return *guid;
}

template <typename Int>
Int ParseBounded(std::string_view text) {
  const int64_t value = ParseInt64(text);
  if (value < std::numeric_limits<Int>::min() || value > std::numeric_limits<Int>::max()) {
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  }
  return static_cast<Int>(value);
}

TModule ReadModule(pugi::xml_node node) {
  TModule module;
  module.GUID = ParseGuidText(NodeText(RequireChildIgnoreCase(node, "GUID")));
  module.ProxyModule = ParseGuidText(NodeText(RequireChildIgnoreCase(node, "ProxyModule")));
  module.Name = RequireChildIgnoreCase(node, "Name").text().get();
  module.IPAddress = RequireChildIgnoreCase(node, "IPAddress").text().get();
  module.ModuleType = ParseBounded<int16_t>(NodeText(RequireChildIgnoreCase(node, "ModuleType")));
  module.State = EqualsIgnoreCase(NodeText(RequireChildIgnoreCase(node, "State")), "Active");
  module.RegisteredUser = RequireChildIgnoreCase(node, "RegisteredUser").text().get();
  module.InstallationNumber =
      ParseBounded<uint16_t>(NodeText(RequireChildIgnoreCase(node, "InstallationNumber")));
  return module;
}

void ApplyModulesList(pugi::xml_node list, TListOfModules& modules) {
  int32_t change_index = 0;
  if (pugi::xml_node index = FindChild(list, "ChangeIndex")) {
    try {
      change_index = ParseInt32(NodeText(index));
    } catch (const EConvertError&) {
      change_index = 0;
    }
  }
  TArrayOfModule received;
  for (pugi::xml_node child : list.children()) {
    if (child.type() == pugi::node_element && NameIs(child, "Module")) {
      received.push_back(ReadModule(child));
    }
  }
  modules.Assign(change_index, std::move(received));
}

void ApplyTimeDifference(pugi::xml_node node, const TStatusAnswerTargets& targets) {
  const int64_t kernel_seconds = ParseInt64(NodeText(node));
  const int64_t now_ms = targets.Clock.UtcNowMs();
  const int64_t host_seconds = now_ms / 1000 - (now_ms % 1000 < 0 ? 1 : 0);
  if (kernel_seconds == host_seconds) return;
  SetSystemTimeUnix(targets.TimeSetter, targets.Events, kernel_seconds);
}

TOrvanFrame TurnRound(const TOrvanFrame& received, const TKernelSettings& kernel,
                      uint8_t direction) {
  const uint16_t own_number = kernel.GetInstallationNumber();
  TOrvanFrame answer;
  answer.FrameType = received.FrameType;
  answer.FrameGUID = received.FrameGUID;
  answer.FrameNumber = received.FrameNumber;
  answer.Direction = direction;
  answer.SourceModuleGUID = kernel.ModuleGUID();
  answer.DestinationModuleGUID = received.SourceModuleGUID;
  answer.SourceInstallationNumber = own_number;
  answer.DestinationInstallationNumber =
      received.SourceInstallationNumber != 0 ? received.SourceInstallationNumber : own_number;
  return answer;
}

}  // namespace

bool IsRequestDirection(uint8_t direction) {
  return direction == 0 || direction == 1 || direction == 5 || direction == 6;
}

void FillFrameHeader(TOrvanFrame& frame, const TKernelSettings& kernel, uint16_t frame_type,
                     const TGuid& frame_guid, std::string data, uint8_t direction,
                     const TGuid& destination_guid, uint16_t destination_installation_number) {
  const uint16_t own_number = kernel.GetInstallationNumber();
  frame = TOrvanFrame{};
  frame.FrameType = frame_type;
  frame.FrameGUID = frame_guid;
  frame.DestinationModuleGUID = destination_guid;
  frame.Direction = direction;
  frame.FrameNumber = 0;
  frame.SourceModuleGUID = kernel.ModuleGUID();
  frame.SourceInstallationNumber = own_number;
  frame.DestinationInstallationNumber =
      destination_installation_number != 0 ? destination_installation_number : own_number;
  frame.Data = std::move(data);
}

void BuildRegistration(TOrvanFrame& frame, const TKernelSettings& kernel,
                       const DriverSettings& settings, const TGuid& frame_guid) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child(kRootName);
  AppendTextElement(root, "Name", settings.Name);
  AppendTextElement(root, "Password", settings.Password);
  AppendTextElement(root, "IP", settings.LocalIP);
  AppendTextElement(root, "ModuleType", kDriverModuleType);
  FillFrameHeader(frame, kernel, kFrameTypeRegistration, frame_guid, SerializeXml(document),
                  kDirectionRequest, TGuid{}, 0);
}

void BuildStatus(TOrvanFrame& frame, const TKernelSettings& kernel, const TListOfModules& modules,
                 const IClock& clock, const TGuid& frame_guid) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child(kRootName);
  AppendTextElement(root, "ModulesListIndex", std::to_string(modules.GetChangeIndex()));
  AppendTextElement(root, "Mode", kernel.IsInactive() ? "Inactive" : "Active");
  AppendTextElement(root, "Status", kernel.HasStatusError() ? "Error" : "OK");
  AppendTextElement(root, "SystemTime", std::to_string(NowUnixUtc(clock)));
  FillFrameHeader(frame, kernel, kFrameTypeStatus, frame_guid, SerializeXml(document),
                  kDirectionRequest, TGuid{}, 0);
}

void BuildUnregistration(TOrvanFrame& frame, const TKernelSettings& kernel,
                         const TGuid& frame_guid) {
  FillFrameHeader(frame, kernel, kFrameTypeUnregistration, frame_guid, std::string(),
                  kDirectionRequest, TGuid{}, 0);
}

TOrvanFrame BuildAnswer(const TOrvanFrame& received, const TKernelSettings& kernel) {
  uint8_t direction = received.Direction;
  if (direction == 0 || direction == 1) direction = kDirectionAcknowledge;
  if (direction == 5 || direction == 6) direction = kDirectionAnswerAcknowledge;
  return TurnRound(received, kernel, direction);
}

TOrvanFrame BuildErrorAnswer(const TOrvanFrame& received, const TKernelSettings& kernel) {
  return TurnRound(received, kernel, kDirectionError);
}

void ParseStatusAnswer(std::string_view data, const TStatusAnswerTargets& targets) {
  if (data.size() > kMaxStatusAnswerSize) {
    throw EXMLDocError("Status answer of " + std::to_string(data.size()) +
                       " bytes is longer than " + std::to_string(kMaxStatusAnswerSize));
  }
  pugi::xml_document document;
  ParseXml(data, document);
  for (pugi::xml_node child : document.document_element().children()) {
    if (child.type() != pugi::node_element) continue;
    if (NameIs(child, "Mode")) {
      targets.Kernel.SetInactive(!EqualsIgnoreCase(NodeText(child), "ACTIVE"));
    } else if (NameIs(child, "Status")) {
      targets.Kernel.SetStatusError(EqualsIgnoreCase(NodeText(child), "ERROR"));
    } else if (NameIs(child, "ModulesList")) {
      ApplyModulesList(child, targets.Modules);
    } else if (NameIs(child, "TimeDifference")) {
      ApplyTimeDifference(child, targets);
    }
  }
}

}  // namespace vd
