#include "service/configuration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fault_file_system.h"
#include "fakes/memory_settings_source.h"
#include "fakes/scoped_temp_dir.h"
#include "platform/host_file_system.h"
#include "platform/registry_file.h"
#include "service/configuration_check.h"
#include "support/errors.h"

namespace vd {
namespace {

// Registry entries written "<key>|<name>=<value>": key S (shared), D (driver)
// or P<n> (port n); a value "#<n>" is a number, "!binary" a binary value,
// anything else a text. "<key>|" only creates the key, "<key>|deny" makes it
// refuse to open, "P<n>|active" gives port n every number it needs.
void Apply(MemorySettingsSource& registry, const std::string& entry) {
  const std::string key = entry[0] == 'S'   ? std::string(kSharedKeyPath)
                          : entry[0] == 'D' ? std::string(kDriverKeyPath)
                                            : std::string(kDriverKeyPath) + "\\Port" + entry[1];
  const std::string rest = entry.substr(entry.find('|') + 1);
  registry.AddKey(key);
  if (rest == "deny") registry.DenyOpen(key);
  if (rest == "active") {
    for (const char* value : {"IsActive=#1", "Port=#4001", "InactivityMessageTimeout=#600",
                              "MaxReceiveSignals=#100", "PortNumber=#1"}) {
      Apply(registry, entry.substr(0, 3) + value);
    }
  }
  const size_t equals = rest.find('=');
  if (equals == std::string::npos) return;
  const std::string name = rest.substr(0, equals);
  const std::string value = rest.substr(equals + 1);
  if (value.starts_with("#")) {
    registry.SetNumber(key, name, static_cast<uint32_t>(std::stoll(value.substr(1))));
  } else if (value == "!binary") {
    registry.SetValue(key, name, {SettingsValueType::kBinary, "", 0, std::string(4, '\1')});
  } else {
    registry.SetText(key, name, value);
  }
}

class ConfigurationTest : public testing::Test {
 protected:
  std::string Exe() const { return temp_.Path() + "bin/"; }

  // The settings read from the entries in one comparable text (the
  // executable's directory written EXE/), or "error: " and ExceptionText.
  std::string Read(const std::vector<std::string>& entries) {
    MemorySettingsSource registry;
    for (const std::string& entry : entries) Apply(registry, entry);
    settings_ = DriverSettings{};
    SetDefaults(settings_, Exe(), "10.0.0.1");
    settings_.Password = "old";
    endpoints_.clear();
    try {
      ReadConfiguration(registry, fs_, clock_, Exe(), settings_, endpoints_);
    } catch (const std::exception& e) {
      return "error: " + ExceptionText(e);
    }
    return Settings();
  }
  // The settings and endpoints read, as Read gives them.
  std::string Settings() const {
    const auto flag = [](bool value) { return value ? "1" : "0"; };
    const DriverSettings& s = settings_;
    std::string text = "Path=" + s.Path + " Security=" + flag(s.SecurityEnabled) +
                       " Key=" + s.SecurityKey + " Seed=" + std::to_string(s.FrameIVSeed) +
                       " Name=" + s.Name + " Password=" + s.Password +
                       " Pipe=" + flag(s.UseNamedPipeConnection) + " LogSave=" + flag(s.LogSave) +
                       " LogPath=" + s.LogPath + " Flush=" + flag(s.FlushCacheWrites) +
                       " PipeDir=" + s.PipeDirectory + " IP=" + s.LocalIP + " K=[";
    for (const KernelEndpoint& k : endpoints_) {
      text += k.Name + "@" + k.IP + ":" + std::to_string(k.Port) + ",";
    }
    text += "] P=[";
    for (const PortEntry& p : s.Ports) {
      text += std::to_string(p.Port) + "/" + std::to_string(p.PortNumber) + "/" +
              std::to_string(p.InactivityMessageTimeout) + "/" +
              std::to_string(p.MaxReceiveSignals) + "/" + p.DriverPassword + "/" + p.PortName +
              (p.FloodControl ? "," : " without flood control,");
    }
    for (size_t at = text.find(Exe()); at != std::string::npos; at = text.find(Exe())) {
      text.replace(at, Exe().size(), "EXE/");
    }
    return text + "] Capacity=" + std::to_string(s.SignalBufferCapacity);
  }

