#include <windows.h>

#include "platform/thread_id.h"
#include "platform/windows_text.h"

namespace vd {

int64_t CurrentThreadId() { return static_cast<int64_t>(GetCurrentThreadId()); }

void SetCurrentThreadName(const char* name) {
  // SetThreadDescription came with Windows 10 1607; looked up, so that an
  // older system just keeps the thread unnamed.
  using Describe = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto describe = reinterpret_cast<Describe>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (describe != nullptr) describe(GetCurrentThread(), WideFromUtf8(name).c_str());
}

}  // namespace vd
