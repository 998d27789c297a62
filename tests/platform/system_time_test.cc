#include "platform/system_time.h"

#include <gtest/gtest.h>

#include <memory>

namespace vd {
namespace {

// Setting the clock would change the machine, so only the wiring is checked:
// the production setter is usable wherever an ISystemTimeSetter is expected.
TEST(SystemTimeSetterTest, ServesAsTheSystemTimeSetterInterface) {
  std::unique_ptr<ISystemTimeSetter> setter = std::make_unique<SystemTimeSetter>();
  EXPECT_NE(setter, nullptr);
}

}  // namespace
}  // namespace vd
