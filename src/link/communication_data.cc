#include "link/communication_data.h"

#include <pugixml.hpp>
#include <string>

#include "buffers/questions_buffer.h"
#include "buffers/signal_buffer.h"
#include "buffers/signal_xml.h"
#include "kernel/kernel_messages.h"
#include "kernel/kernel_settings.h"
#include "kernel/list_of_modules.h"
#include "support/clock.h"
#include "support/log_writer.h"
#include "support/system_event_sink.h"
#include "support/text_utils.h"
#include "support/xml_utils.h"

namespace vd {
namespace {

// One more, by the one thread that writes it.
void Count(std::atomic<uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

// t + seconds, where t may be kNever.
int64_t After(int64_t t, int64_t seconds) {
  return t == TCommunicationData::kNever ? TCommunicationData::kNever : t + seconds;
}

}  // namespace

void BuildSignal(TOrvanFrame& frame, const TKernelSettings& kernel, const TSignal& signal,
                 const TGuid& id) {
  pugi::xml_document document;
  pugi::xml_node root = document.append_child("Data");
  WriteSignalXml(signal, root.append_child("ObjectSignal"));
  FillFrameHeader(frame, kernel, kFrameTypeSignal, id, SerializeXml(document), kDirectionRequest,
                  TGuid{}, 0);
}

TCommunicationData::TCommunicationData(const Collaborators& collaborators,
                                       int32_t status_interval_seconds,
                                       int32_t resend_interval_seconds)
    : c_(collaborators),
      status_interval_(status_interval_seconds),
      resend_interval_(resend_interval_seconds) {
  Reset();
  last_sent_guid_ = NewGuid();
}

void TCommunicationData::Reset() {
  registered_ = false;
  next_status_time_ = kNever;
  last_sent_time_ = kNever;
  send_attempts_ = 0;
  channel_ = 0;
  last_received_guid_ = NewGuid();
  registration_guid_ = NewGuid();
  status_guid_ = NewGuid();
}

int64_t TCommunicationData::Now() const { return c_.Clock.Ticks(false); }

void TCommunicationData::NextChannel() {
  channel_ = static_cast<uint8_t>((channel_ + 1) % kChannelCount);
}

bool TCommunicationData::BuildFromChannel(TOrvanFrame& frame, int64_t now) {
  switch (channel_) {
    case 0:
      if (next_status_time_ > now) return false;
      BuildStatus(frame, c_.Kernel, c_.Modules, c_.Clock, status_guid_);
      return true;
    case 1: {
      TQuestion question;
      if (!c_.Questions.TakeQuestion(question)) return false;
      FillFrameHeader(frame, c_.Kernel, question.FrameType, question.FrameGUID,
                      std::move(question.QuestionBody), question.Direction,
                      question.DestinationModuleGUID, question.DestinationInstallationNumber);
      return true;
    }
    default: {
      TSignal signal;
      TGuid id;
      if (!c_.Signals.GetFirstSignal(signal, id)) return false;
      BuildSignal(frame, c_.Kernel, signal, id);
      return true;
    }
  }
}

bool TCommunicationData::GetNextFrameToSend(TOrvanFrame& frame) {
  const int64_t now = Now();
  if (After(last_sent_time_, resend_interval_) > now) return false;

  if (!registered_) {
    BuildRegistration(frame, c_.Kernel, c_.Settings, registration_guid_);
  } else {
    if (send_attempts_ >= kMaxSendAttempts) {
      send_attempts_ = 0;
      NextChannel();
      c_.Questions.CancelQuestion(last_sent_guid_);
    }
    bool found = false;
    for (uint8_t tries = 0; tries < kChannelCount && !found; ++tries) {
      found = BuildFromChannel(frame, now);
      if (!found) {
        NextChannel();
        send_attempts_ = 0;
      }
    }
    if (!found) return false;
  }

  Count(counters_.FramesSent);
  if (frame.FrameGUID == last_sent_guid_) Count(counters_.FramesResent);
  last_sent_time_ = now;
  last_sent_guid_ = frame.FrameGUID;
  if (send_attempts_ < UINT8_MAX) ++send_attempts_;
  return true;
}

void TCommunicationData::CompleteFrameInFlight() {
  last_sent_time_ = kNever;
  send_attempts_ = 0;
  last_sent_guid_ = NewGuid();
  NextChannel();
}

void TCommunicationData::HandleReceivedFrame(const TOrvanFrame& frame,
                                             const TAnswerAction& error_answer,
                                             const TAnswerAction& answer) {
  const int64_t now = Now();
  if (registered_ && frame.FrameGUID == last_sent_guid_) CompleteFrameInFlight();

  switch (frame.Direction) {
    case 0:
    case 1:
    case 5:
    case 6:
      HandleRequest(frame, answer, now);
      break;
    case kDirectionAcknowledge:
      Count(counters_.Acknowledged);
      switch (frame.FrameType) {
        case kFrameTypeRegistration:
          break;
        case kFrameTypeStatus:
          status_guid_ = NewGuid();
          next_status_time_ = now + kAcknowledgedStatusDelaySeconds;
          break;
        case kFrameTypeSignal:
          c_.Signals.RemoveSignal(frame.FrameGUID);
          break;
        default:
          c_.Questions.HandleAnswer(frame);
          break;
      }
      break;
    case kDirectionRetry:
      Count(counters_.RefusedRetry);
      HandleRefusal(frame, kRefusedSignalDelaySeconds, now);
      break;
    case kDirectionError:
      Count(counters_.RefusedError);
      HandleRefusal(frame, kErrorSignalDelaySeconds, now);
      break;
    default:
      HandleIncorrectDirection(frame, error_answer, now);
      break;
  }
}

void TCommunicationData::HandleRequest(const TOrvanFrame& frame, const TAnswerAction& answer,
                                       int64_t now) {
  const bool repeated = frame.FrameGUID == last_received_guid_ &&
                        frame.FrameNumber == last_received_number_ &&
                        frame.Direction == last_received_direction_;
  if (!repeated) {
    switch (frame.FrameType) {
      case kFrameTypeEmpty:
        break;
      case kFrameTypeRegistration:
        if (!registered_) {
          registration_guid_ = NewGuid();
          c_.Kernel.SetInstallationNumber(frame.DestinationInstallationNumber);
          c_.Kernel.SetKernelRegistered(true);
          last_sent_time_ = kNever;
          send_attempts_ = 0;
          registered_ = true;
        }
        break;
      case kFrameTypeRegistrationWithdrawn:
        registered_ = false;
        next_status_time_ = kNever;
        last_sent_time_ = kNever;
        break;
      case kFrameTypeStatus:
        status_guid_ = NewGuid();
        ParseStatusAnswer(frame.Data, TStatusAnswerTargets{c_.Kernel, c_.Modules, c_.TimeSetter,
                                                           c_.Events, c_.Clock});
        next_status_time_ = now + (frame.Direction == kDirectionLongRequest
                                       ? kAcknowledgedStatusDelaySeconds
                                       : static_cast<int64_t>(status_interval_));
        break;
      default:
        c_.Questions.HandleAnswer(frame);
        break;
    }
  }
  answer(frame);
  last_received_guid_ = frame.FrameGUID;
  last_received_number_ = frame.FrameNumber;
  last_received_direction_ = frame.Direction;
}

void TCommunicationData::HandleRefusal(const TOrvanFrame& frame, int64_t signal_delay,
                                       int64_t now) {
  switch (frame.FrameType) {
    case kFrameTypeRegistration:
      if (!registered_) {
        registration_guid_ = NewGuid();
        last_sent_time_ = now;
      }
      break;
    case kFrameTypeStatus:
      status_guid_ = NewGuid();
      next_status_time_ = now + status_interval_;
      break;
    case kFrameTypeSignal:
      c_.Signals.PostponeSignal(frame.FrameGUID, signal_delay);
      break;
    default:
      c_.Questions.HandleAnswer(frame);
      break;
  }
}

void TCommunicationData::HandleIncorrectDirection(const TOrvanFrame& frame,
                                                  const TAnswerAction& error_answer, int64_t now) {
  c_.Log.LogWrite("incorrect frame direction: " + std::to_string(frame.Direction));
  if (last_event_time_ == kNever || now >= last_event_time_ + kEventThrottleSeconds) {
    last_event_time_ = now;
    c_.Events.AddSystemEvent("Incorrect frame received from kernel.",
                             FormatPlaceholders("Incorrect frame direction marker ({0}).",
                                                {static_cast<int32_t>(frame.Direction)}),
                             true);
  }
  error_answer(frame);
}

}  // namespace vd
