#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include "kernel/frame_codec.h"
#include "kernel/link_transport.h"
#include "kernel/orvan_frame.h"
#include "platform/named_pipe_client.h"
#include "platform/stream_socket.h"
#include "platform/wake_event.h"
#include "support/heartbeat.h"

namespace vd {

class IClock;
class ILogWriter;
class ISystemEventSink;
class TCommunicationData;
class TKernelSettings;
class TListOfModules;

// The transport a Kernel link runs over.
enum class TKernelLinkKind {
  Tcp,   // one of the configured Kernel endpoints, in rotation
  Pipe,  // the Kernel's local named pipe (on POSIX a Unix-domain socket stands for it)
};

// The Kernel link thread: connects, runs the stop-and-wait exchange of its
// TCommunicationData over the connection, checks every received frame, drops
// the connection after 3 bad frames in a row or 60 s without a good frame,
// reconnects after a 1 s pause, and unregisters when stopped. One exchange
// loop serves both transports; they differ only in how they connect, their
// time-outs and read sizes, and their log and event texts.
//
// Besides incoming data, the loop's 100 ms wait per pass ends at once when
// the work event is notified (the signal and question buffers do so when work
// is added), so new work leaves within milliseconds. Every time rule (silence,
// event throttle, reconnect pause, unregistration wait) runs on the clock.
//
// Owns its thread, socket or pipe, codec and stop event. The collaborators are
// borrowed and must outlive the object; the communication data is used by
// this thread alone once Start was called. Start and Stop belong to the
// owner's thread; Stop (also from the destructor) sets the stop flag, wakes
// every wait and joins: the thread ends within the 5 s of the unregistration
// (one deadline for its send and every read) and a few wait slices.
//
// Reads have deadlines that no arriving byte restarts: a frame in the frame
// loop must be whole by the end of the minute of silence, or it counts as
// silence and the connection is dropped; the heartbeat goes on beating while
// a read waits.
class TKernelLinkThread {
 public:
  static constexpr int kDataWaitMs = 100;
  static constexpr int64_t kSilenceSeconds = 60;
  static constexpr int kMaxBadFrames = 3;
  static constexpr int64_t kEventIntervalSeconds = 60;
  static constexpr int64_t kReconnectPauseMs = 1000;
  static constexpr int64_t kUnregistrationWaitMs = 5000;
  static constexpr int kConnectTimeoutMs = 5000;

  struct Options {
    TKernelLinkKind Kind = TKernelLinkKind::Tcp;
    // DriverSettings::Name, for the log prefix.
    std::string Name;
    // Pipe only: the pipe's path (PipeDirectory + kPipeName; on Windows
    // "\\.\pipe\Lirra!" for the driver).
    std::string PipePath;
    FrameSecurity Security;
  };

  struct Collaborators {
    const IClock& Clock;
    ILogWriter& Log;
    ISystemEventSink& Events;
    TKernelSettings& KernelSettings;
    TListOfModules& ModuleList;
    TCommunicationData& CommunicationData;
    // Notified when work is added to the buffers.
    TWakeEvent& WorkEvent;
    ISocketApi& SocketApi;
  };

  TKernelLinkThread(Options options, Collaborators collaborators);
  ~TKernelLinkThread();
  TKernelLinkThread(const TKernelLinkThread&) = delete;
  TKernelLinkThread& operator=(const TKernelLinkThread&) = delete;

  void Start();
  void Stop();

  // The transport's constants.
  static TLinkTransport::Options TransportOptions(TKernelLinkKind kind);

  // Beats at every pass of the frame loop, connection attempt, pause slice
  // and read slice; safe to read from any thread.
  const THeartbeat& Heartbeat() const { return heartbeat_; }

  // For the metrics; safe to call from any thread.
  // Whether the link has a connection to the Kernel now.
  bool Connected() const { return connected_.load(); }
  // The endpoint of the current or last connection attempt ("host:port" or
  // the pipe's path); empty before the first.
  std::string CurrentEndpoint() const;
  // Monotonic ms of the last good frame received; THeartbeat::kNever before
  // the first.
  int64_t LastGoodFrameMs() const { return last_good_frame_ms_.load(); }

 private:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::min();

  void Execute();
  bool Connect();
  void FrameLoop();
  // false: leave the frame loop (the connection is dropped).
  bool ReceiveFrame();
  void CloseConnection();
  void Unregister();
  void Pause(int64_t ms);

  void SendFrame(TOrvanFrame& frame);
  void SendAnswer(const TOrvanFrame& received);
  void SendErrorAnswer(const TOrvanFrame& received);

  void WriteLog(const std::string& message);
  bool Throttled(int64_t& last_event_time);
  std::string Endpoint() const;
  int64_t NowSeconds() const;
  void Beat();
  void SetCurrentEndpoint();

  // Constant after construction.
  const Options options_;
  const Collaborators c_;

  // Set by Stop; read by the thread.
  std::atomic<bool> stopping_{false};
  TWakeEvent stop_event_;
  // Stands for the stop flag while the unregistration answer is read.
  const std::atomic<bool> not_stopping_{false};
  THeartbeat heartbeat_;
  std::atomic<bool> connected_{false};
  std::atomic<int64_t> last_good_frame_ms_{THeartbeat::kNever};
  mutable std::mutex endpoint_mutex_;
  std::string current_endpoint_;  // guarded by endpoint_mutex_

  // The link thread's own state.
  TStreamSocket socket_;   // Tcp
  TNamedPipeClient pipe_;  // Pipe
  IByteStream& stream_;    // the one of the kind
  TLinkTransport transport_;
  TFrameCodec codec_;
  std::string host_;
  int32_t port_ = 0;
  std::string last_host_;
  int32_t last_port_ = 0;
  TOrvanFrame out_frame_;
  TOrvanFrame in_frame_;
  int64_t last_good_frame_time_ = 0;
  int bad_frame_count_ = 0;
  int64_t last_frame_event_time_ = kNever;
  int64_t last_thread_error_event_time_ = kNever;
  bool pipe_connect_error_reported_ = false;
  int64_t thread_id_ = 0;

  std::thread thread_;
};

// The name of the Kernel's pipe (its local socket in PipeDirectory on POSIX).
inline constexpr char kPipeName[] = "Lirra!";

}  // namespace vd
