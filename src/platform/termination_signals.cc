#include "platform/termination_signals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

#include "support/errors.h"

namespace vd {
namespace {

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void TTerminationSignals::Block() {
  const sigset_t set = TerminationSet();
  const int result = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (result != 0) throw MakeOSError(result, "pthread_sigmask");
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, nullptr) != 0) throw MakeOSError(errno, "sigaction SIGPIPE");
}

int TTerminationSignals::WaitForTermination(int timeout_ms) {
  const sigset_t set = TerminationSet();
  for (;;) {
    int signal_number = 0;
    if (timeout_ms < 0) {
      signal_number = sigwaitinfo(&set, nullptr);
    } else {
      const timespec timeout{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
      signal_number = sigtimedwait(&set, nullptr, &timeout);
    }
    if (signal_number > 0) return signal_number;
    if (errno == EAGAIN) return 0;
    if (errno != EINTR) throw MakeOSError(errno, "sigtimedwait");
  }
}

}  // namespace vd
