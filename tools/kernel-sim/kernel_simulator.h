#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "kernel/frame_codec.h"
#include "kernel/orvan_frame.h"
#include "platform/socket_api.h"
#include "platform/wake_event.h"
#ifdef _WIN32
#include "platform/windows_pipe_relay.h"
#endif
#include "support/guid.h"

namespace vd {

// How the simulated Kernel answers signals (frame type 2501) and system
// events (frame type 9).
struct TKernelSimPolicy {
  enum class Kind { Always, EveryNth, Never };
  Kind Mode = Kind::Always;
  // EveryNth: every N-th such frame is refused with RefuseDirection (3 or 9),
  // the others are acknowledged.
  int N = 2;
  uint8_t RefuseDirection = 3;
};

struct TKernelSimOptions {
  // TCP listener on TcpAddress; -1 for none, 0 for any free port.
  std::string TcpAddress = "127.0.0.1";
  int32_t TcpPort = -1;
  // Unix-domain listener at this path; empty for none.
  std::string UnixPath;
  // Windows: the named pipe served (such as "\\.\pipe\Lirra!"); empty for
  // none. Its clients are relayed to the TCP listener, which listens on a
  // free port for them when TcpPort is -1.
  std::string PipePath;
  // What the status answers say about the driver.
  std::string Mode = "Active";
  std::string Status = "OK";
  // Given to the driver when it registers.
  uint16_t InstallationNumber = 7;
  // Modules in the status answers' module list, and its change index.
  int ModuleCount = 1;
  int32_t ChangeIndex = 1;
  TKernelSimPolicy Policy;
  // Encryption: with RequireEncryption unencrypted data is refused (Direction
  // 9) and the simulator's own frames are encrypted with Key and IVSeed.
  bool RequireEncryption = false;
  std::string Key;
  uint16_t IVSeed = kFrameSecurityDefaultIVSeed;
  // Sent as "TimeDifference" in status answers only when set.
  std::optional<int64_t> TimeDifference;
  // Whether registrations and status reports get an answer at all.
  bool AnswerRegistration = true;
  bool AnswerStatus = true;
  // Standby: the Kernel of a redundant pair. Every driver connection is kept;
  // one registered driver is held active, the others get StandbyMode. Each
  // driver name gets its own installation number, from InstallationNumber up.
  bool Standby = false;
  // Driver names (the registration's "Name"), most wanted active first; an
  // unnamed driver comes after them, in order of registration. While the
  // first of them has not registered yet, the choice waits for it up to
  // SilenceMs from the start.
  std::vector<std::string> Preference;
  // A driver that sends nothing for this long is taken as lost; one silent
  // for half of it is sent an empty request, which a live driver answers.
  int SilenceMs = 5000;
  std::string StandbyMode = "Inactive";
};

// A change of which driver a standby simulator holds active.
struct TSimModeChange {
  std::string Driver;
  bool Active = false;
  // Made active: "chosen" (the first one) or "takeover"; not active:
  // "standby" (registered while another is active), "lost" (its connection
  // closed) or "silent".
  std::string Reason;
  std::chrono::steady_clock::time_point At;
};

// One frame the simulator received, decoded.
struct TSimFrame {
  TOrvanFrame Frame;  // plain Data when decoding succeeded
  bool Decoded = true;
  uint8_t AnswerDirection = 0;  // what the simulator answered (0: nothing)
  std::string Driver;           // standby: the registered name of its sender
};

// A Kernel for commissioning and tests: listens on TCP and/or a Unix-domain
// socket or (on Windows) a named pipe, serves one driver connection at a
// time (a new one replaces the old), registers the driver, answers its
// status reports with a status answer, and acknowledges or refuses its
// signals and events by the policy. Every received signal and event becomes
// one JSON line on the output stream (flushed per line) when one is given.
//
// With Standby it serves several drivers at once instead: the first
// registered (or the most preferred) is told "Mode" Active, the others
// StandbyMode. When the active one's connection closes or stays silent for
// SilenceMs, the next registered one is made active at once with a status
// answer request; a driver that comes back stays standby while another is
// active. Each change is one "mode" JSON line. The test controls act on the
// active driver's connection.
//
// Owns its listeners (and the pipe relay), the current connection and a
// serving thread. Every public method is safe to call from any thread;
// mutex_ guards the records and the queue of frames to send; the serving
// thread alone touches the sockets.
class TKernelSimulator {
 public:
  // Raises Exception when a listener cannot be opened.
  TKernelSimulator(TKernelSimOptions options, std::ostream* json_out = nullptr);
  ~TKernelSimulator();
  TKernelSimulator(const TKernelSimulator&) = delete;
  TKernelSimulator& operator=(const TKernelSimulator&) = delete;

  // The TCP port bound (the free one chosen for port 0); -1 without TCP.
  int32_t TcpPort() const { return tcp_port_; }
  const TGuid& KernelGUID() const { return kernel_guid_; }

