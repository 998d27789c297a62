#include "service/configuration.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/memory_settings_source.h"
#include "fakes/scoped_temp_dir.h"
#include "platform/posix_file_system.h"
#include "platform/registry_file.h"
#include "support/errors.h"

namespace vd {
namespace {

constexpr char kShared[] = "Software\\Lirra!\\Drivers";
constexpr char kDriver[] = "Software\\Lirra!\\Drivers\\VolterDirectDriver";

std::string PortKey(int n) { return std::string(kDriver) + "\\Port" + std::to_string(n); }

class ConfigurationTest : public testing::Test {
 protected:
  ConfigurationTest() {
    SetDefaults(settings_, ExecutableDirectory(), "10.0.0.1");
    registry_.AddKey(kShared);
  }

  std::string ExecutableDirectory() const { return temp_.Path() + "bin/"; }

  // An active port with every number given.
  void AddActivePort(int n, int32_t port_number) {
    registry_.SetNumber(PortKey(n), "IsActive", 1);
    registry_.SetNumber(PortKey(n), "Port", static_cast<uint32_t>(4000 + n));
    registry_.SetNumber(PortKey(n), "InactivityMessageTimeout", 600);
    registry_.SetNumber(PortKey(n), "MaxReceiveSignals", 100);
    registry_.SetNumber(PortKey(n), "PortNumber", static_cast<uint32_t>(port_number));
  }

  void Read() {
    ReadConfiguration(registry_, fs_, clock_, ExecutableDirectory(), settings_, endpoints_);
  }

