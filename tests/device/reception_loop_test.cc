#include "device/reception_loop.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/driver_settings.h"
#include "device/device_connection.h"
#include "device/device_control.h"
#include "device/dos_attack_control.h"
#include "device/port_listener.h"
#include "fakes/eventually.h"
#include "fakes/fake_clock.h"
#include "fakes/loopback_transmitter.h"
#include "fakes/recording_sinks.h"
#include "support/text_utils.h"

namespace vd {
namespace {

// A signal sink that holds every caller until released.
class GateSignalSink final : public ISignalSink {
 public:
  bool AddSignal(TSignal signal) override {
    std::unique_lock<std::mutex> guard(lock_);
    opened_.wait_for(guard, std::chrono::seconds(20), [this] { return open_; });
    signals_.push_back(std::move(signal));
    return true;
  }
  void Open() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    opened_.notify_all();
  }
  std::vector<TSignal> Signals() {
    std::lock_guard<std::mutex> guard(lock_);
    return signals_;
  }

 private:
  std::mutex lock_;
  std::condition_variable opened_;
  bool open_ = false;
  std::vector<TSignal> signals_;
};

const std::string kTimeRequest = "[ABCD123402AC2024011512304507|]";
// The reply at the fake clock's 2024-01-15 12:00:00 UTC, for the port's password.
std::string TimeReply() { return "*1234*pw*00*" + std::to_string(2024) + "0115"; }

class ReceptionLoopTest : public testing::Test {
 protected:
  ReceptionLoopTest() {
    for (int32_t i = 1; i <= 2; ++i) {
      PortEntry entry;
      entry.PortNumber = 10 + i;
      entry.DriverPassword = "pw";
      entry.FloodControl = std::make_shared<TDoSAttackControl>(clock_);
      settings_.Ports.push_back(entry);
    }
    settings_.Name = "Drv";
  }
  ~ReceptionLoopTest() override {
    listener_.reset();
    loop_.reset();
  }

  void Start(ISignalSink& signals, size_t max_backlog = 10000) {
    TReceptionContext context{settings_,
                              clock_,
                              signals,
                              events_,
                              log_,
                              controls_,
                              [this](uint16_t type, const std::string& body) {
                                std::lock_guard<std::mutex> guard(questions_lock_);
                                questions_.push_back(std::to_string(type) + " " + body);
                                return true;
                              }};
    // The timer stays out of the way: the tests sweep when they choose.
    loop_ = std::make_unique<TReceptionLoop>(
        context, TReceptionLoop::Options{std::chrono::hours(1), 2, max_backlog});
    listener_ = std::make_unique<TPortListener>(*loop_, 0, 2);
    listener_->Open();
  }
  void SetUp() override { Start(signals_); }

  std::unique_ptr<LoopbackTransmitter> Connect() {
    auto transmitter = std::make_unique<LoopbackTransmitter>(listener_->Port());
    EXPECT_TRUE(transmitter->Connected());
    return transmitter;
  }

  // Waits until `count` log lines contain `text`.
  bool WaitForLines(const std::string& text, size_t count = 1) {
    return Eventually([&] { return CountLines(text) >= count; });
  }
  size_t CountLines(const std::string& text) const {
    size_t n = 0;
    for (const std::string& line : log_.Lines()) n += line.find(text) != std::string::npos;
    return n;
  }
  // Each signal from the `first` on, followed by a blank: its payload, else
  // its code; for an invalid frame "UNKNOWN/HN/CanalType/" and its
  // extensions up to the last non-empty one, separated by "|".
  std::string Rendered(size_t first) const {
    std::string rendered;
    const std::vector<TSignal> signals = signals_.Signals();
    for (size_t i = first; i < signals.size(); ++i) {
      const TSignal& s = signals[i];
      if (s.Code != "UNKNOWN") {
        rendered += (s.Extension1.empty() ? s.Code.str() : s.Extension1.str()) + " ";
        continue;
      }
      std::string extensions = s.Extension1.str() + "|" + s.Extension2.str() + "|" +
                               s.Extension3.str() + "|" + s.Extension4.str() + "|" +
                               s.Extension5.str();
      extensions.erase(extensions.find_last_not_of('|') + 1);
      rendered += "UNKNOWN/" + s.HardwareNumber + "/" + s.CanalType + "/" + extensions + " ";
    }
    return rendered;
  }
  size_t InvalidFrameReports() const {
    size_t n = 0;
    for (const RecordedEvent& e : events_.Events()) n += e.text.starts_with("Invalid data frame");
    return n;
  }
  std::vector<std::string> Questions() {
    std::lock_guard<std::mutex> guard(questions_lock_);
    return questions_;
  }

