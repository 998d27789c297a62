#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace vd {

// A fresh directory under the test's temporary directory, removed with
// everything in it when the object goes. Path() ends with "/".
class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::string pattern = testing::TempDir();
    if (pattern.empty() || pattern.back() != '/') pattern += '/';
    pattern += "vd_test_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "cannot create a temporary directory from " << pattern;
    }
    path_ = pattern + "/";
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  ~ScopedTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vd
