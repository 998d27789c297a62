#pragma once

#include <cstdint>
#include <string>

namespace vd {

// One Kernel server as the configuration names it ("Kernel1", "Kernel2", ...
// of the shared key): the link tries the endpoints in the order read.
struct KernelEndpoint {
  std::string Name;
  std::string IP;
  int32_t Port = 0;
};

}  // namespace vd