  ScopedTempDir temp_;
  PosixFileSystem posix_;
  FaultFileSystem fs_{posix_};
  FakeClock clock_;
  MemorySettingsSource registry_;
  DriverSettings settings_;
  std::vector<KernelEndpoint> endpoints_;
};

TEST_F(ConfigurationTest, EveryValueReachesTheSettingsAndPathIsCreated) {
  const std::string data = temp_.Path() + "data";
  registry_.SetText(kShared, "PATH", data);  // names match in any letter case
  registry_.SetNumber(kShared, "SecurityEnabled", 7);
  registry_.SetText(kShared, "SecurityKey", "klucz");
  registry_.SetNumber(kShared, "FrameIVSeed", 0x1234);
  registry_.SetText(kShared, "Kernel1", "Name=main;IP=10.0.0.5;Port=5000");
  registry_.SetText(kShared, "kernel2", " name = backup ; ip=10.0.0.6;PORT= 5001 ");
  registry_.SetNumber(kDriver, "UseNamedPipeConnection", 1);
  registry_.SetText(kDriver, "Name",
                    "Stacja \xC5\x81\xC3\xB3"
                    "d\xC5\xBA");  // UTF-8 "Łódź"
  registry_.SetText(kDriver, "Password", "tajne");
  registry_.SetNumber(kDriver, "LogSave", 1);
  registry_.SetText(kDriver, "LogPath", "/var/log/lirra");
  registry_.SetNumber(kDriver, "FlushCacheWrites", 0);
  registry_.SetText(kDriver, "PipeDirectory", "/tmp/pipes");
  AddActivePort(1, 11);
  registry_.SetText(PortKey(1), "DriverPassword", "abc");
  registry_.SetText(PortKey(1), "PortName", "Centrala");
  registry_.SetNumber(PortKey(1), "MaxReceiveSignals", 0xFFFFFFFF);
  AddActivePort(2, 11);  // the same number twice is stored as read

  Read();

  EXPECT_EQ(settings_.Path, data + "/");
  EXPECT_TRUE(posix_.Stat(settings_.Path).is_directory);
  EXPECT_EQ(settings_.CacheDirectory(), data + "/Temp/VolterDirectDrv_Cache/");
  EXPECT_TRUE(settings_.SecurityEnabled);
  EXPECT_EQ(settings_.SecurityKey, "klucz");
  EXPECT_EQ(settings_.FrameIVSeed, 0x1234);
  ASSERT_EQ(endpoints_.size(), 2u);
  EXPECT_EQ(endpoints_[0].Name + " " + endpoints_[0].IP + " " + std::to_string(endpoints_[0].Port),
            "main 10.0.0.5 5000");
  EXPECT_EQ(endpoints_[1].Name + " " + endpoints_[1].IP + " " + std::to_string(endpoints_[1].Port),
            "backup 10.0.0.6 5001");
  EXPECT_TRUE(settings_.UseNamedPipeConnection);
  EXPECT_EQ(settings_.Name,
            "Stacja \xA3\xF3"
            "d\x9F");  // Windows-1250, as signals carry it
  EXPECT_EQ(settings_.Password, "tajne");
  EXPECT_TRUE(settings_.LogSave);
  EXPECT_EQ(settings_.LogPath, "/var/log/lirra/");
  EXPECT_FALSE(settings_.FlushCacheWrites);
  EXPECT_EQ(settings_.PipeDirectory, "/tmp/pipes/");
  EXPECT_EQ(settings_.LocalIP, "10.0.0.1");
  ASSERT_EQ(settings_.Ports.size(), 2u);
  const PortEntry& first = settings_.Ports[0];
  EXPECT_EQ(first.Port, 4001);
  EXPECT_EQ(first.PortNumber, 11);
  EXPECT_EQ(first.InactivityMessageTimeout, 600);
  EXPECT_EQ(first.MaxReceiveSignals, -1);
  EXPECT_EQ(first.DriverPassword, "abc");
  EXPECT_EQ(first.PortName, "Centrala");
  EXPECT_EQ(settings_.Ports[1].PortNumber, 11);
  ASSERT_TRUE(first.FloodControl && settings_.Ports[1].FloodControl);
  EXPECT_NE(first.FloodControl, settings_.Ports[1].FloodControl);
}

// What a registry that starts fine but differs in one way gives.
struct EdgeCase {
  const char* name;
  std::function<void(MemorySettingsSource&)> setup;
  std::function<void(const DriverSettings&, const std::vector<KernelEndpoint>&,
                     const std::string& executable_directory)>
      check;
};

TEST_F(ConfigurationTest, EdgeCasesStartWithTheSettingsOperatorsExpect) {
  const EdgeCase cases[] = {
      {"no driver key: defaults, no ports", [](MemorySettingsSource&) {},
       [](const DriverSettings& s, const std::vector<KernelEndpoint>& k, const std::string& exe) {
         EXPECT_EQ(s.Name, "VolterDirect Driver");
         EXPECT_EQ(s.Password, "old");
         EXPECT_EQ(s.LogPath, exe);
         EXPECT_FALSE(s.LogSave);
         EXPECT_FALSE(s.UseNamedPipeConnection);
         EXPECT_TRUE(s.FlushCacheWrites);
         EXPECT_EQ(s.PipeDirectory, "/run/lirra/");
         EXPECT_EQ(s.FrameIVSeed, kDefaultFrameIVSeed);
         EXPECT_TRUE(s.Ports.empty());
         EXPECT_TRUE(k.empty());
       }},
      {"driver key without Password or LogPath",
       [](MemorySettingsSource& r) { r.SetText(kDriver, "Name", "D"); },
       [](const DriverSettings& s, const std::vector<KernelEndpoint>&, const std::string& exe) {
         EXPECT_EQ(s.Password, "");
         EXPECT_EQ(s.LogPath, exe);
       }},
      {"empty LogPath is the executable's directory",
       [](MemorySettingsSource& r) { r.SetText(kDriver, "LogPath", ""); },
       [](const DriverSettings& s, const std::vector<KernelEndpoint>&, const std::string& exe) {
         EXPECT_EQ(s.LogPath, exe);
       }},
      {"empty Path is the executable's directory, not the root",
       [](MemorySettingsSource& r) { r.SetText(kShared, "Path", ""); },
       [](const DriverSettings& s, const std::vector<KernelEndpoint>&, const std::string& exe) {
         EXPECT_EQ(s.Path, exe);
       }},
      {"Kernel1 and Kernel3 without Kernel2",
       [](MemorySettingsSource& r) {
         r.SetText(kShared, "Kernel1", "Name=a;IP=1.1.1.1;Port=1");
         r.SetText(kShared, "Kernel3", "Name=c;IP=3.3.3.3;Port=3");
       },
       [](const DriverSettings&, const std::vector<KernelEndpoint>& k, const std::string&) {
         ASSERT_EQ(k.size(), 1u);
         EXPECT_EQ(k[0].Name, "a");
       }},
      {"quoted Kernel name keeps its semicolon",
       [](MemorySettingsSource& r) {
         r.SetText(kShared, "Kernel1", "Name=\"main;east\";IP=10.0.0.5;Port=5000");
       },
       [](const DriverSettings&, const std::vector<KernelEndpoint>& k, const std::string&) {
         ASSERT_EQ(k.size(), 1u);
         EXPECT_EQ(k[0].Name, "main;east");
         EXPECT_EQ(k[0].Port, 5000);
       }},
      {"inactive Port1 and active Port2",
       [](MemorySettingsSource& r) {
         r.SetNumber(PortKey(1), "IsActive", 0);  // nothing else needed when inactive
         r.SetNumber(PortKey(2), "IsActive", 1);
         r.SetNumber(PortKey(2), "Port", 4002);
         r.SetNumber(PortKey(2), "InactivityMessageTimeout", 1);
         r.SetNumber(PortKey(2), "MaxReceiveSignals", 1);
         r.SetNumber(PortKey(2), "PortNumber", 2);
       },
       [](const DriverSettings& s, const std::vector<KernelEndpoint>&, const std::string&) {
         ASSERT_EQ(s.Ports.size(), 1u);
         EXPECT_EQ(s.Ports[0].Port, 4002);
         EXPECT_EQ(s.Ports[0].PortName, "");
         EXPECT_EQ(s.Ports[0].DriverPassword, "");
       }},
      {"Port1, Port2 and Port4: the gap ends the list",
       [](MemorySettingsSource& r) {
         for (int n : {1, 2, 4}) r.SetNumber(PortKey(n), "IsActive", 0);
         r.SetText(PortKey(4), "Port", "not read");
       },
       [](const DriverSettings& s, const std::vector<KernelEndpoint>&, const std::string&) {
         EXPECT_TRUE(s.Ports.empty());
       }},
      {"expandable texts are read as stored",
       [](MemorySettingsSource& r) {
         SettingsValue value;
         value.type = SettingsValueType::kExpandText;
         value.text = "%SystemRoot%";
         r.SetValue(kDriver, "Name", value);
       },
       [](const DriverSettings& s, const std::vector<KernelEndpoint>&, const std::string&) {
         EXPECT_EQ(s.Name, "%SystemRoot%");
       }},
  };
  for (const EdgeCase& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySettingsSource registry;
    registry.AddKey(kShared);
    c.setup(registry);
    DriverSettings settings;
    SetDefaults(settings, ExecutableDirectory(), "");
    settings.Password = "old";
    std::vector<KernelEndpoint> endpoints;
    ReadConfiguration(registry, fs_, clock_, ExecutableDirectory(), settings, endpoints);
    c.check(settings, endpoints, ExecutableDirectory());
  }
}

struct FailureCase {
  const char* name;
  std::function<void(MemorySettingsSource&)> setup;
  std::string expected;  // ExceptionText
};

TEST_F(ConfigurationTest, BadRegistriesFailTheStartWithTheOperatorText) {
  const auto active_port = [](MemorySettingsSource& r) {
    r.SetNumber(PortKey(1), "IsActive", 1);
    r.SetNumber(PortKey(1), "Port", 4001);
    r.SetNumber(PortKey(1), "InactivityMessageTimeout", 600);
    r.SetNumber(PortKey(1), "MaxReceiveSignals", 100);
    r.SetNumber(PortKey(1), "PortNumber", 1);
  };
  const FailureCase cases[] = {
      {"no shared key", [](MemorySettingsSource&) {},
       "Exception - Registry key: HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers does not exist!"},
      {"shared key refuses to open",
       [](MemorySettingsSource& r) {
         r.AddKey(kShared);
         r.DenyOpen(kShared);
       },
       "Exception - Registry key: HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers does not exist!"},
      {"Kernel port not a number",
       [](MemorySettingsSource& r) { r.SetText(kShared, "Kernel1", "Name=a;IP=b;Port=50x"); },
       "EConvertError - '50x' is not a valid integer value"},
      {"Kernel port missing",
       [](MemorySettingsSource& r) { r.SetText(kShared, "Kernel1", "Name=a;IP=b"); },
       "EConvertError - '' is not a valid integer value"},
      {"Kernel entry a number", [](MemorySettingsSource& r) { r.SetNumber(kShared, "Kernel1", 5); },
       "ERegistryException - Invalid data type for 'Kernel1'"},
      {"SecurityEnabled a text",
       [](MemorySettingsSource& r) { r.SetText(kShared, "SecurityEnabled", "1"); },
       "ERegistryException - Invalid data type for 'SecurityEnabled'"},
      {"Path a number", [](MemorySettingsSource& r) { r.SetNumber(kShared, "Path", 1); },
       "ERegistryException - Invalid data type for 'Path'"},
      {"FrameIVSeed beyond 16 bits",
       [](MemorySettingsSource& r) { r.SetNumber(kShared, "FrameIVSeed", 0x10000); },
       "ERegistryException - Invalid value for 'FrameIVSeed': 65536 (0 to 65535)"},
      {"Name a number", [](MemorySettingsSource& r) { r.SetNumber(kDriver, "Name", 1); },
       "ERegistryException - Invalid data type for 'Name'"},
      {"port without IsActive",
       [](MemorySettingsSource& r) { r.SetNumber(PortKey(1), "Port", 4001); },
       "ERegistryException - Failed to get data for 'IsActive'"},
      {"active port without PortNumber",
       [](MemorySettingsSource& r) {
         r.SetNumber(PortKey(1), "IsActive", 1);
         r.SetNumber(PortKey(1), "Port", 4001);
         r.SetNumber(PortKey(1), "InactivityMessageTimeout", 600);
         r.SetNumber(PortKey(1), "MaxReceiveSignals", 100);
       },
       "ERegistryException - Failed to get data for 'PortNumber'"},
      {"Port a text",
       [&](MemorySettingsSource& r) {
         active_port(r);
         r.SetText(PortKey(1), "Port", "4001");
       },
       "ERegistryException - Invalid data type for 'Port'"},
      {"PortName a number",
       [&](MemorySettingsSource& r) {
         active_port(r);
         r.SetNumber(PortKey(1), "PortName", 1);
       },
       "ERegistryException - Invalid data type for 'PortName'"},
      {"IsActive binary",
       [](MemorySettingsSource& r) {
         SettingsValue binary;
         binary.type = SettingsValueType::kBinary;
         binary.bytes = std::string("\x01\x00\x00\x00", 4);
         r.SetValue(PortKey(1), "IsActive", binary);
       },
       "ERegistryException - Invalid data type for 'IsActive'"},
      {"port key refuses to open",
       [&](MemorySettingsSource& r) {
         active_port(r);
         r.DenyOpen(PortKey(1));
       },
       "EAbort - Operation aborted"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySettingsSource registry;
    c.setup(registry);
    DriverSettings settings;
    std::vector<KernelEndpoint> endpoints;
    std::string text = "no error";
    try {
      ReadConfiguration(registry, fs_, clock_, ExecutableDirectory(), settings, endpoints);
    } catch (const std::exception& e) {
      text = ExceptionText(e);
    }
    EXPECT_EQ(text, c.expected);
  }
}

TEST_F(ConfigurationTest, SettingsReadBeforeAFailureStayAndEveryEntryHasAFloodControl) {
  registry_.SetText(kShared, "Kernel1", "Name=a;IP=1.1.1.1;Port=1");
  registry_.SetText(kDriver, "Name", "Read first");
  registry_.SetNumber(PortKey(1), "IsActive", 1);
  registry_.SetNumber(PortKey(1), "Port", 4001);
  EXPECT_THROW(Read(), ERegistryException);
  EXPECT_EQ(endpoints_.size(), 1u);
  EXPECT_EQ(settings_.Name, "Read first");
  ASSERT_EQ(settings_.Ports.size(), 1u);
  EXPECT_EQ(settings_.Ports[0].Port, 4001);
  EXPECT_TRUE(settings_.Ports[0].FloodControl);
}

TEST_F(ConfigurationTest, PathThatCannotBeCreatedIsNoStartFailure) {
  registry_.SetText(kShared, "Path", temp_.Path() + "missing/data");
  fs_.FailNext(FaultFileSystem::Operation::kCreateDirectories);
  EXPECT_NO_THROW(Read());
  EXPECT_EQ(settings_.Path, temp_.Path() + "missing/data/");
  EXPECT_FALSE(posix_.Stat(settings_.Path).exists);
}

TEST_F(ConfigurationTest, ExampleRegistryFileOfTheRepositoryGivesOneKernelAndOnePort) {
  const RegistryFile example =
      RegistryFile::Load(posix_, std::string(VD_SOURCE_DIR) + "/examples/registry.reg");
  // The example's Path lies outside the test's directory: leave it uncreated.
  fs_.FailNext(FaultFileSystem::Operation::kCreateDirectories);
  ReadConfiguration(example, fs_, clock_, ExecutableDirectory(), settings_, endpoints_);
  EXPECT_EQ(settings_.Path, "/tmp/volterdirect/");
  ASSERT_EQ(endpoints_.size(), 1u);
  EXPECT_EQ(endpoints_[0].IP + ":" + std::to_string(endpoints_[0].Port), "127.0.0.1:5000");
  EXPECT_TRUE(settings_.LogSave);
  EXPECT_EQ(settings_.LogPath, "/tmp/volterdirect/log/");
  EXPECT_EQ(settings_.FrameIVSeed, kDefaultFrameIVSeed);
  ASSERT_EQ(settings_.Ports.size(), 1u);
  EXPECT_EQ(settings_.Ports[0].Port, 4001);
  EXPECT_EQ(settings_.Ports[0].PortNumber, 1);
  EXPECT_EQ(settings_.Ports[0].InactivityMessageTimeout, 600);
  EXPECT_EQ(settings_.Ports[0].MaxReceiveSignals, 1000);
  EXPECT_EQ(settings_.Ports[0].PortName, "Demo port");
}

}  // namespace
}  // namespace vd
