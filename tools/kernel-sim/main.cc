// kernel-sim: a Kernel for commissioning a driver and for tests. See README,
// section "Tools".
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "kernel_simulator.h"
#include "support/errors.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnSignal(int) { g_interrupted = 1; }

constexpr char kUsage[] =
    "usage: kernel-sim [options]\n"
    "  --tcp PORT             listen on TCP PORT (0: any free port)\n"
    "  --address ADDR         TCP listen address (default 127.0.0.1)\n"
    "  --unix PATH            listen on the Unix-domain socket PATH\n"
    "  --pipe NAME            serve the named pipe NAME (Windows; \\\\.\\pipe\\NAME\n"
    "                         unless NAME begins with \\\\)\n"
    "  --mode TEXT            Mode in status answers (default Active)\n"
    "  --status TEXT          Status in status answers (default OK)\n"
    "  --installation N       installation number given at registration (default 7)\n"
    "  --modules N            modules in the module list (default 1)\n"
    "  --change-index N       module list change index (default 1)\n"
    "  --ack always|never|every:N:3|every:N:9\n"
    "                         answer to signals and events (default always)\n"
    "  --key TEXT             require encryption with this key\n"
    "  --iv-seed N            IV seed of the encryption (default 23100)\n"
    "  --time-difference S    send TimeDifference S (UTC seconds) in status answers\n"
    "  --standby              serve a redundant pair: several drivers at once, one held\n"
    "                         active, the others Inactive; the next one made active\n"
    "                         when the active one is lost\n"
    "  --prefer NAME[,NAME]   standby: driver names to make active first\n"
    "  --silence SECONDS      standby: a driver silent this long is lost (default 5)\n"
    "  --exit-after-signals N exit after N signals and events\n"
    "  --duration SECONDS     exit after this many seconds\n";

int64_t Number(const std::string& text, const std::string& option) {
  try {
    size_t used = 0;
    const long long value = std::stoll(text, &used, 0);
    if (used == text.size()) return value;
  } catch (const std::exception&) {
  }
  throw vd::Exception("not a number for " + option + ": " + text);
}

vd::TKernelSimPolicy ParsePolicy(const std::string& text) {
  vd::TKernelSimPolicy policy;
  if (text == "always") return policy;
  if (text == "never") {
    policy.Mode = vd::TKernelSimPolicy::Kind::Never;
    return policy;
  }
  const size_t second = text.rfind(':');
  if (text.rfind("every:", 0) == 0 && second > 6) {
    policy.Mode = vd::TKernelSimPolicy::Kind::EveryNth;
    policy.N = static_cast<int>(Number(text.substr(6, second - 6), "--ack"));
    policy.RefuseDirection = static_cast<uint8_t>(Number(text.substr(second + 1), "--ack"));
    if (policy.N > 0 && (policy.RefuseDirection == 3 || policy.RefuseDirection == 9)) {
      return policy;
    }
  }
  throw vd::Exception("bad --ack value: " + text);
}

// The "pipe" member of the listening line when a pipe is served.
std::string PipeMember(const std::string& path) {
  if (path.empty()) return {};
  std::string escaped;
  for (const char ch : path) escaped += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
  return ",\"pipe\":\"" + escaped + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  vd::TKernelSimOptions options;
  int64_t exit_after = 0;
  int64_t duration_s = 0;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string option = argv[i];
      if (option == "--help" || option == "-h") {
        std::cout << kUsage;
        return 0;
      }
      if (option == "--standby") {
        options.Standby = true;
        continue;
      }
      if (i + 1 >= argc) throw vd::Exception("missing value for " + option);
      const std::string value = argv[++i];
      if (option == "--tcp") {
        options.TcpPort = static_cast<int32_t>(Number(value, option));
      } else if (option == "--address") {
        options.TcpAddress = value;
      } else if (option == "--unix") {
        options.UnixPath = value;
      } else if (option == "--pipe") {
        options.PipePath = value.rfind("\\\\", 0) == 0 ? value : "\\\\.\\pipe\\" + value;
      } else if (option == "--mode") {
        options.Mode = value;
      } else if (option == "--status") {
        options.Status = value;
      } else if (option == "--installation") {
        options.InstallationNumber = static_cast<uint16_t>(Number(value, option));
      } else if (option == "--modules") {
        options.ModuleCount = static_cast<int>(Number(value, option));
      } else if (option == "--change-index") {
        options.ChangeIndex = static_cast<int32_t>(Number(value, option));
      } else if (option == "--ack") {
        options.Policy = ParsePolicy(value);
      } else if (option == "--key") {
        options.RequireEncryption = true;
        options.Key = value;
      } else if (option == "--iv-seed") {
        options.IVSeed = static_cast<uint16_t>(Number(value, option));
      } else if (option == "--time-difference") {
        options.TimeDifference = Number(value, option);
      } else if (option == "--prefer") {
        for (size_t start = 0; start <= value.size();) {
          const size_t comma = std::min(value.find(',', start), value.size());
          options.Preference.push_back(value.substr(start, comma - start));
          start = comma + 1;
        }
      } else if (option == "--silence") {
        const int64_t seconds = Number(value, option);
        if (seconds < 1 || seconds > 3600)
          throw vd::Exception("--silence out of 1..3600: " + value);
        options.SilenceMs = static_cast<int>(seconds * 1000);
      } else if (option == "--exit-after-signals") {
        exit_after = Number(value, option);
      } else if (option == "--duration") {
        duration_s = Number(value, option);
      } else {
        throw vd::Exception("unknown option " + option);
      }
    }
    if (options.TcpPort < 0 && options.UnixPath.empty() && options.PipePath.empty()) {
      throw vd::Exception("give --tcp PORT, --unix PATH and/or --pipe NAME");
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    vd::TKernelSimulator simulator(options, &std::cout);
    std::cout << "{\"kind\":\"listening\",\"tcp_port\":" << simulator.TcpPort()
              << ",\"unix_path\":\"" << options.UnixPath << "\"" << PipeMember(options.PipePath)
              << "}" << std::endl;
    const auto start = std::chrono::steady_clock::now();
    while (g_interrupted == 0) {
      if (exit_after > 0 && simulator.SignalsAndEvents() >= exit_after) break;
      if (duration_s > 0 &&
          std::chrono::steady_clock::now() - start >= std::chrono::seconds(duration_s)) {
        break;
      }
      simulator.WaitFor([](const vd::TKernelSimulator&) { return false; }, 100);
    }
    simulator.Stop();
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "kernel-sim: " << vd::ExceptionText(error) << "\n" << kUsage;
    return 2;
  }
}
