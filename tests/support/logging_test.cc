#include "support/logging.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/time.h>
#endif

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/scoped_temp_dir.h"
#include "fakes/scoped_time_zone.h"
#include "platform/host_file_system.h"
#include "support/log_format.h"

namespace vd {
namespace {

const std::string kEq(130, '=');
const std::string kFirstHeader =
    "\r\n" + kEq + "\r\n> 15.01.2024 Pn 13:00:00.000 (= UTC + 60 min.) ";

class LoggingTest : public testing::Test {
 protected:
  void SetUp() override {
    real_.CreateDirectories(temp_.Path() + "bin");
    real_.WriteFile(exe_, "12345", false);
#ifdef _WIN32
    std::filesystem::last_write_time(  // 2023-06-01 10:20:30 UTC
        exe_, std::chrono::file_clock::from_sys(
                  std::chrono::sys_seconds(std::chrono::seconds(1685614830))));
#else
    const timeval times[2] = {{1685614830, 0}, {1685614830, 0}};  // 2023-06-01 10:20:30 UTC
    ASSERT_EQ(utimes(exe_.c_str(), times), 0);
#endif
  }
  std::unique_ptr<TLogging> NewLog(int64_t limit_kb = 1) {
    return std::make_unique<TLogging>(fault_fs_, clock_, dir_, limit_kb, false,
                                      ProgramInfo{exe_, 4242, "0.1.0.0"});
  }
  // File n (1-9) of the default series.
  std::string Path(int n) const { return dir_ + "VolterDirectDrv_000" + char('0' + n) + ".txt"; }
  std::string Read(int n) { return real_.ReadFile(Path(n), 1 << 20); }
  bool Exists(int n) { return real_.Stat(Path(n)).exists; }