  ScopedTempDir temp_;
  HostFileSystem posix_;
  FaultFileSystem fs_{posix_};
  FakeClock clock_;
  DriverSettings settings_;
  std::vector<KernelEndpoint> endpoints_;
};

TEST_F(ConfigurationTest, EveryValueReachesTheSettingsAndPathIsCreated) {
  const std::string data = temp_.Path() + "data";
  EXPECT_EQ(
      Read({"S|PATH=" + data, "S|SecurityEnabled=#7", "S|SecurityKey=klucz \xC5\x81",
            "S|FrameIVSeed=#4660", "S|Kernel1=Name=main;IP=10.0.0.5;Port=5000",
            "S|kernel2= name = backup ; ip=10.0.0.6;PORT= 5001 ", "D|UseNamedPipeConnection=#1",
            "D|Name=Stacja \xC5\x81", "D|Password=tajne", "D|LogSave=#1",
            "D|LogPath=/var/log/lirra", "D|FlushCacheWrites=#0", "D|PipeDirectory=/tmp/pipes",
            "P1|active", "P1|MaxReceiveSignals=#4294967295", "P1|DriverPassword=abc \xC5\x81",
            "P1|PortName=Centrala \xC5\x81", "P2|active", "P2|Port=#4002"}),
      // "\xC5\x81" is a UTF-8 capital L with stroke, 0xA3 in Windows-1250: the
      // key and the port password become the bytes the other side compares.
      "Path=" + data + "/ Security=1 Key=klucz \xA3 Seed=4660 Name=Stacja \xC5\x81" +
          " Password=tajne Pipe=1 LogSave=1 LogPath=/var/log/lirra/ Flush=0"
          " PipeDir=/tmp/pipes/ IP=10.0.0.1"
          " K=[main@10.0.0.5:5000,backup@10.0.0.6:5001,]"
          " P=[4001/1/600/-1/abc \xA3/Centrala \xC5\x81,4002/1/600/100//,] Capacity=1000");
  EXPECT_TRUE(posix_.Stat(data + "/").is_directory);
  EXPECT_EQ(settings_.CacheDirectory(), data + "/Temp/VolterDirectDrv_Cache/");
  EXPECT_NE(settings_.Ports[0].FloodControl, settings_.Ports[1].FloodControl);
}

TEST_F(ConfigurationTest, EdgeCasesAndFailuresGiveWhatOperatorsExpect) {
  const std::string defaults =
      "Path=EXE/ Security=0 Key= Seed=23100 Name=VolterDirect Driver Password=old Pipe=0 "
      "LogSave=0 LogPath=EXE/ Flush=1 PipeDir=/run/lirra/ IP=10.0.0.1 K=[] P=[] Capacity=1000";
  const struct {
    std::vector<std::string> entries;
    std::string expected;  // the whole text, or a part of it after "..."
  } cases[] = {
      // Only the shared key is needed; the driver key's absence keeps every default.
      {{"S|"}, defaults},
      {{"D|Name=D"}, "...Name=D Password= "},
      {{"D|LogPath="}, "...LogPath=EXE/ "},
      {{"S|Path="}, "...Path=EXE/ "},  // not the root directory
      {{"S|Kernel1=Name=a;IP=1.1.1.1;Port=1", "S|Kernel3=Name=c;IP=3.3.3.3;Port=3"},
       "...K=[a@1.1.1.1:1,]"},
      {{"S|Kernel1=Name=\"main;east\";IP=10.0.0.5;Port=5000"}, "...K=[main;east@10.0.0.5:5000,]"},
      {{"P1|IsActive=#0", "P2|active", "P2|Port=#4002"}, "...P=[4002/1/600/100//,]"},
      {{"P1|IsActive=#0", "P2|IsActive=#0", "P4|active"}, "...P=[]"},
      {{"S|deny"},
       "error: Exception - Registry key: HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers "
       "does not exist!"},
      {{"S|Kernel1=Name=a;IP=b"}, "error: EConvertError - '' is not a valid integer value"},
      {{"S|Kernel1=#5"}, "error: ERegistryException - Invalid data type for 'Kernel1'"},
      {{"S|SecurityEnabled=1"},
       "error: ERegistryException - Invalid data type for 'SecurityEnabled'"},
      {{"S|Path=#1"}, "error: ERegistryException - Invalid data type for 'Path'"},
      {{"S|FrameIVSeed=#65536"},
       "error: ERegistryException - Invalid value for 'FrameIVSeed': 65536 (0 to 65535)"},
      {{"D|Name=#1"}, "error: ERegistryException - Invalid data type for 'Name'"},
      {{"D|SignalBufferCapacity=#10000000"}, "... Capacity=10000000"},
      {{"D|SignalBufferCapacity=#0"},
       "error: ERegistryException - Invalid value for 'SignalBufferCapacity': 0 (1 to 10000000)"},
      {{"D|SignalBufferCapacity=#10000001"},
       "error: ERegistryException - Invalid value for 'SignalBufferCapacity': 10000001 (1 to "
       "10000000)"},
      {{"P1|Port=#4001"}, "error: ERegistryException - Failed to get data for 'IsActive'"},
      {{"P1|IsActive=#1", "P1|Port=#4001"},
       "error: ERegistryException - Failed to get data for 'InactivityMessageTimeout'"},
      {{"P1|IsActive=!binary"}, "error: ERegistryException - Invalid data type for 'IsActive'"},
      {{"P1|active", "P1|PortName=#1"},
       "error: ERegistryException - Invalid data type for 'PortName'"},
      {{"P1|active", "P1|deny"}, "error: EAbort - Operation aborted"},
      // Ports nobody could reach or two listeners would fight over.
      {{"P1|active", "P1|Port=#70000"},
       "error: ERegistryException - Invalid value for 'Port' of Port1: 70000 (1 to 65535)"},
      {{"P1|active", "P1|Port=#0"},
       "error: ERegistryException - Invalid value for 'Port' of Port1: 0 (1 to 65535)"},
      {{"S|Kernel1=Name=a;IP=b;Port=65536"},
       "error: ERegistryException - Invalid value for 'Kernel1': Port=65536 (1 to 65535)"},
      {{"S|Kernel1=Name=a;IP=b;Port=0", "D|UseNamedPipeConnection=#1"}, "...K=[a@b:0,]"},
      {{"P1|active", "P2|IsActive=#0", "P3|active"},
       "error: ERegistryException - Invalid value for 'Port' of Port3: 4001 (already the TCP "
       "port of Port1)"},
      {{"P1|active", "D|MetricsAddress=127.0.0.1:4001"},
       "error: ERegistryException - Invalid value for 'MetricsAddress': '127.0.0.1:4001' (TCP "
       "port 4001 is the device port of Port1)"},
  };
  for (const auto& c : cases) {
    const std::string text = Read(c.entries);
    if (c.expected.starts_with("...")) {
      EXPECT_NE(text.find(c.expected.substr(3)), std::string::npos) << c.expected << "\n" << text;
    } else {
      EXPECT_EQ(text, c.expected);
    }
  }
}

TEST_F(ConfigurationTest, CheckWarnsOfWhatAStartAcceptsButIsLikelyWrong) {
  const std::string t = temp_.Path();
  const std::string shared = "\n[HKEY_LOCAL_MACHINE\\Software\\Lirra!\\Drivers]\n";
  const std::string driver = "\n[Software\\Lirra!\\Drivers\\VolterDirectDriver]\n";
  const std::string clean = "Windows Registry Editor Version 5.00\n" + shared + "\"Path\"=\"" + t +
                            "data\"\n\"Kernel1\"=\"Name=a;IP=10.0.0.5;Port=5000\"\n"
                            "\"Kernel2\"=\"Name=b;IP=kernel-2.example.com.;Port=5000\"\n" +
                            driver + "\"Password\"=\"own-pass\"\n";
  const std::string file = t + "registry.reg";
  const struct {
    std::string extra;  // appended to the clean file
    bool others_read;
    int exit_code;
    std::string err;  // how the one line on err begins; empty: none
  } cases[] = {
      {"", false, 0, ""},
      {"", true, 3, "warning: registry file " + file + ": readable by every local user"},
      {driver + "\"Password\"=-\n", true, 0, ""},
      {shared + "\"Kernel1\"=-\n", false, 3, "warning: Kernel1 (none): no Kernel endpoint"},
      {shared + "\"Path\"=-\n", false, 3, "warning: Path (not set): the cache falls back"},
      {shared + "\"Kernel2\"=\"Name=b;IP=10.0.0.256;Port=5000\"\n", false, 3,
       "warning: Kernel2 IP '10.0.0.256': neither an IPv4 address nor a host name"},
      {shared + "\"Kernel2\"=\"Name=b;IP=kernel_2;Port=5000\"\n", false, 3,
       "warning: Kernel2 IP 'kernel_2': neither"},
      {shared + "\"SecurityEnabled\"=dword:00000001\n", false, 3,
       "warning: SecurityKey (empty): SecurityEnabled is on"},
      {driver + "\"Password\"=\"ChangeMe\"\n", false, 3,
       "warning: Password 'ChangeMe': a known placeholder"},
      {driver + "\"LogSave\"=dword:00000001\n\"LogPath\"=\"" + t + "ro/log\"\n", false, 3,
       "warning: LogPath " + t + "ro/log/: not writable by this user"},
      {shared + "\"Path\"=\"" + t + "cached\"\n", false, 3,
       "warning: Path " + t + "cached/: the cache directory is not writable by this user"},
      // The start could not create these cache directories; the check
      // creates nothing, but refuses them with the start's own text.
      {shared + "\"Path\"=\"" + t + "ro\"\n", false, 1,
       "Error while starting: EOSError - create directory " + t +
           "ro/Temp: Permission denied (code 13)\n"},
      {shared + "\"Path\"=\"" + file + "/x\"\n", false, 1,
       "Error while starting: EOSError - create directory " + file +
           ": Not a directory (code 20)\n"},
  };
  posix_.CreateDirectories(t + "ro");
  posix_.CreateDirectories(t + "cached/Temp/VolterDirectDrv_Cache");
  fs_.on_call = [](auto op, const std::string& path) {
    const bool denied = path.ends_with("/ro") || path.ends_with("_Cache");
    return op == FaultFileSystem::Operation::kIsWritable && denied ? EACCES : 0;
  };
  for (const auto& c : cases) {
#ifdef _WIN32
    if (c.others_read) continue;  // access lists decide there, not mode bits
#endif
    posix_.WriteFile(file, clean + c.extra, false);
    using std::filesystem::perms;
    std::filesystem::permissions(file, perms::owner_read | perms::owner_write |
                                           (c.others_read ? perms::others_read : perms::none));
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(CheckConfiguration(
                  [&] { return std::make_unique<RegistryFile>(RegistryFile::Load(fs_, file)); },
                  fs_, clock_, Exe(), "10.0.0.1", out, err),
              c.exit_code)
        << c.extra;
    const std::string text = err.str();
    EXPECT_EQ(text.substr(0, c.err.size()), c.err) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), c.exit_code == 0 ? 0 : 1) << text;
  }
  EXPECT_FALSE(posix_.Stat(t + "data").exists);
}

