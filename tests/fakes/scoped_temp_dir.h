#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace vd {

// A fresh directory under the test's temporary directory, removed with
// everything in it when the object goes. Path() ends with "/".
class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::string pattern = testing::TempDir();
#ifdef _WIN32
    std::replace(pattern.begin(), pattern.end(), '\\', '/');
#endif
    if (pattern.empty() || pattern.back() != '/') pattern += '/';
    pattern += "vd_test_XXXXXX";
#ifdef _WIN32
    // No mkdtemp: the X's become a fresh random number.
    std::random_device random;
    bool created = false;
    for (int attempt = 0; attempt < 100 && !created; ++attempt) {
      pattern.replace(pattern.size() - 6, 6, std::to_string(100000 + random() % 900000));
      std::error_code error;
      created = std::filesystem::create_directory(pattern, error);
    }
    if (!created) {
#else
    if (mkdtemp(pattern.data()) == nullptr) {
#endif
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
