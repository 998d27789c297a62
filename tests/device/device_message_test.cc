#include "device/device_message.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <tuple>

#include "config/driver_settings.h"
#include "fakes/fake_clock.h"
#include "fakes/recording_sinks.h"
#include "fakes/scoped_time_zone.h"

namespace vd {
namespace {

// Body: flags "AB", field "CD", HN "1234", kind, source date, value, "|", payload.
std::string Message(const std::string& kind, const std::string& payload,
                    const std::string& date = "20240115123045", const std::string& value = "07") {
  return "[ABCD1234" + kind + date + value + "|" + payload + "]";
}

// The time reply at the fake clock's 2024-01-15 12:00:00 UTC (13:00 in Warsaw).
std::string TimeReply(const std::string& hn, const std::string& password = "") {
  return "*" + hn + "*" + password + "*00*20240115130000*\n";
}

// Extension3 to CanalType of Message(): 2024-01-15 12:30:45 is taken without
// a zone shift; an unreadable date leaves the zero date-time 1899-12-30.
std::string Tail(int value = 7, int64_t time_source = 1705321845) {
  return "/CD/A/B/" + std::to_string(value) + "/" + std::to_string(time_source) + "/G";
}
constexpr int64_t kZeroDateTime = -2209161600;
const std::string kPayloadTwo = "25678xyCODEe2e1x";
const std::string kPayloadTwoFields = "5678/CODE/e1x/e2";
const std::string kAnalysisError = "Signal analysis error. (error) Exception - ";

// What one message did: handled, every reply written, every signal added as
// "HN/Code/Extension1/.../Extension5/Value/TimeSource/CanalType", and every
// event raised as "text (error) details".
using Outcome = std::tuple<bool, std::string, std::string, std::string>;

class DeviceMessageTest : public testing::Test {
 protected:
  DeviceMessageTest() {
    settings_.Ports.resize(2);
    settings_.Ports[1].DriverPassword = "pw2";
  }

  Outcome Run(std::string_view message, int32_t port = 1, const std::string& sink_error = "") {
    RecordingSignalSink signals;
    RecordingEventSink events;
    signals.fail_with = sink_error;
    std::string replies;
    const bool handled = TDeviceMessageParser(settings_, clock_, signals, events)
                             .ParseDeviceMessage(message, port, "G",
                                                 [&](const std::string& text) { replies += text; });
    std::ostringstream added, raised;
    for (const TSignal& s : signals.Signals()) {
      added << (added.tellp() > 0 ? "\n" : "") << s.HardwareNumber << '/' << s.Code.str() << '/'
            << s.Extension1.str() << '/' << s.Extension2.str() << '/' << s.Extension3.str() << '/'
            << s.Extension4.str() << '/' << s.Extension5.str() << '/' << s.Value << '/'
            << s.TimeSource << '/' << s.CanalType;
    }
    for (const RecordedEvent& e : events.Events())
      raised << (raised.tellp() > 0 ? "\n" : "") << e.text << (e.is_error ? " (error) " : " ")
             << e.details;
    return {handled, replies, added.str(), raised.str()};
  }

