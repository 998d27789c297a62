#include "platform/windows_pipe_relay.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>
#include <memory>
#include <utility>

#include "platform/socket_api.h"
#include "platform/windows_error.h"
#include "platform/windows_text.h"
#include "support/errors.h"

namespace vd {
namespace {

// Large enough for any burst a test sends in one go.
constexpr DWORD kPipeBufferSize = 1u << 20;
constexpr int kPollMs = 10;
constexpr DWORD kWriteTimeoutMs = 5000;
constexpr size_t kPieceSize = 64 * 1024;

HANDLE CreateInstance(const std::string& path, bool first) {
  const HANDLE pipe = CreateNamedPipeW(
      WideFromUtf8(path).c_str(),
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, kPipeBufferSize,
      kPipeBufferSize, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) throw LastWindowsError("create pipe", path);
  return pipe;
}

// Cancels the operation of overlapped on handle if it is under way and waits
// until it is over.
void Finish(HANDLE handle, OVERLAPPED& overlapped) {
  CancelIoEx(handle, &overlapped);
  DWORD moved = 0;
  GetOverlappedResult(handle, &overlapped, &moved, TRUE);
}

// The instance waiting for a client, with its overlapped ConnectNamedPipe.
class TListener {
 public:
  TListener(std::string path, HANDLE first) : path_(std::move(path)), pipe_(first) {
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Start();
  }
  ~TListener() {
    if (pipe_ != INVALID_HANDLE_VALUE) {
      if (pending_) Finish(pipe_, overlapped_);
      CloseHandle(pipe_);
    }
    CloseHandle(event_);
  }
  TListener(const TListener&) = delete;
  TListener& operator=(const TListener&) = delete;

  // Waits up to timeout_ms for a client; its instance, or
  // INVALID_HANDLE_VALUE. A new instance waits for the next one.
  HANDLE Accept(DWORD timeout_ms) {
    if (pending_ && WaitForSingleObject(event_, timeout_ms) != WAIT_OBJECT_0) {
      return INVALID_HANDLE_VALUE;
    }
    if (pending_) {
      DWORD unused = 0;
      pending_ = false;
      if (!GetOverlappedResult(pipe_, &overlapped_, &unused, FALSE)) {
        // The client came and went: the instance is useless; a new one waits.
        CloseHandle(pipe_);
        pipe_ = CreateInstance(path_, false);
        Start();
        return INVALID_HANDLE_VALUE;
      }
    }
    const HANDLE client = pipe_;
    pipe_ = CreateInstance(path_, false);
    Start();
    return client;
  }

 private:
  void Start() {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_;
    ResetEvent(event_);
    pending_ = false;
    if (ConnectNamedPipe(pipe_, &overlapped_)) return;  // connected already
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) pending_ = true;
    // ERROR_PIPE_CONNECTED: a client came between create and connect.
  }

  const std::string path_;
  HANDLE pipe_;
  HANDLE event_ = nullptr;
  OVERLAPPED overlapped_{};
  bool pending_ = false;
};

// One relayed client: its pipe instance and its TCP connection.
class TRelayedClient {
 public:
  TRelayedClient(HANDLE pipe, SOCKET socket) : pipe_(pipe), socket_(socket) {
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    write_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~TRelayedClient() {
    if (read_pending_) Finish(pipe_, read_overlapped_);
    closesocket(socket_);
    // Closed without DisconnectNamedPipe: the client still reads what was
    // written before it sees the broken pipe.
    CloseHandle(pipe_);
    CloseHandle(event_);
    CloseHandle(write_event_);
  }
  TRelayedClient(const TRelayedClient&) = delete;
  TRelayedClient& operator=(const TRelayedClient&) = delete;

  // One pass each way; false when the connection is over.
  bool Pump() {
    if (!PipeToSocket()) return false;
    return SocketToPipe();
  }

 private:
  bool PipeToSocket() {
    for (int pass = 0; pass < 64; ++pass) {
      if (!read_pending_) {
        read_overlapped_ = OVERLAPPED{};
        read_overlapped_.hEvent = event_;
        ResetEvent(event_);
        if (!ReadFile(pipe_, from_pipe_.data(), static_cast<DWORD>(from_pipe_.size()), nullptr,
                      &read_overlapped_) &&
            GetLastError() != ERROR_IO_PENDING) {
          return ClientGone();
        }
        read_pending_ = true;
      }
      if (WaitForSingleObject(event_, 0) != WAIT_OBJECT_0) return true;
      read_pending_ = false;
      DWORD moved = 0;
      if (!GetOverlappedResult(pipe_, &read_overlapped_, &moved, FALSE)) return ClientGone();
      if (!SendAll(from_pipe_.data(), moved)) return false;
    }
    return true;
  }

  // The client has closed: everything it wrote went on; the TCP peer sees
  // the end of the stream.
  bool ClientGone() {
    shutdown(socket_, SD_SEND);
    return false;
  }

  bool SendAll(const char* data, DWORD size) {
    DWORD sent = 0;
    for (int pass = 0; sent < size && pass < 100000; ++pass) {
      const int n = send(socket_, data + sent, static_cast<int>(size - sent), 0);
      if (n > 0) {
        sent += static_cast<DWORD>(n);
        continue;
      }
      if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        WSAPOLLFD entry{socket_, POLLOUT, 0};
        WSAPoll(&entry, 1, kPollMs);
        continue;
      }
      return false;
    }
    return sent == size;
  }

