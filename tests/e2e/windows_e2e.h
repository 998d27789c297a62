// What the Windows end-to-end tests share: paths as Windows writes them and
// the driver executable beside the test's own.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>

namespace vd {

// path with backslashes for slashes.
inline std::string WindowsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// A text as a registry export file writes it between quotes: each backslash
// doubled.
inline std::string RegistryText(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// The directory of the running executable with a trailing backslash
// ("Z:\...\build\windows\" under Wine).
inline std::string OwnDirectory() {
  char path[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string own(path, length);
  return own.substr(0, own.find_last_of('\\') + 1);
}

// VolterDirectDrv.exe, built beside the test executable.
inline std::string DriverExecutable() { return OwnDirectory() + "VolterDirectDrv.exe"; }

// Whether the process runs under Wine, which marks its ntdll with
// wine_get_version.
inline bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace vd
