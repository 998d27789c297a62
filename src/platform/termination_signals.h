#pragma once

namespace vd {

// SIGTERM and SIGINT as a request to stop, taken synchronously: Block keeps
// them pending in every thread (call it before any thread is created, so
// that the threads inherit the mask), and WaitForTermination takes one off
// the queue. No signal handler runs, so no work happens in one. SIGPIPE is
// ignored, so that a peer closing a socket is an error of the write, not the
// end of the process.
//
// Both are for the main thread.
class TTerminationSignals {
 public:
  // Raises EOSError when the mask cannot be set.
  static void Block();
  // Waits up to timeout_ms (negative: without limit) for SIGTERM or SIGINT;
  // returns the signal number, or 0 when the time ran out.
  static int WaitForTermination(int timeout_ms);
};

}  // namespace vd
