#include "support/errors.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace vd {
namespace {

std::string ErrorText(int error_code) {
  char buffer[256];
#ifdef _WIN32
  // The Windows C runtime describes the classic codes only; the socket codes
  // of its POSIX supplement get their texts here.
  static constexpr struct {
    int code;
    const char* text;
  } kSocketTexts[] = {
      {EADDRINUSE, "Address already in use"},
      {EADDRNOTAVAIL, "Cannot assign requested address"},
      {EAFNOSUPPORT, "Address family not supported by protocol"},
      {ECANCELED, "Operation canceled"},
      {ECONNABORTED, "Software caused connection abort"},
      {ECONNREFUSED, "Connection refused"},
      {ECONNRESET, "Connection reset by peer"},
      {EHOSTUNREACH, "No route to host"},
      {EINPROGRESS, "Operation now in progress"},
      {ENETUNREACH, "Network is unreachable"},
      {ENOBUFS, "No buffer space available"},
      {ENOTCONN, "Transport endpoint is not connected"},
      {ENOTSOCK, "Socket operation on non-socket"},
      {EOVERFLOW, "Value too large for defined data type"},
      {ETIMEDOUT, "Connection timed out"},
      {EWOULDBLOCK, "Resource temporarily unavailable"},
  };
  for (const auto& entry : kSocketTexts) {
    if (entry.code == error_code) return entry.text;
  }
  if (strerror_s(buffer, sizeof buffer, error_code) != 0) return "Unknown error";
  return buffer;
#else
  // GNU strerror_r returns the text, which may or may not be in buffer.
  return strerror_r(error_code, buffer, sizeof buffer);
#endif
}

}  // namespace

EOSError MakeOSError(int error_code, const std::string& operation, const std::string& path) {
  std::string message = operation;
  if (!path.empty()) {
    message += ' ';
    message += path;
  }
  message += ": ";
  message += ErrorText(error_code);
  message += " (code " + std::to_string(error_code) + ")";
  return EOSError(error_code, std::move(message));
}

std::string ExceptionText(const std::exception& error) {
  std::string kind;
  std::string message;
  if (const auto* own = dynamic_cast<const Exception*>(&error)) {
    kind = own->KindName();
    message = own->Message();
  } else if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
    kind = "EOutOfMemory";
    message = "Out of memory";
  } else {
    kind = "Exception";
    message = error.what();
  }
  if (message.empty()) return kind;
  return kind + " - " + message;
}

std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& error) {
    return ExceptionText(error);
  } catch (...) {
    return "Exception - unknown error";
  }
}

}  // namespace vd
