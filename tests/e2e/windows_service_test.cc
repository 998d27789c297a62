// VolterDirectDrv.exe as the Windows service O_VolterDirectDrv: its event
// message table, its events in the event log, and INSTALL, a start and a stop
// by the service control manager and UNINSTALL. What changes the machine
// (the event log, the services) runs only under Wine, whose prefix is the
// test's own.
#include "platform/windows_service.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver_process.h"
#include "e2e/e2e_driver.h"
#include "e2e/windows_e2e.h"
#include "fakes/eventually.h"
#include "fakes/scoped_temp_dir.h"
#include "free_port.h"
#include "platform/windows_event_log.h"
#include "platform/windows_text.h"

namespace vd {
namespace {

struct LibraryCloser {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};

// Message id's text in the message table of module for language, %1 filled
// with insertion; nothing when the table has no such message.
std::optional<std::string> FormatEvent(HMODULE module, DWORD id, WORD language,
                                       const std::wstring& insertion) {
  wchar_t text[512] = {};
  const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(insertion.c_str())};
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, language, text,
      sizeof text / sizeof text[0], reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
  if (length == 0) return std::nullopt;
  return Utf8FromWide(std::wstring_view(text, length));
}

TEST(WindowsEventMessagesTest, DriverHoldsEventsOneToFourInEnglishAsNeutralAndInPolish) {
  const std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryCloser> driver(
      LoadLibraryExW(WideFromUtf8(DriverExecutable()).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_NE(driver, nullptr) << DriverExecutable() << ": " << GetLastError();
  const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
  const WORD polish = MAKELANGID(LANG_POLISH, SUBLANG_DEFAULT);
  for (const WORD language : {neutral, polish}) {
    // RT_MESSAGETABLE is 11; its W form is not defined without UNICODE.
    EXPECT_NE(FindResourceExW(driver.get(), MAKEINTRESOURCEW(11), MAKEINTRESOURCEW(1), language),
              nullptr)
        << "no message table of language " << language;
  }
  struct Case {
    DWORD Id;
    WORD Language;
    const char* Text;
  };
  const Case cases[] = {
      {1, neutral, "Service started"},
      {2, neutral, "Service stopped"},
      {3, neutral, "Error while starting: Exception - boom"},
      {4, neutral, "Error while stopping: Exception - boom"},
      {1, polish, "Uruchomiono usługę"},
      {2, polish, "Zatrzymano usługę"},
      {3, polish, "Wystąpił błąd w trakcie uruchamiania usługi: Exception - boom"},
      {4, polish, "Wystąpił błąd w trakcie zatrzymywania usługi: Exception - boom"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatEvent(driver.get(), c.Id, c.Language, L"Exception - boom"), c.Text)
        << "event " << c.Id << ", language " << c.Language;
  }
  EXPECT_EQ(FormatEvent(driver.get(), 5, neutral, L""), std::nullopt);
}

TEST(WindowsEventLogTest, EventsAreRecordedWithTheirIdTypeAndInsertion) {
  if (!UnderWine()) GTEST_SKIP() << "writes to this machine's Application log: only under Wine";
  const std::string source = "VolterDirectDrv test " + std::to_string(GetCurrentProcessId());
  WindowsEventLog log(source);
  ASSERT_TRUE(log.Registered());
  log.WriteEvent(ServiceEvent::kStartFailed, "Exception - boom");
  log.WriteEvent(ServiceEvent::kStarted, "");

  const HANDLE application = OpenEventLogW(nullptr, L"Application");
  ASSERT_NE(application, nullptr);
  std::vector<std::pair<DWORD, WORD>> found;  // id, type
  std::vector<BYTE> buffer(64 * 1024);
  DWORD read = 0;
  DWORD needed = 0;
  while (ReadEventLogW(application, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0,
                       buffer.data(), static_cast<DWORD>(buffer.size()), &read, &needed)) {
    for (DWORD at = 0; at < read;) {
      const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
      const auto* name = reinterpret_cast<const wchar_t*>(record + 1);
      if (Utf8FromWide(name) == source) found.emplace_back(record->EventID, record->EventType);
      at += record->Length;
    }
  }
  CloseEventLog(application);
  if (found.empty()) {
    GTEST_SKIP() << "Wine's ReportEvent records nothing (its event log is a stub that reads back "
                    "no events), so what the service reports cannot be checked here";
  }
  EXPECT_EQ(found,
            (std::vector<std::pair<DWORD, WORD>>{{3, EVENTLOG_ERROR_TYPE}, {1, EVENTLOG_SUCCESS}}));
}

struct ServiceCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceCloser>;

std::optional<std::wstring> RegistryString(const std::wstring& key, const wchar_t* name) {
  wchar_t value[1024] = {};
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                   nullptr, value, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(value);
}

std::optional<DWORD> RegistryNumber(const std::wstring& key, const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value,
                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

// The service's life under Wine's service control manager, configured by a
// registry export file that INSTALL writes into the service's command line.
class WindowsServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!UnderWine()) GTEST_SKIP() << "installs a service on this machine: only under Wine";
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager_) GTEST_SKIP() << "no service control manager (error " << GetLastError() << ")";
  }
  void TearDown() override {
    if (!manager_) return;
    // Whatever a failed test left behind goes, so that the next one starts afresh.
    const ServiceHandle left = OpenDriverService();
    if (left) {
      SERVICE_STATUS status{};
      ControlService(left.get(), SERVICE_CONTROL_STOP, &status);
      WaitForState(left.get(), SERVICE_STOPPED);
      DeleteService(left.get());
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, EventSourceKey().c_str());
  }

