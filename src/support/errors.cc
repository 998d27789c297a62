#include "support/errors.h"

#include <cstring>
#include <new>

namespace vd {

EOSError MakeOSError(int error_code, const std::string& operation, const std::string& path) {
  std::string message = operation;
  if (!path.empty()) {
    message += ' ';
    message += path;
  }
  message += ": ";
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in buffer.
  message += strerror_r(error_code, buffer, sizeof buffer);
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
