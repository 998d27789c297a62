#include "platform/windows_registry.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <tuple>
#include <vector>

#include "config/driver_settings.h"
#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/scoped_temp_dir.h"
#include "platform/host_file_system.h"
#include "platform/windows_text.h"
#include "service/configuration.h"
#include "support/errors.h"

namespace vd {
namespace {

// A key of its own under HKEY_LOCAL_MACHINE (in the throwaway prefix under
// Wine) standing for the hive, removed with everything below it at the end.
class WindowsRegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, WideFromUtf8(root_).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
      GTEST_SKIP() << "cannot create HKEY_LOCAL_MACHINE\\" << root_ << " (no administrator)";
    }
    RegCloseKey(key);
  }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, WideFromUtf8(root_).c_str()); }
  void Set(const std::string& key_path, const std::string& name, DWORD type,
           const std::vector<BYTE>& data) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, WideFromUtf8(root_ + "\\" + key_path).c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, WideFromUtf8(name).c_str(), 0, type, data.data(),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void Text(const std::string& key, const std::string& name, const std::string& text,
            DWORD type = REG_SZ) {
    const std::wstring wide = WideFromUtf8(text);
    const auto* bytes = reinterpret_cast<const BYTE*>(wide.c_str());
    Set(key, name, type, std::vector<BYTE>(bytes, bytes + (wide.size() + 1) * sizeof(wchar_t)));
  }
  void Number(const std::string& key, const std::string& name, DWORD number) {
    Set(key, name, REG_DWORD,
        {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8), static_cast<BYTE>(number >> 16),
         static_cast<BYTE>(number >> 24)});
  }
  std::string Read() {
    DriverSettings settings;
    SetDefaults(settings, temp_.Path(), "127.0.0.1");
    endpoints_.clear();
    try {
      ReadConfiguration(registry_, fs_, clock_, temp_.Path(), settings, endpoints_);
    } catch (const std::exception& error) {
      return ExceptionText(error);
    }
    settings_ = std::move(settings);
    return "";
  }

  const std::string root_ = "Software\\VolterDirectTests\\" + std::to_string(GetCurrentProcessId());
  const std::string shared_ = kSharedKeyPath;
  const std::string port1_ = std::string(kDriverKeyPath) + "\\Port1";
  WindowsRegistry registry_{root_};
  ScopedTempDir temp_;
  HostFileSystem fs_;
  FakeClock clock_;
  DriverSettings settings_;
  std::vector<KernelEndpoint> endpoints_;
};

TEST_F(WindowsRegistryTest, ConfigurationReadsTextsAsStoredNumbersAndKernelsFromTheHive) {
  EXPECT_EQ(Read(),
            "Exception - Registry key: HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers does not "
            "exist!");
  Text(shared_, "Path", temp_.Path() + "%NOT_EXPANDED%\\", REG_EXPAND_SZ);
  Text(shared_, "Kernel1", "Name=\"a;b\";IP=127.0.0.1;Port=5000");
  Text(shared_, "Kernel3", "Name=gap;IP=127.0.0.1;Port=5002");
  Number(shared_, "SecurityEnabled", 1);
  Text(kDriverKeyPath, "Name", "Stacja Łódź");
  Number(port1_, "IsActive", 1);
  Number(port1_, "Port", 4001);
  Number(port1_, "InactivityMessageTimeout", 600);
  Number(port1_, "MaxReceiveSignals", 0xFFFFFFFF);
  Number(port1_, "PortNumber", 7);
  ASSERT_EQ(Read(), "");
  ASSERT_EQ(endpoints_.size(), 1u);
  ASSERT_EQ(settings_.Ports.size(), 1u);
  const PortEntry& port = settings_.Ports[0];
  EXPECT_EQ(std::tie(settings_.Path, settings_.SecurityEnabled, settings_.Name, endpoints_[0].Name,
                     endpoints_[0].Port, port.PortNumber, port.MaxReceiveSignals, port.PortName),
            std::make_tuple(temp_.Path() + "%NOT_EXPANDED%/", true, "Stacja Łódź", "a;b", 5000, 7,
                            -1, ""));
}

TEST_F(WindowsRegistryTest, MissingAndMistypedValuesGiveTheConfigurationErrors) {
  Text(shared_, "Path", temp_.Path());
  Number(port1_, "IsActive", 1);
  Number(port1_, "Port", 4001);
  Number(port1_, "InactivityMessageTimeout", 600);
  Number(port1_, "MaxReceiveSignals", 10);
  EXPECT_EQ(Read(), "ERegistryException - Failed to get data for 'PortNumber'");
  Text(port1_, "PortNumber", "1");
  EXPECT_EQ(Read(), "ERegistryException - Invalid data type for 'PortNumber'");
  Set(port1_, "PortNumber", REG_BINARY, {1, 0, 0, 0});
  EXPECT_EQ(Read(), "ERegistryException - Invalid data type for 'PortNumber'");
  Number(port1_, "PortNumber", 1);
  Number(port1_, "PortName", 5);
  EXPECT_EQ(Read(), "ERegistryException - Invalid data type for 'PortName'");
}

}  // namespace
}  // namespace vd
