#pragma once

#include <string>

#include "support/errors.h"

namespace vd {

// Builds the EOSError for a failed Windows call: "<operation> <path>:
// <system text> (Windows error N)". Its ErrorCode is the errno value nearest
// to the Windows error (ENOENT for a missing file or path, EACCES, ENOSPC,
// EEXIST, EMFILE ...; EIO for the rest), so the portable code's checks mean
// the same on both platforms. The one place where a Windows error code
// becomes an error.
EOSError MakeWindowsError(unsigned long windows_error, const std::string& operation,
                          const std::string& path = {});

// MakeWindowsError of GetLastError().
EOSError LastWindowsError(const std::string& operation, const std::string& path = {});

// The errno value MakeWindowsError gives a Windows error code.
int ErrnoOfWindowsError(unsigned long windows_error);

}  // namespace vd