  FakeClock clock_;
  DriverSettings settings_;
  RecordingSignalSink signals_;
  RecordingEventSink events_;
  RecordingLogWriter log_;
  TDeviceParamControlBuffer controls_;
  std::mutex questions_lock_;
  std::vector<std::string> questions_;
  std::unique_ptr<TReceptionLoop> loop_;
  std::unique_ptr<TPortListener> listener_;
};

TEST_F(ReceptionLoopTest, LogsStartReadWriteAndStopUnderTheConnectionId) {
  auto first = Connect();
  ASSERT_TRUE(WaitForLines("Connection thread start"));
  auto second = Connect();
  ASSERT_TRUE(WaitForLines("Connection thread start", 2));
  first->Send(kTimeRequest);
  EXPECT_EQ(first->ReadLine().substr(0, 20), TimeReply());
  first->Close();
  ASSERT_TRUE(WaitForLines("Connection thread stop"));

  const std::vector<std::string> lines = log_.Lines();
  ASSERT_EQ(lines.size(), 5u);
  const std::string id = lines[0].substr(0, lines[0].find(')') + 2);
  EXPECT_TRUE(id.starts_with("(ID ")) << id;
  EXPECT_NE(lines[1].substr(0, id.size()), id);  // the second connection has its own
  const std::string start =
      id + "Connection thread start: 2. Client IP address and port: 127.0.0.1:";
  EXPECT_EQ(lines[0].substr(0, start.size()), start);
  EXPECT_EQ(lines[2], id + "read (31): " + kTimeRequest);
  EXPECT_TRUE(lines[3].starts_with(id + "write (28): *1234*pw*00*2024")) << lines[3];
  EXPECT_TRUE(lines[3].ends_with("0A)")) << lines[3];
  EXPECT_EQ(lines[4], id + "Connection thread stop: 2");
}

// Each case sends its reads one after the other on a new connection, each
// once the previous one was read, after `flood` invalid frames on the port:
// the signals that arrive (see Rendered), the events, the number of time
// replies and whether the driver closed the connection.
TEST_F(ReceptionLoopTest, EachMessageOfAReadKeepsTheBytesThatFollowIt) {
  struct Case {
    std::vector<std::string> reads;
    int flood;
    std::string signals;
    std::vector<std::string> events;
    int replies;
    bool closed;
  };
  const std::string a = SignalMessage("a"), b = SignalMessage("b"), c = SignalMessage("c");
  // A frame the parser refuses (kind 02AD without payload), then garbage
  // without "[".
  const std::string refused = "[ABCD123402AD]" + std::string(60, '\xEE');
  const std::string refused_hex = "5B4142434431323334303241445D" + std::string(120, 'E');
  const std::string refused_signal =
      "UNKNOWN/Drv/N/" + refused_hex.substr(0, 100) + "|" + refused_hex.substr(100) + " ";
  const std::string no_payload = "Signal analysis error. / Exception - Message payload is empty";
  const std::string no_body = "Signal analysis error. / Exception - Message body is empty";
  const std::string flood_report =
      "Invalid data frame received on port 2 (TCP {1}). The sum of ignored invalid frames: 1. "
      "The last frame sent from IP address {3}. / ";
  const std::string junk = "UNKNOWN/Drv/N/6A756E6B ", empty = "UNKNOWN/Drv/N/5B5D ";
  size_t closes = 0;
  const std::vector<Case> cases = {
      {{a + "\r\n"}, 0, "a ", {}, 0, false},
      {{"[]\r\n"}, 0, "UNKNOWN/Drv/N/5B5D0D0A ", {no_body}, 1, false},
      {{refused}, 0, refused_signal, {no_payload}, 1, false},
      {{refused}, 3, "", {flood_report + refused_hex}, 1, false},
      {{a + "\r\n" + b}, 0, "a b ", {}, 0, false},
      {{a + "\r\n" + kTimeRequest + b + "\r\n"}, 0, "a b ", {}, 1, false},
      // A message the network split is two messages.
      {{a + b.substr(0, 10), b.substr(10)},
       0,
       "a UNKNOWN/Drv/N/5B414243443132333458 1512 ",
       {no_body},
       2,
       false},
      {{"junk", "junk", "junk"}, 0, junk + junk + junk, {no_body, no_body, no_body}, 3, true},
      {{"junk", "junk", c, "junk", "junk"},
       0,
       junk + junk + "c " + junk,
       {no_body, no_body, no_body, flood_report + "6A756E6B"},
       4,
       false},
      {{"[][][]" + a}, 0, empty + empty + empty, {no_body, no_body, no_body}, 3, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.reads[0]);
    const size_t first = signals_.Signals().size();
    events_.Clear();
    settings_.Ports[1].FloodControl = std::make_shared<TDoSAttackControl>(clock_);
    for (int i = 0; i < test.flood; ++i) {
      bool report = false;
      int32_t ignored = 0;
      settings_.Ports[1].FloodControl->Check(report, ignored);
    }
    auto transmitter = Connect();
    const size_t reads = CountLines("read (");
    for (size_t i = 0; i < test.reads.size(); ++i) {
      transmitter->Send(test.reads[i]);
      ASSERT_TRUE(WaitForLines("read (", reads + i + 1));
    }
    // Once the replies are read, nothing more is written to the transmitter.
    for (int i = 0; i < test.replies; ++i)
      EXPECT_NE(transmitter->ReadLine().find("*pw*00*20240115"), std::string::npos);
    if (test.closed) {
      EXPECT_TRUE(transmitter->SeesClose());
    }
    const std::string peer = "127.0.0.1:" + std::to_string(transmitter->LocalPort());
    transmitter->Close();
    ASSERT_TRUE(WaitForLines("Connection thread stop", CountLines("Connection thread start")));
    EXPECT_EQ(CountLines("closing connection because of too many invalid frames"),
              closes += test.closed);
    EXPECT_EQ(Rendered(first), test.signals);
    std::vector<std::string> expected, events;
    for (const std::string& event : test.events)
      expected.push_back(FormatPlaceholders(event, {0, listener_->Port(), 0, peer}));
    for (const RecordedEvent& e : events_.Events()) events.push_back(e.text + " / " + e.details);
    EXPECT_EQ(events, expected);
  }
}

TEST_F(ReceptionLoopTest, SilentConnectionClosesAfter900SecondsWithStartAndStopOnly) {
  auto transmitter = Connect();
  ASSERT_TRUE(WaitForLines("Connection thread start"));
  clock_.SetUtcMs(clock_.UtcNowMs() + 3600 * 1000);  // the system time set forward: no matter
  clock_.AdvanceSeconds(900);
  loop_->SweepNow();
  EXPECT_EQ(loop_->ConnectionCount(), 1u);
  clock_.AdvanceSeconds(1);
  loop_->SweepNow();
  EXPECT_EQ(loop_->ConnectionCount(), 0u);
  EXPECT_TRUE(transmitter->SeesClose());
  ASSERT_TRUE(WaitForLines("Connection thread stop"));
  EXPECT_EQ(log_.Lines().size(), 2u);
}

TEST_F(ReceptionLoopTest, CloseEndsEveryConnectionAndReturnsAfterTheirStopLines) {
  std::vector<std::unique_ptr<LoopbackTransmitter>> transmitters;
  for (int i = 0; i < 3; ++i) transmitters.push_back(Connect());
  ASSERT_TRUE(WaitForLines("Connection thread start", 3));
  listener_->Close();
  EXPECT_EQ(CountLines("Connection thread stop: 2"), 3u);
  EXPECT_FALSE(listener_->IsOpen());
  for (auto& transmitter : transmitters) EXPECT_TRUE(transmitter->SeesClose());
  EXPECT_FALSE(CanConnect(listener_->Port()));
  listener_->Open();  // reopens after sleep mode
  EXPECT_TRUE(Connect()->Connected());
}

// A command for any port goes to the first connection that polls; a command
// without a frame and one whose write fails are answered as failed.
TEST_F(ReceptionLoopTest, CommandPollSendsAnswersAndRemovesTheCommand) {
  struct Case {
    std::string command;
    bool cannot_write;
    std::string frame;
    bool confirmed;
    std::string event;
  };
  const std::vector<Case> cases = {
      {"ModemRestart", false, "#*#12#3F#", true, "Control command confirmed, transmitter"},
      {"Unknown", false, "", false, "Błąd wysterowania linii Unknown nadajnika *"},
      {"ModemRestart", true, "", false, "Błąd wysterowania linii ModemRestart nadajnika *"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.command);
    events_.Clear();
    TDeviceControl control;
    control.HN = control.PortKey = control.ThirdKey = "*";
    control.ControlId = "c1";
    control.ControlName = "Restart";
    control.Command = test.command;
    control.ModuleName = "M";
    controls_.AddControl(control);
    auto transmitter = Connect();
    ASSERT_TRUE(
        WaitForLines("Connection thread start", static_cast<size_t>(&test - &cases[0]) + 1));
    const size_t failures = CountLines("Exception send control state frame");
    const size_t sendings = CountLines("Sending control command, HN   : * Command : ");
    if (test.cannot_write) {
      // The driver's own end can no longer send.
      loop_->RunOnLoop([&] {
        ASSERT_EQ(shutdown(transmitter->ServerSide(), SHUT_WR), 0);
        loop_->Sweep();
      });
    } else {
      loop_->SweepNow();
    }
    EXPECT_TRUE(controls_.Empty());
    if (!test.frame.empty()) {
      EXPECT_EQ(transmitter->Read(test.frame.size()), test.frame);
    }
    ASSERT_TRUE(Eventually([&] { return !events_.Events().empty(); }));
    ASSERT_EQ(events_.Events().size(), 1u);
    EXPECT_EQ(events_.Events()[0].text, test.event);
    EXPECT_FALSE(events_.Events()[0].is_error);
    EXPECT_EQ(Questions().back(), "2504 " + BuildControlAnswer(control, !test.confirmed));
    EXPECT_EQ(CountLines("Sending control command, HN   : * Command : "), sendings + 1);
    EXPECT_EQ(CountLines("Exception send control state frame"),
              failures + (test.cannot_write ? 1 : 0));
  }
}

TEST_F(ReceptionLoopTest, TimeReplyIsNotHeldUpByASlowSignalSink) {
  GateSignalSink gate;
  listener_.reset();
  loop_.reset();
  Start(gate);
  auto transmitter = Connect();
  std::string burst;
  for (int i = 0; i < 1000; ++i) burst += SignalMessage(std::to_string(i));
  transmitter->Send(burst + kTimeRequest);
  EXPECT_EQ(transmitter->ReadLine().substr(0, 20), TimeReply());
  EXPECT_LE(gate.Signals().size(), 1u);  // the sink is still holding the first one
  gate.Open();
  ASSERT_TRUE(Eventually([&] { return gate.Signals().size() >= 1000; }));
  const std::vector<TSignal> signals = gate.Signals();
  ASSERT_EQ(signals.size(), 1000u);
  for (size_t i = 0; i < signals.size(); ++i) ASSERT_EQ(signals[i].Extension1, std::to_string(i));
}

// More signals than the workers may queue: reading stops until the sink
// catches up (the transmitter's sends wait in the socket meanwhile), and no
// signal is lost or split.
TEST_F(ReceptionLoopTest, SlowSinkHoldsReadingWithoutLosingSignals) {
  GateSignalSink gate;
  listener_.reset();
  loop_.reset();
  Start(gate, 100);
  auto transmitter = Connect();
  size_t sent = 0;
  for (int send = 0; send < 10; ++send) {
    std::string burst;
    for (int i = 0; i < 50; ++i) burst += SignalMessage(std::to_string(sent++));
    transmitter->Send(burst);
  }
  EXPECT_TRUE(Eventually([&] { return loop_->Overloaded(); }));
  gate.Open();
  ASSERT_TRUE(Eventually([&] { return gate.Signals().size() >= sent; }));
  const std::vector<TSignal> signals = gate.Signals();
  ASSERT_EQ(signals.size(), sent);
  for (size_t i = 0; i < signals.size(); ++i) ASSERT_EQ(signals[i].Extension1, std::to_string(i));
}

// A transmitter that never sends "]", one that sends a byte at a time and a
// crowd sending garbage: each is cut off after three invalid frames, the
// port's flood control lets three "UNKNOWN" signals, their three analysis
// errors and one report through,
// and a well-behaved transmitter is served all along.
TEST_F(ReceptionLoopTest, HostileTransmittersAreCutOffWhileOthersAreServed) {
  constexpr int kGarbageSenders = 20;
  auto good = Connect();
  auto endless = Connect();
  auto slow = Connect();
  std::vector<std::unique_ptr<LoopbackTransmitter>> crowd;
  for (int i = 0; i < kGarbageSenders; ++i) crowd.push_back(Connect());
  ASSERT_TRUE(WaitForLines("Connection thread start", 3 + kGarbageSenders));

  // Sends until the driver ends the connection, whatever the sockets buffer.
  int endless_error = 0;
  std::thread endless_thread([&] {
    const std::string chunk(size_t{1} << 20, 'x');
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventuallyMs);
    while (endless->TrySend(chunk) >= 0 && std::chrono::steady_clock::now() < end) {
    }
    endless_error = errno;
  });
  // Garbage without "]", as fast as the driver takes it: every read is one
  // invalid message. Round-robin until the driver has closed them all.
  std::string garbage;
  for (int i = 0; garbage.size() < 4096; ++i) garbage += static_cast<char>(i * 37 % 92 + 1);
  std::vector<bool> cut_off(crowd.size(), false);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventuallyMs);
  while (std::count(cut_off.begin(), cut_off.end(), false) > 0 &&
         std::chrono::steady_clock::now() < deadline) {
    for (size_t i = 0; i < crowd.size(); ++i)
      if (!cut_off[i]) cut_off[i] = crowd[i]->TrySend(garbage) < 0;
  }
  for (const char* byte : {"[", "A", "B"}) {
    const size_t reads = CountLines("read (1): ");
    slow->Send(byte);
    ASSERT_TRUE(WaitForLines("read (1): ", reads + 1));
  }
  good->Send(kTimeRequest + SignalMessage("ok"));
  EXPECT_EQ(good->ReadLine().substr(0, 20), TimeReply());
  endless_thread.join();

  EXPECT_TRUE(endless_error == EPIPE || endless_error == ECONNRESET) << endless_error;
  size_t long_reads = 0;  // the endless transmitter's, at least: logged cut short
  for (const std::string& line : log_.Lines()) {
    const size_t open = line.find("read (");
    if (open == std::string::npos ||
        std::stoul(line.substr(open + 6)) <= TDeviceConnection::kMaxLoggedReadBytes)
      continue;
    ++long_reads;
    EXPECT_LE(line.size(), line.find("): ") + 3 + TDeviceConnection::kMaxLoggedReadBytes + 4);
    EXPECT_TRUE(line.ends_with(" ..."));
  }
  EXPECT_GE(long_reads, 1u);
  EXPECT_TRUE(slow->SeesClose());
  EXPECT_EQ(std::count(cut_off.begin(), cut_off.end(), true), kGarbageSenders);
  EXPECT_TRUE(WaitForLines("closing connection because of too many invalid frames received",
                           2 + kGarbageSenders));
  EXPECT_TRUE(Eventually([&] { return signals_.Signals().size() >= 4; }));
  const std::vector<TSignal> signals = signals_.Signals();  // "ok" and three UNKNOWN
  EXPECT_EQ(signals.size(), 4u);
  EXPECT_EQ(std::count_if(signals.begin(), signals.end(),
                          [](const TSignal& s) { return s.Code == "UNKNOWN"; }),
            3);
  // Events too: the three accepted frames' analysis errors and one report.
  EXPECT_EQ(InvalidFrameReports(), 1u);
  EXPECT_EQ(events_.Count("Signal analysis error."), 3u);
  EXPECT_EQ(events_.Events().size(), 4u);
  good->Send(kTimeRequest);  // still served
  EXPECT_EQ(good->ReadLine().substr(0, 20), TimeReply());
}

