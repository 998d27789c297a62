#pragma once

#include <string>

namespace vd {

// Facts about the host and the running program. Safe to call from any thread.

// The host's own IPv4 address in dotted form (for example "192.168.1.20"):
// the first IPv4 address its name resolves to. Empty when the host name or
// its address cannot be found; "127.0.0.1" when the lookup fails otherwise.
// Never raises.
std::string GetLocalIP();

// The full path of the running executable. Raises EOSError when it cannot be
// read.
std::string ExecutablePath();

// The directory of the running executable, ending with "/" (on Windows too,
// where the paths of the driver are written with "/"). Raises EOSError
// when it cannot be read.
std::string ExecutableDirectory();

}  // namespace vd