TEST_F(ConfigurationTest, PathThatCannotBeCreatedIsNoStartFailure) {
  fs_.FailNext(FaultFileSystem::Operation::kCreateDirectories);
  EXPECT_EQ(Read({"S|Path=" + temp_.Path() + "missing/data"}).substr(0, 5), "Path=");
  EXPECT_FALSE(posix_.Stat(settings_.Path).exists);
}

TEST_F(ConfigurationTest, ExampleRegistryFileOfTheRepositoryGivesOneKernelAndOnePort) {
  const RegistryFile example =
      RegistryFile::Load(posix_, std::string(VD_SOURCE_DIR) + "/examples/registry.reg");
  fs_.FailNext(FaultFileSystem::Operation::kCreateDirectories);  // outside the test's directory
  ReadConfiguration(example, fs_, clock_, Exe(), settings_, endpoints_);
  EXPECT_EQ(Settings(),
            "Path=/tmp/volterdirect/ Security=0 Key= Seed=23100 Name=VolterDirect Driver "
            "Password= Pipe=0 LogSave=1 LogPath=/tmp/volterdirect/log/ Flush=1 "
            "PipeDir=/run/lirra/ IP= K=[main@127.0.0.1:5000,] P=[4001/1/600/1000//Demo port,] "
            "Capacity=1000");
}

}  // namespace
}  // namespace vd
