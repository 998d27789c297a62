// What every file system of the platform layer promises: each platform's
// test runs it on its own file system and adds the checks it has alone.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "support/errors.h"
#include "support/file_system.h"

namespace vd {

// Writes replace, appends grow, renames respect replace, reads are bounded,
// directories list without dot entries and Stat tells kind, size and
// protection; dir (with its trailing separator) starts empty.
inline void ExpectFileSystemContract(IFileSystem& fs, const std::string& dir) {
  const std::string big(300000, 'x');
  fs.WriteFile(dir + "a.sig", big, true);
  EXPECT_EQ(fs.ReadFile(dir + "a.sig", 1 << 20), big);
  fs.WriteFile(dir + "a.sig", "short", false);
  EXPECT_EQ(fs.AppendFile(dir + "a.sig", "er"), 7);
  EXPECT_EQ(fs.ReadFile(dir + "a.sig", 7), "shorter");
  EXPECT_THROW(fs.ReadFile(dir + "a.sig", 6), EOSError);
  try {
    fs.ReadFile(dir + "none", 9);
    ADD_FAILURE() << "a missing file was read";
  } catch (const EOSError& error) {  // the portable checks see errno values
    EXPECT_EQ(error.ErrorCode(), ENOENT);
    EXPECT_THAT(error.Message(), testing::HasSubstr(dir + "none"));
  }
  fs.WriteFile(dir + "b", "B", false);
  EXPECT_THROW(fs.Rename(dir + "a.sig", dir + "b", false), EOSError);  // keeps the target
  EXPECT_EQ(fs.ReadFile(dir + "b", 10), "B");
  fs.Rename(dir + "a.sig", dir + "b", true);
  EXPECT_EQ(fs.ReadFile(dir + "b", 10), "shorter");

  fs.CreateDirectories(dir + "sub/deeper/");
  using std::filesystem::perms;
  std::filesystem::permissions(dir + "b",
                               perms::owner_read | perms::group_read | perms::others_read);
  EXPECT_THAT(fs.ListDirectory(dir), testing::UnorderedElementsAre("b", "sub"));
  const FileInfo file = fs.Stat(dir + "b");
  EXPECT_TRUE(file.exists && !file.is_directory && file.read_only);
  EXPECT_EQ(file.size, 7);
  EXPECT_TRUE(fs.Stat(dir + "sub/deeper").is_directory);
  std::filesystem::permissions(dir + "b", perms::owner_write, std::filesystem::perm_options::add);
  fs.DeleteFile(dir + "b");
  EXPECT_THROW(fs.DeleteFile(dir + "b"), EOSError);
  EXPECT_THROW(fs.ReadFile(dir + "sub", 100), EOSError);
}

}  // namespace vd
