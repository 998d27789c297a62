#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/driver_settings.h"
#include "config/kernel_endpoint.h"
#include "support/errors.h"

namespace vd {

class IClock;
class IFileSystem;
class ISettingsSource;

// Registry keys the driver reads, relative to the machine hive.
inline constexpr char kSharedKeyPath[] = "Software\\Lirra!\\Drivers";
inline constexpr char kDriverKeyPath[] = "Software\\Lirra!\\Drivers\\VolterDirectDriver";

// Why this process could not write to the directory dir or create it (with
// its missing parents), judged without creating anything: a file standing in
// its place or in the place of a parent raises ENOTDIR; a missing dir whose
// nearest existing parent this process may not write gives EACCES naming the
// first directory that would be created; an existing dir it may not write
// gives EACCES. The messages are those PosixFileSystem::CreateDirectories
// raises for the same cause. nullopt when dir is writable or can be made.
std::optional<EOSError> DirectoryWriteError(IFileSystem& fs, const std::string& dir);

// A dotted-quad IPv4 address: four decimal parts of at most three digits,
// each 0 to 255.
bool IsIPv4Address(std::string_view text);

// The warning for a registry file that every local user may read (its mode,
// through fs) while it holds a Password or SecurityKey: "registry file
// <path>: readable by every local user while it holds the Password ...".
// nullopt when the file is not so readable, holds neither, or the settings
// come from no file (the system's registry).
std::optional<std::string> ExposedSecretsWarning(const ISettingsSource& registry,
                                                 const DriverSettings& settings, IFileSystem& fs);

// Whether ReadConfiguration creates the Path directory when it is missing: a
// start does, the configuration check (--check-config) must not.
enum class PathCreation { kCreate, kLeave };

// Reads the driver's configuration once at start, before any shared object
// exists, on the thread that runs the start sequence:
// - the shared key (mandatory): Path, SecurityEnabled, SecurityKey,
//   FrameIVSeed, and Kernel1, Kernel2, ... (each "Name=..;IP=..;Port=..")
//   appended to kernel_endpoints up to the first missing number;
// - the driver key (optional): UseNamedPipeConnection, Name, Password,
//   LogSave, LogPath, FlushCacheWrites, PipeDirectory, MetricsAddress, and the
//   sub-keys Port1, Port2, ... up to the first missing one, each active one
//   becoming a PortEntry with a new flood control on clock;
// then, with PathCreation::kCreate, Path is created through fs when missing
// (a failure is left to the start's creation of the cache directory to
// report); with PathCreation::kLeave nothing is created, but a cache
// directory that the start could not create raises DirectoryWriteError's
// error, as the start would.
//
// Fields the registry does not give keep what SetDefaults put there; an empty
// "Path" or "LogPath" means executable_directory. Directory fields end with
// "/". Texts stay UTF-8 as the source gives them, except the two whose bytes
// the other side compares: SecurityKey (the cipher key the Kernel holds) and
// each port's DriverPassword (what transmitters send), which become
// Windows-1250 bytes.
//
// Raises on the first failure, leaving what was read before it in settings:
// Exception "Registry key: HKEY_LOCAL_MACHINE\Software\Lirra!\Drivers does not
// exist!"; ERegistryException "Failed to get data for '<value>'" (a number of
// an active port, or IsActive, missing), "Invalid data type for '<value>'" or
// "Invalid value for '<value>': ..." (FrameIVSeed, SignalBufferCapacity,
// MetricsAddress; a port's "Port", or with the TCP link a Kernel port,
// outside 1 to 65535; two
// active ports on one TCP port; MetricsAddress on a port's TCP port);
// EConvertError for a Kernel port that is not an integer; EAbort "Operation
// aborted" for a port key that exists but cannot be opened.
//
// clock must outlive the flood controls created.
void ReadConfiguration(const ISettingsSource& registry, IFileSystem& fs, const IClock& clock,
                       const std::string& executable_directory, DriverSettings& settings,
                       std::vector<KernelEndpoint>& kernel_endpoints,
                       PathCreation path_creation = PathCreation::kCreate);

}  // namespace vd
