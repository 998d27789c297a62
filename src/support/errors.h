#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <string>

namespace vd {

// Every error the driver raises is an Exception: a kind name and a message.
// The kind names reach operators in system-event details (see ExceptionText),
// so they are part of the product and must not be renamed.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  const std::string& Message() const noexcept { return message_; }
  virtual const char* KindName() const noexcept { return "Exception"; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A string literal that can name an error kind as a template argument.
template <size_t N>
struct KindLiteral {
  constexpr KindLiteral(const char (&text)[N]) { std::copy_n(text, N, name); }  // NOLINT
  char name[N];
};

// An error kind that adds nothing to Exception but its name.
template <KindLiteral Name>
class ErrorKind : public Exception {
 public:
  using Exception::Exception;
  const char* KindName() const noexcept override { return Name.name; }
};

// A text that does not convert to a number, date or other value.
using EConvertError = ErrorKind<"EConvertError">;
// The registry (settings file) cannot be read or holds a wrong value.
using ERegistryException = ErrorKind<"ERegistryException">;
// A silent abort of an operation.
using EAbort = ErrorKind<"EAbort">;
// zlib refused to compress.
using EZCompressionError = ErrorKind<"EZCompressionError">;
// zlib refused to inflate, or the stream ended early.
using EZDecompressionError = ErrorKind<"EZDecompressionError">;
// An XML document that is not well-formed or lacks an element.
using EXMLDocError = ErrorKind<"EXMLDocError">;

// An operating-system call failed; carries the errno value.
class EOSError : public Exception {
 public:
  EOSError(int error_code, std::string message)
      : Exception(std::move(message)), error_code_(error_code) {}
  const char* KindName() const noexcept override { return "EOSError"; }
  int ErrorCode() const noexcept { return error_code_; }

 private:
  int error_code_;
};

// Builds the EOSError for a failed call: "<operation> <path>: <strerror> (code N)".
// The one place where errno becomes an error.
EOSError MakeOSError(int error_code, const std::string& operation, const std::string& path = {});

// The description of an error used in log lines and event details: the kind
// name, then " - " and the message when there is one. Errors that are not an
// Exception are described by a kind name of their own (EOutOfMemory for
// std::bad_alloc, Exception for any other std::exception).
std::string ExceptionText(const std::exception& error);

// ExceptionText of the exception being handled; for use inside catch (...).
std::string CurrentExceptionText();

}  // namespace vd
