#include "device/device_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/driver_settings.h"
#include "fakes/scoped_temp_dir.h"
#include "fakes/xml_lint.h"

namespace vd {
namespace {

TDeviceControl Control(const std::string& hn, const std::string& port, const std::string& third,
                       const std::string& id, const std::string& command = "ModemRestart") {
  TDeviceControl control;
  control.HN = hn;
  control.PortKey = port;
  control.ThirdKey = third;
  control.ControlId = id;
  control.Command = command;
  return control;
}

// What the connections' poll ("*", port, "*") finds: the first match in list
// order, exact keys or "*", never an entry for a real hardware number.
TEST(DeviceParamControlBufferTest, PollFindsTheFirstEntryForItsPort) {
  TDeviceParamControlBuffer buffer;
  EXPECT_TRUE(buffer.Empty());
  for (const TDeviceControl& control :
       {Control("1234", "*", "*", "real"), Control("*", "2", "*", "port2"),
        Control("*", "*", "x", "third"), Control("*", "*", "*", "any"),
        Control("*", "1", "*", "port1")})
    buffer.AddControl(control);
  const std::vector<std::pair<std::string, std::string>> polls = {
      {"1", "any"}, {"2", "port2"}, {"3", "any"}, {"02", "any"}};
  for (const auto& [port, id] : polls) {
    TDeviceControl found;
    ASSERT_TRUE(buffer.FindControl("*", port, "*", found)) << port;
    EXPECT_EQ(found.ControlId, id) << port;
  }
  TDeviceControl found;
  EXPECT_TRUE(buffer.FindControl("1234", "9", "*", found));
  EXPECT_EQ(found.ControlId, "real");
  EXPECT_FALSE(buffer.FindControl("12345", "9", "*", found));
}

// A removal takes only the first entry with that ControlId; the other waits
// for its own answer.
TEST(DeviceParamControlBufferTest, RemoveTakesOneEntryPerControlId) {
  TDeviceParamControlBuffer buffer;
  buffer.AddControl(Control("*", "*", "*", "c1", "First"));
  buffer.AddControl(Control("*", "*", "*", "c1", "Second"));
  EXPECT_TRUE(buffer.RemoveControl(Control("", "", "", "c1")));
  TDeviceControl found;
  ASSERT_TRUE(buffer.FindControl("*", "1", "*", found));
  EXPECT_EQ(found.Command, "Second");
  EXPECT_TRUE(buffer.RemoveControl(found));
  EXPECT_FALSE(buffer.RemoveControl(found));
  EXPECT_TRUE(buffer.Empty());
}

TEST(DeviceControlTest, FrameAndAnswer) {
  DriverSettings settings;
  settings.Ports.resize(2);
  settings.Ports[1].PortNumber = 7;
  const TDeviceControl restart = Control("0042", "*", "*", "c1");
  EXPECT_EQ(BuildControlFrame(restart, settings, 2), "#0042#7#3F#");
  EXPECT_EQ(BuildControlFrame(restart, settings, 3), "");
  EXPECT_EQ(BuildControlFrame(restart, settings, 0), "");
  EXPECT_EQ(BuildControlFrame(Control("0042", "*", "*", "c1", "modemrestart"), settings, 2), "");
  EXPECT_EQ(ControlFailedText(restart), "Błąd wysterowania linii ModemRestart nadajnika 0042");

  TDeviceControl hostile = restart;
  hostile.ControlId = "<&>\"'";
  hostile.ControlName = std::string("bell\x07 ąę");
  hostile.ModuleName = "%s{0}]]>";
  const std::string answer = BuildControlAnswer(hostile, true);
  EXPECT_EQ(
      answer,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><Id>&lt;&amp;&gt;\"'</Id>"
      "<Name>bell[07] ąę</Name><Status>0</Status><ModuleName>%s{0}]]&gt;</ModuleName></Data>");
  ScopedTempDir dir;
  EXPECT_TRUE(XmlLintText(answer, dir.Path(), "answer_2504.xml"));
  EXPECT_TRUE(XmlLintText(BuildControlAnswer(restart, false), dir.Path(), "answer_ok.xml"));
}

}  // namespace
}  // namespace vd
