#include "platform/posix_file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "fakes/scoped_temp_dir.h"
#include "support/errors.h"

namespace vd {
namespace {

class PosixFileSystemTest : public testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return dir_.Path() + name; }

  // The errno of the EOSError that call raises, or 0 when it raises none.
  template <typename Call>
  static int ErrorOf(Call call) {
    try {
      call();
    } catch (const EOSError& error) {
      return error.ErrorCode();
    }
    return 0;
  }

  ScopedTempDir dir_;
  PosixFileSystem fs_;
};

TEST_F(PosixFileSystemTest, WriteReplacesAndReadReturnsTheWholeContent) {
  const std::string big(300000, 'x');
  fs_.WriteFile(PathOf("a.sig"), big, true);
  EXPECT_EQ(fs_.ReadFile(PathOf("a.sig"), 1 << 20), big);
  fs_.WriteFile(PathOf("a.sig"), "short", false);
  EXPECT_EQ(fs_.ReadFile(PathOf("a.sig"), 5), "short");
  fs_.WriteFile(PathOf("empty"), "", true);
  EXPECT_EQ(fs_.ReadFile(PathOf("empty"), 0), "");
}

TEST_F(PosixFileSystemTest, ReadRefusesOversizedAndMissingFilesNamingThePath) {
  fs_.WriteFile(PathOf("a.sig"), "123456", false);
  EXPECT_EQ(ErrorOf([&] { fs_.ReadFile(PathOf("a.sig"), 5); }), EFBIG);
  try {
    fs_.ReadFile(PathOf("none.sig"), 100);
    FAIL();
  } catch (const EOSError& error) {
    EXPECT_EQ(error.ErrorCode(), ENOENT);
    EXPECT_NE(error.Message().find(PathOf("none.sig")), std::string::npos);
  }
  EXPECT_NE(ErrorOf([&] { fs_.ReadFile(dir_.Path(), 100); }), 0);
}

TEST_F(PosixFileSystemTest, AppendCreatesAndReturnsTheNewSize) {
  EXPECT_EQ(fs_.AppendFile(PathOf("log.txt"), "abc"), 3);
  EXPECT_EQ(fs_.AppendFile(PathOf("log.txt"), "defg"), 7);
  EXPECT_EQ(fs_.ReadFile(PathOf("log.txt"), 100), "abcdefg");
}

TEST_F(PosixFileSystemTest, RenameWithoutReplaceKeepsAnExistingTarget) {
  fs_.WriteFile(PathOf("a"), "A", false);
  fs_.WriteFile(PathOf("b"), "B", false);
  EXPECT_EQ(ErrorOf([&] { fs_.Rename(PathOf("a"), PathOf("b"), false); }), EEXIST);
  EXPECT_EQ(fs_.ReadFile(PathOf("a"), 10), "A");
  EXPECT_EQ(fs_.ReadFile(PathOf("b"), 10), "B");

  fs_.Rename(PathOf("a"), PathOf("c"), false);
  EXPECT_FALSE(fs_.Stat(PathOf("a")).exists);
  EXPECT_EQ(fs_.ReadFile(PathOf("c"), 10), "A");

  fs_.Rename(PathOf("c"), PathOf("b"), true);
  EXPECT_EQ(fs_.ReadFile(PathOf("b"), 10), "A");
  EXPECT_EQ(ErrorOf([&] { fs_.Rename(PathOf("c"), PathOf("d"), true); }), ENOENT);
}

TEST_F(PosixFileSystemTest, ListsFilesAndDirectoriesButNotDotEntries) {
  fs_.WriteFile(PathOf("1.sig"), "x", false);
  fs_.CreateDirectories(PathOf("sub/deeper/"));
  fs_.WriteFile(PathOf("sub/inner.sig"), "x", false);
  std::vector<std::string> names = fs_.ListDirectory(dir_.Path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1.sig", "sub"}));
  EXPECT_EQ(ErrorOf([&] { fs_.ListDirectory(PathOf("none")); }), ENOENT);
}

TEST_F(PosixFileSystemTest, CreateDirectoriesMakesParentsAndAcceptsExisting) {
  fs_.CreateDirectories(PathOf("a/b/c"));
  fs_.CreateDirectories(PathOf("a/b/c/"));
  EXPECT_TRUE(fs_.Stat(PathOf("a/b/c")).is_directory);
  fs_.WriteFile(PathOf("file"), "x", false);
  EXPECT_EQ(ErrorOf([&] { fs_.CreateDirectories(PathOf("file/sub")); }), ENOTDIR);
  EXPECT_EQ(ErrorOf([&] { fs_.CreateDirectories(PathOf("file")); }), ENOTDIR);
}

TEST_F(PosixFileSystemTest, StatReportsKindSizeTimeAndWriteProtection) {
  EXPECT_FALSE(fs_.Stat(PathOf("none")).exists);
  EXPECT_EQ(fs_.Stat(PathOf("none")).size, 0);
  fs_.WriteFile(PathOf("f"), "12345", false);
  const FileInfo file = fs_.Stat(PathOf("f"));
  EXPECT_TRUE(file.exists);
  EXPECT_FALSE(file.is_directory);
  EXPECT_FALSE(file.read_only);
  EXPECT_EQ(file.size, 5);
  EXPECT_GT(file.modified_unix_ms, 1700000000000);
  ASSERT_EQ(chmod(PathOf("f").c_str(), 0444), 0);
  EXPECT_TRUE(fs_.Stat(PathOf("f")).read_only);
  EXPECT_TRUE(fs_.Stat(dir_.Path()).is_directory);
}

TEST_F(PosixFileSystemTest, DeleteAndSyncDirectoryReportMissingPaths) {
  fs_.WriteFile(PathOf("f"), "x", false);
  fs_.DeleteFile(PathOf("f"));
  EXPECT_FALSE(fs_.Stat(PathOf("f")).exists);
  EXPECT_EQ(ErrorOf([&] { fs_.DeleteFile(PathOf("f")); }), ENOENT);
  fs_.SyncDirectory(dir_.Path());
  EXPECT_EQ(ErrorOf([&] { fs_.SyncDirectory(PathOf("none")); }), ENOENT);
}

}  // namespace
}  // namespace vd
