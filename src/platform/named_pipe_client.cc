#include "platform/named_pipe_client.h"

namespace vd {

TNamedPipeClient::TNamedPipeClient(ISocketApi& socket_api, int /*io_timeout_ms*/)
    : socket_(socket_api) {}

TNamedPipeClient::~TNamedPipeClient() = default;

void TNamedPipeClient::Open(const std::string& path) { socket_.ConnectUnix(path); }

bool TNamedPipeClient::Connected() const { return socket_.Connected(); }

void TNamedPipeClient::Close() noexcept { socket_.Close(); }

size_t TNamedPipeClient::Send(std::string_view bytes, int timeout_ms) {
  return socket_.Send(bytes, timeout_ms);
}

TStreamWait TNamedPipeClient::Wait(int timeout_ms, const TWakeEvent* wake,
                                   const TWakeEvent* wake2) {
  return socket_.Wait(timeout_ms, wake, wake2);
}

size_t TNamedPipeClient::Available() { return socket_.Available(); }

size_t TNamedPipeClient::ReadSome(char* data, size_t size) { return socket_.ReadSome(data, size); }

std::string KernelPipePath(const std::string& pipe_directory, const std::string& name) {
  return pipe_directory + name;
}

}  // namespace vd
