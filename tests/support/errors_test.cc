#include "support/errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <new>
#include <stdexcept>

namespace vd {
namespace {

TEST(ExceptionTextTest, NamesTheKindAndTheMessage) {
  EXPECT_EQ(ExceptionText(EConvertError("'7x' is not a valid integer value")),
            "EConvertError - '7x' is not a valid integer value");
  EXPECT_EQ(ExceptionText(EAbort("")), "EAbort");
  EXPECT_EQ(ExceptionText(std::bad_alloc()), "EOutOfMemory - Out of memory");
  EXPECT_EQ(ExceptionText(std::runtime_error("boom")), "Exception - boom");
  try {
    throw 42;
  } catch (...) {
    EXPECT_EQ(CurrentExceptionText(), "Exception - unknown error");
  }
}

TEST(ExceptionTextTest, OSErrorNamesOperationPathAndCode) {
  const EOSError error = MakeOSError(ENOENT, "open", "/tmp/x.sig");
  EXPECT_EQ(ExceptionText(error), "EOSError - open /tmp/x.sig: No such file or directory (code 2)");
}

}  // namespace
}  // namespace vd
