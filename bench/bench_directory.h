#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace vd {

// A fresh directory on the disk (under $VD_BENCH_DIR, else /var/tmp, so that
// flushes reach a real device rather than tmpfs), removed with its content at
// the end.
class BenchDirectory {
 public:
  BenchDirectory() {
    const char* base = std::getenv("VD_BENCH_DIR");
    std::string pattern = base != nullptr && *base != '\0' ? base : "/var/tmp";
    if (pattern.back() != '/') pattern += '/';
    pattern += "vd_bench_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path_ = pattern + "/";
  }
  BenchDirectory(const BenchDirectory&) = delete;
  BenchDirectory& operator=(const BenchDirectory&) = delete;
  ~BenchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vd
