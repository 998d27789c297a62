#include "platform/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "support/errors.h"

namespace vd {
namespace {

template <typename Call>
auto RetryOnInterrupt(Call call) {
  auto result = call();
  while (result == -1 && errno == EINTR) result = call();
  return result;
}

int CloseDirectory(DIR* stream) { return ::closedir(stream); }

// Owns an open handle (a descriptor, a directory stream). Close reports an
// error (a delayed write error shows up there on some file systems); the
// destructor closes silently.
template <typename Handle, int (*CloseHandle)(Handle), Handle kNone>
class Owned {
 public:
  Owned(Handle handle) : handle_(handle) {}  // NOLINT
  Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned& operator=(Owned&&) = delete;
  ~Owned() {
    if (handle_ != kNone) CloseHandle(handle_);
  }

  Handle get() const { return handle_; }

  // Returns 0 or the errno of the failed close. EINTR still closes on Linux.
  int Close() {
    const Handle handle = std::exchange(handle_, kNone);
    if (CloseHandle(handle) == 0 || errno == EINTR) return 0;
    return errno;
  }

 private:
  Handle handle_;
};

using Descriptor = Owned<int, ::close, -1>;
using DirectoryStream = Owned<DIR*, CloseDirectory, nullptr>;

// O_NONBLOCK: a FIFO or device planted under a file's name must fail, not
// block the caller for ever; on regular files and directories it changes
// nothing.
int OpenFile(const std::string& path, int flags, const char* operation) {
  const int fd =
      RetryOnInterrupt([&] { return ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666); });
  if (fd < 0) throw MakeOSError(errno, operation, path);
  return fd;
}

void WriteAll(int fd, std::string_view data, const char* operation, const std::string& path) {
  while (!data.empty()) {
    const ssize_t written = RetryOnInterrupt([&] { return ::write(fd, data.data(), data.size()); });
    if (written < 0) throw MakeOSError(errno, operation, path);
    data.remove_prefix(static_cast<size_t>(written));
  }
}

void SyncDescriptor(int fd, const char* operation, const std::string& path) {
  if (RetryOnInterrupt([&] { return ::fsync(fd); }) != 0) {
    throw MakeOSError(errno, operation, path);
  }
}

void CloseChecked(Descriptor& fd, const char* operation, const std::string& path) {
  if (const int error = fd.Close(); error != 0) throw MakeOSError(error, operation, path);
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

FileInfo PosixFileSystem::Stat(const std::string& path) {
  struct stat info {};
  if (RetryOnInterrupt([&] { return ::stat(path.c_str(), &info); }) != 0) return {};
  FileInfo result;
  result.exists = true;
  result.is_directory = S_ISDIR(info.st_mode);
  result.read_only = (info.st_mode & S_IWUSR) == 0;
  result.readable_by_others = (info.st_mode & S_IROTH) != 0;
  result.size = static_cast<int64_t>(info.st_size);
  result.modified_unix_ms =
      static_cast<int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
  return result;
}

bool PosixFileSystem::IsWritable(const std::string& path) {
  // The effective user and groups decide, as they do for open and mkdir.
  return RetryOnInterrupt([&] { return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS); }) ==
         0;
}

std::vector<std::string> PosixFileSystem::ListDirectory(const std::string& dir) {
  // Owned, so that a name that cannot be stored (out of memory) does not
  // leak the stream.
  DirectoryStream stream = ::opendir(dir.c_str());
  if (stream.get() == nullptr) throw MakeOSError(errno, "list directory", dir);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) throw MakeOSError(errno, "list directory", dir);
      return names;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
}

void PosixFileSystem::CreateDirectories(const std::string& dir) {
  // Creates every prefix that ends before a "/", then the whole path.
  for (size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
    const std::string prefix = dir.substr(0, end);
    if (!prefix.empty() && prefix.back() != '/') {
      if (RetryOnInterrupt([&] { return ::mkdir(prefix.c_str(), 0777); }) != 0) {
        const int error = errno;
        if (error != EEXIST || !IsDirectory(prefix)) {
          throw MakeOSError(error == EEXIST ? ENOTDIR : error, "create directory", prefix);
        }
      }
    }
    if (end == std::string::npos) return;
  }
}

