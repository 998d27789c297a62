#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "fakes/scoped_temp_dir.h"
#include "platform/syslog_event_log.h"
#include "platform/systemd_notifier.h"

namespace vd {
namespace {

TEST(SyslogEventLogTest, EachEventGoesToTheErrorStreamAsOneLineOfItsText) {
  std::ostringstream errors;
  SyslogEventLog log(errors, false);
  log.WriteEvent(ServiceEvent::kStarted, "");
  log.WriteEvent(ServiceEvent::kStopped, "");
  log.WriteEvent(ServiceEvent::kStartFailed, "ERegistryException - Invalid data type for 'Port'");
  log.WriteEvent(ServiceEvent::kStopFailed, "EOSError - x");
  EXPECT_EQ(errors.str(),
            "Service started\nService stopped\n"
            "Error while starting: ERegistryException - Invalid data type for 'Port'\n"
            "Error while stopping: EOSError - x\n");
  EXPECT_TRUE(IsErrorEvent(ServiceEvent::kStartFailed));
  EXPECT_FALSE(IsErrorEvent(ServiceEvent::kStopped));
}

TEST(SyslogEventLogTest, StderrThatIsTheJournalStreamIsRecognisedByDeviceAndInode) {
  ScopedTempDir temp;
  const std::string path = temp.Path() + "stream";
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  struct stat info {};
  ASSERT_EQ(::fstat(fd, &info), 0);
  const std::string own = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  const std::string other = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino + 1);
  EXPECT_TRUE(IsJournalStream(own.c_str(), fd));
  EXPECT_FALSE(IsJournalStream(other.c_str(), fd));
  EXPECT_FALSE(IsJournalStream(nullptr, fd));
  EXPECT_FALSE(IsJournalStream("garbage", fd));
  ::close(fd);

  std::ostringstream errors;
  SyslogEventLog(errors, false, false).WriteEvent(ServiceEvent::kStarted, "");
  EXPECT_EQ(errors.str(), "");
}

// A notification socket as systemd offers one, in a temporary directory.
class SystemdNotifierTest : public testing::Test {
 protected:
  void SetUp() override {
    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(socket_, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = temp_.Path() + "notify";
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("NOTIFY_SOCKET");
    if (socket_ >= 0) ::close(socket_);
  }

  // The next datagram, or "" when none comes within wait_ms.
  std::string Receive(int wait_ms) {
    pollfd ready{socket_, POLLIN, 0};
    if (::poll(&ready, 1, wait_ms) != 1) return "";
    char buffer[256];
    const ssize_t size = ::recv(socket_, buffer, sizeof(buffer), 0);
    return size > 0 ? std::string(buffer, static_cast<size_t>(size)) : "";
  }

  ScopedTempDir temp_;
  int socket_ = -1;
  SystemdNotifier notifier_;
};

TEST_F(SystemdNotifierTest, ReadyStoppingAndWatchdogReachTheServiceManager) {
  ::setenv("WATCHDOG_USEC", "30000000", 1);
  EXPECT_EQ(notifier_.WatchdogIntervalMs(), 30000);
  ::unsetenv("WATCHDOG_USEC");
  notifier_.Ready();
  EXPECT_EQ(Receive(5000), "READY=1");
  notifier_.WatchdogPing();
  EXPECT_EQ(Receive(5000), "WATCHDOG=1");
  notifier_.Stopping();
  EXPECT_EQ(Receive(5000), "STOPPING=1");
}

TEST_F(SystemdNotifierTest, OutsideSystemdNotificationsDoNothing) {
  ::unsetenv("NOTIFY_SOCKET");
  notifier_.Ready();
  notifier_.Stopping();
  notifier_.WatchdogPing();
  EXPECT_EQ(Receive(0), "");
  EXPECT_EQ(notifier_.WatchdogIntervalMs(), 0);
}

}  // namespace
}  // namespace vd