  bool SocketToPipe() {
    WSAPOLLFD entry{socket_, POLLIN, 0};
    if (WSAPoll(&entry, 1, kPollMs) <= 0) return true;
    const int n = recv(socket_, from_socket_.data(), static_cast<int>(from_socket_.size()), 0);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return true;
    if (n <= 0) return false;  // the TCP peer has closed
    OVERLAPPED overlapped{};
    overlapped.hEvent = write_event_;
    ResetEvent(write_event_);
    if (!WriteFile(pipe_, from_socket_.data(), static_cast<DWORD>(n), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      return false;
    }
    if (WaitForSingleObject(write_event_, kWriteTimeoutMs) != WAIT_OBJECT_0) {
      Finish(pipe_, overlapped);
      return false;
    }
    DWORD moved = 0;
    return GetOverlappedResult(pipe_, &overlapped, &moved, FALSE) && moved == static_cast<DWORD>(n);
  }

  const HANDLE pipe_;
  const SOCKET socket_;
  HANDLE event_ = nullptr;
  HANDLE write_event_ = nullptr;
  OVERLAPPED read_overlapped_{};
  bool read_pending_ = false;
  std::array<char, kPieceSize> from_pipe_{};
  std::array<char, kPieceSize> from_socket_{};
};

// A TCP connection to host:port, non-blocking once connected;
// INVALID_SOCKET when it fails.
SOCKET ConnectTcp(const std::string& host, int32_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return INVALID_SOCKET;
  const SOCKET fd = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (fd == INVALID_SOCKET) return fd;
  u_long on = 1;
  const BOOL nodelay = TRUE;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ioctlsocket(fd, FIONBIO, &on) != 0) {
    closesocket(fd);
    return INVALID_SOCKET;
  }
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nodelay), sizeof nodelay);
  return fd;
}

}  // namespace

TWindowsPipeRelay::TWindowsPipeRelay(std::string path, std::string host, int32_t port)
    : path_(std::move(path)), host_(std::move(host)), port_(port) {
  PosixSocketApi();  // starts the socket library
  listening_ = CreateInstance(path_, true);
  thread_ = std::thread([this] { Run(); });
}

TWindowsPipeRelay::~TWindowsPipeRelay() { Stop(); }

void TWindowsPipeRelay::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  thread_.join();
}

void TWindowsPipeRelay::Run() {
  try {
    TListener listener(path_, static_cast<HANDLE>(listening_));
    std::unique_ptr<TRelayedClient> client;
    // Bounded by the stop flag; each pass waits about kPollMs.
    while (!stopping_.load()) {
      const HANDLE accepted = listener.Accept(client ? 0 : kPollMs);
      if (accepted != INVALID_HANDLE_VALUE) {
        client.reset();  // a new client replaces the old
        const SOCKET socket = ConnectTcp(host_, port_);
        if (socket == INVALID_SOCKET) {
          CloseHandle(accepted);
        } else {
          client = std::make_unique<TRelayedClient>(accepted, socket);
        }
      }
      if (client && !client->Pump()) client.reset();
    }
  } catch (const std::exception&) {
    // A pipe instance that cannot be created ends the relay; clients see
    // no server.
  }
}

}  // namespace vd