  // The installed service through a service manager handle opened now.
  ServiceHandle OpenDriverService() {
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return ServiceHandle(OpenServiceW(manager_.get(), L"O_VolterDirectDrv", SERVICE_ALL_ACCESS));
  }

  static std::wstring EventSourceKey() {
    return WideFromUtf8(std::string(kEventLogSourcesKey) + "\\" + kWindowsServiceName);
  }

  // The driver's exit code for arguments, run to its end.
  std::optional<int> RunDriver(const std::vector<std::string>& arguments) {
    TDriverLaunch launch;
    launch.Executable = DriverExecutable();
    launch.Arguments = arguments;
    launch.OutputPath = dir_ + "commands.out";
    launch.StdinFromDevNull = true;
    TDriverProcess process(launch);
    return process.WaitExit(kEventuallyMs);
  }

  std::string WriteRegistry(int32_t kernel_port) {
    const std::string registry = dir_ + "registry.reg";
    std::ofstream(registry, std::ios::binary) << DriverRegistry(
        RegistryText(dir_), kernel_port, FreeLoopbackPort(),
        "\"LogSave\"=dword:00000001\n\"LogPath\"=\"" + RegistryText(dir_ + "log\\") + "\"\n");
    return registry;
  }

  // The state the service reached within the common bound (the last seen
  // when it did not).
  static DWORD WaitForState(SC_HANDLE service, DWORD state) {
    SERVICE_STATUS status{};
    Eventually(
        [&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == state; });
    return status.dwCurrentState;
  }

  std::string LogText() const {
    std::string text;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ + "log", error)) {
      text += ReadWholeFile(entry.path().string());
    }
    return text;
  }

  ScopedTempDir temp_;
  const std::string dir_ = WindowsPath(temp_.Path());
  ServiceHandle manager_;
};

TEST_F(WindowsServiceTest, InstallStartStopUninstall) {
  TKernelSimulator sim(SimOptions());
  const std::string registry = WriteRegistry(sim.TcpPort());
  ASSERT_EQ(RunDriver({"INSTALL", "SILENT", "--registry", registry}), 0)
      << ReadWholeFile(dir_ + "commands.out");

  const ServiceHandle service = OpenDriverService();
  ASSERT_TRUE(service) << GetLastError();
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigW(service.get(),
                                  reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), &needed));
  const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
  EXPECT_EQ(Utf8FromWide(config->lpDisplayName), "Orvanel VolterDirect Driver");
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(Utf8FromWide(config->lpBinaryPathName),
            "\"" + DriverExecutable() + "\" --registry " + registry);
  if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &needed)) {
    const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
    ASSERT_NE(description->lpDescription, nullptr);
    EXPECT_EQ(Utf8FromWide(description->lpDescription),
              "Driver retrieving signals from Volter devices.");
  }
  EXPECT_EQ(RegistryString(EventSourceKey(), L"EventMessageFile"),
            WideFromUtf8(DriverExecutable()));
  EXPECT_EQ(RegistryNumber(EventSourceKey(), L"TypesSupported"), 7u);

  if (!StartServiceW(service.get(), 0, nullptr)) {
    GTEST_SKIP() << "Wine's service control manager does not start the service (error "
                 << GetLastError() << ")";
  }
  EXPECT_EQ(WaitForState(service.get(), SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(sim.WaitFor(
      [](const TKernelSimulator& s) { return s.CountReceived(kFrameTypeRegistration) > 0; },
      kEventuallyMs))
      << LogText();
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_EQ(WaitForState(service.get(), SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
  ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
  EXPECT_TRUE(Eventually([&] { return LogText().find("Service stop") != std::string::npos; }))
      << LogText();

  ASSERT_EQ(RunDriver({"UNINSTALL", "SILENT"}), 0) << ReadWholeFile(dir_ + "commands.out");
  EXPECT_EQ(RegistryString(EventSourceKey(), L"EventMessageFile"), std::nullopt);
  EXPECT_EQ(RunDriver({"UNINSTALL", "SILENT"}), 1) << "a second uninstall finds nothing";
}

// A start that fails (no shared registry key in the file) ends the service
// with the driver's exit code as its service-specific one.
TEST_F(WindowsServiceTest, FailedStartStopsTheServiceWithItsExitCode) {
  const std::string registry = dir_ + "empty.reg";
  std::ofstream(registry, std::ios::binary) << "Windows Registry Editor Version 5.00\n";
  ASSERT_EQ(RunDriver({"install", "silent", "--registry", registry}), 0)
      << ReadWholeFile(dir_ + "commands.out");
  const ServiceHandle service = OpenDriverService();
  ASSERT_TRUE(service) << GetLastError();
  // Wine's manager answers a service that stops this soon now and then with
  // ERROR_SERVICE_REQUEST_TIMEOUT, though it ran and reported its end.
  if (!StartServiceW(service.get(), 0, nullptr) &&
      GetLastError() != ERROR_SERVICE_REQUEST_TIMEOUT) {
    GTEST_SKIP() << "Wine's service control manager does not start the service (error "
                 << GetLastError() << ")";
  }
  EXPECT_EQ(WaitForState(service.get(), SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(status.dwServiceSpecificExitCode, 1u);
}

}  // namespace
}  // namespace vd
