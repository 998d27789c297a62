#include "kernel/link_transport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "fakes/fake_clock.h"
#include "fakes/fault_socket_api.h"
#include "fakes/scoped_temp_dir.h"
#include "platform/stream_socket.h"
#include "support/errors.h"

namespace vd {
namespace {

// A connected pair: the transport's socket and the raw peer descriptor.
class LinkTransportTest : public testing::Test {
 protected:
  LinkTransportTest() {
    const std::string path = dir_.Path() + "peer";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener_, 1), 0);
    socket_.ConnectUnix(path);
    peer_ = accept(listener_, nullptr, nullptr);
  }
  ~LinkTransportTest() override {
    close(peer_);
    close(listener_);
  }

  TLinkTransport Transport(bool local = false) {
    TLinkTransport::Options options;
    options.IoTimeoutMs = 50;  // on the standing fake clock, ten waits of 5 ms
    options.IdleStepMs = 5;
    options.IdleSteps = 4;
    options.RaiseOnTimeout = local;
    return TLinkTransport(socket_, options, stopping_, nullptr, clock_, nullptr);
  }

  void PeerWrite(const std::string& bytes) {
    ASSERT_EQ(write(peer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  ScopedTempDir dir_;
  FakeClock clock_;
  FaultSocketApi api_;
  TStreamSocket socket_{api_};
  std::atomic<bool> stopping_{false};
  int listener_ = -1;
  int peer_ = -1;
};

TEST_F(LinkTransportTest, ClearInputBufferDiscardsWhatArrivedWithoutWaiting) {
  TLinkTransport transport = Transport(true);
  PeerWrite(std::string(5000, 'x'));
  EXPECT_EQ(transport.ClearInputBuffer(), 5000u);
  EXPECT_EQ(transport.ClearInputBuffer(), 0u);  // nothing there: no wait, no error
}

TEST_F(LinkTransportTest, ShortSendsAndTimeoutsAreErrorsOfTheirTransport) {
  api_.send_limit = 0;
  TLinkTransport tcp = Transport(false);
  TLinkTransport local = Transport(true);
  const std::string frame(100, 'f');
  char byte = 0;
  // The message of what the call raises.
  const auto error = [](const auto& call) -> std::string {
    try {
      call();
    } catch (const Exception& e) {
      return e.Message();
    }
    return "no error";
  };
  EXPECT_EQ(error([&] { tcp.SendBytes(frame); }), "Unable to send data frame.");
  EXPECT_EQ(error([&] { local.SendBytes(frame); }), "Write operation timeout!");
  EXPECT_EQ(error([&] { local.ReadData(&byte, 1, TLinkTransport::kNoDeadline); }),
            "Read operation timeout!");
  EXPECT_EQ(tcp.ReadData(&byte, 1, TLinkTransport::kNoDeadline),
            0u);  // TCP reports a short read instead

  api_.send_limit = 7;  // a slow peer still gets the whole frame
  tcp.SendBytes(frame);
  std::string received(100, '\0');
  EXPECT_EQ(read(peer_, received.data(), received.size()), 100);
}

TEST_F(LinkTransportTest, ConnectionFailuresRaiseOperatingSystemErrors) {
  api_.recv_errno = ECONNRESET;
  PeerWrite("abc");
  char data[3];
  EXPECT_THROW(Transport().ReadData(data, 3, TLinkTransport::kNoDeadline), EOSError);
  api_.connect_errno = ECONNREFUSED;
  TStreamSocket other(api_);
  EXPECT_THROW(other.ConnectTcp("127.0.0.1", 1, 100), EOSError);
  EXPECT_FALSE(other.Connected());
}

}  // namespace
}  // namespace vd
