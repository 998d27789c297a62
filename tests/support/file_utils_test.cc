#include "support/file_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/scoped_temp_dir.h"
#include "platform/host_file_system.h"
#include "support/errors.h"

namespace vd {
namespace {

using testing::ElementsAre;
using testing::UnorderedElementsAre;

class FileUtilsTest : public testing::Test {
 protected:
  std::string P(const std::string& name) const { return dir_.Path() + name; }
  std::string Content(const std::string& name) { return posix_.ReadFile(P(name), 1 << 20); }
  std::vector<std::string> Names() { return posix_.ListDirectory(dir_.Path()); }

  ScopedTempDir dir_;
  HostFileSystem posix_;
  FaultFileSystem fs_{posix_};
  FakeClock clock_;  // monotonic 3600000 ms: 3600000 mod 1000000 = 0x927C0
};

TEST_F(FileUtilsTest, UniqueNameIsTicksAndRandomHexAndIsDrawnAgainUntilFree) {
  EXPECT_THAT(UniqueFileName(fs_, clock_, dir_.Path(), "que"),
              testing::MatchesRegex(".*/0927C0([0-9A-E][0-9A-F]|F[0-9A-E])\\.que"));
  for (int suffix = 0; suffix <= 254; ++suffix) {
    char name[16];
    std::snprintf(name, sizeof name, "0927C0%02X.sig", suffix);
    if (suffix != 0x7A) posix_.WriteFile(P(name), "", false);
  }
  EXPECT_EQ(UniqueFileName(fs_, clock_, dir_.Path(), ".sig"), P("0927C07A.sig"));
  posix_.WriteFile(P("0927C07A.sig"), "", false);
  // The clock stands still, so no name is free: an error, not an endless loop.
  EXPECT_THROW(UniqueFileName(fs_, clock_, dir_.Path(), ".sig"), EOSError);
}

TEST(MatchesMaskTest, WildcardsIgnoreLetterCase) {
  using Case = std::pair<const char*, const char*>;  // name, mask
  for (const Case& c :
       {Case{"03A1F2C7.SIG", "*.sig"}, Case{".sig", "*.sig"}, Case{"a.b.sig", "*.sig"},
        Case{"ab.que", "??.que"}, Case{"noext", "*.*"}, Case{"aXbXc", "*b*c"},
        Case{"Log_0001.txt", "log_*.TXT"}, Case{"*x.sig", "*.sig"}})
    EXPECT_TRUE(MatchesMask(c.first, c.second)) << c.first << " ~ " << c.second;
  for (const Case& c : {Case{"x.sig.error", "*.sig"}, Case{"x.sig.tmp", "*.sig"},
                        Case{"x.sigx", "*.sig"}, Case{"abc.que", "??.que"}, Case{"", "?"}})
    EXPECT_FALSE(MatchesMask(c.first, c.second)) << c.first << " ~ " << c.second;
}

TEST_F(FileUtilsTest, RenameToErrorMovesOnlyAnExistingFileToAFreeName) {
  EXPECT_FALSE(RenameToError(fs_, P("missing.que")));
  posix_.WriteFile(P("a.que"), "bad", false);
  EXPECT_TRUE(RenameToError(fs_, P("a.que")));
  posix_.WriteFile(P("a.que"), "bad again", false);
  EXPECT_FALSE(RenameToError(fs_, P("a.que")));
  EXPECT_EQ(Content("a.que.error"), "bad");
}

TEST_F(FileUtilsTest, FailedOrUnflushedWritesLeaveNoPartialFileEvenAfterAPowerCut) {
  const std::string big(50000, 'D');
  WriteFileDurably(fs_, P("a.sig"), big, true);
  fs_.FailNext(FaultFileSystem::Operation::kRename);
  EXPECT_THROW(WriteFileDurably(fs_, P("b.sig"), "new", true), EOSError);
  fs_.FailNext(FaultFileSystem::Operation::kRename);
  EXPECT_THROW(WriteFileDurably(fs_, P("a.sig"), "new", true), EOSError);
  WriteFileDurably(fs_, P("quick.sig"), "unflushed", false);
  fs_.fail_flush = true;
  EXPECT_THROW(WriteFileDurably(fs_, P("c.sig"), "new", true), EOSError);
  EXPECT_THAT(Names(), UnorderedElementsAre("a.sig", "quick.sig"));  // no temporaries
  fs_.SimulatePowerCut();
  EXPECT_EQ(Content("a.sig"), big);
  EXPECT_THAT(Names(), ElementsAre("a.sig"));
}

}  // namespace
}  // namespace vd
