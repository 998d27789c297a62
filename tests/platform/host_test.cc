#include "platform/host.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace vd {
namespace {

TEST(HostTest, LocalIPIsEmptyOrADottedIPv4Address) {
  const std::string ip = GetLocalIP();
  in_addr parsed{};
  EXPECT_TRUE(ip.empty() || inet_pton(AF_INET, ip.c_str(), &parsed) == 1) << ip;
}

TEST(HostTest, ExecutableDirectoryHoldsTheRunningBinary) {
  const std::string directory = ExecutableDirectory();
  EXPECT_TRUE(directory.starts_with('/') && directory.ends_with('/')) << directory;
  EXPECT_EQ(ExecutablePath(), directory + "platform_tests");
}

}  // namespace
}  // namespace vd
