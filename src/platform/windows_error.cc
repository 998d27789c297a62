#include "platform/windows_error.h"

#include <windows.h>
#include <winsock2.h>

#include <cerrno>

#include "platform/windows_text.h"

namespace vd {

int ErrnoOfWindowsError(unsigned long windows_error) {
  switch (windows_error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
      return ENOMEM;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_HANDLE:
      return EINVAL;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return ENOSYS;
    case ERROR_BUSY:
    case ERROR_PIPE_BUSY:
      return EBUSY;
    case ERROR_TIMEOUT:
    case WAIT_TIMEOUT:
      return ETIMEDOUT;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
      return EPIPE;
    case ERROR_OPERATION_ABORTED:
      return ECANCELED;
    case WSAEWOULDBLOCK:
      return EWOULDBLOCK;
    case WSAEINPROGRESS:
      return EINPROGRESS;
    case WSAEINTR:
      return EINTR;
    case WSAECONNREFUSED:
      return ECONNREFUSED;
    case WSAECONNRESET:
      return ECONNRESET;
    case WSAECONNABORTED:
      return ECONNABORTED;
    case WSAETIMEDOUT:
      return ETIMEDOUT;
    case WSAEHOSTUNREACH:
      return EHOSTUNREACH;
    case WSAENETUNREACH:
      return ENETUNREACH;
    case WSAENOTCONN:
      return ENOTCONN;
    case WSAEADDRINUSE:
      return EADDRINUSE;
    case WSAEADDRNOTAVAIL:
      return EADDRNOTAVAIL;
    case WSAEAFNOSUPPORT:
      return EAFNOSUPPORT;
    case WSAEMFILE:
      return EMFILE;
    case WSAENOBUFS:
      return ENOBUFS;
    case WSAENOTSOCK:
      return ENOTSOCK;
    case WSAEINVAL:
      return EINVAL;
    default:
      return EIO;
  }
}

EOSError MakeWindowsError(unsigned long windows_error, const std::string& operation,
                          const std::string& path) {
  std::string message = operation;
  if (!path.empty()) {
    message += ' ';
    message += path;
  }
  message += ": ";
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, windows_error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string described = length > 0 ? Utf8FromWide(std::wstring_view(text, length)) : "";
  if (text != nullptr) LocalFree(text);
  while (!described.empty() && (described.back() == '\n' || described.back() == '\r' ||
                                described.back() == ' ' || described.back() == '.')) {
    described.pop_back();
  }
  message += described.empty() ? "unknown error" : described;
  message += " (Windows error " + std::to_string(windows_error) + ")";
  return EOSError(ErrnoOfWindowsError(windows_error), std::move(message));
}

EOSError LastWindowsError(const std::string& operation, const std::string& path) {
  return MakeWindowsError(GetLastError(), operation, path);
}

}  // namespace vd
