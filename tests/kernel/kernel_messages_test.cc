#include "kernel/kernel_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "config/driver_settings.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_time_setter.h"
#include "fakes/recording_sinks.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "support/errors.h"

namespace vd {
namespace {

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
const TGuid kModuleGuid = *TGuid::Parse("{11111111-2222-3333-4444-555555555555}");
const TGuid kKernelGuid = *TGuid::Parse("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
const TGuid kFrameGuid = *TGuid::Parse("{01234567-89AB-CDEF-0123-456789ABCDEF}");

class KernelMessagesTest : public testing::Test {
 protected:
  void Parse(const std::string& body) {
    ParseStatusAnswer(std::string(kDeclaration) + "<Data>" + body + "</Data>", targets_);
  }

  static std::string ModuleXml(const std::string& guid = "{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}",
                               const std::string& type = "12") {
    return "<Module><GUID>" + guid +
           "</GUID><ProxyModule>{00000000-0000-0000-0000-000000000000}</ProxyModule>"
           "<Name>Console &amp; co</Name><IPAddress>10.1.2.3</IPAddress><ModuleType>" +
           type +
           "</ModuleType><State>aCtIvE</State><RegisteredUser>op</RegisteredUser>"
           "<InstallationNumber>65535</InstallationNumber></Module>";
  }

  FakeClock clock_;
  TListOfModules modules_;
  TKernelSettings kernel_{modules_, kModuleGuid};
  FakeTimeSetter time_setter_;
  RecordingEventSink events_;
  TStatusAnswerTargets targets_{kernel_, modules_, time_setter_, events_, clock_};
};

TEST_F(KernelMessagesTest, RegistrationCarriesNameEmptyPasswordIpAndModuleTypeInOrder) {
  DriverSettings settings;
  settings.Name = "Driver <North> & \"Co\"";
  settings.Password = "";
  settings.LocalIP = "192.168.1.20";
  kernel_.SetInstallationNumber(12);
  TOrvanFrame frame;
  frame.Data = "left over";
  frame.CompressionType = 1;
  BuildRegistration(frame, kernel_, settings, kFrameGuid);
  const std::string data = std::string(kDeclaration) +
                           "<Data><Name>Driver &lt;North&gt; &amp; \"Co\"</Name><Password/>"
                           "<IP>192.168.1.20</IP><ModuleType>6</ModuleType></Data>";
  // Every header field in order: installation number 0 given means the
  // driver's own, and nothing of the reused frame survives.
  EXPECT_EQ(frame, (TOrvanFrame{kFrameTypeRegistration, kModuleGuid, TGuid(), 12, 12,
                                kDirectionRequest, kFrameGuid, 0, 0, 0, 0, 0, 0, 0, data}));

  BuildUnregistration(frame, kernel_, kKernelGuid);
  EXPECT_EQ(std::tie(frame.FrameType, frame.Direction, frame.FrameGUID, frame.Data),
            std::make_tuple(kFrameTypeUnregistration, kDirectionRequest, kKernelGuid, ""));
}

TEST_F(KernelMessagesTest, StatusReportsIndexModeStatusAndRoundedUtcTime) {
  TOrvanFrame frame;
  clock_.SetUtcMs(1705320000600);
  BuildStatus(frame, kernel_, modules_, clock_, kFrameGuid);
  EXPECT_EQ(frame.Data, std::string(kDeclaration) +
                            "<Data><ModulesListIndex>0</ModulesListIndex><Mode>Inactive</Mode>"
                            "<Status>Error</Status><SystemTime>1705320001</SystemTime></Data>");
  EXPECT_EQ(frame.FrameType, kFrameTypeStatus);
  EXPECT_EQ(frame.FrameGUID, kFrameGuid);

  Parse(
      "<Mode>active</Mode><Status>Warning</Status><ModulesList><ChangeIndex>42</ChangeIndex>"
      "</ModulesList>");
  clock_.SetUtcMs(1705320000400);
  BuildStatus(frame, kernel_, modules_, clock_, kFrameGuid);
  EXPECT_EQ(frame.Data, std::string(kDeclaration) +
                            "<Data><ModulesListIndex>42</ModulesListIndex><Mode>Active</Mode>"
                            "<Status>OK</Status><SystemTime>1705320000</SystemTime></Data>");
}

TEST_F(KernelMessagesTest, AnswersTurnTheAddressingRoundAndMapTheDirection) {
  kernel_.SetInstallationNumber(7);
  struct Case {
    uint8_t received;
    uint16_t source_installation;
    uint8_t answer;
    uint16_t destination_installation;
  };
  const Case cases[] = {{0, 3, 2, 3}, {1, 0, 2, 7}, {5, 3, 7, 3}, {6, 3, 7, 3}};
  for (const Case& c : cases) {
    // Every header field in order.
    const TOrvanFrame request{4711, kKernelGuid, kModuleGuid, c.source_installation,
                              7,    c.received,  kFrameGuid,  9,
                              0,    1,           300,         7,
                              0,    0,           "<Data/>"};
    for (const bool error : {false, true}) {
      const uint8_t direction = error ? kDirectionError : c.answer;
      EXPECT_EQ(error ? BuildErrorAnswer(request, kernel_) : BuildAnswer(request, kernel_),
                (TOrvanFrame{4711, kModuleGuid, kKernelGuid, 7, c.destination_installation,
                             direction, kFrameGuid, 9, 0, 0, 0, 0, 0, 0, ""}))
          << int{c.received} << (error ? " error" : "");
    }
  }
}

TEST_F(KernelMessagesTest, StatusAnswerFlagsAreCaseBlindAndUnknownElementsSkipped) {
  struct Case {
    std::string body;
    bool inactive;
    bool error;
  };
  const Case cases[] = {
      {"<Mode>ACTIVE</Mode><Status>OK</Status>", false, false},
      {"<mode>active</mode><STATUS>error</STATUS>", false, true},
      {"<Mode>Passive</Mode><Status>Warning</Status>", true, false},
      {"<Unknown><Mode>ACTIVE</Mode></Unknown><Status>ERROR</Status>", true, true},
      {"<Mode/><Extra>1</Extra>", true, true},
      {"", true, true},  // nothing given: as before
  };
  for (const Case& c : cases) {
    kernel_.SetInactive(true);
    kernel_.SetStatusError(true);
    Parse(c.body);
    EXPECT_EQ(kernel_.IsInactive(), c.inactive) << c.body;
    EXPECT_EQ(kernel_.HasStatusError(), c.error) << c.body;
  }
}

TEST_F(KernelMessagesTest, ModulesListReplacesTheListInDocumentOrder) {
  modules_.Add(TModule{});
  Parse("<ModulesList><changeindex>5</changeindex><Other/>" + ModuleXml() +
        ModuleXml("{AAAAAAAA-0000-0000-0000-000000000001}", "-3") + "</ModulesList>");
  EXPECT_EQ(modules_.GetChangeIndex(), 5);
  const TArrayOfModule list = modules_.Modules();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0], (TModule{kKernelGuid, {}, "Console & co", "10.1.2.3", 12, true, "op", 65535}));
  EXPECT_EQ(list[1].ModuleType, -3);

