#include "platform/cache_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
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

TEST(CacheLockTest, LockIsTakenAgainInTheDirectoryMadeAgain) {
#ifdef _WIN32
  GTEST_SKIP() << "an open lock file keeps its directory from being removed";
#endif
  ScopedTempDir dir;
  const std::string cache = dir.Path() + "cache/";
  std::filesystem::create_directories(cache);
  TCacheLock lock(cache);
  std::filesystem::remove_all(cache);
  std::filesystem::create_directories(cache);
  EXPECT_EQ(TCacheLock::Holder(cache), 0);  // the lock went with the old directory
  lock.TakeAgain();
  EXPECT_EQ(TCacheLock::Holder(cache), getpid());
  EXPECT_THROW(TCacheLock second(cache), ECacheInUse);
}

TEST(CacheLockTest, ReadOnlyCacheIsLockedAsAWholeWithoutAFile) {
  ScopedTempDir dir;
  TCacheLock first(dir.Path(), TCacheLock::Kind::kDirectory);
  EXPECT_THROW(TCacheLock second(dir.Path(), TCacheLock::Kind::kDirectory), ECacheInUse);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

}  // namespace
}  // namespace vd
