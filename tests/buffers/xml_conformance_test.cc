// Every kind of file the buffers write, and the Kernel signal document, read
// by xmllint: a parser other than the driver's own, so that a fault shared by
// our writer and our reader cannot pass unnoticed. The texts are hostile on
// purpose. The session log is no XML; it is checked for valid UTF-8 and
// CR LF line ends.

#include <gtest/gtest.h>

#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "buffers/base64.h"
#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "buffers/signal_xml.h"
#include "config/driver_settings.h"
#include "fakes/fake_clock.h"
#include "fakes/scoped_temp_dir.h"
#include "fakes/xml_lint.h"
#include "platform/host_file_system.h"
#include "support/file_utils.h"
#include "support/logging.h"
#include "support/utf8.h"
#include "support/xml_utils.h"

namespace vd {
namespace {

using namespace std::string_literals;

// Signal texts are Windows-1250 bytes; event texts are meant to be UTF-8 but
// carry whatever an exception or a file name held.
const std::vector<std::string> kHostileTexts = {
    "\x01\x02\x08\x0B\x0C\x1B\x1F\x7F"s,
    "line\r\nfeed\ttab\rreturn"s,
    "nul\0inside"s,
    "]]> <![CDATA[ x ]]> &amp; &#0; <tag attr=\"v\"> 'single' \"double\""s,
    "\xA5\xB9\xC6\xE6\xCA\xEA\xA3\xB3\xD1\xF1\xD3\xF3\x8C\x9C\x8F\x9F\xAF\xBF"s,  // Polish letters
    "\x80\x81\x83\x88\x90\x98\xA0\xAD\xFF"s,  // unassigned and odd Windows-1250 bytes
    "\xC3\x28 \xFF\xFE \xED\xA0\x80 \xC0\xAF \xF4\x90\x80\x80 \xE2\x82"s,  // no valid UTF-8
    "\xEF\xBF\xBE\xEF\xBF\xBF"s,                                           // U+FFFE U+FFFF as UTF-8
};

// Every line ends with CR LF, no CR or LF stands alone, every byte belongs to
// a valid UTF-8 sequence.
testing::AssertionResult IsUtf8WithCrLfLines(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const size_t length = DecodeUtf8Sequence(text, i, cp);
    if (length == 0) return testing::AssertionFailure() << "no UTF-8 at byte " << i;
    if (cp == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) {
      return testing::AssertionFailure() << "CR without LF at byte " << i;
    }
    if (cp == '\n' && (i == 0 || text[i - 1] != '\r')) {
      return testing::AssertionFailure() << "LF without CR at byte " << i;
    }
    i += length;
  }
  if (!text.empty() && text.back() != '\n') return testing::AssertionFailure() << "last line open";
  return testing::AssertionSuccess();
}

class XmlConformanceTest : public testing::Test {
 protected:
  XmlConformanceTest() {
    settings_.Ports.resize(1);
    settings_.Ports[0].PortName = "North";
    fs_.CreateDirectories(cache_);
  }

  std::vector<std::string> Files(const std::string& dir, const char* mask) {
    std::vector<std::string> paths;
    FindFiles(fs_, dir, mask,
              [&](const std::string& d, const std::string& name) { paths.push_back(d + name); });
    return paths;
  }

  TSignal HostileSignal(const std::string& text) {
    TSignal signal;
    InitPortSignal(signal, 1, settings_, clock_);
    signal.HardwareNumber = signal.DriverName = signal.DriverPortName = text;
    signal.CanalType = signal.CanalSlot = signal.Code = text;
    signal.Extension1 = signal.Extension2 = signal.Extension3 = signal.Extension4 =
        signal.Extension5 = text;
    signal.Value = -1.5e-300;
    return signal;
  }

  ScopedTempDir dir_;
  const std::string cache_ = dir_.Path() + "cache/";
  const std::string log_dir_ = dir_.Path() + "log/";
  const std::string scratch_ = dir_.Path();
  HostFileSystem fs_;
  FakeClock clock_;
  DriverSettings settings_;
};

TEST_F(XmlConformanceTest, XmllintIsInstalled) {
  ASSERT_TRUE(XmlLintAvailable())
      << "xmllint cannot be run; install the package libxml2-utils (scripts/setup.sh does)";
  EXPECT_FALSE(XmlLintText("<a><b></a>", scratch_, "broken.xml"));
  EXPECT_FALSE(XmlLintText("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xFF</a>", scratch_,
                           "not_utf8.xml"));
}

TEST_F(XmlConformanceTest, EveryFileTheBuffersWriteIsWellFormedAndTheLogStaysLineByLine) {
  {
    TLogging log(fs_, clock_, log_dir_, 1024, true, ProgramInfo{"/opt/vd/VolterDirectDrv", 1});
    TQuestionsBuffer questions(fs_, clock_, log, {cache_, "Driver \x01]]>", "10.0.0.7", false});
    TSignalBuffer signals(fs_, clock_, questions, log, settings_, cache_, false);
    for (const std::string& text : kHostileTexts) {
      ASSERT_TRUE(signals.AddSignal(HostileSignal(text)));
      ASSERT_TRUE(questions.AddSystemEvent(text, text, true));

      // The Kernel signal document of the signal as the buffer hands it out.
      TSignal pending;
      TGuid id;
      ASSERT_TRUE(signals.GetFirstSignal(pending, id));
      pugi::xml_document document;
      WriteSignalXml(pending, document.append_child("Data").append_child("Signal"));
      EXPECT_TRUE(XmlLintText(SerializeXml(document), scratch_, "kernel_signal.xml"));
      // Without the buffer's escaping, too.
      pugi::xml_document raw;
      WriteSignalXml(HostileSignal(text), raw.append_child("Data").append_child("Signal"));
      EXPECT_TRUE(XmlLintText(SerializeXml(raw), scratch_, "kernel_signal_raw.xml"));
      ASSERT_TRUE(signals.RemoveSignal(id));
      ASSERT_TRUE(signals.AddSignal(HostileSignal(text)));  // keep one file per text
    }
  }

  const std::vector<std::string> signal_files = Files(cache_, "*.sig");
  EXPECT_EQ(signal_files.size(), kHostileTexts.size());
  for (const std::string& path : signal_files) EXPECT_TRUE(XmlLintFile(path));

  const std::vector<std::string> question_files = Files(cache_, "*.que");
  EXPECT_EQ(question_files.size(), kHostileTexts.size());
  for (const std::string& path : question_files) {
    EXPECT_TRUE(XmlLintFile(path));
    pugi::xml_document document;
    ParseXml(fs_.ReadFile(path, 1 << 20), document);
    const std::string body = Base64Decode(ChildText(document.document_element(), "QuestionBody"));
    EXPECT_TRUE(XmlLintText(body, scratch_, "system_event.xml")) << path;
  }

  const std::vector<std::string> logs = Files(log_dir_, "*.txt");
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(IsUtf8WithCrLfLines(fs_.ReadFile(logs[0], 1 << 20)));
}

}  // namespace
}  // namespace vd