std::string PosixFileSystem::ReadFile(const std::string& path, int64_t max_size) {
  Descriptor fd = OpenFile(path, O_RDONLY, "open");
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw MakeOSError(errno, "read", path);
  if (!S_ISREG(info.st_mode)) {
    throw MakeOSError(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, "read", path);
  }
  if (info.st_size > max_size) throw MakeOSError(EFBIG, "read", path);
  std::string data;
  data.resize(static_cast<size_t>(info.st_size));
  size_t filled = 0;
  // The file may grow while it is read: read on until the end, but never
  // beyond max_size.
  for (;;) {
    if (filled == data.size()) {
      if (static_cast<int64_t>(data.size()) >= max_size) {
        char probe = 0;
        const ssize_t more = RetryOnInterrupt([&] { return ::read(fd.get(), &probe, 1); });
        if (more < 0) throw MakeOSError(errno, "read", path);
        if (more > 0) throw MakeOSError(EFBIG, "read", path);
        return data;
      }
      data.resize(static_cast<size_t>(
          std::min<int64_t>(max_size, static_cast<int64_t>(data.size()) + 4096)));
    }
    const ssize_t got = RetryOnInterrupt(
        [&] { return ::read(fd.get(), data.data() + filled, data.size() - filled); });
    if (got < 0) throw MakeOSError(errno, "read", path);
    if (got == 0) {
      data.resize(filled);
      return data;
    }
    filled += static_cast<size_t>(got);
  }
}

void PosixFileSystem::WriteFile(const std::string& path, std::string_view data, bool sync) {
  Descriptor fd = OpenFile(path, O_WRONLY | O_CREAT | O_TRUNC, "create");
  WriteAll(fd.get(), data, "write", path);
  if (sync) SyncDescriptor(fd.get(), "flush", path);
  CloseChecked(fd, "close", path);
}

int64_t PosixFileSystem::AppendFile(const std::string& path, std::string_view data) {
  Descriptor fd = OpenFile(path, O_WRONLY | O_CREAT | O_APPEND, "open for append");
  WriteAll(fd.get(), data, "append", path);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) throw MakeOSError(errno, "append", path);
  CloseChecked(fd, "close", path);
  return static_cast<int64_t>(info.st_size);
}

void PosixFileSystem::Rename(const std::string& from, const std::string& to, bool replace) {
  if (replace) {
    if (RetryOnInterrupt([&] { return ::rename(from.c_str(), to.c_str()); }) != 0) {
      throw MakeOSError(errno, "rename", from + " to " + to);
    }
    return;
  }
  if (RetryOnInterrupt([&] {
        return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
      }) == 0) {
    return;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    throw MakeOSError(errno, "rename", from + " to " + to);
  }
  // No RENAME_NOREPLACE on this file system: link refuses an existing target
  // just as atomically.
  if (RetryOnInterrupt([&] { return ::link(from.c_str(), to.c_str()); }) != 0) {
    throw MakeOSError(errno, "rename", from + " to " + to);
  }
  if (RetryOnInterrupt([&] { return ::unlink(from.c_str()); }) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    throw MakeOSError(error, "rename", from + " to " + to);
  }
}

void PosixFileSystem::DeleteFile(const std::string& path) {
  if (RetryOnInterrupt([&] { return ::unlink(path.c_str()); }) != 0) {
    throw MakeOSError(errno, "delete", path);
  }
}

void PosixFileSystem::SyncDirectory(const std::string& dir) {
  Descriptor fd = OpenFile(dir, O_RDONLY | O_DIRECTORY, "open directory");
  // Some file systems (network and FUSE mounts) cannot flush a directory at
  // all; their entries are as durable as they get, so that is no failure.
  if (RetryOnInterrupt([&] { return ::fsync(fd.get()); }) != 0 && errno != EINVAL &&
      errno != EOPNOTSUPP) {
    throw MakeOSError(errno, "flush directory", dir);
  }
  CloseChecked(fd, "close", dir);
}

}  // namespace vd
