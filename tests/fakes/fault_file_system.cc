#include "fakes/fault_file_system.h"

#include "support/errors.h"

namespace vd {
namespace {

constexpr int64_t kAdoptReadLimit = int64_t{1} << 30;

// "/a//b/" -> "/a/b": one spelling per path so that the model's keys match.
std::string Normalize(const std::string& path) {
  std::string result;
  result.reserve(path.size());
  for (const char c : path) {
    if (c == '/' && !result.empty() && result.back() == '/') continue;
    result += c;
  }
  if (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

std::string ParentOf(const std::string& normalized_path) {
  const size_t slash = normalized_path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return normalized_path.substr(0, slash);
}

size_t Index(FaultFileSystem::Operation op) { return static_cast<size_t>(op); }

using Operation = FaultFileSystem::Operation;

}  // namespace

FaultFileSystem::FaultFileSystem(IFileSystem& target) : target_(target) {}

int FaultFileSystem::CountAndCheck(Operation op, bool switch_on, int switch_code) {
  ++calls_[Index(op)];
  PendingFailure& pending = pending_[Index(op)];
  if (pending.remaining > 0 && --pending.remaining == 0) return pending.error_code;
  return switch_on ? switch_code : 0;
}

void FaultFileSystem::CountAndMaybeThrow(Operation op, bool switch_on, int switch_code,
                                         const char* what, const std::string& path) {
  if (const int error = CountAndCheck(op, switch_on, switch_code)) {
    throw MakeOSError(error, what, path);
  }
}

int FaultFileSystem::NewInode(std::optional<std::string> synced_data) {
  const int id = next_inode_++;
  inodes_[id] = std::move(synced_data);
  return id;
}

bool FaultFileSystem::Adopt(const std::string& path) {
  if (durable_.count(path) != 0) return true;
  const FileInfo info = target_.Stat(path);
  if (info.is_directory) return false;
  if (info.exists) {
    std::string data;
    try {
      data = target_.ReadFile(path, kAdoptReadLimit);
    } catch (const EOSError&) {
      return false;  // unreadable: left out of the model
    }
    const int id = NewInode(std::move(data));
    current_[path] = id;
    durable_[path] = id;
  } else {
    durable_[path] = std::nullopt;
  }
  return true;
}

FileInfo FaultFileSystem::Stat(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  CountAndCheck(Operation::kStat, false, 0);
  return target_.Stat(path);
}

bool FaultFileSystem::IsWritable(const std::string& path) {
  try {
    Hook(Operation::kIsWritable, path);
  } catch (const EOSError&) {
    return false;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  return CountAndCheck(Operation::kIsWritable, false, 0) == 0 && target_.IsWritable(path);
}

std::vector<std::string> FaultFileSystem::ListDirectory(const std::string& dir) {
  Hook(Operation::kListDirectory, dir);
  std::lock_guard<std::mutex> guard(mutex_);
  CountAndMaybeThrow(Operation::kListDirectory, false, EIO, "list directory", dir);
  return target_.ListDirectory(dir);
}

void FaultFileSystem::CreateDirectories(const std::string& dir) {
  Hook(Operation::kCreateDirectories, dir);
  std::lock_guard<std::mutex> guard(mutex_);
  CountAndMaybeThrow(Operation::kCreateDirectories, false, EIO, "create directory", dir);
  target_.CreateDirectories(dir);
}

std::string FaultFileSystem::ReadFile(const std::string& path, int64_t max_size) {
  Hook(Operation::kReadFile, path);
  std::lock_guard<std::mutex> guard(mutex_);
  CountAndMaybeThrow(Operation::kReadFile, false, EIO, "read", path);
  return target_.ReadFile(path, max_size);
}

void FaultFileSystem::WriteFile(const std::string& path, std::string_view data, bool sync) {
  Hook(Operation::kWriteFile, path);
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string key = Normalize(path);
  const bool modelled = Adopt(key);
  const bool no_space_now = no_space;
  int error =
      CountAndCheck(Operation::kWriteFile, no_space_now || fail_write, no_space_now ? ENOSPC : EIO);
  const bool flush_fails = error == 0 && sync && fail_flush;
  const std::string_view written = error != 0 ? data.substr(0, data.size() / 2) : data;
  target_.WriteFile(path, written, sync && error == 0 && !flush_fails);
  if (modelled) {
    auto it = current_.find(key);
    const int id = it != current_.end() ? it->second : NewInode(std::nullopt);
    current_[key] = id;
    if (sync && error == 0 && !flush_fails) inodes_[id] = std::string(data);
  }
  if (error != 0) throw MakeOSError(error, "write", path);
  if (flush_fails) throw MakeOSError(EIO, "flush", path);
}

int64_t FaultFileSystem::AppendFile(const std::string& path, std::string_view data) {
  Hook(Operation::kAppendFile, path);
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string key = Normalize(path);
  const bool modelled = Adopt(key);
  const bool no_space_now = no_space;
  CountAndMaybeThrow(Operation::kAppendFile, no_space_now || fail_write,
                     no_space_now ? ENOSPC : EIO, "append", path);
  const int64_t size = target_.AppendFile(path, data);
  if (modelled && current_.count(key) == 0) current_[key] = NewInode(std::nullopt);
  return size;
}

void FaultFileSystem::Rename(const std::string& from, const std::string& to, bool replace) {
  Hook(Operation::kRename, from);
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string from_key = Normalize(from);
  const std::string to_key = Normalize(to);
  const bool modelled = Adopt(from_key) && Adopt(to_key);
  CountAndMaybeThrow(Operation::kRename, fail_rename, EIO, "rename", from + " to " + to);
  target_.Rename(from, to, replace);
  if (!modelled || from_key == to_key) return;
  const auto it = current_.find(from_key);
  if (it == current_.end()) return;
  current_[to_key] = it->second;
  current_.erase(from_key);
}

void FaultFileSystem::DeleteFile(const std::string& path) {
  Hook(Operation::kDeleteFile, path);
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string key = Normalize(path);
  const bool modelled = Adopt(key);
  CountAndMaybeThrow(Operation::kDeleteFile, false, EIO, "delete", path);
  target_.DeleteFile(path);
  if (modelled) current_.erase(key);
}

void FaultFileSystem::SyncDirectory(const std::string& dir) {
  Hook(Operation::kSyncDirectory, dir);
  std::lock_guard<std::mutex> guard(mutex_);
  CountAndMaybeThrow(Operation::kSyncDirectory, fail_flush, EIO, "flush directory", dir);
  target_.SyncDirectory(dir);
  const std::string key = Normalize(dir);
  for (auto& [path, durable] : durable_) {
    if (ParentOf(path) != key) continue;
    const auto it = current_.find(path);
    durable = it != current_.end() ? std::optional<int>(it->second) : std::nullopt;
  }
}

void FaultFileSystem::Hook(Operation op, const std::string& path) {
  if (!on_call) return;
  if (const int error = on_call(op, path)) {
    ++calls_[Index(op)];
    throw MakeOSError(error, "injected failure of", path);
  }
}

void FaultFileSystem::FailNext(Operation op, int nth, int error_code) {
  std::lock_guard<std::mutex> guard(mutex_);
  pending_[Index(op)] = PendingFailure{nth, error_code};
}

int FaultFileSystem::Calls(Operation op) const { return calls_[Index(op)].load(); }

void FaultFileSystem::SimulatePowerCut() {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& [path, durable] : durable_) {
    if (!durable) {
      if (target_.Stat(path).exists) target_.DeleteFile(path);
      continue;
    }
    const std::optional<std::string>& data = inodes_[*durable];
    target_.CreateDirectories(ParentOf(path));
    target_.WriteFile(path, data ? *data : std::string(), true);
  }
  durable_.clear();
  current_.clear();
  inodes_.clear();
}

}  // namespace vd
