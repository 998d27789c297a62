#include "platform/wake_event.h"

#include <gtest/gtest.h>

#include "platform/stream_socket.h"

namespace vd {
namespace {

TEST(WakeEventTest, NotificationsCoalesceUntilDrained) {
  TWakeEvent wake;
  EXPECT_FALSE(wake.Drain());
  wake.Notify();
  wake.Notify();
  TStreamSocket unconnected;
  EXPECT_TRUE(unconnected.Wait(0, &wake, nullptr).Woken);
  EXPECT_TRUE(wake.Drain());
  EXPECT_FALSE(wake.Drain());
  EXPECT_FALSE(unconnected.Wait(0, &wake, nullptr).Woken);
}

}  // namespace
}  // namespace vd
