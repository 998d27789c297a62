#include "fakes/xml_lint.h"

#include <stdio.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <fstream>

namespace vd {
namespace {

constexpr int kTimeoutSeconds = 60;
constexpr size_t kMaxMessageBytes = 8192;
constexpr char kMissing[] =
    "xmllint cannot be run; install the package libxml2-utils (scripts/setup.sh does)";

// The text in single quotes for sh, quotes inside closed and reopened.
std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

struct RunResult {
  int exit_code = -1;  // -1: did not end normally
  std::string output;  // stdout and stderr, cut to kMaxMessageBytes
};

RunResult Run(const std::string& command) {
  RunResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[1024];
  // Reads to the end (so the command is never blocked on a full pipe) but
  // keeps only the first part.
  for (size_t got; (got = ::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    if (result.output.size() < kMaxMessageBytes) result.output.append(buffer, got);
  }
  const int status = ::pclose(pipe);
#ifdef _WIN32
  result.exit_code = status;
#else
  if (status != -1 && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
#endif
  return result;
}

}  // namespace

bool XmlLintAvailable() {
  static const bool available = Run("xmllint --version").exit_code == 0;
  return available;
}

testing::AssertionResult XmlLintFile(const std::string& path) {
  if (!XmlLintAvailable()) return testing::AssertionFailure() << kMissing;
  const RunResult run = Run("timeout " + std::to_string(kTimeoutSeconds) +
                            " xmllint --noout --nonet " + ShellQuoted(path));
  if (run.exit_code == 0 && run.output.empty()) return testing::AssertionSuccess();
  if (run.exit_code == 124) {
    return testing::AssertionFailure()
           << "xmllint took longer than " << kTimeoutSeconds << " s on " << path;
  }
  return testing::AssertionFailure()
         << "xmllint rejects " << path << " (exit code " << run.exit_code << "):\n"
         << run.output;
}

testing::AssertionResult XmlLintText(std::string_view text, const std::string& dir,
                                     const std::string& name) {
  const std::string path = dir + name;
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!file) return testing::AssertionFailure() << "cannot write " << path;
  }
  return XmlLintFile(path);
}

}  // namespace vd
