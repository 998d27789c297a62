#include "buffers/signal_xml.h"

#include <gtest/gtest.h>

#include <string>

#include "support/errors.h"

namespace vd {
namespace {

const std::string kDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Signal><Signal><TimeIn>1700000000</TimeIn>"
    "<TimeSource>0</TimeSource><SourceTimeValid>1</SourceTimeValid><DriverPort>0</DriverPort>"
    "<HardwareNumber>    </HardwareNumber><DriverName/><SignalType>11</SignalType><CanalType/>"
    "<CanalSlot/><Code/><Extension1/><Extension2/><Extension3/><Extension4/><Extension5/>"
    "<Value>2.5</Value><DriverPortName>S\xC5\x82upsk A&amp;B&lt;C&gt;</DriverPortName>"
    "</Signal></Signal>";

std::string Replaced(const std::string& from, const std::string& to) {
  return std::string(kDocument).replace(kDocument.find(from), from.size(), to);
}

TEST(SignalXmlTest, DocumentHasItsExactFormAndEveryByteReadsBack) {
  TSignal signal;
  signal.TimeIn = 1700000000;
  signal.SourceTimeValid = true;
  signal.HardwareNumber = "    ";  // blanks only, as a transmitter may send
  signal.SignalType = kTestSignalType;
  signal.Value = 2.5;
  signal.DriverPortName = "S\xB3upsk A&B<C>";  // Windows-1250
  EXPECT_EQ(SignalDocument(signal), kDocument);
  EXPECT_EQ(ParseSignalDocument(kDocument), signal);
  // A hand-made file may hold any number as the flag: non-zero is true.
  for (const auto& [flag, valid] : {std::pair{"1.0", true}, {"1E3", true}, {"0.0", false}})
    EXPECT_EQ(
        ParseSignalDocument(Replaced(">1</S", std::string(">") + flag + "</S")).SourceTimeValid,
        valid)
        << flag;

  // Control characters XML cannot carry, and carriage return, come back as "[XX]".
  std::string expected = signal.DriverPortName;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    signal.DriverPortName += c;
    expected +=
        b < 0x20 && c != '\t' && c != '\n' ? "[" + BytesToHex({&c, 1}) + "]" : std::string(1, c);
  }
  EXPECT_EQ(ParseSignalDocument(SignalDocument(signal)).DriverPortName, expected);
}

TEST(SignalXmlTest, CorruptDocumentsAreRejectedWithTheKindOfTheirFault) {
  for (const std::string& text : {Replaced("<Value>2.5</Value>", ""), kDocument.substr(0, 150),
                                  std::string(), std::string("<Signal><Other/></Signal>")}) {
    EXPECT_THROW(ParseSignalDocument(text), EXMLDocError) << text;
  }
  for (const std::string& text :
       {Replaced("1700000000", "17000x0000"), Replaced(">0</T", "></T"), Replaced(">11<", ">256<"),
        Replaced("t>0<", "t>4294967297<"), Replaced(">1</S", ">yes</S"), Replaced("2.5", "2,5")}) {
    EXPECT_THROW(ParseSignalDocument(text), EConvertError) << text;
  }
}

}  // namespace
}  // namespace vd
