#include "device/port_listener.h"

#include <asio.hpp>
#include <atomic>
#include <cerrno>

#include "device/device_connection.h"
#include "device/reception_loop.h"
#include "support/clock.h"
#include "support/errors.h"
#include "support/log_writer.h"

namespace vd {

struct TPortListener::State {
  State(TReceptionLoop& owner, int32_t tcp_port, int32_t index)
      : loop(owner),
        configured_port(tcp_port),
        port_index(index),
        acceptor(owner.Io()),
        pause(owner.Io()),
        group(std::make_shared<TConnectionGroup>()) {}

  void Accept(const std::shared_ptr<State>& self);
  void PauseAccepting(const std::shared_ptr<State>& self, const asio::error_code& ec);

  TReceptionLoop& loop;
  const int32_t configured_port;
  const int32_t port_index;
  // Loop thread.
  asio::ip::tcp::acceptor acceptor;
  asio::steady_timer pause;
  int64_t last_pause_log_ms = -1;
  const std::shared_ptr<TConnectionGroup> group;
  // Read by the system thread.
  std::atomic<bool> open{false};
  std::atomic<int32_t> bound_port{0};
};

namespace {

bool OutOfDescriptors(const asio::error_code& ec) {
  const int code = ec.value();
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

// Opens the acceptor on all interfaces: IPv6 taking IPv4 too, else IPv4.
void OpenAcceptor(asio::ip::tcp::acceptor& acceptor, int32_t port) {
  asio::error_code ec;
  acceptor.open(asio::ip::tcp::v6(), ec);
  if (!ec) acceptor.set_option(asio::ip::v6_only(false), ec);
  asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), static_cast<uint16_t>(port));
  if (ec) {
    asio::error_code ignored;
    acceptor.close(ignored);
    endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), static_cast<uint16_t>(port));
    acceptor.open(asio::ip::tcp::v4(), ec);
    if (ec) throw MakeOSError(ec.value(), "socket", "port " + std::to_string(port));
  }
  acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    asio::error_code ignored;
    acceptor.close(ignored);
    throw MakeOSError(ec.value(), "listen", "port " + std::to_string(port));
  }
}

}  // namespace

void TPortListener::State::Accept(const std::shared_ptr<State>& self) {
  acceptor.async_accept([self](const asio::error_code& ec, asio::ip::tcp::socket socket) {
    if (!self->acceptor.is_open() || ec == asio::error::operation_aborted) return;
    if (ec) {
      if (OutOfDescriptors(ec)) {
        self->PauseAccepting(self, ec);
        return;
      }
      self->Accept(self);  // the client gave up before it was accepted
      return;
    }
    std::make_shared<TDeviceConnection>(self->loop, std::move(socket), self->port_index,
                                        self->bound_port.load(), self->group)
        ->Start();
    self->Accept(self);
  });
}

void TPortListener::State::PauseAccepting(const std::shared_ptr<State>& self,
                                          const asio::error_code& ec) {
  // The waiting clients stay queued; the existing connections go on.
  const int64_t now = loop.Context().Clock.MonotonicMs();
  if (last_pause_log_ms < 0 || now - last_pause_log_ms >= 60000) {
    last_pause_log_ms = now;
    const std::string line = "Port " + std::to_string(bound_port.load()) + " accepting paused: " +
                             ExceptionText(MakeOSError(ec.value(), "accept"));
    ILogWriter& log = loop.Context().Log;
    asio::post(loop.Workers(), [&log, line] { log.LogWrite(line); });
  }
  pause.expires_after(std::chrono::milliseconds(kAcceptPauseMs));
  pause.async_wait([self](const asio::error_code& wait_ec) {
    if (!wait_ec && self->acceptor.is_open()) self->Accept(self);
  });
}

TPortListener::TPortListener(TReceptionLoop& loop, int32_t tcp_port, int32_t port_index)
    : loop_(loop), state_(std::make_shared<State>(loop, tcp_port, port_index)) {}

TPortListener::~TPortListener() { Close(); }

void TPortListener::Open() {
  loop_.RunOnLoop([this] {
    State& state = *state_;
    if (state.acceptor.is_open()) return;
    OpenAcceptor(state.acceptor, state.configured_port);
    state.bound_port = static_cast<int32_t>(state.acceptor.local_endpoint().port());
    state.open = true;
    state.Accept(state_);
  });
}

void TPortListener::Close() {
  loop_.RunOnLoop([this] {
    State& state = *state_;
    asio::error_code ignored;
    state.acceptor.close(ignored);
    state.pause.cancel();
    state.open = false;
    const TConnectionGroup* group = state.group.get();
    loop_.StopConnections(
        [group](const TDeviceConnection& connection) { return connection.Group() == group; });
  });
  if (!state_->group->WaitAllEnded(std::chrono::seconds(30))) {
    loop_.Context().Log.LogWrite("Port " + std::to_string(Port()) +
                                 " closed while connections were still ending");
  }
}

bool TPortListener::IsOpen() const { return state_->open.load(); }

int32_t TPortListener::Port() const {
  const int32_t bound = state_->bound_port.load();
  return bound != 0 ? bound : state_->configured_port;
}

}  // namespace vd
