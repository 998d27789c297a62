#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/named_pipe_client.h"
#include "platform/wake_event.h"
#include "platform/windows_error.h"
#include "platform/windows_text.h"
#include "support/errors.h"

namespace vd {

struct TNamedPipeClient::TState {
  int IoTimeoutMs = kIoTimeoutMs;
  std::string Path;
  HANDLE Pipe = INVALID_HANDLE_VALUE;
  // The zero-byte read that waits for data, and whether it is outstanding.
  HANDLE WaitEvent = nullptr;
  OVERLAPPED WaitOverlapped{};
  bool ReadPending = false;
  // Signalled by each read and write when it completes.
  HANDLE IoEvent = nullptr;
  // What the last read took from the pipe and nobody has read yet.
  std::array<char, kReadSize> Buffer{};
  size_t BufferStart = 0;
  size_t BufferEnd = 0;
  char ZeroByteTarget = 0;

  size_t Buffered() const { return BufferEnd - BufferStart; }

  // Cancels the operation of overlapped (if it is still under way) and
  // waits until it is over; the bytes it moved.
  DWORD CancelAndFinish(OVERLAPPED& overlapped) const {
    CancelIoEx(Pipe, &overlapped);
    DWORD moved = 0;
    GetOverlappedResult(Pipe, &overlapped, &moved, TRUE);
    return moved;
  }

  // Starts the zero-byte read unless one is outstanding; true when it
  // completed at once (data is there).
  bool StartWaitRead() {
    if (ReadPending) return false;
    WaitOverlapped = OVERLAPPED{};
    WaitOverlapped.hEvent = WaitEvent;
    ResetEvent(WaitEvent);
    if (ReadFile(Pipe, &ZeroByteTarget, 0, nullptr, &WaitOverlapped)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA && error != ERROR_SUCCESS) {
      throw MakeWindowsError(error, "wait for data on", Path);
    }
    ReadPending = true;
    return false;
  }

  // The zero-byte read has completed: its result, raised when it failed.
  void FinishWaitRead() {
    ReadPending = false;
    DWORD moved = 0;
    if (!GetOverlappedResult(Pipe, &WaitOverlapped, &moved, FALSE)) {
      const DWORD error = GetLastError();
      if (error != ERROR_MORE_DATA) throw MakeWindowsError(error, "wait for data on", Path);
    }
  }

  // One overlapped read of what the pipe holds into the empty buffer;
  // called when the zero-byte read has seen data, so it completes at once
  // (a read that does not within the time-out is cancelled and raises).
  void Fill() {
    BufferStart = BufferEnd = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = IoEvent;
    ResetEvent(IoEvent);
    DWORD moved = 0;
    if (!ReadFile(Pipe, Buffer.data(), static_cast<DWORD>(Buffer.size()), nullptr, &overlapped)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
        throw MakeWindowsError(error, "read", Path);
      }
    }
    const DWORD waited = WaitForSingleObject(IoEvent, static_cast<DWORD>(IoTimeoutMs));
    if (waited == WAIT_OBJECT_0) {
      if (!GetOverlappedResult(Pipe, &overlapped, &moved, FALSE)) {
        const DWORD error = GetLastError();
        if (error != ERROR_MORE_DATA) throw MakeWindowsError(error, "read", Path);
      }
    } else {
      const DWORD error = waited == WAIT_FAILED ? GetLastError() : ERROR_SUCCESS;
      moved = CancelAndFinish(overlapped);
      if (moved == 0) {
        if (waited == WAIT_TIMEOUT) throw Exception("Read operation timeout!");
        throw MakeWindowsError(error, "wait for read on", Path);
      }
    }
    BufferEnd = moved;
  }
};

TNamedPipeClient::TNamedPipeClient(ISocketApi& /*socket_api*/, int io_timeout_ms)
    : state_(std::make_unique<TState>()) {
  state_->IoTimeoutMs = io_timeout_ms;
  state_->WaitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  state_->IoEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (state_->WaitEvent == nullptr || state_->IoEvent == nullptr) {
    const EOSError error = LastWindowsError("create pipe events");
    if (state_->WaitEvent != nullptr) CloseHandle(state_->WaitEvent);
    if (state_->IoEvent != nullptr) CloseHandle(state_->IoEvent);
    throw error;
  }
}

TNamedPipeClient::~TNamedPipeClient() {
  Close();
  CloseHandle(state_->WaitEvent);
  CloseHandle(state_->IoEvent);
}

void TNamedPipeClient::Open(const std::string& path) {
  Close();
  state_->Path = path;
  const HANDLE pipe = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) throw LastWindowsError("open", path);
  state_->Pipe = pipe;
}

