#pragma once

// The host's file system of this build: PosixFileSystem, or WindowsFileSystem
// on Windows.
#ifdef _WIN32
#include "platform/windows_file_system.h"
namespace vd {
using HostFileSystem = WindowsFileSystem;
}  // namespace vd
#else
#include "platform/posix_file_system.h"
namespace vd {
using HostFileSystem = PosixFileSystem;
}  // namespace vd
#endif
