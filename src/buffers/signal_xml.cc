#include "buffers/signal_xml.h"

#include <cmath>
#include <string>

#include "support/errors.h"
#include "support/text_encoding.h"
#include "support/text_utils.h"
#include "support/xml_utils.h"

namespace vd {
namespace {

constexpr char kRootName[] = "Signal";
constexpr char kElementName[] = "Signal";

// A signal text as UTF-8 for an element. Carriage return is escaped here
// because the parser on the other side normalises it to a line feed; the
// other control characters XML cannot carry are escaped by AppendTextElement.
std::string ElementText(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (char c : bytes) {
    if (c == '\r') {
      text += "[0D]";
    } else {
      text += c;
    }
  }
  return Win1250ToUtf8(text);
}

void AppendText(pugi::xml_node element, const char* name, std::string_view bytes) {
  AppendTextElement(element, name, ElementText(bytes));
}

std::string ReadText(pugi::xml_node element, const char* name) {
  return Utf8ToWin1250(ChildText(element, name));
}

TSignalType ParseSignalType(const std::string& text) {
  const int32_t value = ParseInt32(text);
  if (value < 0 || value > 255) {
    throw EConvertError("'" + text + "' is not a valid signal type");
  }
  return static_cast<TSignalType>(value);
}

}  // namespace

void WriteSignalXml(const TSignal& signal, pugi::xml_node element) {
  AppendTextElement(element, "TimeIn", std::to_string(signal.TimeIn));
  AppendTextElement(element, "TimeSource", std::to_string(signal.TimeSource));
  AppendTextElement(element, "SourceTimeValid", signal.SourceTimeValid ? "1" : "0");
  AppendTextElement(element, "DriverPort", std::to_string(signal.DriverPort));
  AppendText(element, "HardwareNumber", signal.HardwareNumber);
  AppendText(element, "DriverName", signal.DriverName);
  AppendTextElement(element, "SignalType", std::to_string(static_cast<int>(signal.SignalType)));
  AppendText(element, "CanalType", signal.CanalType);
  AppendText(element, "CanalSlot", signal.CanalSlot);
  AppendText(element, "Code", signal.Code);
  AppendText(element, "Extension1", signal.Extension1);
  AppendText(element, "Extension2", signal.Extension2);
  AppendText(element, "Extension3", signal.Extension3);
  AppendText(element, "Extension4", signal.Extension4);
  AppendText(element, "Extension5", signal.Extension5);
  // A value that is no number would make the file unreadable at the next
  // start and the signal would be set aside; no message produces one.
  AppendTextElement(element, "Value", FormatFloat(std::isfinite(signal.Value) ? signal.Value : 0));
  AppendText(element, "DriverPortName", signal.DriverPortName);
}

TSignal ReadSignalXml(pugi::xml_node element) {
  TSignal signal;
  signal.TimeIn = ParseInt64(ChildText(element, "TimeIn"));
  signal.TimeSource = ParseInt64(ChildText(element, "TimeSource"));
  signal.SourceTimeValid = ParseBool(ChildText(element, "SourceTimeValid"));
  signal.DriverPort = ParseInt32(ChildText(element, "DriverPort"));
  signal.HardwareNumber = ReadText(element, "HardwareNumber");
  signal.DriverName = ReadText(element, "DriverName");
  signal.SignalType = ParseSignalType(ChildText(element, "SignalType"));
  signal.CanalType = ReadText(element, "CanalType");
  signal.CanalSlot = ReadText(element, "CanalSlot");
  signal.Code = ReadText(element, "Code");
  signal.Extension1 = ReadText(element, "Extension1");
  signal.Extension2 = ReadText(element, "Extension2");
  signal.Extension3 = ReadText(element, "Extension3");
  signal.Extension4 = ReadText(element, "Extension4");
  signal.Extension5 = ReadText(element, "Extension5");
  signal.Value = ParseFloat(ChildText(element, "Value"));
  signal.DriverPortName = ReadText(element, "DriverPortName");
  return signal;
}

TSignal ParseSignalDocument(std::string_view text) {
  pugi::xml_document document;
  ParseXml(text, document);
  return ReadSignalXml(RequireChild(document.document_element(), kElementName));
}

std::string SignalDocument(const TSignal& signal) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child(kRootName);
  WriteSignalXml(signal, root.append_child(kElementName));
  return SerializeXml(document);
}

}  // namespace vd
