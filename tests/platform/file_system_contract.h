// What every file system of the platform layer promises, as a typed test:
// each platform's test file instantiates it for its own file system and adds
// the checks that platform has alone.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "fakes/scoped_temp_dir.h"
#include "support/errors.h"

namespace vd {

template <typename FileSystem>
class FileSystemContractTest : public testing::Test {
 protected:
  std::string P(const std::string& name) const { return dir_.Path() + name; }
  ScopedTempDir dir_;
  FileSystem fs_;
};

TYPED_TEST_SUITE_P(FileSystemContractTest);

TYPED_TEST_P(FileSystemContractTest,
             WriteReplacesAppendGrowsRenameRespectsReplaceAndReadIsBounded) {
  auto& fs = this->fs_;
  const std::string big(300000, 'x');
  fs.WriteFile(this->P("a.sig"), big, true);
  EXPECT_EQ(fs.ReadFile(this->P("a.sig"), 1 << 20), big);
  fs.WriteFile(this->P("a.sig"), "short", false);
  EXPECT_EQ(fs.AppendFile(this->P("a.sig"), "er"), 7);
  EXPECT_EQ(fs.ReadFile(this->P("a.sig"), 7), "shorter");
  EXPECT_THROW(fs.ReadFile(this->P("a.sig"), 6), EOSError);
  try {
    fs.ReadFile(this->P("none"), 9);
    ADD_FAILURE() << "a missing file was read";
  } catch (const EOSError& error) {  // the portable checks see errno values
    EXPECT_EQ(error.ErrorCode(), ENOENT);
    EXPECT_THAT(error.Message(), testing::HasSubstr(this->P("none")));
  }
  fs.WriteFile(this->P("b"), "B", false);
  EXPECT_THROW(fs.Rename(this->P("a.sig"), this->P("b"), false), EOSError);  // keeps the target
  EXPECT_EQ(fs.ReadFile(this->P("b"), 10), "B");
  fs.Rename(this->P("a.sig"), this->P("b"), true);
  EXPECT_EQ(fs.ReadFile(this->P("b"), 10), "shorter");
}

TYPED_TEST_P(FileSystemContractTest,
             DirectoriesListWithoutDotEntriesAndStatTellsKindSizeAndProtection) {
  auto& fs = this->fs_;
  fs.CreateDirectories(this->P("sub/deeper/"));
  fs.WriteFile(this->P("1.sig"), "12345", false);
  const auto read_only = std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                         std::filesystem::perms::others_read;
  std::filesystem::permissions(this->P("1.sig"), read_only);
  EXPECT_THAT(fs.ListDirectory(this->dir_.Path()), testing::UnorderedElementsAre("1.sig", "sub"));
  const FileInfo file = fs.Stat(this->P("1.sig"));
  EXPECT_TRUE(file.exists && !file.is_directory && file.read_only);
  EXPECT_EQ(file.size, 5);
  EXPECT_TRUE(fs.Stat(this->P("sub/deeper")).is_directory);
  std::filesystem::permissions(this->P("1.sig"), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  fs.DeleteFile(this->P("1.sig"));
  EXPECT_THROW(fs.DeleteFile(this->P("1.sig")), EOSError);
  EXPECT_THROW(fs.ReadFile(this->P("sub"), 100), EOSError);
}

REGISTER_TYPED_TEST_SUITE_P(FileSystemContractTest,
                            WriteReplacesAppendGrowsRenameRespectsReplaceAndReadIsBounded,
                            DirectoriesListWithoutDotEntriesAndStatTellsKindSizeAndProtection);

}  // namespace vd
