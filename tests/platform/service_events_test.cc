#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "fakes/scoped_temp_dir.h"
#include "platform/syslog_event_log.h"

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

}  // namespace
}  // namespace vd
