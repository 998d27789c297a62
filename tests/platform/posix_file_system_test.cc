#include "platform/posix_file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fakes/scoped_temp_dir.h"
#include "platform/file_system_contract.h"

namespace vd {
namespace {

class PosixFileSystemTest : public testing::Test {
 protected:
  std::string P(const std::string& name) const { return dir_.Path() + name; }
  ScopedTempDir dir_;
  PosixFileSystem fs_;
};

TEST_F(PosixFileSystemTest, KeepsTheContractOfEveryFileSystem) {
  ExpectFileSystemContract(fs_, dir_.Path());
}

TEST_F(PosixFileSystemTest, ErrorsNameThePathAndWhatIsNotAFileFailsAtOnce) {
  EXPECT_THAT([&] { fs_.ReadFile(P("none"), 9); },
              testing::ThrowsMessage<EOSError>(testing::HasSubstr(P("none") + ": No such file")));
  // Something other than a file under a file's name fails at once, never blocks.
  ASSERT_EQ(mkfifo(P("2.sig").c_str(), 0666), 0);
  EXPECT_THROW(fs_.ReadFile(P("2.sig"), 100), EOSError);
  EXPECT_THROW(fs_.AppendFile(P("2.sig"), "line"), EOSError);
}

}  // namespace
}  // namespace vd
