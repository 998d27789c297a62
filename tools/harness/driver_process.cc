#include "driver_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace vd {

TDriverProcess::TDriverProcess(const TDriverLaunch& launch) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) env.emplace_back(*e);
  }
  if (!launch.NotifyPath.empty()) env.push_back("NOTIFY_SOCKET=" + launch.NotifyPath);
  env.insert(env.end(), launch.Environment.begin(), launch.Environment.end());
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> args{launch.Executable};
  args.insert(args.end(), launch.Arguments.begin(), launch.Arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (launch.StdinFromDevNull) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  const int output_fd = launch.StdoutToOutput ? 1 : 2;
  posix_spawn_file_actions_addopen(&actions, output_fd, launch.OutputPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (launch.StdoutToOutput) posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (posix_spawn(&pid_, launch.Executable.c_str(), &actions, nullptr, argv.data(), envp.data()) !=
      0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
}

TDriverProcess::~TDriverProcess() {
  if (Alive()) {
    kill(pid_, SIGKILL);
    WaitExit(30000);
  }
}

bool TDriverProcess::Alive() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
  return !status_;
}

void TDriverProcess::Signal(int signal_number) const {
  if (pid_ > 0 && !status_) kill(pid_, signal_number);
}

}  // namespace vd
