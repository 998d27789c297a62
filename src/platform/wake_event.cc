#include "platform/wake_event.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "support/errors.h"

namespace vd {
namespace {

int CreateEventFd() {
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) throw MakeOSError(errno, "eventfd");
  return fd;
}

}  // namespace

TWakeEvent::TWakeEvent() : fd_(CreateEventFd()) {}

TWakeEvent::~TWakeEvent() { close(fd_); }

void TWakeEvent::Notify() noexcept {
  const uint64_t one = 1;
  // EAGAIN means the counter is saturated: the event is notified anyway.
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool TWakeEvent::Drain() noexcept {
  uint64_t count = 0;
  ssize_t n = 0;
  do {
    n = read(fd_, &count, sizeof count);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof count) && count > 0;
}

}  // namespace vd
