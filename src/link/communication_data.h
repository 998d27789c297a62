#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "device/signal.h"
#include "kernel/orvan_frame.h"
#include "support/guid.h"

namespace vd {

class IClock;
class ILogWriter;
class ISystemEventSink;
class ISystemTimeSetter;
class TKernelSettings;
class TListOfModules;
class TQuestionsBuffer;
class TSignalBuffer;
struct DriverSettings;

// Signal, frame type 2501: <Data><ObjectSignal> holding the fields of the
// signal element </ObjectSignal></Data>, Direction 1, FrameGUID = the
// signal's Id in the signal buffer (so the Kernel's answer names it).
void BuildSignal(TOrvanFrame& frame, const TKernelSettings& kernel, const TSignal& signal,
                 const TGuid& id);

// What the exchange has counted since it was made, for the metrics. Written
// by the link thread alone, readable from any thread; Reset leaves it alone.
struct TLinkCounters {
  // Frames handed to the link for sending, and those among them sent again
  // for the same subject because no answer came in time.
  std::atomic<uint64_t> FramesSent{0};
  std::atomic<uint64_t> FramesResent{0};
  // The Kernel's answers to the driver's frames: acknowledged (Direction 2),
  // refused for a retry (3) or as an error (9).
  std::atomic<uint64_t> Acknowledged{0};
  std::atomic<uint64_t> RefusedRetry{0};
  std::atomic<uint64_t> RefusedError{0};
};

// The exchange protocol of one Kernel link: registration, periodic status
// reports, forwarding of the question buffer's items and of the signal
// buffer's signals, one frame at a time (stop-and-wait), each sent again every
// resend interval until answered; and the dispatch of every decoded frame the
// Kernel sends. The link threads only move frames; every protocol decision
// is made here.
//
// Frame sources take turns by channel: 0 status report, 1 question buffer,
// 2 signal buffer. After kMaxSendAttempts sends of one subject without an
// answer the next channel gets its turn (the signal or question itself stays
// in its buffer, a question is cancelled there).
//
// Threads: one object per link thread, used by that thread alone, without a
// lock: the thread calls Reset at every new connection, GetNextFrameToSend
// on each pass of its frame loop and HandleReceivedFrame for each decoded
// frame, and reads Registered to see the moment of registration. The
// collaborators are borrowed, must outlive the object and lock themselves;
// this class holds no lock while calling them. Errors out of the buffers,
// the status answer parser or the frame builders are not caught here: they
// reach the link thread, which drops the connection (the next connection
// starts with Reset).
class TCommunicationData {
 public:
  // Intervals of the two transports.
  static constexpr int32_t kTcpStatusIntervalSeconds = 5;
  static constexpr int32_t kTcpResendIntervalSeconds = 5;
  static constexpr int32_t kPipeStatusIntervalSeconds = 10;
  static constexpr int32_t kPipeResendIntervalSeconds = 10;

  // After an acknowledged status report, and after a status answer with
  // Direction 5, the next report waits this long.
  static constexpr int64_t kAcknowledgedStatusDelaySeconds = 60;
  // A signal refused with Direction 3 or 9 returns after this long.
  static constexpr int64_t kRefusedSignalDelaySeconds = 15;
  static constexpr int64_t kErrorSignalDelaySeconds = 60;
  static constexpr uint8_t kMaxSendAttempts = 3;
  static constexpr uint8_t kChannelCount = 3;
  // At most one "Incorrect frame received from kernel." event this often.
  static constexpr int64_t kEventThrottleSeconds = 60;
  // The time value "never".
  static constexpr int64_t kNever = INT64_MIN;

  struct Collaborators {
    const IClock& Clock;
    // Name, Password and LocalIP for the registration document.
    const DriverSettings& Settings;
    TKernelSettings& Kernel;
    TListOfModules& Modules;
    TSignalBuffer& Signals;
    TQuestionsBuffer& Questions;
    // Where this class reports (normally the question buffer).
    ISystemEventSink& Events;
    ILogWriter& Log;
    ISystemTimeSetter& TimeSetter;
  };

  using TAnswerAction = std::function<void(const TOrvanFrame& received)>;

  // status_interval: delay of the next status report after a status answer;
  // resend_interval: time after which an unanswered frame is sent again
  // (both in seconds, 5 and 5 on TCP, 10 and 10 on the local socket).
  TCommunicationData(const Collaborators& collaborators, int32_t status_interval_seconds,
                     int32_t resend_interval_seconds);

  TCommunicationData(const TCommunicationData&) = delete;
  TCommunicationData& operator=(const TCommunicationData&) = delete;

  // At every new connection: unregistered, nothing in flight, channel 0, new
  // registration and status GUIDs, no request counts as a repetition.
  void Reset();

  // Fills frame with the next frame to send (not yet encoded) and answers
  // true when it is to be sent now; false while the frame in flight waits
  // for its answer or nothing is to be sent.
  bool GetNextFrameToSend(TOrvanFrame& frame);

  // Processes one decoded frame from the Kernel. Requests (Direction 0, 1, 5,
  // 6) are acted on and then acknowledged through answer; acknowledgements
  // and refusals (2, 3, 9) complete the exchange and are never answered; any
  // other direction is logged, reported and answered through error_answer.
  // Both actions get the received frame; BuildAnswer and BuildErrorAnswer of
  // kernel/kernel_messages.h build the frames they send.
  void HandleReceivedFrame(const TOrvanFrame& frame, const TAnswerAction& error_answer,
                           const TAnswerAction& answer);

  // Whether the Kernel accepted the registration on this connection.
  bool Registered() const { return registered_; }

  // Safe to read from any thread.
  const TLinkCounters& Counters() const { return counters_; }

  // Observers for the link's log and for tests.
  uint8_t Channel() const { return channel_; }
  uint8_t SendAttempts() const { return send_attempts_; }
  const TGuid& LastSentGUID() const { return last_sent_guid_; }
  int64_t NextStatusTime() const { return next_status_time_; }
  int32_t StatusInterval() const { return status_interval_; }
  int32_t ResendInterval() const { return resend_interval_; }

 private:
  int64_t Now() const;
  void NextChannel();
  // Builds the frame of the current channel's source; false when it has none.
  bool BuildFromChannel(TOrvanFrame& frame, int64_t now);
  void CompleteFrameInFlight();
  void HandleRequest(const TOrvanFrame& frame, const TAnswerAction& answer, int64_t now);
  void HandleRefusal(const TOrvanFrame& frame, int64_t signal_delay, int64_t now);
  void HandleIncorrectDirection(const TOrvanFrame& frame, const TAnswerAction& error_answer,
                                int64_t now);

  // Constant after construction.
  const Collaborators c_;
  const int32_t status_interval_;
  const int32_t resend_interval_;

  // Link thread only.
  TGuid registration_guid_;
  TGuid status_guid_;
  TGuid last_sent_guid_;
  // What identifies the last request received, to recognise a repetition.
  TGuid last_received_guid_;
  uint16_t last_received_number_ = 0;
  uint8_t last_received_direction_ = 0;
  bool registered_ = false;
  int64_t next_status_time_ = kNever;
  int64_t last_sent_time_ = kNever;
  uint8_t send_attempts_ = 0;
  uint8_t channel_ = 0;
  int64_t last_event_time_ = kNever;

  TLinkCounters counters_;
};

}  // namespace vd
