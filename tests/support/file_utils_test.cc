#include "support/file_utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/scoped_temp_dir.h"
#include "platform/posix_file_system.h"
#include "support/errors.h"

namespace vd {
namespace {

using Op = FaultFileSystem::Operation;

class FileUtilsTest : public testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return dir_.Path() + name; }
  bool Exists(const std::string& name) { return posix_.Stat(PathOf(name)).exists; }
  std::string Content(const std::string& name) { return posix_.ReadFile(PathOf(name), 1 << 20); }
  std::vector<std::string> Names() {
    std::vector<std::string> names = posix_.ListDirectory(dir_.Path());
    std::sort(names.begin(), names.end());
    return names;
  }

  ScopedTempDir dir_;
  PosixFileSystem posix_;
  FaultFileSystem fs_{posix_};
  FakeClock clock_;  // monotonic 3600000 ms: 3600000 mod 1000000 = 0x927C0
};

TEST_F(FileUtilsTest, UniqueNameIsTicksAndRandomHexWithDottedExtension) {
  const std::string name = UniqueFileName(fs_, clock_, dir_.Path(), "que");
  ASSERT_EQ(name.rfind(dir_.Path(), 0), 0u);
  EXPECT_TRUE(std::regex_match(name.substr(dir_.Path().size()),
                               std::regex("0927C0([0-9A-E][0-9A-F]|F[0-9A-E])\\.que")))
      << name;
  clock_.SetMonotonicMs(5999999);
  EXPECT_EQ(UniqueFileName(fs_, clock_, dir_.Path(), ".sig").substr(dir_.Path().size(), 6),
            "0F423F");
  EXPECT_EQ(UniqueFileName(fs_, clock_, dir_.Path(), "").size(), dir_.Path().size() + 8);
}

TEST_F(FileUtilsTest, UniqueNameDrawsAgainUntilTheNameIsFree) {
  // Every suffix of this millisecond but 0x7A is taken.
  for (int suffix = 0; suffix <= 254; ++suffix) {
    if (suffix == 0x7A) continue;
    char name[16];
    std::snprintf(name, sizeof name, "0927C0%02X.sig", suffix);
    posix_.WriteFile(PathOf(name), "", false);
  }
  EXPECT_EQ(UniqueFileName(fs_, clock_, dir_.Path(), ".sig"), PathOf("0927C07A.sig"));
  posix_.WriteFile(PathOf("0927C07A.sig"), "", false);
  // The clock stands still, so no name is free: an error, not an endless loop.
  EXPECT_THROW(UniqueFileName(fs_, clock_, dir_.Path(), ".sig"), EOSError);
}

TEST(MatchesMaskTest, WildcardsIgnoreLetterCase) {
  EXPECT_TRUE(MatchesMask("03A1F2C7.SIG", "*.sig"));
  EXPECT_TRUE(MatchesMask(".sig", "*.sig"));
  EXPECT_FALSE(MatchesMask("03A1F2C7.sig.error", "*.sig"));
  EXPECT_FALSE(MatchesMask("03A1F2C7.sig.tmp", "*.sig"));
  EXPECT_FALSE(MatchesMask("03A1F2C7.sigx", "*.sig"));
  EXPECT_TRUE(MatchesMask("a.b.sig", "*.sig"));
  EXPECT_TRUE(MatchesMask("ab.que", "??.que"));
  EXPECT_FALSE(MatchesMask("abc.que", "??.que"));
  EXPECT_TRUE(MatchesMask("anything", "*"));
  EXPECT_TRUE(MatchesMask("noext", "*.*"));
  EXPECT_TRUE(MatchesMask("Log_0001.txt", "log_*.TXT"));
  EXPECT_FALSE(MatchesMask("", "?"));
  EXPECT_TRUE(MatchesMask("aXbXc", "*b*c"));
}

