#include "support/logging.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/scoped_temp_dir.h"
#include "fakes/scoped_time_zone.h"
#include "platform/posix_file_system.h"
#include "support/log_format.h"

namespace vd {
namespace {

namespace fs = std::filesystem;

const std::string kEq(130, '=');
const std::string kDash(130, '-');

class LoggingTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.Path();
    dir_ = root_ + "logs/";
    fs::create_directories(root_ + "bin");
    exe_ = root_ + "bin/VolterDirectDrv";
    std::ofstream(exe_) << "12345";
    // 2023-06-01 10:20:30 UTC
    const timeval times[2] = {{1685614830, 0}, {1685614830, 0}};
    ASSERT_EQ(utimes(exe_.c_str(), times), 0);
  }

  std::unique_ptr<TLogging> NewLog(int64_t limit_kb = 1, bool delete_existing = false) {
    return std::make_unique<TLogging>(fault_fs_, clock_, dir_, limit_kb, delete_existing,
                                      ProgramInfo{exe_, 4242, "0.1.0.0"});
  }

  std::string Read(const std::string& name) const {
    std::ifstream in(dir_ + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool Exists(const std::string& name) const { return fs::exists(dir_ + name); }

  std::string ProgramLine() const {
    return "> LOG ZAPISYWANY PRZEZ VolterDirectDrv (PID: 4242) v. 0.1.0.0, ZMODYFIKOWANY: "
           "01.06.2023 Cz 11:20:30.000, WIELKOŚĆ: 5B (" +
           root_ + "bin).";
  }

  ScopedTimeZone zone_{"CET-1"};  // UTC+1 all year
  ScopedTempDir temp_;
  PosixFileSystem real_;
  FaultFileSystem fault_fs_{real_};
  FakeClock clock_;  // 2024-01-15 12:00:00 UTC, a Monday
  std::string root_;
  std::string dir_;
  std::string exe_;
};

TEST_F(LoggingTest, FirstWriteCreatesFirstFileWithFramedHeaderThenTheLine) {
  auto log = NewLog();
  EXPECT_FALSE(Exists("VolterDirectDrv_0001.txt"));
  clock_.Advance(15);
  log->LogWrite("first line");

  const std::string expected =
      "\r\n" + kEq + "\r\n" +
      "> 15.01.2024 Pn 13:00:00.015 (= UTC + 60 min.) ROZPOCZĘCIE ZAPISU: " +
      "PLIK OGRANICZONEJ WIELKOŚCI (~1KB) NR 1 (" + dir_ +
      "VolterDirectDrv_0001.txt <\"<default>\">).\r\n" +
      "> SESJA LOGOWANIA ROZPOCZĘŁA SIĘ 15.01.2024 Pn 13:00:00.000, TRWA 0 dni, 00:00:00.015 "
      "[g:m:s.ms].\r\n" +
      ProgramLine() + "\r\n" + kEq + "\r\n\r\n" + "15.01.2024 Pn 13:00:00.015 | first line\r\n";
  EXPECT_EQ(Read("VolterDirectDrv_0001.txt"), expected);
  EXPECT_EQ(log->DefaultFileName(), dir_ + "VolterDirectDrv.txt");

  log->LogWrite("second line");
  EXPECT_EQ(Read("VolterDirectDrv_0001.txt"),
            expected + "15.01.2024 Pn 13:00:00.015 | second line\r\n");
}

TEST_F(LoggingTest, EndSessionWritesClosingBlockTimedByTheMonotonicClock) {
  auto log = NewLog();
  log->LogWrite("a");
  clock_.Advance(5000);
  clock_.SetUtcMs(clock_.UtcNowMs() + 3600000);  // wall clock set forward by an hour
  log.reset();

  const std::string text = Read("VolterDirectDrv_0001.txt");
  const std::string closing = "15.01.2024 Pn 13:00:00.000 | a\r\n\r\n" + kEq + "\r\n" +
                              "> 15.01.2024 Pn 14:00:05.000 ZAKOŃCZENIE SESJI LOGOWANIA "
                              "ROZPOCZĘTEJ 15.01.2024 Pn 13:00:00.000, TRWAJĄCEJ 0 dni, "
                              "00:00:05.000 [g:m:s.ms].\r\n" +
                              kEq + "\r\n\r\n\r\n";
  ASSERT_GE(text.size(), closing.size());
  EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
}

TEST_F(LoggingTest, NextSessionContinuesUnfinishedFileWithNewHeader) {
  NewLog(4)->LogWrite("session one");
  clock_.AdvanceSeconds(60);
  NewLog(4)->LogWrite("session two");

  EXPECT_FALSE(Exists("VolterDirectDrv_0002.txt"));
  const std::string text = Read("VolterDirectDrv_0001.txt");
  const size_t closing = text.find("ZAKOŃCZENIE SESJI LOGOWANIA");
  const size_t second_header = text.find("ROZPOCZĘCIE ZAPISU", closing);
  ASSERT_NE(closing, std::string::npos);
  ASSERT_NE(second_header, std::string::npos);
  EXPECT_LT(text.find("| session one"), closing);
  EXPECT_GT(text.find("| session two"), second_header);
  EXPECT_NE(text.find("> SESJA LOGOWANIA ROZPOCZĘŁA SIĘ 15.01.2024 Pn 13:01:00.000", second_header),
            std::string::npos);
  // A warning belongs only to files changed behind this session's back.
  EXPECT_EQ(text.find("UWAGA"), std::string::npos);
}

TEST_F(LoggingTest, SessionSkipsFilesThatAreFullOrReadOnly) {
  fs::create_directories(dir_);
  std::ofstream(dir_ + "VolterDirectDrv_0001.txt") << std::string(1025, 'x');
  std::ofstream(dir_ + "VolterDirectDrv_0002.txt") << "old";
  fs::permissions(dir_ + "VolterDirectDrv_0002.txt", fs::perms::owner_read);
  std::ofstream(dir_ + "VolterDirectDrv_0003.txt") << std::string(1024, 'y');

  auto log = NewLog();
  log->LogWrite("line");

  EXPECT_EQ(Read("VolterDirectDrv_0001.txt"), std::string(1025, 'x'));
  EXPECT_EQ(Read("VolterDirectDrv_0002.txt"), "old");
  const std::string text = Read("VolterDirectDrv_0003.txt");
  EXPECT_EQ(text.find(std::string(1024, 'y')), 0u);
  EXPECT_NE(text.find("NR 1 (" + dir_ + "VolterDirectDrv_0003.txt"), std::string::npos);
  EXPECT_EQ(text.find("KONTYNUACJ"), std::string::npos);
}

TEST_F(LoggingTest, FullFileMovesToNextNumberWithClosingAndContinuationNotes) {
  auto log = NewLog();
  int written = 0;
  while (!Exists("VolterDirectDrv_0002.txt") && written < 100) {
    log->LogWrite("line " + std::to_string(written++));
  }
  ASSERT_TRUE(Exists("VolterDirectDrv_0002.txt"));
  const std::string last_in_new = "| line " + std::to_string(written - 1) + "\r\n";
  const std::string last_in_old = "| line " + std::to_string(written - 2) + "\r\n";

  const std::string old_text = Read("VolterDirectDrv_0001.txt");
  const size_t note =
      old_text.find("\r\n\r\n" + kEq + "\r\n> 15.01.2024 Pn 13:00:00.000 ZAKOŃCZENIE");
  ASSERT_NE(note, std::string::npos);
  EXPECT_GT(note, 1024u);  // the line that crossed the limit stayed in the old file
  EXPECT_EQ(old_text.substr(note - last_in_old.size(), last_in_old.size()), last_in_old);
  const std::string expected_note =
      "> 15.01.2024 Pn 13:00:00.000 ZAKOŃCZENIE ZAPISU PLIKU OGRANICZONEJ WIELKOŚCI (~1KB) NR 1 (" +
      dir_ + "VolterDirectDrv_0001.txt <\"<default>\">).\r\n" +
      "> KONTYNUACJA ZNAJDUJE SIĘ W PLIKU NR 2 (VolterDirectDrv_0002.txt).\r\n" +
      "> RZECZYWISTA KOLEJNOŚĆ ZAPISU PLIKÓW (WG ICH NUMERÓW): POPRAWNA.\r\n" +
      "> SUMA PRÓB ZAPISU DO TEGO PLIKU: " + std::to_string(written) +
      ", W TYM NIEUDANYCH: 0.\r\n" +
      "> SESJA LOGOWANIA ROZPOCZĘŁA SIĘ 15.01.2024 Pn 13:00:00.000, TRWA 0 dni, 00:00:00.000 "
      "[g:m:s.ms].\r\n" +
      kEq + "\r\n\r\n";
  EXPECT_EQ(old_text.substr(note + 4 + kEq.size() + 2), expected_note);

  const std::string new_text = Read("VolterDirectDrv_0002.txt");
  EXPECT_NE(new_text.find("ROZPOCZĘCIE ZAPISU: PLIK OGRANICZONEJ WIELKOŚCI (~1KB) NR 2 (" + dir_ +
                          "VolterDirectDrv_0002.txt"),
            std::string::npos);
  EXPECT_NE(new_text.find("> PLIK TEN STANOWI KONTYNUACJĘ DANYCH ZNAJDUJĄCYCH SIĘ W PLIKU NR 1 "
                          "(VolterDirectDrv_0001.txt).\r\n"),
            std::string::npos);
  EXPECT_EQ(new_text.substr(new_text.size() - last_in_new.size()), last_in_new);
}

TEST_F(LoggingTest, DeletedFileIsRecreatedWithHeaderAndWarning) {
  auto log = NewLog(2);
  log->LogWrite("before");
  fs::remove(dir_ + "VolterDirectDrv_0001.txt");
  log->LogWrite("after");

  const std::string text = Read("VolterDirectDrv_0001.txt");
  const std::string warning =
      "\r\n" + kDash + "\r\n> UWAGA! PLIK TEN (TYP: OGRANICZONEJ WIELKOŚCI (~2KB), NR 1, " + dir_ +
      "VolterDirectDrv_0001.txt) ZOSTAŁ ZMODYFIKOWANY LUB USUNIĘTY "
      "PODCZAS SESJI LOGOWANIA.\r\n" +
      kDash + "\r\n\r\n15.01.2024 Pn 13:00:00.000 | after\r\n";
  EXPECT_EQ(text.find("\r\n" + kEq + "\r\n> 15.01.2024 Pn 13:00:00.000 (= UTC + 60 min.) "), 0u);
  ASSERT_GE(text.size(), warning.size());
  EXPECT_EQ(text.substr(text.size() - warning.size()), warning);
  EXPECT_EQ(text.find("before"), std::string::npos);
}

TEST_F(LoggingTest, FileChangedFromOutsideGetsWarningWithoutNewHeader) {
  auto log = NewLog(2);
  log->LogWrite("before");
  std::ofstream(dir_ + "VolterDirectDrv_0001.txt", std::ios::app) << "foreign\r\n";
  log->LogWrite("after");
  log->LogWrite("later");

  const std::string text = Read("VolterDirectDrv_0001.txt");
  const size_t warning = text.find("> UWAGA! PLIK TEN");
  EXPECT_GT(warning, text.find("foreign"));
  EXPECT_EQ(text.find("> UWAGA! PLIK TEN", warning + 1), std::string::npos);  // reported once
  EXPECT_EQ(text.find("ROZPOCZĘCIE ZAPISU", text.find("foreign")), std::string::npos);
}

TEST_F(LoggingTest, FailedWritesAreCountedAndHeaderIsNotLost) {
  auto log = NewLog();
  fault_fs_.fail_write = true;
  EXPECT_FALSE(log->Write("lost one", true, "<default>"));
  fault_fs_.fail_write = false;
  EXPECT_TRUE(log->Write("kept", true, "<default>"));
  // The header that should have come with the lost line comes with the next.
  const std::string first = Read("VolterDirectDrv_0001.txt");
  EXPECT_EQ(first.find("\r\n" + kEq + "\r\n> 15.01.2024 Pn 13:00:00.000 (= UTC + 60 min.) "), 0u);
  EXPECT_EQ(first.find("ROZPOCZĘCIE", first.find("ROZPOCZĘCIE") + 1), std::string::npos);

  int written = 2;
  while (!Exists("VolterDirectDrv_0002.txt") && written < 100) {
    log->LogWrite(std::string(40, 'z'));
    ++written;
  }
  const std::string text = Read("VolterDirectDrv_0001.txt");
  EXPECT_EQ(text.find("lost one"), std::string::npos);
  EXPECT_EQ(text.find("UWAGA"), std::string::npos);
  EXPECT_NE(text.find("> SUMA PRÓB ZAPISU DO TEGO PLIKU: " + std::to_string(written) +
                      ", W TYM NIEUDANYCH: 1.\r\n"),
            std::string::npos);
}

TEST_F(LoggingTest, DeleteExistingReplacesTheFileAndSaysSo) {
  fs::create_directories(dir_);
  std::ofstream(dir_ + "VolterDirectDrv_0001.txt") << "stale";
  NewLog(1, true)->LogWrite("fresh");

  const std::string text = Read("VolterDirectDrv_0001.txt");
  EXPECT_EQ(text.find("stale"), std::string::npos);
  EXPECT_NE(text.find("> UWAGA! ISTNIEJĄCY WCZEŚNIEJ PLIK O TEJ NAZWIE ZOSTAŁ NADPISANY.\r\n"),
            std::string::npos);
}

TEST_F(LoggingTest, NamedSeriesLivesBesideTheDefaultOne) {
  auto log = NewLog();
  EXPECT_TRUE(log->Write("raw", false, "extra"));
  const std::string text = Read("extra_0001.txt");
  EXPECT_NE(text.find("(" + dir_ + "extra_0001.txt <\"extra\">)."), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 5), "raw\r\n");
  log.reset();
  // The closing block addresses the series by its full name.
  EXPECT_NE(Read("extra_0001.txt").find("ZAKOŃCZENIE SESJI"), std::string::npos);
  EXPECT_FALSE(Exists("VolterDirectDrv_0001.txt"));
}

TEST_F(LoggingTest, ProgramHeaderOmitsWhatCannotBeFound) {
  TLogging log(real_, clock_, dir_, 1, false, ProgramInfo{"/nowhere/VolterDirectDrv", 7, ""});
  log.LogWrite("x");
  EXPECT_NE(Read("VolterDirectDrv_0001.txt")
                .find("\r\n> LOG ZAPISYWANY PRZEZ VolterDirectDrv (PID: 7) (/nowhere).\r\n"),
            std::string::npos);
}

TEST_F(LoggingTest, ConcurrentWritersLeaveOnlyWholeLines) {
  auto log = NewLog(4);
  constexpr int kThreads = 4;
  constexpr int kLines = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i)
        log->LogWrite("T" + std::to_string(t) + " #" + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();
  log.reset();

  const std::regex data_line(R"(\d\d\.\d\d\.\d{4} Pn \d\d:\d\d:\d\d\.\d{3} \| T\d #\d+)");
  int data_lines = 0;
  for (int n = 1; n < 1000 && Exists("VolterDirectDrv_" + std::string(n < 10 ? "000" : "00") +
                                     std::to_string(n) + ".txt");
       ++n) {
    std::istringstream text(
        Read("VolterDirectDrv_" + std::string(n < 10 ? "000" : "00") + std::to_string(n) + ".txt"));
    for (std::string line; std::getline(text, line);) {
      ASSERT_FALSE(line.empty());
      ASSERT_EQ(line.back(), '\r');
      line.pop_back();
      if (line.empty() || line[0] == '>' || line == kEq || line == kDash) continue;
      ASSERT_TRUE(std::regex_match(line, data_line)) << line;
      ++data_lines;
    }
  }
  EXPECT_EQ(data_lines, kThreads * kLines);
}

TEST(ResolveLogFileNameTest, FollowsTheNamingRules) {
  const std::string base = "/var/log/vd/VolterDirectDrv.txt";
  EXPECT_EQ(ResolveLogFileName("", base), base);
  EXPECT_EQ(ResolveLogFileName("<DEFAULT>", base), base);
  EXPECT_EQ(ResolveLogFileName("/srv/logs/", base), "/srv/logs/VolterDirectDrv.txt");
  EXPECT_EQ(ResolveLogFileName("Logs/", base), "/var/log/vd/Logs/VolterDirectDrv.txt");
  EXPECT_EQ(ResolveLogFileName(" /sub/x.log", base), "/var/log/vd/sub/x.log");
  EXPECT_EQ(ResolveLogFileName("trace", base), "/var/log/vd/trace.txt");
  EXPECT_EQ(ResolveLogFileName("trace.", base), "/var/log/vd/trace.txt");
  EXPECT_EQ(ResolveLogFileName("../a/./b.log  ", base), "/var/log/a/b.log");
  EXPECT_EQ(ResolveLogFileName("Logs/", "/[LOG]/VolterDirectDrv.txt"),
            "/[LOG]/Logs/VolterDirectDrv.txt");
}

TEST(LogFormatTest, FormatDuration) {
  EXPECT_EQ(FormatDuration(false, 93784005, 0), "1 dni, 02:03:04.005 [g:m:s.ms]");
  EXPECT_EQ(FormatDuration(true, 93784, 0), "1 dni, 02:03:04 [g:m:s]");
  EXPECT_EQ(FormatDuration(false, 15, 0), "0 dni, 00:00:00.015 [g:m:s.ms]");
  EXPECT_EQ(FormatDuration(false, 0, 1), "?");
  EXPECT_EQ(FormatDuration(false, INT64_MAX, -1), "?");
  EXPECT_EQ(FormatDuration(true, INT64_MAX / 10, 0), "?");
}

TEST(LogFormatTest, FormatBytes) {
  EXPECT_EQ(FormatBytes("\x02"
                        "A\x03",
                        " ", true, true),
            "02[STX] 41[A] 03[ETX]");
  EXPECT_EQ(FormatBytes("\x02"
                        "A\x7f",
                        "-", false, false),
            "02-41-7F");
  EXPECT_EQ(FormatBytes("\x0d", "", true, false), "0D[\r]");
  EXPECT_EQ(FormatBytes("\x7f\x1f", ",", true, true), "7F[DEL],1F[US]");
  EXPECT_EQ(FormatBytes("\xb9", " ", true, true), "B9[ą]");
  EXPECT_EQ(FormatBytes("", " ", true, true), "");
}

TEST(LogFormatTest, TimestampAndBias) {
  EXPECT_EQ(FormatLogTimestamp(CivilTime{2026, 12, 5, 14, 2, 13, 456}),
            "05.12.2026 So 14:02:13.456");
  EXPECT_EQ(FormatLogTimestamp(CivilTime{2026, 12, 9, 0, 0, 0, 7}), "09.12.2026 Śr 00:00:00.007");
  EXPECT_EQ(FormatLogTimestamp(CivilTime{2026, 12, 6, 23, 59, 59, 999}),
            "06.12.2026 Nd 23:59:59.999");
  EXPECT_EQ(FormatBias(-60), "(= UTC + 60 min.)");
  EXPECT_EQ(FormatBias(300), "(= UTC - 300 min.)");
  EXPECT_EQ(FormatBias(0), "(= UTC + 0 min.)");
  EXPECT_EQ(UnixMsToCivil(-1), (CivilTime{1969, 12, 31, 23, 59, 59, 999}));
}

}  // namespace
}  // namespace vd