  ScopedTimeZone zone_{"CET-1"};  // UTC+1 all year
  ScopedTempDir temp_;
  const std::string dir_ = temp_.Path() + "logs/";
  const std::string exe_ = temp_.Path() + "bin/VolterDirectDrv";
  HostFileSystem real_;
  FaultFileSystem fault_fs_{real_};
  FakeClock clock_;  // 2024-01-15 12:00:00 UTC, a Monday
};

TEST_F(LoggingTest, FirstWriteCreatesFirstFileWithFramedHeaderThenTheLine) {
  auto log = NewLog();
  log->LogWrite("first line");
  EXPECT_EQ(Read(1), kFirstHeader +
                         "ROZPOCZĘCIE ZAPISU: PLIK OGRANICZONEJ WIELKOŚCI (~1KB) NR 1 (" + Path(1) +
                         " <\"<default>\">).\r\n" +
                         "> SESJA LOGOWANIA ROZPOCZĘŁA SIĘ 15.01.2024 Pn 13:00:00.000, TRWA 0 dni, "
                         "00:00:00.000 [g:m:s.ms].\r\n" +
                         "> LOG ZAPISYWANY PRZEZ VolterDirectDrv (PID: 4242) v. 0.1.0.0, "
                         "ZMODYFIKOWANY: 01.06.2023 Cz 11:20:30.000, WIELKOŚĆ: 5B (" +
                         temp_.Path() + "bin).\r\n" + kEq +
                         "\r\n\r\n15.01.2024 Pn 13:00:00.000 | first line\r\n");
}

TEST_F(LoggingTest, NextSessionContinuesUnfinishedFileWithNewHeader) {
  NewLog(4)->LogWrite("session one");
  clock_.AdvanceSeconds(60);
  NewLog(4)->LogWrite("session two");
  const std::string text = Read(1);
  const size_t closing = text.find("ZAKOŃCZENIE SESJI LOGOWANIA");
  EXPECT_LT(text.find("| session one"), closing);
  EXPECT_LT(closing, text.find("> SESJA LOGOWANIA ROZPOCZĘŁA SIĘ 15.01.2024 Pn 13:01:00.000"));
  EXPECT_LT(closing, text.find("15.01.2024 Pn 13:01:00.000 | session two\r\n"));
  EXPECT_EQ(text.find("UWAGA"), std::string::npos);  // nobody else touched the file
}

TEST_F(LoggingTest, FullFileMovesToNextNumberWithClosingNoteCountingFailedWrites) {
  auto log = NewLog();
  fault_fs_.fail_write = true;
  EXPECT_FALSE(log->Write("lost", true, "<default>"));
  fault_fs_.fail_write = false;
  int written = 1;
  while (!Exists(2) && written < 100) log->LogWrite("line " + std::to_string(written++));
  const std::string note =
      "| line " + std::to_string(written - 2) + "\r\n\r\n\r\n" + kEq + "\r\n" +
      "> 15.01.2024 Pn 13:00:00.000 ZAKOŃCZENIE ZAPISU PLIKU OGRANICZONEJ WIELKOŚCI (~1KB) NR 1 (" +
      Path(1) + " <\"<default>\">).\r\n" +
      "> KONTYNUACJA ZNAJDUJE SIĘ W PLIKU NR 2 (VolterDirectDrv_0002.txt).\r\n" +
      "> RZECZYWISTA KOLEJNOŚĆ ZAPISU PLIKÓW (WG ICH NUMERÓW): POPRAWNA.\r\n" +
      "> SUMA PRÓB ZAPISU DO TEGO PLIKU: " + std::to_string(written) +
      ", W TYM NIEUDANYCH: 1.\r\n" +
      "> SESJA LOGOWANIA ROZPOCZĘŁA SIĘ 15.01.2024 Pn 13:00:00.000, TRWA 0 dni, 00:00:00.000 "
      "[g:m:s.ms].\r\n" +
      kEq + "\r\n\r\n";
  const std::string old_text = Read(1);
  EXPECT_TRUE(old_text.starts_with(kFirstHeader));  // the header came with the next line
  EXPECT_TRUE(old_text.ends_with(note)) << old_text;
  const std::string new_text = Read(2);
  EXPECT_NE(new_text.find("> PLIK TEN STANOWI KONTYNUACJĘ DANYCH ZNAJDUJĄCYCH SIĘ W PLIKU NR 1 "
                          "(VolterDirectDrv_0001.txt).\r\n"),
            std::string::npos);
  EXPECT_TRUE(new_text.ends_with("| line " + std::to_string(written - 1) + "\r\n"));
}

TEST_F(LoggingTest, SessionPassesOverAFileThatIsFullReadOnlyOrNotWritableByThisProcess) {
  const decltype(fault_fs_.on_call) unwritable = [this](auto op, const std::string& path) {
    return op == FaultFileSystem::Operation::kIsWritable && path == Path(1) ? EACCES : 0;
  };
  const struct {
    std::string state;  // of VolterDirectDrv_0001.txt when the session starts
    int file;           // the file the session writes to
  } cases[] = {{"missing", 1},   {"at the limit", 1}, {"full", 2},
               {"read-only", 2}, {"not ours", 2},     {"directory", 2}};
  std::error_code missing;  // Windows deletes no read-only file
  const auto reset = [&] {
    std::filesystem::permissions(Path(1), std::filesystem::perms::owner_all, missing);
    std::filesystem::remove_all(dir_);
  };
  for (const auto& c : cases) {
    reset();
    real_.CreateDirectories(c.state == "directory" ? Path(1) : dir_);
    if (c.state != "missing" && c.state != "directory") {
      real_.WriteFile(Path(1), std::string(c.state == "full" ? 1025 : 1024, 'x'), false);
    }
    if (c.state == "read-only") {
      std::filesystem::permissions(Path(1), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::remove);
    }
    fault_fs_.on_call = c.state == "not ours" ? unwritable : nullptr;
    NewLog()->LogWrite("line");
    EXPECT_NE(Read(c.file).find("| line\r\n"), std::string::npos) << c.state;
  }
  // A file that stops being writable during the session: the next line moves on.
  reset();
  fault_fs_.on_call = nullptr;
  auto log = NewLog(4);
  log->LogWrite("one");
  fault_fs_.on_call = unwritable;
  log->LogWrite("two");
  EXPECT_TRUE(Read(2).ends_with("| two\r\n"));
  EXPECT_NE(Read(2).find("KONTYNUACJĘ DANYCH ZNAJDUJĄCYCH SIĘ W PLIKU NR 1 (VolterDirectDrv_0001"),
            std::string::npos);
}

TEST_F(LoggingTest, DeletedFileIsRecreatedWithHeaderAndWarning) {
  auto log = NewLog(2);
  log->LogWrite("before");
  real_.DeleteFile(Path(1));
  log->LogWrite("after");
  const std::string text = Read(1);
  const std::string dash(130, '-');
  EXPECT_TRUE(text.starts_with(kFirstHeader));
  EXPECT_TRUE(text.ends_with(
      "\r\n" + dash + "\r\n> UWAGA! PLIK TEN (TYP: OGRANICZONEJ WIELKOŚCI (~2KB), NR 1, " +
      Path(1) + ") ZOSTAŁ ZMODYFIKOWANY LUB USUNIĘTY PODCZAS SESJI LOGOWANIA.\r\n" + dash +
      "\r\n\r\n15.01.2024 Pn 13:00:00.000 | after\r\n"))
      << text;
}

TEST_F(LoggingTest, ConcurrentWritersLeaveOnlyWholeLines) {
  auto log = NewLog(16);
  std::thread threads[4];
  for (int t = 0; t < 4; ++t)
    threads[t] = std::thread([&log, t] {
      for (int i = 0; i < 150; ++i)
        log->LogWrite("T" + std::to_string(t) + " #" + std::to_string(i));
    });
  for (auto& thread : threads) thread.join();
  log.reset();
  std::string all;
  for (int n = 1; n < 10 && Exists(n); ++n) all += Read(n);
  const std::regex data_line(R"(\d\d\.\d\d\.\d{4} Pn \d\d:\d\d:\d\d\.\d{3} \| T\d #\d+\r\n)");
  EXPECT_EQ(std::distance(std::sregex_iterator(all.begin(), all.end(), data_line),
                          std::sregex_iterator()),
            4 * 150);
}

TEST(LogFileNameTest, SpecificationsResolveAgainstTheDefaultName) {
  const std::string base = "/opt/vd/VolterDirectDrv.txt";
  const std::pair<std::string, std::string> rows[] = {
      {"", base},
      {"<DEFAULT>", base},
      {"extra", "/opt/vd/extra.txt"},
      {"logs/", "/opt/vd/logs/VolterDirectDrv.txt"},
      {"/var/log/vd/", "/var/log/vd/VolterDirectDrv.txt"},
      {"../x.log ", "/opt/x.log"},
  };
  for (const auto& [spec, resolved] : rows) EXPECT_EQ(ResolveLogFileName(spec, base), resolved);
}

TEST(LogFormatTest, DurationsAndBytes) {
  EXPECT_EQ(FormatDuration(false, 93784005, 0), "1 dni, 02:03:04.005 [g:m:s.ms]");
  EXPECT_EQ(FormatDuration(true, 93784, 0), "1 dni, 02:03:04 [g:m:s]");
  EXPECT_EQ(FormatDuration(false, 0, 1), "?");
  EXPECT_EQ(FormatBias(-60) + FormatBias(300), "(= UTC + 60 min.)(= UTC - 300 min.)");
  EXPECT_EQ(FormatDuration(false, INT64_MAX, -1), "?");
  EXPECT_EQ(FormatBytes("\x02\x41\x03\x7f", " ", true, true), "02[STX] 41[A] 03[ETX] 7F[DEL]");
  EXPECT_EQ(FormatBytes("\x0d\xb9", ",", true, false), "0D[\r],B9[ą]");
}

}  // namespace
}  // namespace vd
