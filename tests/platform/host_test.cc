#include "platform/host.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace vd {
namespace {

TEST(HostTest, LocalIPIsEmptyOrADottedIPv4Address) {
  const std::string ip = GetLocalIP();
  if (ip.empty()) GTEST_SKIP() << "this host's name has no IPv4 address";
  in_addr parsed{};
  ASSERT_EQ(inet_pton(AF_INET, ip.c_str(), &parsed), 1) << ip;
  char round_trip[INET_ADDRSTRLEN] = {};
  ASSERT_NE(inet_ntop(AF_INET, &parsed, round_trip, sizeof round_trip), nullptr);
  EXPECT_EQ(ip, round_trip);
}

TEST(HostTest, ExecutableDirectoryHoldsTheRunningBinary) {
  const std::string directory = ExecutableDirectory();
  const std::string path = ExecutablePath();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.front(), '/');
  EXPECT_EQ(directory.back(), '/');
  EXPECT_EQ(path, directory + "platform_tests");
}

}  // namespace
}  // namespace vd
