#include "platform/posix_file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fakes/scoped_temp_dir.h"
#include "support/errors.h"

namespace vd {
namespace {

class PosixFileSystemTest : public testing::Test {
 protected:
  std::string P(const std::string& name) const { return dir_.Path() + name; }
  ScopedTempDir dir_;
  PosixFileSystem fs_;
};

TEST_F(PosixFileSystemTest, WriteReplacesAppendGrowsRenameRespectsReplaceAndReadIsBounded) {
  const std::string big(300000, 'x');
  fs_.WriteFile(P("a.sig"), big, true);
  EXPECT_EQ(fs_.ReadFile(P("a.sig"), 1 << 20), big);
  fs_.WriteFile(P("a.sig"), "short", false);
  EXPECT_EQ(fs_.AppendFile(P("a.sig"), "er"), 7);
  EXPECT_EQ(fs_.ReadFile(P("a.sig"), 7), "shorter");
  EXPECT_THROW(fs_.ReadFile(P("a.sig"), 6), EOSError);
  EXPECT_THAT([&] { fs_.ReadFile(P("none"), 9); },
              testing::ThrowsMessage<EOSError>(testing::HasSubstr(P("none") + ": No such file")));
  fs_.WriteFile(P("b"), "B", false);
  EXPECT_THROW(fs_.Rename(P("a.sig"), P("b"), false), EOSError);  // keeps an existing target
  EXPECT_EQ(fs_.ReadFile(P("b"), 10), "B");
  fs_.Rename(P("a.sig"), P("b"), true);
  EXPECT_EQ(fs_.ReadFile(P("b"), 10), "shorter");
}

TEST_F(PosixFileSystemTest, DirectoriesListWithoutDotEntriesAndStatTellsKindSizeAndProtection) {
  fs_.CreateDirectories(P("sub/deeper/"));
  fs_.WriteFile(P("1.sig"), "12345", false);
  ASSERT_EQ(chmod(P("1.sig").c_str(), 0444), 0);
  EXPECT_THAT(fs_.ListDirectory(dir_.Path()), testing::UnorderedElementsAre("1.sig", "sub"));
  const FileInfo file = fs_.Stat(P("1.sig"));
  EXPECT_TRUE(file.exists && !file.is_directory && file.read_only);
  EXPECT_EQ(file.size, 5);
  EXPECT_TRUE(fs_.Stat(P("sub/deeper")).is_directory);
  fs_.DeleteFile(P("1.sig"));
  EXPECT_THROW(fs_.DeleteFile(P("1.sig")), EOSError);
  // Something other than a file under a file's name fails at once, never blocks.
  ASSERT_EQ(mkfifo(P("2.sig").c_str(), 0666), 0);
  EXPECT_THROW(fs_.ReadFile(P("2.sig"), 100), EOSError);
  EXPECT_THROW(fs_.AppendFile(P("2.sig"), "line"), EOSError);
  EXPECT_THROW(fs_.ReadFile(P("sub"), 100), EOSError);
}

}  // namespace
}  // namespace vd