bool TNamedPipeClient::Connected() const { return state_->Pipe != INVALID_HANDLE_VALUE; }

void TNamedPipeClient::Close() noexcept {
  TState& s = *state_;
  if (s.Pipe == INVALID_HANDLE_VALUE) return;
  if (s.ReadPending) s.CancelAndFinish(s.WaitOverlapped);
  s.ReadPending = false;
  CloseHandle(s.Pipe);
  s.Pipe = INVALID_HANDLE_VALUE;
  s.BufferStart = s.BufferEnd = 0;
}

size_t TNamedPipeClient::Send(std::string_view bytes, int timeout_ms) {
  TState& s = *state_;
  if (s.Pipe == INVALID_HANDLE_VALUE) throw MakeWindowsError(ERROR_PIPE_NOT_CONNECTED, "write");
  if (bytes.empty()) return 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = s.IoEvent;
  ResetEvent(s.IoEvent);
  const auto size = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
  DWORD moved = 0;
  if (!WriteFile(s.Pipe, bytes.data(), size, nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    throw LastWindowsError("write", s.Path);
  }
  const DWORD waited = WaitForSingleObject(s.IoEvent, static_cast<DWORD>(std::max(timeout_ms, 0)));
  if (waited == WAIT_OBJECT_0) {
    if (!GetOverlappedResult(s.Pipe, &overlapped, &moved, FALSE)) {
      throw LastWindowsError("write", s.Path);
    }
    return moved;
  }
  const DWORD error = waited == WAIT_FAILED ? GetLastError() : ERROR_SUCCESS;
  moved = s.CancelAndFinish(overlapped);
  if (waited == WAIT_FAILED) throw MakeWindowsError(error, "wait for write on", s.Path);
  return moved;  // timed out: what went before the cancellation
}

TStreamWait TNamedPipeClient::Wait(int timeout_ms, const TWakeEvent* wake,
                                   const TWakeEvent* wake2) {
  TState& s = *state_;
  TStreamWait result;
  std::array<HANDLE, 3> handles{};
  DWORD count = 0;
  const bool connected = s.Pipe != INVALID_HANDLE_VALUE;
  if (connected) {
    if (s.Buffered() > 0) {
      result.Readable = true;
      timeout_ms = 0;  // only to see the wake events
    } else if (s.StartWaitRead()) {
      s.Fill();
      result.Readable = s.Buffered() > 0;
      timeout_ms = 0;
    }
    if (!result.Readable) handles[count++] = s.WaitEvent;
  }
  if (wake != nullptr) handles[count++] = wake->WaitHandle();
  if (wake2 != nullptr) handles[count++] = wake2->WaitHandle();
  const auto timeout = static_cast<DWORD>(std::max(timeout_ms, 0));
  if (count == 0) {
    if (timeout > 0) Sleep(timeout);
    return result;
  }
  const DWORD waited = WaitForMultipleObjects(count, handles.data(), FALSE, timeout);
  if (waited == WAIT_FAILED) {
    const DWORD error = GetLastError();
    if (s.ReadPending) {
      s.CancelAndFinish(s.WaitOverlapped);
      s.ReadPending = false;
    }
    throw MakeWindowsError(error, "wait for data on", s.Path);
  }
  if (connected && !result.Readable && WaitForSingleObject(s.WaitEvent, 0) == WAIT_OBJECT_0) {
    s.FinishWaitRead();
    s.Fill();
    result.Readable = s.Buffered() > 0;
  }
  result.Woken = (wake != nullptr && WaitForSingleObject(wake->WaitHandle(), 0) == WAIT_OBJECT_0) ||
                 (wake2 != nullptr && WaitForSingleObject(wake2->WaitHandle(), 0) == WAIT_OBJECT_0);
  return result;
}

size_t TNamedPipeClient::Available() {
  if (state_->Pipe == INVALID_HANDLE_VALUE) return 0;
  if (state_->Buffered() == 0) Wait(0, nullptr, nullptr);
  return state_->Buffered();
}

size_t TNamedPipeClient::ReadSome(char* data, size_t size) {
  TState& s = *state_;
  if (s.Pipe == INVALID_HANDLE_VALUE || size == 0) return 0;
  if (s.Buffered() == 0) Wait(0, nullptr, nullptr);
  const size_t n = std::min(size, s.Buffered());
  std::memcpy(data, s.Buffer.data() + s.BufferStart, n);
  s.BufferStart += n;
  return n;
}

std::string KernelPipePath(const std::string& /*pipe_directory*/, const std::string& name) {
  return "\\\\.\\pipe\\" + name;
}

}  // namespace vd
