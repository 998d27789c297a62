// What the command-line tests of both platforms share: a parsed command line
// as one comparable text, and a table of cases checked against it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_line.h"

namespace vd {

// The action and the platform's fields (POSIX: registry file, unit directory
// and " force"; Windows: console and [registry file]), then " silent"; or
// "error: " and the message.
inline std::string Describe(const std::vector<std::string>& arguments) {
  try {
    const CommandLine c = ParseCommandLine(arguments);
    static const char* const kActions[] = {"run",     "help",      "version",
                                           "install", "uninstall", "check-config"};
#ifdef _WIN32
    const std::string fields = (c.console ? " console" : "") + (" [" + c.registry_file + "]");
#else
    const std::string fields =
        " " + c.registry_file + " " + c.unit_directory + (c.force ? " force" : "");
#endif
    return kActions[static_cast<int>(c.action)] + fields + (c.silent ? " silent" : "");
  } catch (const ECommandLineError& e) {
    return "error: " + e.Message();
  }
}

struct CommandLineCase {
  std::vector<std::string> arguments;
  std::string expected;  // as Describe gives it
};

inline void ExpectDescriptions(const std::vector<CommandLineCase>& cases) {
  for (const CommandLineCase& c : cases) {
    std::string joined;
    for (const std::string& a : c.arguments) joined += a + " ";
    EXPECT_EQ(Describe(c.arguments), c.expected) << joined;
  }
}

}  // namespace vd
