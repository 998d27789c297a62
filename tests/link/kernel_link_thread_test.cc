#include "link/kernel_link_thread.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/socket.h>
#endif

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "config/driver_settings.h"
#include "device/signal.h"
#include "fakes/eventually.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_time_setter.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_temp_dir.h"
#include "kernel/crc32.h"
#include "kernel/frame_header.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "kernel_simulator.h"
#include "link/communication_data.h"
#include "platform/host_file_system.h"
#include "support/guid.h"

namespace vd {
namespace {

// A free loopback port nobody listens on.
int32_t DeadPort() {
  TKernelSimOptions options;
  options.TcpPort = 0;
  TKernelSimulator probe(options);
  return probe.TcpPort();
}

// A frame whose header CRC is wrong.
std::string BadHeaderFrame() {
  TOrvanFrame frame;
  frame.HeaderCRC = CalculateHeaderCRC(frame) ^ 1u;
  return SerializeFrame(frame);
}

// A frame whose CRCs are right, as the Kernel would send it unencoded.
std::string RawFrame(TOrvanFrame frame) {
  frame.TransmittedDataSize = static_cast<uint32_t>(frame.Data.size());
  frame.DataCRC = CalculateDataCRC(frame.Data);
  frame.HeaderCRC = CalculateHeaderCRC(frame);
  return SerializeFrame(frame);
}

class KernelLinkThreadTest : public testing::Test {
 protected:
  KernelLinkThreadTest() {
    settings_.Name = "Test Driver";
    settings_.Ports.resize(1);
    settings_.Ports[0].PortName = "North";
    questions_ = std::make_unique<TQuestionsBuffer>(
        fs_, clock_, log_,
        TQuestionsBuffer::Options{dir_.Path() + "cache/", "Test Driver", "", false,
                                  [this] { wake_.Notify(); }});
    signals_ =
        std::make_unique<TSignalBuffer>(fs_, clock_, events_, log_, settings_,
                                        dir_.Path() + "cache/", false, [this] { wake_.Notify(); });
  }
  ~KernelLinkThreadTest() override {
    if (link_) link_->Stop();
  }

  TKernelSimulator& StartSim(TKernelSimOptions options = {}) {
    if (options.TcpPort < 0 && options.UnixPath.empty()) options.TcpPort = 0;
    sims_.push_back(std::make_unique<TKernelSimulator>(options));
    return *sims_.back();
  }

  void StartLink(TKernelLinkKind kind = TKernelLinkKind::Tcp, FrameSecurity security = {}) {
    const bool pipe = kind == TKernelLinkKind::Pipe;
    comm_ = std::make_unique<TCommunicationData>(
        TCommunicationData::Collaborators{clock_, settings_, kernel_, modules_, *signals_,
                                          *questions_, events_, log_, time_setter_},
        pipe ? TCommunicationData::kPipeStatusIntervalSeconds
             : TCommunicationData::kTcpStatusIntervalSeconds,
        pipe ? TCommunicationData::kPipeResendIntervalSeconds
             : TCommunicationData::kTcpResendIntervalSeconds);
    TKernelLinkThread::Options options{kind, settings_.Name, pipe_path_, security};
    link_ = std::make_unique<TKernelLinkThread>(
        options, TKernelLinkThread::Collaborators{clock_, log_, events_, kernel_, modules_, *comm_,
                                                  wake_, PosixSocketApi()});
    link_->Start();
  }

  // A simulator serving the pipe of this test.
  TKernelSimulator& StartPipeSim() {
    TKernelSimOptions options;
#ifdef _WIN32
    options.PipePath = pipe_path_;
#else
    options.UnixPath = pipe_path_;
#endif
    return StartSim(options);
  }

  TKernelSimulator& StartRegistered(TKernelSimOptions options = {}) {
    TKernelSimulator& sim = StartSim(options);
    kernel_.AddKernel("K1", "127.0.0.1", sim.TcpPort());
    StartLink();
    EXPECT_TRUE(Eventually([&] { return sim.CountReceived(2500, 1) >= 1; }));
    EXPECT_TRUE(Eventually([&] { return sim.CountReceived(2500, 2) >= 1; }));
    return sim;
  }

