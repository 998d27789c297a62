#include "link/communication_data.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "buffers/signal_xml.h"
#include "config/driver_settings.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_time_setter.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_temp_dir.h"
#include "kernel/crc32.h"
#include "kernel/frame_codec.h"
#include "kernel/frame_header.h"
#include "kernel/kernel_messages.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "platform/host_file_system.h"
#include "support/errors.h"
#include "support/xml_utils.h"

namespace vd {
namespace {

const TGuid kKernelGuid = *TGuid::Parse("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
constexpr uint16_t kKernelInstallation = 1;

// The protocol between two codecs: every frame the driver sends is encoded,
// serialised, checked and decoded as the Kernel would receive it, and every
// frame of the Kernel takes the same road to the driver. The Kernel's side is
// played by the test through Sent and Receive.
class CommunicationDataTest : public testing::Test {
 protected:
  CommunicationDataTest() {
    settings_.Name = "North";
    settings_.LocalIP = "10.0.0.9";
    settings_.Ports.resize(1);
    Start(TCommunicationData::kTcpStatusIntervalSeconds,
          TCommunicationData::kTcpResendIntervalSeconds);
  }

  void Start(int32_t status_interval, int32_t resend_interval) {
    protocol_ = std::make_unique<TCommunicationData>(
        TCommunicationData::Collaborators{clock_, settings_, kernel_, modules_, *signals_,
                                          *questions_, events_, log_, time_setter_},
        status_interval, resend_interval);
  }

  // One pass of the link: the frame the Kernel receives, if one is sent now.
  std::optional<TOrvanFrame> Sent() {
    TOrvanFrame frame;
    if (!protocol_->GetNextFrameToSend(frame)) return std::nullopt;
    return OverTheWire(frame, driver_codec_, kernel_codec_);
  }

  // The next frame sent other than status reports, which are acknowledged.
  std::optional<TOrvanFrame> SentBesidesStatus() {
    for (int n = 0; n < 3; ++n) {
      std::optional<TOrvanFrame> frame = Sent();
      if (!frame || frame->FrameType != kFrameTypeStatus) return frame;
      Receive(Reply(*frame, kDirectionAcknowledge));
    }
    return std::nullopt;
  }

  // Hands a frame of the Kernel to the driver; its answers are recorded.
  void Receive(TOrvanFrame frame) {
    const TOrvanFrame received = OverTheWire(frame, kernel_codec_, driver_codec_);
    protocol_->HandleReceivedFrame(
        received,
        [this](const TOrvanFrame& f) { answers_.push_back(BuildErrorAnswer(f, kernel_)); },
        [this](const TOrvanFrame& f) { answers_.push_back(BuildAnswer(f, kernel_)); });
  }

  static TOrvanFrame OverTheWire(TOrvanFrame frame, TFrameCodec& from, TFrameCodec& to) {
    from.EncodeFrame(frame);
    const std::string bytes = SerializeFrame(frame);
    TOrvanFrame received = ParseFrameHeader(std::string_view(bytes).substr(0, kFrameHeaderSize));
    CheckFrameHeaderSizes(received);
    received.Data = bytes.substr(kFrameHeaderSize);
    EXPECT_EQ(CalculateHeaderCRC(received), received.HeaderCRC);
    EXPECT_EQ(CalculateDataCRC(received.Data), received.DataCRC);
    to.DecodeFrame(received);
    return received;
  }

  static TOrvanFrame FromKernel(uint16_t type, uint8_t direction, const TGuid& guid,
                                std::string data = {}, uint16_t destination_installation = 0) {
    TOrvanFrame frame;
    frame.FrameType = type;
    frame.Direction = direction;
    frame.FrameGUID = guid;
    frame.SourceModuleGUID = kKernelGuid;
    frame.SourceInstallationNumber = kKernelInstallation;
    frame.DestinationInstallationNumber = destination_installation;
    frame.Data = std::move(data);
    return frame;
  }

  static TOrvanFrame Reply(const TOrvanFrame& sent, uint8_t direction) {
    return FromKernel(sent.FrameType, direction, sent.FrameGUID);
  }

  // Registration as a Kernel does it: acknowledgement, then its own request.
  TGuid Register(uint16_t installation = 17) {
    const std::optional<TOrvanFrame> registration = Sent();
    EXPECT_TRUE(registration && registration->FrameType == kFrameTypeRegistration);
    if (!registration) return {};
    Receive(Reply(*registration, kDirectionAcknowledge));
    Receive(FromKernel(kFrameTypeRegistration, kDirectionRequest, NewGuid(), {}, installation));
    EXPECT_TRUE(protocol_->Registered());
    return registration->FrameGUID;
  }

  void RegisterAndAcknowledgeStatus() {
    Register();
    const std::optional<TOrvanFrame> status = Sent();
    ASSERT_TRUE(status && status->FrameType == kFrameTypeStatus);
    Receive(Reply(*status, kDirectionAcknowledge));
  }

  TGuid AddSignal(const std::string& hardware_number) {
    TSignal signal;
    InitPortSignal(signal, 1, settings_, clock_);
    signal.HardwareNumber = hardware_number;
    EXPECT_TRUE(signals_->AddSignal(signal));
    TGuid id;
    EXPECT_TRUE(signals_->GetFirstSignal(signal, id));
    return id;
  }

  size_t Files(const std::string& dir) { return fs_.ListDirectory(dir).size(); }

  // The system time set forward or back: the intervals of the exchange run on
  // the monotonic clock and keep their lengths.
  void SetSystemTimeBy(int64_t seconds) { clock_.SetUtcMs(clock_.UtcNowMs() + seconds * 1000); }

  ScopedTempDir dir_;
  HostFileSystem fs_;
  FakeClock clock_;
  RecordingEventSink events_;
  RecordingLogWriter log_;
  FakeTimeSetter time_setter_;
  DriverSettings settings_;
  TListOfModules modules_;
  TKernelSettings kernel_{modules_};
  std::unique_ptr<TSignalBuffer> signals_ = std::make_unique<TSignalBuffer>(
      fs_, clock_, events_, log_, settings_, dir_.Path() + "sig/", false);
  std::unique_ptr<TQuestionsBuffer> questions_ = std::make_unique<TQuestionsBuffer>(
      fs_, clock_, log_, TQuestionsBuffer::Options{dir_.Path() + "que/", "North", "", false});
  TFrameCodec driver_codec_{FrameSecurity{true, "shared key", kDefaultFrameIVSeed}};
  TFrameCodec kernel_codec_{FrameSecurity{true, "shared key", kDefaultFrameIVSeed}};
  std::unique_ptr<TCommunicationData> protocol_;
  std::vector<TOrvanFrame> answers_;
};

TEST_F(CommunicationDataTest, RegistrationRepeatsWithOneGuidUntilTheKernelRegistersTheDriver) {
  for (const int32_t resend : {TCommunicationData::kTcpResendIntervalSeconds,
                               TCommunicationData::kPipeResendIntervalSeconds}) {
    Start(resend, resend);
    const std::optional<TOrvanFrame> first = Sent();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->FrameType, kFrameTypeRegistration);
    EXPECT_EQ(first->Direction, kDirectionRequest);
    EXPECT_NE(first->Data.find("<Name>North</Name>"), std::string::npos);
    EXPECT_FALSE(Sent());
    clock_.AdvanceSeconds(resend - 1);
    EXPECT_FALSE(Sent());
    clock_.AdvanceSeconds(1);
    EXPECT_EQ(Sent()->FrameGUID, first->FrameGUID);
    Receive(Reply(*first, kDirectionAcknowledge));  // acknowledged, not yet registered
    EXPECT_FALSE(protocol_->Registered());
    clock_.AdvanceSeconds(resend);
    EXPECT_EQ(Sent()->FrameGUID, first->FrameGUID);
    EXPECT_TRUE(answers_.empty());
  }

  const TGuid request = NewGuid();
  Receive(FromKernel(kFrameTypeRegistration, kDirectionRequest, request, {}, 17));
  EXPECT_TRUE(protocol_->Registered());
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_EQ(
      std::tie(answers_[0].Direction, answers_[0].FrameGUID, answers_[0].SourceInstallationNumber),
      std::make_tuple(kDirectionAcknowledge, request, 17));
  const std::optional<TOrvanFrame> status = Sent();  // at once, not after the resend interval
  ASSERT_TRUE(status);
  EXPECT_EQ(std::tie(status->FrameType, status->SourceInstallationNumber),
            std::make_tuple(kFrameTypeStatus, 17));
}

TEST_F(CommunicationDataTest, WithdrawnRegistrationIsRenewedWithANewGuid) {
  const TGuid first = Register();
  ASSERT_TRUE(Sent());  // status report in flight
  const TGuid withdrawal = NewGuid();
  Receive(FromKernel(kFrameTypeRegistrationWithdrawn, kDirectionRequest, withdrawal));
  EXPECT_FALSE(protocol_->Registered());
  ASSERT_EQ(answers_.back().FrameGUID, withdrawal);
  const std::optional<TOrvanFrame> again = Sent();  // at once
  ASSERT_TRUE(again && again->FrameType == kFrameTypeRegistration);
  EXPECT_NE(again->FrameGUID, first);
  Receive(FromKernel(kFrameTypeRegistration, kDirectionRequest, NewGuid(), {}, 18));
  EXPECT_EQ(kernel_.GetInstallationNumber(), 18);
  EXPECT_EQ(Sent()->FrameType, kFrameTypeStatus);
}

TEST_F(CommunicationDataTest, StatusIsReportedAMinuteAfterAnAcknowledgementOrAsTheAnswerSays) {
  Register();
  const std::optional<TOrvanFrame> first = Sent();
  ASSERT_TRUE(first);
  Receive(Reply(*first, kDirectionAcknowledge));
  SetSystemTimeBy(3600);
  clock_.AdvanceSeconds(59);
  EXPECT_FALSE(Sent());
  clock_.AdvanceSeconds(1);
  const std::optional<TOrvanFrame> second = Sent();
  ASSERT_TRUE(second);
  EXPECT_NE(second->FrameGUID, first->FrameGUID);
  EXPECT_NE(second->Data.find("<Mode>Inactive</Mode><Status>Error</Status>"), std::string::npos);

  struct Case {
    uint8_t direction;
    uint8_t answer;
    int64_t next_after;
  };
  for (const Case c : {Case{kDirectionRequest, kDirectionAcknowledge, 5},
                       Case{kDirectionLongRequest, kDirectionAnswerAcknowledge, 60}}) {
    Receive(FromKernel(kFrameTypeStatus, c.direction, NewGuid(),
                       "<Data><Mode>ACTIVE</Mode><Status>OK</Status></Data>"));
    EXPECT_EQ(answers_.back().Direction, c.answer);
    SetSystemTimeBy(-3600);
    clock_.AdvanceSeconds(c.next_after - 1);
    EXPECT_FALSE(SentBesidesStatus()) << "early report";
    clock_.AdvanceSeconds(1);
    const std::optional<TOrvanFrame> report = Sent();
    ASSERT_TRUE(report && report->FrameType == kFrameTypeStatus);
    EXPECT_NE(report->Data.find("<Mode>Active</Mode><Status>OK</Status>"), std::string::npos);
  }
}

TEST_F(CommunicationDataTest, RefusedSignalReturnsAfterItsDelayAndLeavesWithItsFileOnAck) {
  for (const auto& [refusal, delay, jump] :
       {std::tuple{kDirectionRetry, 15, 3600}, std::tuple{kDirectionError, 60, -3600}}) {
    Start(5, 5);
    const TGuid id = AddSignal("0042");
    RegisterAndAcknowledgeStatus();
    const std::optional<TOrvanFrame> sent = Sent();
    ASSERT_TRUE(sent && sent->FrameType == kFrameTypeSignal && sent->FrameGUID == id);
    pugi::xml_document document;
    ParseXml(sent->Data, document);
    EXPECT_EQ(
        ReadSignalXml(RequireChild(RequireChild(document, "Data"), "ObjectSignal")).HardwareNumber,
        "0042");
    Receive(Reply(*sent, refusal));
    EXPECT_EQ(signals_->PostponedCount(), 1u);
    EXPECT_EQ(Files(signals_->CacheDirectory()), 1u);
    SetSystemTimeBy(jump);
    clock_.AdvanceSeconds(delay - 1);
    EXPECT_FALSE(SentBesidesStatus()) << "early retry after " << int{refusal};
    clock_.AdvanceSeconds(1);
    const std::optional<TOrvanFrame> again = SentBesidesStatus();
    ASSERT_TRUE(again && again->FrameGUID == id);  // its GUID kept
    const size_t answers = answers_.size();
    Receive(Reply(*again, kDirectionAcknowledge));
    EXPECT_EQ(signals_->PendingCount() + signals_->PostponedCount(), 0u);
    EXPECT_EQ(Files(signals_->CacheDirectory()), 0u);
    EXPECT_EQ(answers_.size(), answers);  // acknowledgements are not answered
    EXPECT_FALSE(SentBesidesStatus());
  }
}

TEST_F(CommunicationDataTest, QuestionBufferItemsAreSentAndAnswersHandedBack) {
  ASSERT_TRUE(questions_->AddSystemEvent("Port closed.", "port 1", true));
  ASSERT_TRUE(questions_->AddQuestion(1200, "<Data><Q/></Data>", false));
  RegisterAndAcknowledgeStatus();
  const std::optional<TOrvanFrame> event = Sent();
  ASSERT_TRUE(event);
  EXPECT_EQ(event->FrameType, 9);
  EXPECT_NE(event->Data.find("<Text>Port closed.</Text>"), std::string::npos);
  Receive(Reply(*event, kDirectionAcknowledge));  // or the event would be sent next

  const std::optional<TOrvanFrame> question = SentBesidesStatus();
  ASSERT_TRUE(question);
  EXPECT_EQ(std::tie(question->FrameType, question->Data),
            std::make_tuple(1200, "<Data><Q/></Data>"));
  Receive(Reply(*question, kDirectionAcknowledge));
  EXPECT_EQ(questions_->ItemCount(), 1u);  // waits for its final answer
  Receive(FromKernel(1200, 6, question->FrameGUID, "<Data>done</Data>"));
  EXPECT_EQ(questions_->ItemCount(), 0u);
  EXPECT_EQ(std::tie(answers_.back().Direction, answers_.back().FrameGUID),
            std::make_tuple(kDirectionAnswerAcknowledge, question->FrameGUID));
}

TEST_F(CommunicationDataTest, UnansweredFramesAreResentThenTheNextChannelGetsItsTurn) {
  struct Case {
    int32_t resend;
    std::string sends;  // Q question, S signal, P status report
  };
  for (const Case& c : {Case{5, "QQQSSSQQQ"}, Case{10, "QQQSSSPPP"}}) {
    Start(c.resend, c.resend);
    RegisterAndAcknowledgeStatus();
    ASSERT_TRUE(questions_->AddSystemEvent("Event", "", false));
    AddSignal("1");
    std::string sends;
    TGuid last;
    for (size_t n = 0; n < c.sends.size(); ++n) {
      const std::optional<TOrvanFrame> frame = Sent();
      ASSERT_TRUE(frame) << "send " << n;
      EXPECT_FALSE(Sent());
      sends += frame->FrameType == 9 ? 'Q' : frame->FrameType == kFrameTypeSignal ? 'S' : 'P';
      if (n % 3 != 0) {
        EXPECT_EQ(frame->FrameGUID, last) << "send " << n;
      }
      last = frame->FrameGUID;
      SetSystemTimeBy(-3600);
      clock_.AdvanceSeconds(c.resend);
    }
    EXPECT_EQ(sends, c.sends);
    EXPECT_EQ(questions_->ItemCount(), 1u);  // an event gives up only its turn
    EXPECT_EQ(signals_->PendingCount(), 1u);
    // Clean up for the next case.
    TSignal signal;
    TGuid id;
    while (signals_->GetFirstSignal(signal, id)) signals_->RemoveSignal(id);
    protocol_.reset();  // it holds the buffer that goes now; the next Start makes it anew
    questions_ = std::make_unique<TQuestionsBuffer>(
        fs_, clock_, log_,
        TQuestionsBuffer::Options{dir_.Path() + "q" + sends + "/", "", "", false});
  }
}

TEST_F(CommunicationDataTest, RepeatedRequestIsAnsweredAgainButActedOnOnce) {
  Register();
  TOrvanFrame request = FromKernel(kFrameTypeStatus, kDirectionRequest, NewGuid(),
                                   "<Data><Mode>ACTIVE</Mode></Data>");
  Receive(request);
  EXPECT_FALSE(kernel_.IsInactive());
  kernel_.SetInactive(true);
  Receive(request);
  EXPECT_TRUE(kernel_.IsInactive());
  EXPECT_EQ(answers_.size(), 3u);
  EXPECT_EQ(answers_[2].FrameGUID, request.FrameGUID);
  request.FrameNumber = 1;  // a new request
  Receive(request);
  EXPECT_FALSE(kernel_.IsInactive());
}

TEST_F(CommunicationDataTest, IncorrectDirectionIsLoggedReportedOncePerMinuteAndRefused) {
  Register();
  for (const int direction : {4, 7, 8, 10, 255}) {
    Receive(FromKernel(kFrameTypeStatus, static_cast<uint8_t>(direction), NewGuid(),
                       "<Data><Mode>ACTIVE</Mode></Data>"));
    EXPECT_EQ(answers_.back().Direction, kDirectionError);
    EXPECT_EQ(log_.Lines().back(), "incorrect frame direction: " + std::to_string(direction));
  }
  EXPECT_TRUE(kernel_.IsInactive());  // not processed
  ASSERT_EQ(events_.Count("Incorrect frame received from kernel."), 1u);
  EXPECT_EQ(events_.Events()[0].details, "Incorrect frame direction marker (4).");
  EXPECT_TRUE(events_.Events()[0].is_error);
  clock_.AdvanceSeconds(60);
  Receive(FromKernel(0, 4, NewGuid()));
  EXPECT_EQ(events_.Count("Incorrect frame received from kernel."), 2u);
}

TEST_F(CommunicationDataTest, AnswersForOtherFramesLeaveTheFrameInFlight) {
  // Before registration even the answer to the frame in flight completes nothing.
  const std::optional<TOrvanFrame> registration = Sent();
  ASSERT_TRUE(registration);
  Receive(Reply(*registration, kDirectionAcknowledge));
  EXPECT_EQ(protocol_->Channel(), 0);
  EXPECT_EQ(protocol_->LastSentGUID(), registration->FrameGUID);
  Receive(Reply(*registration, kDirectionRetry));  // the next one waits a resend interval
  clock_.AdvanceSeconds(4);
  EXPECT_FALSE(Sent());

  Receive(FromKernel(kFrameTypeRegistration, kDirectionRequest, NewGuid(), {}, 3));
  const std::optional<TOrvanFrame> status = Sent();
  ASSERT_TRUE(status && status->FrameType == kFrameTypeStatus);
  Receive(Reply(*status, kDirectionAcknowledge));
  const TGuid id = AddSignal("5");
  const std::optional<TOrvanFrame> signal = Sent();
  ASSERT_TRUE(signal && signal->FrameGUID == id);
  for (const uint8_t direction : {kDirectionAcknowledge, kDirectionRetry, kDirectionError}) {
    Receive(FromKernel(kFrameTypeSignal, direction, NewGuid()));
    Receive(FromKernel(1200, direction, NewGuid()));
  }
  EXPECT_EQ(signals_->PendingCount(), 1u);
  EXPECT_FALSE(Sent());
  clock_.AdvanceSeconds(5);
  const std::optional<TOrvanFrame> resent = Sent();
  ASSERT_TRUE(resent && resent->FrameGUID == id);
}

TEST_F(CommunicationDataTest, MalformedStatusAnswerRaisesAndIsLeftUnanswered) {
  Register();
  const size_t answers = answers_.size();
  EXPECT_THROW(Receive(FromKernel(kFrameTypeStatus, kDirectionRequest, NewGuid(),
                                  "<Data><ModulesList><ChangeIndex>5</ChangeIndex><Module>"
                                  "<GUID>x</GUID></Module></ModulesList></Data>")),
               Exception);
  EXPECT_EQ(answers_.size(), answers);
}

}  // namespace
}  // namespace vd
