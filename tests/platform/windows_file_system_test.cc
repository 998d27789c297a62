#include "platform/windows_file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>
#undef DeleteFile  // windows.h's name of DeleteFileA

#include <cerrno>

#include "fakes/scoped_temp_dir.h"
#include "platform/windows_text.h"
#include "support/errors.h"

namespace vd {
namespace {

class WindowsFileSystemTest : public testing::Test {
 protected:
  std::string P(const std::string& name) const { return dir_.Path() + name; }
  ScopedTempDir dir_;
  WindowsFileSystem fs_;
};

TEST_F(WindowsFileSystemTest, WriteReplacesAppendGrowsRenameRespectsReplaceAndReadIsBounded) {
  const std::string big(300000, 'x');
  fs_.WriteFile(P("a.sig"), big, true);
  EXPECT_EQ(fs_.ReadFile(P("a.sig"), 1 << 20), big);
  fs_.WriteFile(P("a.sig"), "short", false);
  EXPECT_EQ(fs_.AppendFile(P("a.sig"), "er"), 7);
  EXPECT_EQ(fs_.ReadFile(P("a.sig"), 7), "shorter");
  EXPECT_THROW(fs_.ReadFile(P("a.sig"), 6), EOSError);
  try {
    fs_.ReadFile(P("none"), 9);
    ADD_FAILURE() << "a missing file was read";
  } catch (const EOSError& error) {  // the portable checks see errno values
    EXPECT_EQ(error.ErrorCode(), ENOENT);
    EXPECT_THAT(error.Message(), testing::HasSubstr("open " + P("none") + ": "));
  }
  fs_.WriteFile(P("b"), "B", false);
  EXPECT_THROW(fs_.Rename(P("a.sig"), P("b"), false), EOSError);  // keeps an existing target
  EXPECT_EQ(fs_.ReadFile(P("b"), 10), "B");
  fs_.Rename(P("a.sig"), P("b"), true);
  EXPECT_EQ(fs_.ReadFile(P("b"), 10), "shorter");
}

TEST_F(WindowsFileSystemTest, DirectoriesListWithoutDotEntriesAndStatTellsKindSizeAndProtection) {
  fs_.CreateDirectories(P("sub\\deeper/"));  // both separators
  fs_.WriteFile(P("1.sig"), "12345", false);
  ASSERT_TRUE(SetFileAttributesW(WideFromUtf8(P("1.sig")).c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_THAT(fs_.ListDirectory(dir_.Path()), testing::UnorderedElementsAre("1.sig", "sub"));
  const FileInfo file = fs_.Stat(P("1.sig"));
  EXPECT_TRUE(file.exists && !file.is_directory && file.read_only);
  EXPECT_EQ(file.size, 5);
  EXPECT_TRUE(fs_.Stat(P("sub/deeper")).is_directory);
  EXPECT_THROW(fs_.DeleteFile(P("1.sig")), EOSError);  // Windows protects read-only files
  ASSERT_TRUE(SetFileAttributesW(WideFromUtf8(P("1.sig")).c_str(), FILE_ATTRIBUTE_NORMAL));
  fs_.DeleteFile(P("1.sig"));
  EXPECT_THROW(fs_.DeleteFile(P("1.sig")), EOSError);
  EXPECT_THAT([&] { fs_.ReadFile(P("sub"), 100); },
              testing::ThrowsMessage<EOSError>(testing::HasSubstr("Is a directory")));
  EXPECT_THROW(fs_.ListDirectory(P("none")), EOSError);
  EXPECT_NO_THROW(fs_.SyncDirectory(P("sub")));
  EXPECT_THROW(fs_.SyncDirectory(P("none")), EOSError);
}

// Another thread may hold a cache file open for reading while it is set
// aside or removed, as on POSIX.
TEST_F(WindowsFileSystemTest, FileOpenForReadingCanBeRenamedAndDeleted) {
  fs_.WriteFile(P("c.que"), "data", false);
  const HANDLE reader = CreateFileW(WideFromUtf8(P("c.que")).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  fs_.Rename(P("c.que"), P("c.que.error"), false);
  EXPECT_EQ(fs_.ReadFile(P("c.que.error"), 10), "data");
  fs_.DeleteFile(P("c.que.error"));
  CloseHandle(reader);
  EXPECT_FALSE(fs_.Stat(P("c.que.error")).exists);
}

}  // namespace
}  // namespace vd
