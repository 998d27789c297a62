#include "fakes/fault_file_system.h"

#include <gtest/gtest.h>

#include "fakes/scoped_temp_dir.h"
#include "platform/host_file_system.h"
#include "support/errors.h"

namespace vd {
namespace {

class FaultFileSystemTest : public testing::Test {
 protected:
  std::string P(const std::string& name) const { return dir_.Path() + name; }
  bool Exists(const std::string& name) { return posix_.Stat(P(name)).exists; }
  std::string Content(const std::string& name) { return posix_.ReadFile(P(name), 1000); }

  ScopedTempDir dir_;
  HostFileSystem posix_;
  FaultFileSystem fs_{posix_};
};

TEST_F(FaultFileSystemTest, PowerCutKeepsOnlyFlushedDataAndDirectoryFlushedEntries) {
  posix_.WriteFile(P("old.sig"), "before", false);  // there before: counts as durable
  posix_.WriteFile(P("log.txt"), "head", false);
  fs_.WriteFile(P("a.tmp"), "payload", true);
  fs_.Rename(P("a.tmp"), P("a.sig"), true);
  fs_.WriteFile(P("empty.sig"), "data never flushed", false);
  fs_.SyncDirectory(dir_.Path());
  fs_.WriteFile(P("new.sig"), "entry never flushed", true);
  fs_.AppendFile(P("log.txt"), "tail");
  fs_.Rename(P("old.sig"), P("moved.sig"), false);
  fs_.fail_flush = true;  // the write lands, its flush fails
  EXPECT_THROW(fs_.WriteFile(P("moved.sig"), "after", true), EOSError);
  fs_.SimulatePowerCut();
  EXPECT_EQ(Content("a.sig"), "payload");
  EXPECT_FALSE(Exists("a.tmp"));
  EXPECT_EQ(Content("empty.sig"), "");
  EXPECT_FALSE(Exists("new.sig"));
  EXPECT_FALSE(Exists("moved.sig"));
  EXPECT_EQ(Content("old.sig"), "before");
  EXPECT_EQ(Content("log.txt"), "head");
}

}  // namespace
}  // namespace vd
