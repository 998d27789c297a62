#include "device/device_message.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_time_zone.h"
#include "service/driver_settings.h"

namespace vd {
namespace {

// Body: flags "AB", field "CD", HN "1234", kind, 2024-01-15 12:30:45, value,
// separator, payload.
std::string Message(const std::string& kind, const std::string& payload,
                    const std::string& date = "20240115123045", const std::string& value = "07") {
  return "[ABCD1234" + kind + date + value + "|" + payload + "]";
}

class DeviceMessageTest : public testing::Test {
 protected:
  ScopedTimeZone time_zone_{"Europe/Warsaw"};
  void SetUp() override {
    AddPort(1, "Port A", "pw1");
    AddPort(2, "Port B", "pw2");
  }
  void AddPort(int32_t number, const std::string& name, const std::string& password) {
    PortEntry& entry = settings_.Ports.emplace_back();
    entry.PortNumber = number;
    entry.PortName = name;
    entry.DriverPassword = password;
  }

  bool Parse(std::string_view message, int32_t port_number = 1) {
    return parser_.ParseDeviceMessage(message, port_number, "G", writer_);
  }

  TSignal OnlySignal() const {
    const std::vector<TSignal> all = signals_.Signals();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? TSignal() : all.front();
  }

  // The fake clock's 2024-01-15 12:00:00 UTC on the Warsaw wall clock.
  static constexpr int64_t kLocalNow = FakeClock::kDefaultUtcMs / 1000 + 3600;
  static constexpr const char* kNowText = "20240115130000";
  static constexpr int64_t kZeroDateTime = -2209161600;

  DriverSettings settings_;
  FakeClock clock_;
  RecordingSignalSink signals_;
  RecordingEventSink events_;
  TDeviceMessageParser parser_{settings_, clock_, signals_, events_};
  std::vector<std::string> replies_;
  ReplyWriter writer_ = [this](const std::string& text) { replies_.push_back(text); };
};

TEST_F(DeviceMessageTest, PayloadTwoTakesHardwareNumberAndFieldsFromThePayload) {
  ASSERT_TRUE(Parse(Message("02AD", "25678xyCODEe2e1x")));

  const TSignal signal = OnlySignal();
  EXPECT_EQ(signal.HardwareNumber, "5678");
  EXPECT_EQ(signal.Code.str(), "CODE");
  EXPECT_EQ(signal.Extension2.str(), "e2");
  EXPECT_EQ(signal.Extension1.str(), "e1x");
  EXPECT_EQ(signal.Extension3.str(), "CD");
  EXPECT_EQ(signal.Extension4.str(), "A");
  EXPECT_EQ(signal.Extension5.str(), "B");
  EXPECT_EQ(signal.TimeIn, kLocalNow);
  EXPECT_EQ(signal.TimeSource, 1705321845);  // 2024-01-15 12:30:45, no zone shift
  EXPECT_FALSE(signal.SourceTimeValid);
  EXPECT_EQ(signal.Value, 7);
  EXPECT_EQ(signal.CanalType, "G");
  EXPECT_EQ(signal.DriverPort, 1);
  EXPECT_EQ(signal.DriverPortName, "Port A");
  EXPECT_EQ(signal.DriverName, "VolterDirect Driver");
  EXPECT_EQ(signal.SignalType, stExternal);
  EXPECT_TRUE(replies_.empty());
  EXPECT_TRUE(events_.Events().empty());
}

TEST_F(DeviceMessageTest, PayloadsOneAndThreeTakeTheirCodesFromTheirOwnPositions) {
  ASSERT_TRUE(Parse(Message("02AD", "19876xyC1")));
  ASSERT_TRUE(Parse(Message("02AD", "35555C3")));
  const std::vector<TSignal> all = signals_.Signals();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].HardwareNumber, "9876");
  EXPECT_EQ(all[0].Code.str(), "C1");
  EXPECT_EQ(all[1].HardwareNumber, "5555");
  EXPECT_EQ(all[1].Code.str(), "C3");
  EXPECT_TRUE(all[1].Extension1.empty());
}

