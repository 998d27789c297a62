#include "platform/cache_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "fakes/scoped_temp_dir.h"

namespace vd {
namespace {

TEST(CacheLockTest, SecondHolderIsRefusedNamingTheFirstUntilItLetsGo) {
  ScopedTempDir dir;
  EXPECT_EQ(TCacheLock::Holder(dir.Path()), 0);  // no lock file yet
  auto first = std::make_unique<TCacheLock>(dir.Path());
  EXPECT_EQ(TCacheLock::Holder(dir.Path()), getpid());
  try {
    TCacheLock second(dir.Path());
    FAIL() << "a second lock on the same cache was taken";
  } catch (const ECacheInUse& error) {
    EXPECT_EQ(error.Message(), "Cache directory " + dir.Path() +
                                   " is in use by another process (process id " +
                                   std::to_string(getpid()) + ")");
  }
  first.reset();
  EXPECT_EQ(TCacheLock::Holder(dir.Path()), 0);
  EXPECT_NO_THROW(TCacheLock again(dir.Path()));
}

}  // namespace
}  // namespace vd
