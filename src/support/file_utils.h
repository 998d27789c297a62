#pragma once

#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace vd {

class IClock;
class IFileSystem;
class ILogWriter;

// Up to and including the last "/" of path; empty when there is none.
std::string DirectoryOf(std::string_view path);
// What follows the last "/" of path (all of it when there is none).
std::string FileNameOf(std::string_view path);
// dir with a "/" at its end (an empty dir becomes "/").
std::string IncludeTrailingSlash(std::string dir);

// A free file name in dir (which ends with "/"): six upper-case hexadecimal
// digits of the millisecond tick count modulo 1000000, two of a pseudo-random
// number 0-254, then the extension (a "." is put in front when missing).
// The name is only checked, not created: callers serialise choosing a name
// and creating the file within one directory.
std::string UniqueFileName(IFileSystem& fs, const IClock& clock, const std::string& dir,
                           std::string extension);

// Whether name matches the wildcard mask ("*" any run, "?" one character),
// without regard to letter case: "x.SIG" matches "*.sig".
bool MatchesMask(std::string_view name, std::string_view mask);

// Calls found(dir, name) for every entry of dir (files and directories alike,
// subdirectories not entered) whose name matches mask, in the order the system
// lists them; returns how many matched. Raises EOSError when dir cannot be
// listed.
int FindFiles(IFileSystem& fs, const std::string& dir, std::string_view mask,
              const std::function<void(const std::string& dir, const std::string& name)>& found);

// Moves an existing file to its path followed by ".error"; false when the
// file does not exist or the move fails (also when the target exists).
bool RenameToError(IFileSystem& fs, const std::string& path);

// The name a file is written under before it is renamed to path; it never
// matches the masks the buffers load ("*.sig", "*.que").
std::string TemporaryFileName(const std::string& path);

// Writes data to path so that a crash or power loss never leaves a partial
// file under that name: the data goes to TemporaryFileName(path), is flushed,
// renamed to path and the directory is flushed. With flush false both flushes
// are left out. Raises EOSError on any failure (the temporary file is removed
// then, as far as possible).
void WriteFileDurably(IFileSystem& fs, const std::string& path, std::string_view data, bool flush);

// WriteFileDurably for a file that is new: when the call raises, nothing is
// left under path either (the failure may come after the rename, while the
// directory is flushed), so a write reported as failed never comes back at
// the next start.
void WriteNewFileDurably(IFileSystem& fs, const std::string& path, std::string_view data,
                         bool flush);

// Whether a failure to read a cache file may pass by itself (no file handles
// or memory left, an I/O error).
bool IsTransientFileError(const std::exception& error);

// Attempts of RetryTransient.
inline constexpr int kCacheLoadAttempts = 3;

// Calls load; a failure IsTransientFileError judges transient is tried again,
// kCacheLoadAttempts times in all, without waiting. The last failure is
// raised.
void RetryTransient(const std::function<void()>& load);

// Renames a cache file that cannot be loaded to its name followed by ".error"
// (RenameToError), with one log line naming it and why: "Unreadable <kind>
// file set aside as <path>.error: <why>", or "Cannot set aside unreadable
// <kind> file: <path>" when the rename fails.
void SetAsideUnreadableFile(IFileSystem& fs, ILogWriter& log, std::string_view kind,
                            const std::string& path, std::string_view why);

// Creates dir again when it has gone (removed while the driver runs), with
// the log line "Cache directory recreated: <dir>"; true when it did. A path
// that exists (also as a file) is left alone. Never raises.
bool RecreateMissingDirectory(IFileSystem& fs, ILogWriter& log, const std::string& dir) noexcept;

// Deletes the temporary files that interrupted WriteFileDurably calls left in
// dir for files matching mask (for "*.sig": the temporary names of ".sig"
// files), with one log line per file. Directories are left alone. Raises
// EOSError when dir cannot be listed.
void RemoveUnfinishedFiles(IFileSystem& fs, ILogWriter& log, const std::string& dir,
                           std::string_view mask);

}  // namespace vd