TEST_F(DeviceMessageTest, UnknownPayloadKeepsTheWholeBodyAsFirstExtension) {
  const std::string payload = "7" + std::string(120, 'z');
  ASSERT_TRUE(Parse(Message("02AD", payload)));
  const TSignal signal = OnlySignal();
  const std::string body = Message("02AD", payload).substr(1, 29 + payload.size());
  EXPECT_EQ(signal.Code.str(), "UNKNOWN");
  EXPECT_EQ(signal.HardwareNumber, "1234");
  EXPECT_EQ(signal.Extension1.str(), body.substr(0, 100));
}

TEST_F(DeviceMessageTest, OtherKindsAreCodedWithTheKindAndCarryThePayload) {
  ASSERT_TRUE(Parse(Message("02ad", "2payload")));
  ASSERT_TRUE(Parse(Message("X9Z1", std::string(150, 'p'))));
  const std::vector<TSignal> all = signals_.Signals();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].Code.str(), "02ad");
  EXPECT_EQ(all[0].HardwareNumber, "1234");
  EXPECT_EQ(all[0].Extension1.str(), "2payload");
  EXPECT_EQ(all[1].Code.str(), "X9Z1");
  EXPECT_EQ(all[1].Extension1.str(), std::string(100, 'p'));
}

TEST_F(DeviceMessageTest, TimeRequestIsAnsweredWithThePortsPasswordAndAddsNoSignal) {
  ASSERT_TRUE(Parse(Message("02AC", ""), 2));
  EXPECT_TRUE(signals_.Signals().empty());
  ASSERT_EQ(replies_.size(), 1u);
  EXPECT_EQ(replies_[0], std::string("*1234*pw2*00*") + kNowText + "*\n");
}

TEST_F(DeviceMessageTest, TimeReplyPadsEveryPartButTheYear) {
  EXPECT_EQ(BuildTimeReply("HN", "pw", CivilTime{2025, 3, 5, 7, 8, 9, 0}),
            "*HN*pw*00*20250305070809*\n");
  EXPECT_EQ(BuildTimeReply("", "", CivilTime{987, 12, 31, 23, 59, 59, 0}),
            "***00*9871231235959*\n");
}

TEST_F(DeviceMessageTest, InvalidDateIsAnsweredAndTheSignalKeepsTheZeroDateTime) {
  for (const char* date :
       {"20241315123045", "20240230123045", "20240115240000", "2024o115123045"}) {
    SCOPED_TRACE(date);
    replies_.clear();
    ASSERT_TRUE(Parse(Message("02AD", "25678xyCODE", date)));
    ASSERT_EQ(replies_.size(), 1u);
    EXPECT_EQ(replies_[0], std::string("*1234*pw1*00*") + kNowText + "*\n");
  }
  const std::vector<TSignal> all = signals_.Signals();
  ASSERT_EQ(all.size(), 4u);
  for (const TSignal& signal : all) {
    EXPECT_EQ(signal.TimeSource, kZeroDateTime);
    EXPECT_EQ(signal.TimeIn, kLocalNow);
  }
}

TEST_F(DeviceMessageTest, ValueKeepsItsLowEightBitsAndIsZeroWhenNotANumber) {
  ASSERT_TRUE(Parse(Message("02AD", "2", "20240115123045", "7x")));
  ASSERT_TRUE(Parse(Message("02AD", "2", "20240115123045", "-1")));
  ASSERT_TRUE(Parse(Message("02AD", "2", "20240115123045", "99")));
  const std::vector<TSignal> all = signals_.Signals();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].Value, 0);
  EXPECT_EQ(all[1].Value, 255);
  EXPECT_EQ(all[2].Value, 99);
}

