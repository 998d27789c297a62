#pragma once

namespace vd {

// A wake-up a thread can wait on together with its sockets: Notify from any
// thread makes the descriptor readable until the waiting thread calls Drain.
// Notifications before the Drain coalesce into one. Backed by an eventfd; on
// Windows by a loopback datagram socket, which WSAPoll can wait on, and an
// event object beside it for the waits on handles (the named pipe).
//
// Notify is safe to call from any thread and never raises or blocks; Fd and
// Drain belong to the one waiting thread. The object must outlive every
// notifier (the buffers' work-added callbacks hold a reference).
class TWakeEvent {
 public:
  // Raises EOSError when the eventfd cannot be created.
  TWakeEvent();
  ~TWakeEvent();
  TWakeEvent(const TWakeEvent&) = delete;
  TWakeEvent& operator=(const TWakeEvent&) = delete;

  void Notify() noexcept;
  // Resets the event; true when it was notified since the last Drain.
  bool Drain() noexcept;
  // Readable while notified; for poll() only.
  int Fd() const { return fd_; }
#ifdef _WIN32
  // Signalled while notified; for WaitForMultipleObjects only.
  void* WaitHandle() const { return handle_; }
#endif

 private:
  const int fd_;
#ifdef _WIN32
  void* const handle_;
#endif
};

}  // namespace vd
