#include "platform/windows_file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>
#undef DeleteFile  // windows.h's name of DeleteFileA

#include "fakes/scoped_temp_dir.h"
#include "platform/file_system_contract.h"
#include "platform/windows_text.h"

namespace vd {
namespace {

class WindowsFileSystemTest : public testing::Test {
 protected:
  std::string P(const std::string& name) const { return dir_.Path() + name; }
  ScopedTempDir dir_;
  WindowsFileSystem fs_;
};

TEST_F(WindowsFileSystemTest, KeepsTheContractOfEveryFileSystem) {
  ExpectFileSystemContract(fs_, dir_.Path());
}

TEST_F(WindowsFileSystemTest, ReadOnlyFilesAreProtectedAndErrorsSayWhatFailed) {
  fs_.WriteFile(P("1.sig"), "12345", false);
  ASSERT_TRUE(SetFileAttributesW(WideFromUtf8(P("1.sig")).c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_THROW(fs_.DeleteFile(P("1.sig")), EOSError);  // Windows protects read-only files
  ASSERT_TRUE(SetFileAttributesW(WideFromUtf8(P("1.sig")).c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_THAT([&] { fs_.ReadFile(P("none"), 9); },
              testing::ThrowsMessage<EOSError>(testing::HasSubstr("open " + P("none") + ": ")));
  fs_.CreateDirectories(P("sub\\deeper/"));  // both separators
  EXPECT_TRUE(fs_.Stat(P("sub/deeper")).is_directory);
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