TEST_F(DeviceMessageTest, EmptyBodyFailsAfterAnsweringWithTheTime) {
  for (const char* message : {"[]", "[no closing bracket", "[", ""}) {
    SCOPED_TRACE(message);
    replies_.clear();
    events_.Clear();
    EXPECT_FALSE(Parse(message));
    ASSERT_EQ(replies_.size(), 1u);
    EXPECT_EQ(replies_[0], std::string("**pw1*00*") + kNowText + "*\n");
    const std::vector<RecordedEvent> events = events_.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "Signal analysis error.");
    EXPECT_EQ(events[0].details, "Exception - Message body is empty");
    EXPECT_TRUE(events[0].is_error);
  }
  EXPECT_TRUE(signals_.Signals().empty());
}

TEST_F(DeviceMessageTest, BytesAroundTheMessageAndAfterTheFirstBracketAreIgnored) {
  const std::string message = Message("02AD", "25678xyCODE");
  ASSERT_TRUE(Parse(" \t\r\n" + message + "\r\n"));
  ASSERT_TRUE(Parse(message + "[ABCD9999X9Z1]\r\n"));
  const std::vector<TSignal> all = signals_.Signals();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], all[1]);
  EXPECT_EQ(all[0].Extension4.str(), "A");
  EXPECT_EQ(all[0].Code.str(), "CODE");
}

TEST_F(DeviceMessageTest, ShortBodyIsAnsweredThenHandledByItsKind) {
  // The date is incomplete in every case, so each gets one time reply first.
  EXPECT_FALSE(Parse("[ABCD123402AD]"));  // no payload to read
  EXPECT_EQ(replies_.size(), 1u);
  EXPECT_EQ(events_.Count("Signal analysis error."), 1u);
  EXPECT_EQ(events_.Events()[0].details, "Exception - Message payload is empty");

  replies_.clear();
  EXPECT_TRUE(Parse("[ABCD123402AC2024]"));  // the time request answers too
  EXPECT_EQ(replies_.size(), 2u);
  EXPECT_TRUE(signals_.Signals().empty());

  replies_.clear();
  EXPECT_TRUE(Parse("[AB]"));
  EXPECT_EQ(replies_.size(), 1u);
  const TSignal signal = OnlySignal();
  EXPECT_EQ(signal.HardwareNumber, "");
  EXPECT_EQ(signal.Code.str(), "");
  EXPECT_EQ(signal.Extension4.str(), "A");
  EXPECT_EQ(signal.Extension5.str(), "B");
  EXPECT_EQ(signal.Extension3.str(), "");
  EXPECT_EQ(signal.TimeSource, kZeroDateTime);
}

TEST_F(DeviceMessageTest, OneByteBodyLeavesTheSecondFlagEmpty) {
  EXPECT_TRUE(Parse("[A]"));
  EXPECT_EQ(OnlySignal().Extension4.str(), "A");
  EXPECT_EQ(OnlySignal().Extension5.str(), "");
}

TEST_F(DeviceMessageTest, SignalSinkErrorFailsTheMessageButARefusalDoesNot) {
  signals_.result = false;
  EXPECT_TRUE(Parse(Message("02AD", "25678xyCODE")));

  signals_.fail_with = "cache directory full";
  EXPECT_FALSE(Parse(Message("02AD", "25678xyCODE")));
  const std::vector<RecordedEvent> events = events_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, "Signal analysis error.");
  EXPECT_EQ(events[0].details, "Exception - cache directory full");
}

TEST_F(DeviceMessageTest, ReplyWriterErrorFailsTheMessage) {
  writer_ = [](const std::string&) { throw std::runtime_error("connection reset"); };
  EXPECT_FALSE(Parse(Message("02AC", "")));
  ASSERT_EQ(events_.Events().size(), 1u);
  EXPECT_EQ(events_.Events()[0].details, "Exception - connection reset");
}

