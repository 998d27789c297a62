#include "fakes/fault_file_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "fakes/scoped_temp_dir.h"
#include "platform/posix_file_system.h"
#include "support/errors.h"

namespace vd {
namespace {

using Op = FaultFileSystem::Operation;

class FaultFileSystemTest : public testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return dir_.Path() + name; }
  bool Exists(const std::string& name) { return posix_.Stat(PathOf(name)).exists; }
  std::string Content(const std::string& name) { return posix_.ReadFile(PathOf(name), 1000); }

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
  PosixFileSystem posix_;
  FaultFileSystem fs_{posix_};
};

TEST_F(FaultFileSystemTest, SyncedRenamedAndDirectorySyncedFileSurvivesPowerCut) {
  fs_.WriteFile(PathOf("a.tmp"), "payload", true);
  fs_.Rename(PathOf("a.tmp"), PathOf("a.sig"), true);
  fs_.SyncDirectory(dir_.Path());
  fs_.SimulatePowerCut();
  EXPECT_EQ(Content("a.sig"), "payload");
  EXPECT_FALSE(Exists("a.tmp"));
}

TEST_F(FaultFileSystemTest, DataAndEntriesSurviveOnlyWhenSynced) {
  fs_.WriteFile(PathOf("unsynced"), "x", false);
  fs_.WriteFile(PathOf("no_dir_sync"), "y", true);
  fs_.WriteFile(PathOf("data_not_synced"), "z", false);
  fs_.SyncDirectory(dir_.Path() + "/");  // the entry of the last one survives, its data not
  fs_.WriteFile(PathOf("late"), "w", true);
  fs_.SimulatePowerCut();
  EXPECT_FALSE(Exists("late"));
  EXPECT_TRUE(Exists("unsynced"));  // the directory sync came after its creation
  EXPECT_EQ(Content("unsynced"), "");
  EXPECT_EQ(Content("no_dir_sync"), "y");
  EXPECT_EQ(Content("data_not_synced"), "");
}

TEST_F(FaultFileSystemTest, UnsyncedChangesRevertToTheSyncedState) {
  posix_.WriteFile(PathOf("old.sig"), "before", false);  // there before: counts as durable
  posix_.WriteFile(PathOf("log.txt"), "head", false);
  fs_.WriteFile(PathOf("old.sig"), "after", false);
  fs_.AppendFile(PathOf("log.txt"), "tail");
  fs_.Rename(PathOf("old.sig"), PathOf("moved.sig"), false);
  fs_.WriteFile(PathOf("new.sig"), "new", false);
  fs_.DeleteFile(PathOf("new.sig"));
  EXPECT_EQ(Content("log.txt"), "headtail");
  fs_.SimulatePowerCut();
  EXPECT_EQ(Content("old.sig"), "before");
  EXPECT_FALSE(Exists("moved.sig"));
  EXPECT_FALSE(Exists("new.sig"));
  EXPECT_EQ(Content("log.txt"), "head");
}

TEST_F(FaultFileSystemTest, SwitchesFailWritesLeavingPartialData) {
  fs_.fail_write = true;
  EXPECT_EQ(ErrorOf([&] { fs_.WriteFile(PathOf("f"), "12345678", true); }), EIO);
  EXPECT_EQ(Content("f"), "1234");
  EXPECT_EQ(ErrorOf([&] { fs_.AppendFile(PathOf("f"), "9"); }), EIO);
  fs_.no_space = true;
  EXPECT_EQ(ErrorOf([&] { fs_.WriteFile(PathOf("f"), "ab", false); }), ENOSPC);
  fs_.fail_write = false;
  fs_.no_space = false;
  fs_.fail_flush = true;
  EXPECT_EQ(ErrorOf([&] { fs_.WriteFile(PathOf("g"), "data", true); }), EIO);
  EXPECT_EQ(ErrorOf([&] { fs_.SyncDirectory(dir_.Path()); }), EIO);
  EXPECT_EQ(Content("g"), "data");
  fs_.SimulatePowerCut();
  EXPECT_FALSE(Exists("g"));
  EXPECT_FALSE(Exists("f"));
}

TEST_F(FaultFileSystemTest, FailNextHitsOnlyTheChosenCall) {
  fs_.WriteFile(PathOf("a"), "x", false);
  fs_.FailNext(Op::kRename, 2, EACCES);
  fs_.Rename(PathOf("a"), PathOf("b"), true);
  EXPECT_EQ(ErrorOf([&] { fs_.Rename(PathOf("b"), PathOf("c"), true); }), EACCES);
  EXPECT_TRUE(Exists("b"));
  fs_.Rename(PathOf("b"), PathOf("c"), true);
  EXPECT_EQ(fs_.Calls(Op::kRename), 3);
  EXPECT_EQ(fs_.Calls(Op::kWriteFile), 1);
  fs_.fail_read = true;
  fs_.fail_list = true;
  fs_.fail_delete = true;
  fs_.fail_create_directories = true;
  EXPECT_EQ(ErrorOf([&] { fs_.ReadFile(PathOf("c"), 10); }), EIO);
  EXPECT_EQ(ErrorOf([&] { fs_.ListDirectory(dir_.Path()); }), EIO);
  EXPECT_EQ(ErrorOf([&] { fs_.DeleteFile(PathOf("c")); }), EIO);
  EXPECT_EQ(ErrorOf([&] { fs_.CreateDirectories(PathOf("d")); }), EIO);
  EXPECT_TRUE(Exists("c"));
  fs_.ResetCounters();
  EXPECT_EQ(fs_.Calls(Op::kRename), 0);
}

}  // namespace
}  // namespace vd