  // Test controls, carried out by the serving thread.
  // Bytes written as they are to the current connection.
  void SendRaw(std::string bytes);
  // A request frame of the Kernel (encoded by the simulator), for example
  // type 31 to withdraw the registration. Returns its FrameGUID.
  TGuid SendRequest(uint16_t frame_type, uint8_t direction, std::string data = {});
  // Closes the current connection.
  void DropConnection();
  // The Mode of the next status answers (as TKernelSimOptions::Mode).
  void SetMode(std::string mode);
  // Stops answering anything (true) or answers again (false).
  void SetSilent(bool silent);
  // How signals and events are answered from now on.
  void SetPolicy(TKernelSimPolicy policy);
  // Closes the connection after each received frame, once it is answered
  // (true), or keeps it (false).
  void SetCloseAfterEveryFrame(bool close);

  // Records.
  std::vector<TSimFrame> Received() const;
  size_t CountReceived(uint16_t frame_type, std::optional<uint8_t> direction = {}) const;
  // Received frames of the type that the simulator answered with answer
  // (cheap enough to poll while thousands of frames come in).
  size_t CountAnswered(uint16_t frame_type, uint8_t answer) const;
  int Connections() const;
  int BadFrames() const;
  int SignalsAndEvents() const;
  // Standby: the name of the driver held active (empty: none), and every
  // change so far.
  std::string ActiveDriver() const;
  std::vector<TSimModeChange> ModeChanges() const;
  // Waits (bounded by timeout_ms of real time) until condition holds on the
  // records; true when it did.
  bool WaitFor(const std::function<bool(const TKernelSimulator&)>& condition, int timeout_ms) const;

  // Stops the serving thread and closes everything.
  void Stop();

 private:
  void Serve();
  void Accept(int listener);
  void ReadClient();
  void HandleFrame(TOrvanFrame frame);
  void Answer(const TOrvanFrame& received, uint8_t direction);
  void SendFrame(TOrvanFrame frame);
  void Wake();
  void FlushOutgoing();
  void CloseClient();
  std::string StatusAnswerDocument(const std::string& mode) const;
  void PrintJson(const TOrvanFrame& frame, uint8_t answer);
  void Record(TSimFrame frame);
  // Standby (serving thread only).
  struct TPeer;
  bool ServePeers();  // false when polling failed
  TPeer* Current();
  void RegisterPeer(const TOrvanFrame& registration);
  void LosePeer(size_t index);
  void ChooseActive();
  void SetPeerActive(TPeer& peer, bool active, const std::string& reason);

  // Constant after construction.
  const TKernelSimOptions options_;
  std::ostream* const json_out_;
  const TGuid kernel_guid_;
  int tcp_listener_ = -1;
  int unix_listener_ = -1;
  int32_t tcp_port_ = -1;
  TWakeEvent wake_;  // Notify from any thread wakes the serving thread
#ifdef _WIN32
  std::unique_ptr<TWindowsPipeRelay> pipe_relay_;
#endif

  // Serving thread only.
  int client_ = -1;
  std::string input_;
  TFrameCodec codec_;
  int policy_count_ = 0;
  struct TPeer {
    int Fd = -1;
    std::string Input;
    std::string Name;  // empty until it registers
    uint16_t Installation = 0;
    bool Registered = false;
    bool Active = false;
    bool Probed = false;     // an empty request went out since it was last heard
    bool Silent = false;     // closed for its silence
    bool Announced = false;  // its mode line since it registered
    TGuid Module;
    uint64_t Order = 0;  // of registration
    std::chrono::steady_clock::time_point LastHeard;
  };
  std::vector<TPeer> peers_;
  size_t current_ = 0;  // the peer being served while client_ is its socket
  uint64_t registrations_ = 0;
  bool had_active_ = false;
  std::vector<std::string> names_;  // index + InstallationNumber: its number
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<TSimFrame> received_;  // guarded by mutex_
  struct TOutgoing {
    bool Raw = false;
    std::string Bytes;  // Raw
    TOrvanFrame Frame;  // otherwise: encoded by the serving thread
  };
  std::deque<TOutgoing> outgoing_;  // guarded by mutex_
  bool drop_ = false;               // guarded by mutex_
  bool silent_ = false;             // guarded by mutex_
  bool close_after_frame_ = false;  // guarded by mutex_
  std::string mode_;                // guarded by mutex_
  TKernelSimPolicy policy_;         // guarded by mutex_
  int connections_ = 0;             // guarded by mutex_
  int bad_frames_ = 0;              // guarded by mutex_
  int signals_and_events_ = 0;      // guarded by mutex_

  // Standby, guarded by mutex_.
  std::string active_;
  std::vector<TSimModeChange> mode_changes_;

  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace vd