  ScopedTimeZone time_zone_{"Europe/Warsaw"};
  DriverSettings settings_;
  FakeClock clock_;
};

TEST_F(DeviceMessageTest, KindAndPayloadPlaceTheSignalFields) {
  // Payload "2" takes the HN from the payload; an unknown payload keeps the
  // whole body, cut to 100 bytes; any other kind, lower case too, is the code.
  const std::string other = "2" + std::string(150, 'p');
  const std::pair<std::string, std::string> rows[] = {
      {Message("02AD", kPayloadTwo), kPayloadTwoFields + Tail()},
      {Message("02AD", "19876xyC1"), "9876/C1//" + Tail()},
      {Message("02AD", "35555C3"), "5555/C3//" + Tail()},
      {Message("02AD", "7" + std::string(120, 'z')),
       "1234/UNKNOWN/ABCD123402AD2024011512304507|7" + std::string(70, 'z') + "/" + Tail()},
      {Message("02ad", other), "1234/02ad/" + other.substr(0, 100) + "/" + Tail()},
      {Message("X9Z1", other), "1234/X9Z1/" + other.substr(0, 100) + "/" + Tail()}};
  for (const auto& [message, fields] : rows)
    EXPECT_EQ(Run(message), Outcome(true, "", fields, "")) << message;
}

TEST_F(DeviceMessageTest, TimeRequestIsAnsweredOnceWithThePortsPasswordAndAddsNoSignal) {
  EXPECT_EQ(Run(Message("02AC", ""), 2), Outcome(true, TimeReply("1234", "pw2"), "", ""));
}

TEST_F(DeviceMessageTest, InvalidDateIsAnsweredAndTheSignalKeepsTheZeroDateTime) {
  for (const char* date : {"20241315123045", "20240230123045", "20240115240000", "2024o115123045"})
    EXPECT_EQ(Run(Message("02AD", kPayloadTwo, date)),
              Outcome(true, TimeReply("1234"), kPayloadTwoFields + Tail(7, kZeroDateTime), ""))
        << date;
}

TEST_F(DeviceMessageTest, ValueKeepsItsLowEightBitsAndIsZeroWhenNotANumber) {
  for (const auto& [text, value] : {std::pair("7x", 0), std::pair("-1", 255), std::pair("99", 99)})
    EXPECT_EQ(Run(Message("02AD", "2", "20240115123045", text)),
              Outcome(true, "", "///" + Tail(value), ""))
        << text;
}

TEST_F(DeviceMessageTest, BytesAroundTheMessageAndAfterTheFirstBracketAreIgnored) {
  const std::string message = Message("02AD", kPayloadTwo);
  for (const std::string& framed : {" \t\r\n" + message + "\r\n", message + "[ABCD9999X9Z1]\r\n"})
    EXPECT_EQ(Run(framed), Outcome(true, "", kPayloadTwoFields + Tail(), "")) << framed;
}

// A body too short for its date is answered with the time first, then goes
// on by its kind; an empty one fails after that.
TEST_F(DeviceMessageTest, ShortBodyIsAnsweredThenHandledByItsKind) {
  const std::string zero = "/0/" + std::to_string(kZeroDateTime) + "/G";
  const std::string empty_body = kAnalysisError + "Message body is empty";
  const std::pair<std::string, Outcome> rows[] = {
      {"[]", {false, TimeReply(""), "", empty_body}},
      {"[no closing bracket", {false, TimeReply(""), "", empty_body}},
      {"[", {false, TimeReply(""), "", empty_body}},
      {"[ABCD123402AD]",
       {false, TimeReply("1234"), "", kAnalysisError + "Message payload is empty"}},
      {"[ABCD123402AC2024]", {true, TimeReply("1234") + TimeReply("1234"), "", ""}},
      {"[ABCD1234X9]", {true, TimeReply("1234"), "1234/X9///CD/A/B" + zero, ""}},
      {"[AB]", {true, TimeReply(""), "/////A/B" + zero, ""}},
      {"[A]", {true, TimeReply(""), "/////A/" + zero, ""}}};
  for (const auto& [message, outcome] : rows) EXPECT_EQ(Run(message), outcome) << message;
}

TEST_F(DeviceMessageTest, SignalSinkErrorFailsTheMessage) {
  EXPECT_EQ(Run(Message("02AD", kPayloadTwo), 1, "cache directory full"),
            Outcome(false, "", "", kAnalysisError + "cache directory full"));
}

// Mutated messages: the parser never crashes, fails only with one analysis
// error event and then adds no signal.
TEST_F(DeviceMessageTest, ArbitraryInputNeverBreaksTheParser) {
  const std::string seeds[] = {Message("02AD", kPayloadTwo), Message("02AD", "7x"),
                               Message("02AC", ""), Message("X9Z1", "p"), "[]"};
  const std::string likely = "[]0123456789ACD-+ \r\n";
  std::mt19937 random(20240115);
  for (int round = 0; round < 3000; ++round) {
    std::string input = seeds[random() % std::size(seeds)];
    for (auto edits = random() % 6; edits > 0; --edits) {
      const size_t at = random() % (input.size() + 1);
      const auto byte = random() % 2 ? random() : likely[random() % likely.size()];
      input.replace(at, random() % 2, 1, static_cast<char>(byte));  // insert or overwrite
      if (random() % 8 == 0) input.resize(at);
    }
    const auto [handled, replies, fields, raised] = Run(input, 1 + round % 3);
    EXPECT_EQ(raised.starts_with(kAnalysisError + "Message"), !handled) << BytesToHex(input);
    EXPECT_EQ(raised.find('\n'), std::string::npos) << BytesToHex(input);
    EXPECT_TRUE(handled || fields.empty()) << BytesToHex(input);
  }
}

}  // namespace
}  // namespace vd
