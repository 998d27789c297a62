#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/named_pipe_client.h"
#include "platform/wake_event.h"
#include "support/errors.h"
#include "support/guid.h"

namespace vd {
namespace {

// A pipe of the test's own and the client connected to it; the server end
// is written and read with blocking calls.
class WindowsNamedPipeClientTest : public testing::Test {
 protected:
  WindowsNamedPipeClientTest() {
    server_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kBufferSize,
                               kBufferSize, 0, nullptr);
    EXPECT_NE(server_, INVALID_HANDLE_VALUE);
    client_.Open(path_);
  }
  ~WindowsNamedPipeClientTest() override {
    client_.Close();
    if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
  }

  void ServerWrite(const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(server_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
  }

  static constexpr DWORD kBufferSize = 16384;
  const std::string path_ = "\\\\.\\pipe\\vd-pipe-client-test-" + NewGuid().ToString();
  HANDLE server_ = INVALID_HANDLE_VALUE;
  TNamedPipeClient client_{PosixSocketApi(), 1000};
};

TEST_F(WindowsNamedPipeClientTest, WaitSeesDataOrAWakeAndReadsTakeWhatCameInPieces) {
  TWakeEvent wake;
  TStreamWait wait = client_.Wait(0, &wake, nullptr);
  EXPECT_FALSE(wait.Readable);
  EXPECT_FALSE(wait.Woken);
  wake.Notify();
  wait = client_.Wait(5000, &wake, nullptr);  // at once: the wake is there
  EXPECT_FALSE(wait.Readable);
  EXPECT_TRUE(wait.Woken);
  wake.Drain();

  std::string sent;
  for (int i = 0; i < 10000; ++i) sent += static_cast<char>('a' + i % 26);
  ServerWrite(sent);
  std::string received;
  for (int pass = 0; pass < 100 && received.size() < sent.size(); ++pass) {
    if (!client_.Wait(1000, &wake, nullptr).Readable) continue;
    const size_t available = client_.Available();
    EXPECT_GT(available, 0u);
    EXPECT_LE(available, TNamedPipeClient::kReadSize);
    char piece[3000];
    received.append(piece, client_.ReadSome(piece, sizeof piece));
  }
  EXPECT_EQ(received, sent);
  char more = 0;
  EXPECT_EQ(client_.ReadSome(&more, 1), 0u);  // nothing more, no wait
}

TEST_F(WindowsNamedPipeClientTest, UnreadWritesTimeOutAndAClosedServerBreaksTheWait) {
  // The server reads nothing: the pipe's buffers fill and the write stops.
  const std::string big(4 * kBufferSize, 'w');
  EXPECT_LT(client_.Send(big, 100), big.size());

  ServerWrite("last");
  CloseHandle(server_);
  server_ = INVALID_HANDLE_VALUE;
  // What the server wrote before it went is still read, then the pipe breaks.
  ASSERT_TRUE(client_.Wait(1000, nullptr, nullptr).Readable);
  char data[8];
  EXPECT_EQ(client_.ReadSome(data, sizeof data), 4u);
  EXPECT_THROW(client_.Wait(1000, nullptr, nullptr), EOSError);
  EXPECT_THROW(client_.Send("x", 100), EOSError);

  client_.Close();
  EXPECT_FALSE(client_.Connected());
  try {
    client_.Open(path_);  // nobody serves it now
    ADD_FAILURE() << "opened a pipe without a server";
  } catch (const EOSError& error) {
    EXPECT_EQ(error.ErrorCode(), ENOENT);
  }
}

}  // namespace
}  // namespace vd
