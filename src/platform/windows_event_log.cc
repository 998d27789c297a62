#include "platform/windows_event_log.h"

#include <windows.h>

#include "platform/windows_text.h"

namespace vd {

WindowsEventLog::WindowsEventLog(const std::string& source_name)
    : source_(RegisterEventSourceW(nullptr, WideFromUtf8(source_name).c_str())) {}

WindowsEventLog::~WindowsEventLog() {
  if (source_ != nullptr) DeregisterEventSource(source_);
}

void WindowsEventLog::WriteEvent(ServiceEvent event, const std::string& insertion) {
  if (source_ == nullptr) return;
  try {
    const std::wstring text = WideFromUtf8(insertion);
    const wchar_t* strings[] = {text.c_str()};
    ReportEventW(source_,
                 static_cast<WORD>(IsErrorEvent(event) ? EVENTLOG_ERROR_TYPE : EVENTLOG_SUCCESS), 0,
                 static_cast<DWORD>(event), nullptr, 1, 0, strings, nullptr);
  } catch (...) {  // no memory for the text: the event is lost
  }
}

}  // namespace vd