TEST_F(DeviceMessageTest, PortOutsideTheListIsAnsweredWithoutPassword) {
  ASSERT_TRUE(Parse(Message("02AC", ""), 0));
  ASSERT_TRUE(Parse(Message("02AC", ""), 3));
  ASSERT_EQ(replies_.size(), 2u);
  EXPECT_EQ(replies_[0], std::string("*1234**00*") + kNowText + "*\n");
  EXPECT_EQ(replies_[1], replies_[0]);

  ASSERT_TRUE(Parse(Message("02AD", "2"), 3));
  EXPECT_EQ(OnlySignal().DriverPort, 3);
  EXPECT_EQ(OnlySignal().DriverPortName, "Port A");
}

TEST_F(DeviceMessageTest, MissingReplyWriterDropsReplies) {
  writer_ = nullptr;
  EXPECT_TRUE(Parse(Message("02AC", "")));
  EXPECT_TRUE(Parse(Message("02AD", "2", "20241315123045")));
  EXPECT_EQ(signals_.Signals().size(), 1u);
  EXPECT_TRUE(events_.Events().empty());
}

TEST(TrimMessageTest, RemovesBlanksAndControlBytesOnlyAtTheEnds) {
  EXPECT_EQ(TrimMessage(std::string("\0 \x1f[a b]\x20\r\n", 11)), "[a b]");
  EXPECT_EQ(TrimMessage("\xa0[x]\xff"), "\xa0[x]\xff");
  EXPECT_EQ(TrimMessage(" \t "), "");
  EXPECT_EQ(TrimMessage(""), "");
}

// Random bytes and mutated valid messages: the parser never crashes, fails
// only with exactly one analysis-error event, and adds at most one signal.
TEST_F(DeviceMessageTest, ArbitraryInputNeverBreaksTheParser) {
  const std::vector<std::string> seeds = {Message("02AD", "25678xyCODEe2e1x"),
                                          Message("02AD", "19876xyC1"),
                                          Message("02AD", "35555C3"),
                                          Message("02AD", "7unknown"),
                                          Message("02AC", ""),
                                          Message("X9Z1", "payload"),
                                          "[]",
                                          "[ABCD123402AD]"};
  std::mt19937 random(20240115);
  auto below = [&random](size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(random);
  };
  auto byte = [&random]() {
    return static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
  };
  // Bytes a transmitter message is made of, to reach deeper branches often.
  const std::string likely = "[]0123456789ACD-+ \r\n";

  for (int round = 0; round < 4000; ++round) {
    std::string input;
    if (round % 2 == 0) {
      const size_t length = below(80);
      for (size_t i = 0; i < length; ++i)
        input += round % 4 == 0 ? byte() : likely[below(likely.size())];
    } else {
      input = seeds[below(seeds.size())];
      const size_t mutations = 1 + below(4);
      for (size_t m = 0; m < mutations; ++m) {
        const size_t at = input.empty() ? 0 : below(input.size());
        switch (below(4)) {
          case 0:
            if (!input.empty()) input[at] = byte();
            break;
          case 1:
            input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                         likely[below(likely.size())]);
            break;
          case 2:
            if (!input.empty()) input.erase(at, 1);
            break;
          default:
            input.resize(at);
            break;
        }
      }
    }
    SCOPED_TRACE(BytesToHex(input));
    RecordingSignalSink signals;
    RecordingEventSink events_seen;
    const TDeviceMessageParser parser(settings_, clock_, signals, events_seen);
    size_t replies = 0;
    const ReplyWriter count_replies = [&replies](const std::string&) { ++replies; };

    const bool handled =
        parser.ParseDeviceMessage(input, 1 + static_cast<int32_t>(below(3)), "G", count_replies);

    const std::vector<RecordedEvent> events = events_seen.Events();
    const size_t added = signals.Signals().size();
    EXPECT_LE(replies, 2u);
    if (handled) {
      EXPECT_TRUE(events.empty());
      EXPECT_LE(added, 1u);
    } else {
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0].text, "Signal analysis error.");
      EXPECT_TRUE(events[0].is_error);
      EXPECT_EQ(added, 0u);
    }
  }
}

}  // namespace
}  // namespace vd