// The highest descriptor number open in this process.
int HighestOpenDescriptor() {
  int highest = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
  return highest;
}

// Process CPU time (user and system) in milliseconds.
int64_t ProcessCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (int64_t{usage.ru_utime.tv_sec} + usage.ru_stime.tv_sec) * 1000 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// 20,000 connection attempts while the process is out of descriptors: the
// listener pauses (no busy loop), the connections it has keep being served,
// and it accepts again once descriptors are free.
TEST_F(ReceptionLoopTest, OutOfDescriptorsPausesAcceptingAndServesTheConnectionsItHas) {
  std::vector<std::unique_ptr<LoopbackTransmitter>> held;
  for (int i = 0; i < 3; ++i) held.push_back(Connect());
  ASSERT_TRUE(WaitForLines("Connection thread start", 3));

  // A low limit, and this process's own attempts take every descriptor left
  // under it, so that the listener finds none.
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
  rlimit low = original;
  low.rlim_cur = static_cast<rlim_t>(HighestOpenDescriptor()) + 1 + 32;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(listener_->Port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::deque<int> attack;
  for (int attempt = 0; attempt < 20000; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0 && !attack.empty()) {  // out of descriptors: the oldest attempt gives up
      close(attack.front());
      attack.pop_front();
      fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    }
    if (fd < 0) continue;
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    attack.push_back(fd);
  }
  // Out of descriptors with connections waiting: the loop only looks again
  // every kAcceptPauseMs. A loop retrying at once would burn a core: the CPU
  // time of the process is measured against the time that really passed,
  // over two seconds, so a busy machine only lowers the share.
  ASSERT_TRUE(WaitForLines("accepting paused: EOSError - "));
  const int64_t cpu_before = ProcessCpuMs();
  const auto wall_before = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const int64_t cpu_used = ProcessCpuMs() - cpu_before;
  const auto wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - wall_before)
                           .count();
  EXPECT_LT(cpu_used * 100, wall_ms * 40) << cpu_used << " ms of CPU in " << wall_ms << " ms";
  for (auto& transmitter : held) {
    transmitter->Send(kTimeRequest);
    EXPECT_EQ(transmitter->ReadLine().substr(0, 20), TimeReply());
  }

  for (const int fd : attack) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
  auto late = Connect();
  late->Send(kTimeRequest);
  EXPECT_EQ(late->ReadLine().substr(0, 20), TimeReply());
  EXPECT_EQ(CountLines("accepting paused: "), 1u);  // logged once a minute at most
}

}  // namespace
}  // namespace vd
