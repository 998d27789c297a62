#include "platform/windows_file_system.h"

#include <windows.h>
// windows.h names DeleteFileA DeleteFile, which would rename IFileSystem's.
#undef DeleteFile

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/windows_error.h"
#include "platform/windows_text.h"

namespace vd {
namespace {

// Owns a file handle; Close reports a failure, the destructor closes silently.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }
  void Close(const std::string& path) {
    if (!CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE))) {
      throw LastWindowsError("close", path);
    }
  }

 private:
  HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

FileHandle Open(const std::string& path, DWORD access, DWORD disposition, const char* operation) {
  const HANDLE handle = CreateFileW(WideFromUtf8(path).c_str(), access, kShareAll, nullptr,
                                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw LastWindowsError(operation, path);
  return FileHandle(handle);
}

void WriteAll(HANDLE file, std::string_view data, const char* operation, const std::string& path) {
  while (!data.empty()) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(file, data.data(), piece, &written, nullptr)) {
      throw LastWindowsError(operation, path);
    }
    data.remove_prefix(written);
  }
}

int64_t UnixMsOf(const FILETIME& time) {
  const auto ticks =
      static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  constexpr int64_t kUnixEpochTicks = 116444736000000000;  // 100 ns steps since 1601
  return (ticks - kUnixEpochTicks) / 10000;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

FileInfo WindowsFileSystem::Stat(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(WideFromUtf8(path).c_str(), GetFileExInfoStandard, &data)) return {};
  FileInfo result;
  result.exists = true;
  result.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  result.read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  result.size =
      static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  result.modified_unix_ms = UnixMsOf(data.ftLastWriteTime);
  return result;
}

bool WindowsFileSystem::IsWritable(const std::string& path) {
  // Opening with the right to append (to add a file, for a directory) asks
  // the system the whole question: attribute, access list, share mode.
  const FileInfo info = Stat(path);
  if (!info.exists || (!info.is_directory && info.read_only)) return false;
  const HANDLE handle =
      CreateFileW(WideFromUtf8(path).c_str(), info.is_directory ? FILE_ADD_FILE : FILE_APPEND_DATA,
                  kShareAll, nullptr, OPEN_EXISTING,
                  info.is_directory ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

std::vector<std::string> WindowsFileSystem::ListDirectory(const std::string& dir) {
  std::string pattern = dir;
  if (pattern.empty() || !IsSeparator(pattern.back())) pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAW entry{};
  const HANDLE find = FindFirstFileExW(WideFromUtf8(pattern).c_str(), FindExInfoBasic, &entry,
                                       FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    // A directory that exists always lists "." and "..".
    throw LastWindowsError("list directory", dir);
  }
  std::vector<std::string> names;
  DWORD error = ERROR_NO_MORE_FILES;
  do {
    const std::wstring_view name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(Utf8FromWide(name));
    if (!FindNextFileW(find, &entry)) {
      error = GetLastError();
      break;
    }
  } while (true);
  FindClose(find);
  if (error != ERROR_NO_MORE_FILES) throw MakeWindowsError(error, "list directory", dir);
  return names;
}

void WindowsFileSystem::CreateDirectories(const std::string& dir) {
  // Creates every prefix that ends before a separator, then the whole path;
  // a drive ("C:") and the root need no creating.
  for (size_t end = 1; end <= dir.size(); ++end) {
    if (end < dir.size() && !IsSeparator(dir[end])) continue;
    const std::string prefix = dir.substr(0, end);
    if (prefix.empty() || IsSeparator(prefix.back()) || prefix.back() == ':') continue;
    if (CreateDirectoryW(WideFromUtf8(prefix).c_str(), nullptr)) continue;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS || !Stat(prefix).is_directory) {
      throw MakeWindowsError(error == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : error,
                             "create directory", prefix);
    }
  }
}

std::string WindowsFileSystem::ReadFile(const std::string& path, int64_t max_size) {
  // Windows refuses to open a directory as a file ("access denied"); say
  // what it is, as POSIX does.
  if (Stat(path).is_directory) throw MakeOSError(EISDIR, "read", path);
  FileHandle file = Open(path, GENERIC_READ, OPEN_EXISTING, "open");
  if (GetFileType(file.get()) != FILE_TYPE_DISK) throw MakeOSError(EINVAL, "read", path);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) throw LastWindowsError("read", path);
  if (size.QuadPart > max_size) throw MakeOSError(EFBIG, "read", path);
  std::string data(static_cast<size_t>(size.QuadPart), '\0');
  size_t filled = 0;
  // The file may grow while it is read: read on until the end, but never
  // beyond max_size.
  for (;;) {
    if (filled == data.size()) {
      if (static_cast<int64_t>(data.size()) >= max_size) {
        char probe = 0;
        DWORD more = 0;
        if (!::ReadFile(file.get(), &probe, 1, &more, nullptr))
          throw LastWindowsError("read", path);
        if (more > 0) throw MakeOSError(EFBIG, "read", path);
        return data;
      }
      data.resize(static_cast<size_t>(
          std::min<int64_t>(max_size, static_cast<int64_t>(data.size()) + 4096)));
    }
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(data.size() - filled, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(file.get(), data.data() + filled, piece, &got, nullptr)) {
      throw LastWindowsError("read", path);
    }
    if (got == 0) {
      data.resize(filled);
      return data;
    }
    filled += got;
  }
}

void WindowsFileSystem::WriteFile(const std::string& path, std::string_view data, bool sync) {
  FileHandle file = Open(path, GENERIC_WRITE, CREATE_ALWAYS, "create");
  WriteAll(file.get(), data, "write", path);
  if (sync && !FlushFileBuffers(file.get())) throw LastWindowsError("flush", path);
  file.Close(path);
}

int64_t WindowsFileSystem::AppendFile(const std::string& path, std::string_view data) {
  FileHandle file =
      Open(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, OPEN_ALWAYS, "open for append");
  WriteAll(file.get(), data, "append", path);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) throw LastWindowsError("append", path);
  file.Close(path);
  return static_cast<int64_t>(size.QuadPart);
}

void WindowsFileSystem::Rename(const std::string& from, const std::string& to, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!MoveFileExW(WideFromUtf8(from).c_str(), WideFromUtf8(to).c_str(), flags)) {
    throw LastWindowsError("rename", from + " to " + to);
  }
}

void WindowsFileSystem::DeleteFile(const std::string& path) {
  if (!::DeleteFileW(WideFromUtf8(path).c_str())) throw LastWindowsError("delete", path);
}

void WindowsFileSystem::SyncDirectory(const std::string& dir) {
  const DWORD attributes = GetFileAttributesW(WideFromUtf8(dir).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) throw LastWindowsError("open directory", dir);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    throw MakeWindowsError(ERROR_DIRECTORY, "open directory", dir);
  }
}

}  // namespace vd
