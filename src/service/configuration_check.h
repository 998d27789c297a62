#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "config/driver_settings.h"
#include "config/kernel_endpoint.h"
#include "service/driver_service.h"

namespace vd {

class IClock;
class IFileSystem;
class ISettingsSource;

// The effective settings as an operator reads them: every value of the
// driver and shared keys, the cache and log directories, the Kernel endpoints
// and the active ports. Passwords and keys show only whether they are set.
std::string ConfigurationReport(const DriverSettings& settings,
                                const std::vector<KernelEndpoint>& kernel_endpoints);

// The settings a start accepts but that are very likely wrong, one text per
// setting naming the key, the value and why: no Kernel endpoint for the TCP
// link, Path not given (the cache falls back to the executable's directory:
// both are what a misspelt shared key gives), a Kernel "IP" that is neither an
// IPv4 address nor a host name (both for the TCP link only), SecurityEnabled with an empty
// SecurityKey, a known placeholder as Password or SecurityKey, LogPath (with LogSave) or the cache
// directory not writable by this process's user, and ExposedSecretsWarning. registry is the store
// settings were read from.
std::vector<std::string> ConfigurationWarnings(const ISettingsSource& registry,
                                               const DriverSettings& settings,
                                               const std::vector<KernelEndpoint>& kernel_endpoints,
                                               IFileSystem& fs);

// What CheckConfiguration returns.
inline constexpr int kCheckClean = 0;
inline constexpr int kCheckStartFails = 1;
inline constexpr int kCheckWarnings = 3;

// VolterDirectDrv --check-config: reads the configuration exactly as a start
// does (defaults, then ReadConfiguration on what open_registry gives) but
// creates no directory, opens no port, starts no thread and connects
// nowhere. Prints ConfigurationReport on out, then each of
// ConfigurationWarnings on err as "warning: <text>", and returns kCheckClean
// or, with warnings, kCheckWarnings. On an error prints the text of the
// failed start ("Error while starting: <kind> - <message>") on err and
// returns kCheckStartFails.
int CheckConfiguration(const RegistryOpener& open_registry, IFileSystem& fs, const IClock& clock,
                       const std::string& executable_directory, const std::string& local_ip,
                       std::ostream& out, std::ostream& err);

}  // namespace vd