  size_t LogCount(const std::string& text) const {
    size_t n = 0;
    for (const std::string& line : log_.Lines()) n += line.find(text) != std::string::npos;
    return n;
  }

  void AddSignal(const std::string& hardware_number) {
    TSignal signal;
    InitPortSignal(signal, 1, settings_, clock_);
    signal.HardwareNumber = hardware_number;
    ASSERT_TRUE(signals_->AddSignal(signal));  // wakes the link
  }

  // Advances the clock by seconds in status-interval steps, each answered,
  // so that the link keeps hearing from the Kernel.
  void AdvanceAnswered(TKernelSimulator& sim, int64_t seconds) {
    for (int64_t waited = 0; waited < seconds; waited += 5) {
      const size_t answered = sim.CountReceived(2500, 2);
      clock_.AdvanceSeconds(5);
      ASSERT_TRUE(Eventually([&] { return sim.CountReceived(2500, 2) > answered; }));
    }
  }

  size_t CacheFiles() { return fs_.ListDirectory(dir_.Path() + "cache/").size(); }

  // Advances the clock by a second and waits until the link has run at the
  // new time (it beats at every wait slice) or done() holds.
  bool Tick(const std::function<bool()>& done = [] { return false; }) {
    clock_.AdvanceSeconds(1);
    return Eventually(
        [&] { return done() || link_->Heartbeat().LastBeatMs() >= clock_.MonotonicMs(); });
  }
  // Ticks until done() holds, for at most max_seconds of the clock.
  bool TickUntil(const std::function<bool()>& done, int max_seconds = 30) {
    for (int second = 0; second < max_seconds && !done(); ++second) {
      if (!Tick(done)) return false;
    }
    return Eventually(done);
  }

  // Lets the link's 1 s reconnect pause run out.
  void AdvancePastPause() { clock_.Advance(TKernelLinkThread::kReconnectPauseMs); }
  // The link may begin its reconnect pause only after an advance of the
  // clock, so advance past the pause until done() holds.
  bool AdvancePausesUntil(const std::function<bool()>& done) {
    return Eventually([&] {
      if (done()) return true;
      AdvancePastPause();
      return false;
    });
  }

