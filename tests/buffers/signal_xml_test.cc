#include "buffers/signal_xml.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/errors.h"

namespace vd {
namespace {

TSignal SampleSignal() {
  TSignal signal;
  signal.TimeIn = 1700000000;
  signal.TimeSource = 1699999990;
  signal.SourceTimeValid = false;
  signal.HardwareNumber = "1234";
  signal.DriverName = "VolterDirect Driver";
  signal.DriverPort = 1;
  signal.SignalType = stExternal;
  signal.CanalType = "G";
  signal.Code = "E130";
  signal.Extension1 = "A&B<C>";
  signal.Extension2 = "01";
  signal.Value = 2.5;
  signal.DriverPortName = "North";
  return signal;
}

std::string ReplaceFirst(std::string text, const std::string& from, const std::string& to) {
  const size_t pos = text.find(from);
  EXPECT_NE(pos, std::string::npos) << from;
  if (pos != std::string::npos) text.replace(pos, from.size(), to);
  return text;
}

TEST(SignalXmlTest, DocumentIsOneLineWithEveryFieldInOrder) {
  EXPECT_EQ(SignalDocument(SampleSignal()),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Signal><Signal>"
            "<TimeIn>1700000000</TimeIn><TimeSource>1699999990</TimeSource>"
            "<SourceTimeValid>0</SourceTimeValid><DriverPort>1</DriverPort>"
            "<HardwareNumber>1234</HardwareNumber><DriverName>VolterDirect Driver</DriverName>"
            "<SignalType>1</SignalType><CanalType>G</CanalType><CanalSlot/>"
            "<Code>E130</Code><Extension1>A&amp;B&lt;C&gt;</Extension1>"
            "<Extension2>01</Extension2><Extension3/><Extension4/><Extension5/>"
            "<Value>2.5</Value><DriverPortName>North</DriverPortName></Signal></Signal>");
}

TEST(SignalXmlTest, RoundTripKeepsEveryField) {
  TSignal signal = SampleSignal();
  signal.SourceTimeValid = true;
  signal.SignalType = kTestSignalType;
  signal.TimeIn = -5;
  signal.Value = 1e-5;
  signal.HardwareNumber = "    ";  // blanks only, as a transmitter may send
  EXPECT_EQ(ParseSignalDocument(SignalDocument(signal)), signal);
}

TEST(SignalXmlTest, EveryByteValueSurvivesOrComesBackEscaped) {
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  std::string expected;
  for (int b = 0; b < 256; ++b) {
    if (b < 0x20 && b != '\t' && b != '\n') {
      static constexpr char kHex[] = "0123456789ABCDEF";
      expected += {'[', kHex[b >> 4], kHex[b & 15], ']'};
    } else {
      expected += static_cast<char>(b);
    }
  }
  TSignal signal = SampleSignal();
  signal.HardwareNumber = all_bytes;
  signal.DriverPortName = all_bytes;

  const std::string document = SignalDocument(signal);
  // A conforming parser accepts it as it stands.
  pugi::xml_document parsed;
  EXPECT_TRUE(parsed.load_string(document.c_str()));
  const TSignal back = ParseSignalDocument(document);
  EXPECT_EQ(back.HardwareNumber, expected);
  EXPECT_EQ(back.DriverPortName, expected);
}

TEST(SignalXmlTest, ReaderAcceptsWhitespaceShortFormsAndAnyOrder) {
  const std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Signal>\n  <Signal>\n"
      "    <DriverPortName>S\xC5\x82upsk</DriverPortName>\n"  // "Słupsk"
      "    <TimeSource>20</TimeSource><TimeIn>10</TimeIn>\n"
      "    <SourceTimeValid>TRUE</SourceTimeValid><DriverPort>-3</DriverPort>\n"
      "    <HardwareNumber></HardwareNumber><DriverName/><SignalType>11</SignalType>\n"
      "    <CanalType/><CanalSlot/><Code/><Extension1/><Extension2/><Extension3/>\n"
      "    <Extension4/><Extension5/><Value>1E-5</Value>\n  </Signal>\n</Signal>\n";
  const TSignal signal = ParseSignalDocument(text);
  EXPECT_EQ(signal.TimeIn, 10);
  EXPECT_EQ(signal.TimeSource, 20);
  EXPECT_TRUE(signal.SourceTimeValid);
  EXPECT_EQ(signal.DriverPort, -3);
  EXPECT_EQ(signal.SignalType, kTestSignalType);
  EXPECT_EQ(signal.HardwareNumber, "");
  EXPECT_DOUBLE_EQ(signal.Value, 1e-5);
  EXPECT_EQ(signal.DriverPortName, "S\xB3upsk");  // Windows-1250 l with stroke
}

TEST(SignalXmlTest, ReaderCutsCodeAndExtensions) {
  const std::string document = SignalDocument(SampleSignal());
  const std::string long_code =
      ReplaceFirst(document, "<Code>E130</Code>", "<Code>" + std::string(25, 'C') + "</Code>");
  EXPECT_EQ(ParseSignalDocument(long_code).Code.str(), std::string(20, 'C'));
  const std::string long_extension = ReplaceFirst(
      document, "<Extension5/>", "<Extension5>" + std::string(150, 'x') + "</Extension5>");
  EXPECT_EQ(ParseSignalDocument(long_extension).Extension5.str(), std::string(100, 'x'));
}

TEST(SignalXmlTest, CorruptDocumentsAreRejected) {
  const std::string good = SignalDocument(SampleSignal());
  struct Case {
    std::string name;
    std::string text;
  };
  const Case xml_errors[] = {
      {"missing Value", ReplaceFirst(good, "<Value>2.5</Value>", "")},
      {"truncated", good.substr(0, good.size() / 2)},
      {"empty", ""},
      {"no inner Signal", "<Signal><Other/></Signal>"},
  };
  for (const Case& c : xml_errors) {
    EXPECT_THROW(ParseSignalDocument(c.text), EXMLDocError) << c.name;
  }
  const Case conversion_errors[] = {
      {"letters in TimeIn", ReplaceFirst(good, "1700000000", "17000x0000")},
      {"empty TimeSource",
       ReplaceFirst(good, "<TimeSource>1699999990</TimeSource>", "<TimeSource/>")},
      {"type beyond a byte", ReplaceFirst(good, "<SignalType>1<", "<SignalType>256<")},
      {"port beyond 32 bits", ReplaceFirst(good, "<DriverPort>1<", "<DriverPort>4294967297<")},
      {"bad boolean", ReplaceFirst(good, "<SourceTimeValid>0<", "<SourceTimeValid>yes<")},
      {"comma decimal", ReplaceFirst(good, "2.5", "2,5")},
  };
  for (const Case& c : conversion_errors) {
    EXPECT_THROW(ParseSignalDocument(c.text), EConvertError) << c.name;
  }
}

TEST(SignalXmlTest, ValueThatIsNoNumberIsWrittenReadably) {
  TSignal signal = SampleSignal();
  signal.Value = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(ParseSignalDocument(SignalDocument(signal)).Value, 0);
}

TEST(SignalXmlTest, RandomlyDamagedDocumentsNeverCrashTheReader) {
  TSignal sample = SampleSignal();
  sample.Extension1 = std::string(100, 'e');
  const std::string good = SignalDocument(sample);
  std::mt19937 random(20240115);
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = good;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t pos = random() % text.size();
      switch (random() % 3) {
        case 0:
          text[pos] = static_cast<char>(random() % 256);
          break;
        case 1:
          text.erase(pos, 1 + random() % 8);
          break;
        default:
          text.insert(pos, 1, static_cast<char>(random() % 256));
          break;
      }
      if (text.empty()) text = "<";
    }
    try {
      const TSignal signal = ParseSignalDocument(text);
      ++accepted;
      EXPECT_LE(signal.Code.size(), 20u);
      EXPECT_LE(signal.Extension1.size(), 100u);
    } catch (const Exception&) {
      // Rejected with a described error: what the buffer expects.
    }
  }
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace vd