TEST_F(FileUtilsTest, FindFilesCallsBackForMatchingEntriesOnly) {
  posix_.WriteFile(PathOf("1.sig"), "", false);
  posix_.WriteFile(PathOf("2.SIG"), "", false);
  posix_.WriteFile(PathOf("3.sig.error"), "", false);
  posix_.WriteFile(PathOf("4.que"), "", false);
  posix_.CreateDirectories(PathOf("dir.sig/"));
  posix_.WriteFile(PathOf("dir.sig/5.sig"), "", false);
  std::set<std::string> seen;
  const int count =
      FindFiles(fs_, dir_.Path(), "*.sig", [&](const std::string& dir, const std::string& name) {
        EXPECT_EQ(dir, dir_.Path());
        seen.insert(name);
      });
  EXPECT_EQ(count, 3);
  EXPECT_EQ(seen, (std::set<std::string>{"1.sig", "2.SIG", "dir.sig"}));
  fs_.fail_list = true;
  EXPECT_THROW(FindFiles(fs_, dir_.Path(), "*", [](const auto&, const auto&) {}), EOSError);
}

TEST_F(FileUtilsTest, RenameToErrorMovesOnlyAnExistingFileToAFreeName) {
  EXPECT_FALSE(RenameToError(fs_, PathOf("missing.que")));
  EXPECT_EQ(fs_.Calls(Op::kRename), 0);
  posix_.WriteFile(PathOf("a.que"), "bad", false);
  EXPECT_TRUE(RenameToError(fs_, PathOf("a.que")));
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.que.error"}));
  posix_.WriteFile(PathOf("a.que"), "bad again", false);
  EXPECT_FALSE(RenameToError(fs_, PathOf("a.que")));
  EXPECT_EQ(Content("a.que.error"), "bad");
  fs_.fail_rename = true;
  posix_.WriteFile(PathOf("b.que"), "", false);
  EXPECT_FALSE(RenameToError(fs_, PathOf("b.que")));
}

TEST_F(FileUtilsTest, DurableWriteReplacesTheFileAndLeavesNoTemporary) {
  WriteFileDurably(fs_, PathOf("a.sig"), "first", true);
  WriteFileDurably(fs_, PathOf("a.sig"), "second", true);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.sig"}));
  EXPECT_EQ(Content("a.sig"), "second");
  EXPECT_EQ(fs_.Calls(Op::kSyncDirectory), 2);
  WriteFileDurably(fs_, PathOf("b.sig"), "quick", false);
  EXPECT_EQ(fs_.Calls(Op::kSyncDirectory), 2);
  EXPECT_EQ(Content("b.sig"), "quick");
}

TEST_F(FileUtilsTest, FailedStepLeavesNeitherFinalNorTemporaryFile) {
  const auto attempt = [&](const std::string& name) {
    EXPECT_THROW(WriteFileDurably(fs_, PathOf(name), std::string(1000, 'x'), true), EOSError)
        << name;
    EXPECT_EQ(Names(), std::vector<std::string>{}) << name;
  };
  fs_.fail_flush = true;
  attempt("flush.sig");
  fs_.fail_flush = false;
  fs_.no_space = true;  // leaves half the data in the temporary file
  attempt("full.sig");
  fs_.no_space = false;
  fs_.FailNext(Op::kRename);
  attempt("rename.sig");
}

TEST_F(FileUtilsTest, FailedReplaceKeepsTheOldContent) {
  WriteFileDurably(fs_, PathOf("a.que"), "old", true);
  fs_.FailNext(Op::kRename);
  EXPECT_THROW(WriteFileDurably(fs_, PathOf("a.que"), "new", true), EOSError);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.que"}));
  EXPECT_EQ(Content("a.que"), "old");
}

TEST_F(FileUtilsTest, AfterPowerCutFilesAreCompleteOrAbsentNeverPartial) {
  const std::string big(50000, 'D');
  WriteFileDurably(fs_, PathOf("durable.sig"), big, true);
  WriteFileDurably(fs_, PathOf("replaced.sig"), "old", true);
  WriteFileDurably(fs_, PathOf("replaced.sig"), "new", true);
  WriteFileDurably(fs_, PathOf("kept.sig"), "old", true);
  // Unflushed writes after the last directory sync. (A later flushed write in
  // the same directory would make their names durable without their data:
  // they could then come back empty.)
  WriteFileDurably(fs_, PathOf("quick.sig"), big, false);
  WriteFileDurably(fs_, PathOf("kept.sig"), "unflushed", false);
  fs_.SimulatePowerCut();
  EXPECT_EQ(Content("durable.sig"), big);
  EXPECT_EQ(Content("replaced.sig"), "new");
  EXPECT_EQ(Content("kept.sig"), "old");
  EXPECT_FALSE(Exists("quick.sig"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"durable.sig", "kept.sig", "replaced.sig"}));
}

}  // namespace
}  // namespace vd