  Parse("<ModulesList><ChangeIndex>x</ChangeIndex></ModulesList>");
  EXPECT_EQ(modules_.GetChangeIndex(), 0);
  EXPECT_EQ(modules_.Count(), 0u);
}

TEST_F(KernelMessagesTest, MalformedAnswersRaiseAndLeaveTheModuleListWhole) {
  struct Case {
    std::string data;
    std::string kind;
  };
  const std::string ok = ModuleXml();
  const std::string no_state =
      ok.substr(0, ok.find("<State>")) + ok.substr(ok.find("</State>") + 8);
  const Case cases[] = {
      {"<Data><Mode>ACTIVE</Mode>", "EXMLDocError"},
      {"<Data><ModulesList>" + std::string(kMaxStatusAnswerSize, ' ') + "</ModulesList></Data>",
       "EXMLDocError"},
      {"", "EXMLDocError"},
      {"<Data><ModulesList><ChangeIndex>9</ChangeIndex>" + ok + no_state + "</ModulesList></Data>",
       "EXMLDocError"},
      {"<Data><ModulesList>" + ModuleXml("{not-a-guid}") + "</ModulesList></Data>",
       "EConvertError"},
      {"<Data><ModulesList>" + ModuleXml(kKernelGuid.ToString(), "40000") + "</ModulesList></Data>",
       "EConvertError"},
      {"<Data><Mode>ACTIVE</Mode><TimeDifference>soon</TimeDifference></Data>", "EConvertError"},
  };
  for (const Case& c : cases) {
    modules_.Assign(3, {TModule{}});
    kernel_.SetInactive(true);
    try {
      ParseStatusAnswer(c.data, targets_);
      ADD_FAILURE() << "accepted: " << c.data;
    } catch (const Exception& error) {
      EXPECT_EQ(error.KindName(), c.kind) << c.data;
    }
    EXPECT_EQ(modules_.GetChangeIndex(), 3) << c.data;
    EXPECT_EQ(modules_.Count(), 1u) << c.data;
  }
  EXPECT_FALSE(kernel_.IsInactive());  // applied before the faulty element
  EXPECT_TRUE(time_setter_.Calls().empty());
}

TEST_F(KernelMessagesTest, TimeDifferenceSetsTheClockUnlessItShowsThatSecond) {
  const int64_t now = FakeClock::kDefaultUtcMs / 1000;
  clock_.Advance(999);
  Parse("<TimeDifference>" + std::to_string(now) + "</TimeDifference>");
  EXPECT_TRUE(time_setter_.Calls().empty());
  Parse("<TIMEDIFFERENCE>" + std::to_string(now + 1) + "</TIMEDIFFERENCE>");
  Parse("<TimeDifference> " + std::to_string(now - 3600) + " </TimeDifference>");
  EXPECT_EQ(time_setter_.Calls(), (std::vector<int64_t>{now + 1, now - 3600}));
  EXPECT_TRUE(events_.Events().empty());

  time_setter_.fail = true;
  Parse("<TimeDifference>-9223372036854775808</TimeDifference><Mode>ACTIVE</Mode>");
  EXPECT_EQ(events_.Count("Error while setting module time"), 1u);
  EXPECT_FALSE(kernel_.IsInactive());  // parsing went on
}

}  // namespace
}  // namespace vd
