// The command lines of the programs as users and scripts meet them: the
// driver's --help and --version, the JSON lines of kernel-sim that the demo
// script and the README rely on, and vd-cache's exit statuses and show.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>

#include "buffers/signal_xml.h"
#include "e2e/driver_fixture.h"
#include "fakes/loopback_transmitter.h"
#include "platform/command_line.h"

namespace vd {
namespace {

class ProgramsEndToEndTest : public DriverTest {};

TEST_F(ProgramsEndToEndTest, DriverHelpAndVersionPrintTheirTextAndMisuseExitsTwo) {
  EXPECT_EQ(RunToEnd({"--help"}), std::make_pair(0, UsageText()));
  EXPECT_EQ(RunToEnd({"--version"}), std::make_pair(0, VersionText()));
  EXPECT_EQ(
      RunToEnd({"--registry"}),
      std::make_pair(2, "VolterDirectDrv: Option --registry needs a value\n\n" + UsageText()));
}

// The first line tells the port (run-demo.sh reads it), then one line per
// signal and event with the answer given and the document's fields.
TEST_F(ProgramsEndToEndTest, KernelSimWritesTheListeningLineThenALinePerSignalAndEvent) {
  const auto sim = Run({"--tcp", "0"}, "sim.out", {}, Program("kernel-sim"));
  const std::regex listening(R"(\{"kind":"listening","tcp_port":([0-9]+),"unix_path":""\}\n)");
  std::smatch match;
  std::string lines;
  ASSERT_TRUE(Eventually([&] {
    lines = Output("sim.out");
    return std::regex_search(lines, match, listening) && match.position(0) == 0;
  })) << lines;
  const int32_t port = std::stoi(match[1]);
  const auto driver = Start(
      [&] {
        return DriverRegistry(
            dir_.Path(), port, device_port_,
            "\"LogSave\"=dword:00000001\n\"LogPath\"=\"" + dir_.Path() + "log/\"\n");
      },
      true);
  LoopbackTransmitter(device_port_).Send(StampedSignalMessage("json-line"));
  const std::regex signal(
      R"(\n\{"kind":"signal","frame_guid":"\{[0-9A-F-]{36}\}","installation":7,"answer":2,)"
      R"("fields":\{"TimeIn":"[0-9]+",[^\n]*"Extension1":"json-line"[^\n]*\}\}\n)");
  EXPECT_TRUE(Eventually([&] {
    lines = Output("sim.out");
    return std::regex_search(lines, signal);
  })) << lines;
  EXPECT_TRUE(std::regex_search(lines, std::regex(R"(\n\{"kind":"event",[^\n]*"answer":2,)")));
  sim->Signal(SIGTERM);
  const std::optional<int> status = sim->WaitExit(kEventuallyMs);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  const auto [code, misuse] = RunToEnd({"--bogus"}, "run.out", Program("kernel-sim"));
  EXPECT_EQ(code, 2);
  EXPECT_TRUE(misuse.starts_with("kernel-sim: ")) << misuse;
}

TEST_F(ProgramsEndToEndTest, VdCacheShowsEveryFieldAndMisuseExitsTwo) {
  TSignal signal;
  signal.TimeIn = 1700000000;
  signal.HardwareNumber = "ABCD1234";
  signal.Code = "SHOW";
  signal.Extension1 = "shown";
  std::filesystem::create_directories(Cache());
  const std::string document = SignalDocument(signal);
  std::ofstream(Cache() + "0000AA02.sig", std::ios::binary) << document;
  const auto [code, shown] =
      RunToEnd({"--cache", Cache(), "show", "0000AA02.sig"}, "run.out", Program("vd-cache"));
  EXPECT_EQ(code, 0) << shown;
  EXPECT_TRUE(shown.starts_with("File: " + Cache() + "0000AA02.sig (" +
                                std::to_string(document.size()) + " bytes)\n"))
      << shown;
  for (const char* field : {"HardwareNumber: ABCD1234\n", "Code: SHOW\n", "Extension1: shown\n"})
    EXPECT_NE(shown.find(field), std::string::npos) << field << shown;
  for (const auto& [arguments, problem] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--cache", Cache()}, "no command"},
           {{"--cache", Cache(), "show"}, "wrong arguments for show"},
           {{"--bogus", "list"}, "unknown option --bogus"}}) {
    const auto [misuse_code, misuse] = RunToEnd(arguments, "run.out", Program("vd-cache"));
    EXPECT_EQ(misuse_code, 2) << problem;
    EXPECT_TRUE(misuse.starts_with("vd-cache: " + problem + "\n\nUsage: vd-cache")) << misuse;
  }
}

}  // namespace
}  // namespace vd