  ScopedTempDir dir_;
  // The Kernel's pipe for this test: a socket in its directory; on Windows a
  // named pipe of its own, as the tests of one Wine prefix run side by side.
#ifdef _WIN32
  const std::string pipe_path_ = "\\\\.\\pipe\\vd-link-test-" + NewGuid().ToString();
#else
  const std::string pipe_path_ = dir_.Path() + kPipeName;
#endif
  FakeClock clock_;
  TWakeEvent wake_;
  HostFileSystem fs_;
  RecordingLogWriter log_;
  RecordingEventSink events_;
  FakeTimeSetter time_setter_;
  DriverSettings settings_;
  TListOfModules modules_;
  TKernelSettings kernel_{modules_};
  std::unique_ptr<TQuestionsBuffer> questions_;
  std::unique_ptr<TSignalBuffer> signals_;
  std::vector<std::unique_ptr<TKernelSimulator>> sims_;
  std::unique_ptr<TCommunicationData> comm_;
  std::unique_ptr<TKernelLinkThread> link_;
};

TEST_F(KernelLinkThreadTest, RegistersReportsStatusAndFollowsTheStatusInterval) {
  TKernelSimulator& sim = StartRegistered();
  const std::string endpoint = "127.0.0.1:" + std::to_string(sim.TcpPort());
  EXPECT_EQ(kernel_.GetInstallationNumber(), 7);
  EXPECT_TRUE(Eventually([&] { return !kernel_.IsInactive() && modules_.Count() == 1; }));
  EXPECT_EQ(sim.CountReceived(2, 2), 1u);  // the driver acknowledged the registration
  EXPECT_EQ(events_.Count("Connection to kernel " + endpoint + " established."), 1u);
  EXPECT_EQ(events_.Count("Registration in Kernel."), 1u);
  EXPECT_EQ(
      LogCount(" Kernel TCP (Test Driver): TCP connection to Kernel " + endpoint + " established"),
      1u);

  clock_.AdvanceSeconds(TCommunicationData::kTcpStatusIntervalSeconds);
  EXPECT_TRUE(Eventually([&] { return sim.CountReceived(2500, 1) == 2; }));
}

TEST_F(KernelLinkThreadTest, KernelRequiringEncryptionTalksOnlyToAnEncryptingDriver) {
  TKernelSimOptions options;
  options.RequireEncryption = true;
  options.Key = "commissioning key";
  TKernelSimulator& strict = StartSim(options);
  kernel_.AddKernel("K1", "127.0.0.1", strict.TcpPort());
  StartLink();
  EXPECT_TRUE(Eventually([&] { return strict.CountReceived(2, 1) == 1; }));
  EXPECT_FALSE(strict.Received()[0].Decoded);
  EXPECT_EQ(strict.Received()[0].AnswerDirection, 9);
  link_->Stop();
  link_.reset();

  StartLink(TKernelLinkKind::Tcp, FrameSecurity{true, options.Key, options.IVSeed});
  EXPECT_TRUE(Eventually([&] { return strict.CountReceived(2500, 2) == 1; }));
  AddSignal("42");
  EXPECT_TRUE(Eventually([&] { return signals_->PendingCount() == 0; }));
}

TEST_F(KernelLinkThreadTest, TwoBadFramesAreForgivenByAGoodOneAndThreeInARowDropTheLink) {
  TKernelSimulator& sim = StartRegistered();
  auto bad = [&](size_t expected) {
    sim.SendRaw(BadHeaderFrame());
    ASSERT_TRUE(Eventually([&] { return LogCount("incorrect header CRC") == expected; }));
  };
  bad(1);
  bad(2);
  sim.SendRequest(0, 1);
  ASSERT_TRUE(Eventually([&] { return sim.CountReceived(0, 2) == 1; }));
  bad(3);
  bad(4);
  EXPECT_EQ(events_.Count("Incorrect frame received from kernel."), 0u);
  bad(5);
  EXPECT_TRUE(Eventually([&] { return LogCount("closed") == 1; }));
  EXPECT_EQ(events_.Count("Incorrect frame received from kernel."), 1u);
  EXPECT_TRUE(AdvancePausesUntil([&] { return sim.Connections() == 2; }));
}

TEST_F(KernelLinkThreadTest, HostileAndUndecodableFramesAreRefusedWithoutHarm) {
  TKernelSimulator& sim = StartRegistered();
  // A header announcing 4 GiB of data: refused before any allocation.
  TOrvanFrame huge;
  huge.TransmittedDataSize = 0xFFFFFFFFu;
  huge.HeaderCRC = CalculateHeaderCRC(huge);
  sim.SendRaw(SerializeFrame(huge));
  EXPECT_TRUE(Eventually(
      [&] { return LogCount("unable to read the requested number of frame data") == 1; }));

  // Good CRCs, unknown encryption type: the Kernel gets an error answer.
  TOrvanFrame odd;
  odd.Direction = 1;
  odd.FrameGUID = NewGuid();
  odd.EncryptionType = 5;
  odd.Data = "x";
  sim.SendRaw(RawFrame(odd));
  EXPECT_TRUE(Eventually([&] { return sim.CountReceived(0, 9) == 1; }));
  EXPECT_EQ(events_.Count("Kernel frame processing error!"), 1u);
  EXPECT_EQ(sim.Connections(), 1);
}

// A Kernel that stops sending in the middle of a frame costs one bad frame
// after the read time-out; the connection stays and signals go on.
TEST_F(KernelLinkThreadTest, KernelStallingMidFrameCostsOneBadFrameAndTheLinkGoesOn) {
  TKernelSimulator& sim = StartRegistered();
  TOrvanFrame frame;
  frame.Direction = 1;
  frame.FrameGUID = NewGuid();
  frame.Data = std::string(100, 'x');
  sim.SendRaw(RawFrame(frame).substr(0, kFrameHeaderSize + 50));
  ASSERT_TRUE(TickUntil(
      [&] { return LogCount("unable to read the requested number of frame data bytes!") == 1; }));
  AddSignal("after the stall");
  EXPECT_TRUE(Eventually([&] { return signals_->PendingCount() == 0; }));
  EXPECT_EQ(sim.Connections(), 1);
  EXPECT_EQ(events_.Count("Incorrect frame received from kernel."), 0u);
}

// Bursts of frames with good headers and wrong data CRCs: each burst costs
// one bad frame and is cleared; three in a row drop the connection, reported
// once a minute; the signal waiting meanwhile is delivered once the Kernel
// behaves again. A good frame between bursts would start the count again, so
// each round begins with nothing in flight. A burst fits in the socket's buffers, so that it has
// arrived whole when the link clears its input: the part of a larger one that came later would be
// bad frames of its own, as many as a loaded machine splits it.
TEST_F(KernelLinkThreadTest, CorruptFrameBurstsDropTheLinkButLoseNothing) {
  TKernelSimulator& sim = StartRegistered();
  TOrvanFrame corrupt;
  corrupt.Direction = 1;
  corrupt.Data = std::string(100, 'c');
  std::string burst = RawFrame(corrupt);
  burst[burst.size() - 1] ^= 1;                // the data no longer matches its CRC
  for (int i = 0; i < 6; ++i) burst += burst;  // 64 frames, about 11 KB
  const auto bad_lines = [&] {
    return LogCount("incorrect data CRC") + LogCount("incorrect header CRC") +
           LogCount("unable to read the requested number");
  };
  constexpr size_t kRounds = 3;
  for (size_t round = 1; round <= kRounds; ++round) {
    for (size_t n = 1; n <= TKernelLinkThread::kMaxBadFrames; ++n) {
      sim.SendRaw(burst);
      ASSERT_TRUE(Eventually([&] { return bad_lines() >= (round - 1) * 3 + n; }));
      // The link clears its input after logging the bad frame: a burst sent
      // before the clear ends would be discarded with this one.
      if (n < TKernelLinkThread::kMaxBadFrames) {
        ASSERT_TRUE(
            Eventually([&] { return LogCount("input buffer cleared") == (round - 1) * 2 + n; }));
      }
    }
    if (round == 1) AddSignal("during the bursts");
    ASSERT_TRUE(Eventually([&] { return LogCount("closed") == round; }));
    AdvancePastPause();
    ASSERT_TRUE(Eventually([&] { return sim.Connections() == static_cast<int>(round) + 1; }));
    ASSERT_TRUE(Eventually([&] { return sim.CountReceived(2500, 2) >= round + 1; }));
    // Delivered on the new connection; its acknowledgement is a good frame,
    // which must not come between the next round's bursts.
    ASSERT_TRUE(Eventually([&] { return signals_->PendingCount() == 0; }));
  }
  EXPECT_EQ(bad_lines(), 3 * kRounds);
  EXPECT_EQ(events_.Count("Incorrect frame received from kernel."), 1u);
  EXPECT_EQ(CacheFiles(), 0u);
}

// A Kernel that closes the connection after every frame: the link reconnects
// once per pause (no reconnect storm) and the signals wait, files and all,
// until a Kernel acknowledges them.
TEST_F(KernelLinkThreadTest, KernelClosingAfterEveryFrameKeepsSignalsUntilAcknowledged) {
  TKernelSimulator& sim = StartSim();
  sim.SetCloseAfterEveryFrame(true);
  kernel_.AddKernel("K1", "127.0.0.1", sim.TcpPort());
  AddSignal("A");
  AddSignal("B");
  StartLink();
  for (int drop = 1; drop <= 4; ++drop) {
    ASSERT_TRUE(Eventually([&] { return LogCount("closed") == static_cast<size_t>(drop); }));
    EXPECT_EQ(sim.Connections(), drop);  // the next attempt waits for the pause
    AdvancePastPause();
  }
  EXPECT_EQ(signals_->PendingCount() + signals_->PostponedCount(), 2u);
  EXPECT_EQ(CacheFiles(), 2u);
  sim.SetCloseAfterEveryFrame(false);
  EXPECT_TRUE(
      TickUntil([&] { return signals_->PendingCount() + signals_->PostponedCount() == 0; }));
  EXPECT_EQ(CacheFiles(), 0u);
}

// A Kernel that answers every signal with Direction 9: each comes back every
// 60 s, none is dropped, and all go once the Kernel acknowledges again.
TEST_F(KernelLinkThreadTest, KernelRefusingEverySignalKeepsThemAllUntilAcknowledged) {
  TKernelSimOptions options;
  options.Policy = {TKernelSimPolicy::Kind::EveryNth, 1, 9};
  TKernelSimulator& sim = StartRegistered(options);
  for (const char* name : {"A", "B", "C"}) AddSignal(name);
  ASSERT_TRUE(Eventually([&] { return signals_->PostponedCount() == 3; }));
  AdvanceAnswered(sim, 60);
  ASSERT_TRUE(Eventually([&] { return sim.CountReceived(2501, 1) == 6; }));
  ASSERT_TRUE(Eventually([&] { return signals_->PostponedCount() == 3; }));
  EXPECT_EQ(CacheFiles(), 3u);
  sim.SetPolicy({});
  AdvanceAnswered(sim, 60);
  EXPECT_TRUE(
      Eventually([&] { return signals_->PendingCount() + signals_->PostponedCount() == 0; }));
  EXPECT_EQ(sim.CountReceived(2501, 1), 9u);
  EXPECT_EQ(CacheFiles(), 0u);
}

// A Kernel that sends a frame a byte every 4 s holds no read past its
// deadline, and the link beats all the while (each Tick waits for a beat): a
// frame not whole by the end of the minute of silence is silence, in session
// and during the registration; the link connects again (to the same
// endpoint, keeping the module list). A stop ends at the 5 s of the
// unregistration however slowly its answer comes.
TEST_F(KernelLinkThreadTest, KernelSendingSlowlyHoldsNoReadPastItsDeadline) {
  TKernelSimulator& sim = StartRegistered();
  TOrvanFrame frame;
  frame.Direction = 1;
  frame.Data = std::string(1000, 'd');
  const std::string slow = RawFrame(frame);
  size_t next = 0;  // the next byte of slow to send
  const auto trickle = [&](int64_t seconds, const std::function<bool()>& done) {
    for (int64_t second = 0; second < seconds; ++second) {
      if (second % 4 == 0) sim.SendRaw(slow.substr(next++, 1));
      if (!Tick(done)) return false;
    }
    return true;
  };
  const auto never = [] { return false; };
  const int64_t silence = TKernelLinkThread::kSilenceSeconds;

  sim.SendRaw(slow.substr(0, kFrameHeaderSize));  // in session: the data trickles
  next = kFrameHeaderSize;
  ASSERT_TRUE(trickle(silence - 1, never));
  EXPECT_EQ(LogCount("closed"), 0u);
  ASSERT_TRUE(trickle(1, never));
  ASSERT_TRUE(Eventually([&] { return LogCount("closed") == 1; }));
  EXPECT_EQ(LogCount("unable to read the requested number of frame data bytes!"), 1u);

  sim.SetSilent(true);  // registering: the header trickles
  ASSERT_TRUE(TickUntil([&] { return sim.CountReceived(2, 1) == 2; }));
  EXPECT_EQ(modules_.Count(), 1u);
  // The link connected a few ticks before the registration was seen (as many
  // as a slow machine lets the test run ahead), so the minute counts from
  // then: the trickle ends within it, and not long before its end.
  next = 0;
  int64_t waited = 0;
  for (; LogCount("closed") < 2 && waited <= silence; ++waited) {
    if (waited % 4 == 0) sim.SendRaw(slow.substr(next++, 1));
    ASSERT_TRUE(Tick());
  }
  EXPECT_EQ(LogCount("closed"), 2u);
  EXPECT_GT(waited, silence / 2);
  EXPECT_EQ(LogCount("unable to read the requested number of frame header bytes!"), 1u);

  ASSERT_TRUE(TickUntil([&] { return sim.Connections() == 3; }));
  auto stop = std::async(std::launch::async, [&] { link_->Stop(); });
  const auto stopped = [&] {
    return stop.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  };
  ASSERT_TRUE(Eventually([&] { return sim.CountReceived(3, 1) == 1; }));
  sim.SendRaw(slow.substr(0, kFrameHeaderSize));  // the answer's data trickles
  next = kFrameHeaderSize;
  ASSERT_TRUE(trickle(TKernelLinkThread::kUnregistrationWaitMs / 1000 - 1, stopped));
  EXPECT_FALSE(stopped());
  ASSERT_TRUE(trickle(1, stopped));
  EXPECT_TRUE(Eventually(stopped));
}

TEST_F(KernelLinkThreadTest, StopWhileDisconnectedSendsNothingAndWhileConnectedOneUnregistration) {
  TKernelSimulator& sim = StartRegistered();
  sim.DropConnection();
  ASSERT_TRUE(Eventually([&] { return LogCount("closed") == 1; }));
  link_->Stop();  // in the reconnect pause
  EXPECT_EQ(sim.CountReceived(3), 0u);

  link_.reset();
  StartLink();
  ASSERT_TRUE(Eventually([&] { return sim.CountReceived(2500, 2) == 2; }));
  link_->Stop();
  EXPECT_EQ(sim.CountReceived(3, 1), 1u);
  EXPECT_EQ(LogCount("connection thread stop"), 2u);
}

// The endpoint ports of the "unable to establish" log lines, in order.
std::vector<std::string> FailedPorts(const std::vector<std::string>& lines) {
  std::vector<std::string> ports;
  for (const std::string& line : lines) {
    if (line.find("unable to establish") == std::string::npos) continue;
    const size_t at = line.find("127.0.0.1:") + 10;
    ports.push_back(line.substr(at, line.find(':', at) - at));
  }
  return ports;
}

TEST_F(KernelLinkThreadTest, UnreachableEndpointsAreTriedInTurnAndReportedOnceEach) {
  std::vector<std::string> ports;
  for (int i = 0; i < 3; ++i) {
    ports.push_back(std::to_string(DeadPort()));
    kernel_.AddKernel("K" + std::to_string(i), "127.0.0.1", std::stoi(ports.back()));
  }
  StartLink();
  ASSERT_TRUE(AdvancePausesUntil([&] { return LogCount("unable to establish") >= 4; }));
  std::vector<std::string> tried = FailedPorts(log_.Lines());
  tried.resize(4);
  EXPECT_EQ(tried, (std::vector<std::string>{ports[0], ports[1], ports[2], ports[0]}));
  EXPECT_EQ(events_.Count("Unable to establish connection to kernel 127.0.0.1:" + ports[0] + " !"),
            1u);
}

TEST_F(KernelLinkThreadTest, EndpointOfARegistrationGetsThreeAttemptsBeforeTheNext) {
  TKernelSimulator& sim = StartSim();
  const std::string sim_port = std::to_string(sim.TcpPort());
  const std::string dead_port = std::to_string(DeadPort());
  kernel_.AddKernel("K1", "127.0.0.1", sim.TcpPort());
  kernel_.AddKernel("K2", "127.0.0.1", std::stoi(dead_port));
  StartLink();
  ASSERT_TRUE(Eventually([&] { return sim.CountReceived(2500, 2) == 1; }));
  sim.Stop();  // the Kernel goes away
  ASSERT_TRUE(Eventually([&] { return LogCount("closed") == 1; }));
  ASSERT_TRUE(AdvancePausesUntil([&] { return LogCount("unable to establish") >= 4; }));
  std::vector<std::string> tried = FailedPorts(log_.Lines());
  tried.resize(4);
  EXPECT_EQ(tried, (std::vector<std::string>{sim_port, sim_port, sim_port, dead_port}));
}

TEST_F(KernelLinkThreadTest, PipeLinkRegistersWithItsOwnTextsAndIntervals) {
  const std::string path = pipe_path_;
  TKernelSimulator& sim = StartPipeSim();
  StartLink(TKernelLinkKind::Pipe);
  ASSERT_TRUE(Eventually([&] { return sim.CountReceived(2500, 2) == 1; }));
  EXPECT_EQ(events_.Count("Named pipe connection server " + path + " connection established."), 1u);
  EXPECT_EQ(events_.Count("Module registered correctly."), 1u);
  EXPECT_EQ(
      LogCount(" Kernel Pipe (Test Driver): named pipe connection established (" + path + ")"), 1u);
  clock_.AdvanceSeconds(5);
  AddSignal("9");  // wakes the link: a status report would go now on TCP
  ASSERT_TRUE(Eventually([&] { return signals_->PendingCount() == 0; }));
  EXPECT_EQ(sim.CountReceived(2500, 1), 1u);
  clock_.AdvanceSeconds(5);
  EXPECT_TRUE(Eventually([&] { return sim.CountReceived(2500, 1) == 2; }));
}

// A Kernel that stops in the middle of a frame costs the pipe's read
// time-out and the connection; a Kernel that goes away breaks the pipe. Each
// time the link closes with the pipe's texts and connects again; at the end
// it unregisters over the pipe.
TEST_F(KernelLinkThreadTest, PipeReadTimeoutAndAKernelGoneCloseThePipeAndTheLinkReconnects) {
  const std::string path = pipe_path_;
  TKernelSimulator& first = StartPipeSim();
  StartLink(TKernelLinkKind::Pipe);
  ASSERT_TRUE(Eventually([&] { return first.CountReceived(2500, 2) == 1; }));

  TOrvanFrame frame;
  frame.Direction = 1;
  frame.Data = std::string(100, 'x');
  first.SendRaw(RawFrame(frame).substr(0, kFrameHeaderSize));  // the data never comes
  ASSERT_TRUE(TickUntil([&] {
    return LogCount("Communication thread exception: Exception - Read operation timeout!") == 1;
  }));
  EXPECT_TRUE(Eventually([&] {  // the event follows the log line
    return events_.Count("Pipe connection server " + path + " connection error!") == 1 &&
           events_.Count("Pipe connection server " + path + " connection closed.") == 1;
  }));
  ASSERT_TRUE(AdvancePausesUntil([&] { return first.Connections() == 2; }));
  ASSERT_TRUE(Eventually([&] { return first.CountReceived(2, 1) == 2; }));
  // Nothing in flight when the Kernel goes: the link notices it waiting.
  ASSERT_TRUE(Eventually([&] { return first.CountReceived(2500, 2) == 2; }));

  first.Stop();  // the Kernel goes away
  EXPECT_TRUE(Eventually([&] { return LogCount("wait exception: ") == 1; }));
  EXPECT_TRUE(Eventually([&] { return LogCount("pipe connection to " + path + " closed") == 2; }));
  ASSERT_TRUE(AdvancePausesUntil(
      [&] { return LogCount("unable to establish named pipe connection") >= 2; }));
  EXPECT_EQ(events_.Count("Unable to establish named pipe connection " + path + " !"), 1u);

  TKernelSimulator& second = StartPipeSim();
  ASSERT_TRUE(AdvancePausesUntil([&] { return second.Connections() == 1; }));
  EXPECT_TRUE(Eventually([&] { return second.CountReceived(2500, 2) == 1; }));
  EXPECT_EQ(events_.Count("Named pipe connection server " + path + " connection established."), 3u);
  link_->Stop();
  EXPECT_EQ(second.CountReceived(3, 1), 1u);  // the unregistration, answered in time
  EXPECT_EQ(LogCount("module unregistration exception: "), 0u);
}

}  // namespace
}  // namespace vd
