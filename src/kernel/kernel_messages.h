#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/orvan_frame.h"
#include "support/guid.h"

namespace vd {

class IClock;
class ISystemEventSink;
class ISystemTimeSetter;
class TKernelSettings;
class TListOfModules;
struct DriverSettings;

// The vocabulary of the Kernel link: frame types, direction markers, the XML
// documents the driver builds, the answers it gives to the Kernel's requests,
// and the one document it parses, the status answer.
//
// Free functions without state of their own. They read TKernelSettings and
// TListOfModules, which lock themselves, so they are safe to call from any
// thread; in the driver only the link thread calls them.

// Frame types.
inline constexpr uint16_t kFrameTypeEmpty = 0;
inline constexpr uint16_t kFrameTypeRegistration = 2;
inline constexpr uint16_t kFrameTypeUnregistration = 3;
inline constexpr uint16_t kFrameTypeRegistrationWithdrawn = 31;
inline constexpr uint16_t kFrameTypeStatus = 2500;
inline constexpr uint16_t kFrameTypeSignal = 2501;

// Direction markers. 0, 1, 5 and 6 are requests the receiver acknowledges
// (0 and 1 with 2, 5 and 6 with 7); 3 asks to try again soon; 9 is the error
// answer. 4, 8 and above 9 are not accepted from the Kernel.
inline constexpr uint8_t kDirectionRequest = 1;
inline constexpr uint8_t kDirectionAcknowledge = 2;
inline constexpr uint8_t kDirectionRetry = 3;
inline constexpr uint8_t kDirectionLongRequest = 5;
inline constexpr uint8_t kDirectionAnswerAcknowledge = 7;
inline constexpr uint8_t kDirectionError = 9;

// The driver's module type in the registration document.
inline constexpr char kDriverModuleType[] = "6";

// Whether a received direction marker asks for an acknowledgement.
bool IsRequestDirection(uint8_t direction);

// Sets every header field of frame but those EncodeFrame fills: FrameType,
// FrameGUID, Direction, DestinationModuleGUID, FrameNumber 0, the driver's
// ModuleGUID and installation number as source, the destination installation
// number (the driver's own when 0 is given), and Data. The driver's own
// frames use Direction 1 and an all-zero destination GUID.
void FillFrameHeader(TOrvanFrame& frame, const TKernelSettings& kernel, uint16_t frame_type,
                     const TGuid& frame_guid, std::string data, uint8_t direction,
                     const TGuid& destination_guid, uint16_t destination_installation_number);

// Registration, frame type 2: <Data> with Name, Password, IP (LocalIP) and
// ModuleType, in this order.
void BuildRegistration(TOrvanFrame& frame, const TKernelSettings& kernel,
                       const DriverSettings& settings, const TGuid& frame_guid);

// Status report, frame type 2500: <Data> with ModulesListIndex, Mode
// ("Active"/"Inactive"), Status ("OK"/"Error") and SystemTime (UTC seconds
// since 1970, rounded), in this order.
void BuildStatus(TOrvanFrame& frame, const TKernelSettings& kernel, const TListOfModules& modules,
                 const IClock& clock, const TGuid& frame_guid);

// Unregistration, frame type 3, Direction 1, no data.
void BuildUnregistration(TOrvanFrame& frame, const TKernelSettings& kernel,
                         const TGuid& frame_guid);

// The acknowledgement of a received request: its header with Direction 2 (for
// 0 and 1) or 7 (for 5 and 6; other values stay), no data, and the addressing
// turned round (the driver as source; the request's source as destination,
// the driver's own installation number when the request's is 0). FrameType,
// FrameGUID and FrameNumber are the request's.
TOrvanFrame BuildAnswer(const TOrvanFrame& received, const TKernelSettings& kernel);
// The same with Direction 9: the driver could not process the frame.
TOrvanFrame BuildErrorAnswer(const TOrvanFrame& received, const TKernelSettings& kernel);

// Where the status answer's values go.
struct TStatusAnswerTargets {
  TKernelSettings& Kernel;
  TListOfModules& Modules;
  // "TimeDifference" sets the host's clock through this; failures are
  // reported to Events as "Error while setting module time".
  ISystemTimeSetter& TimeSetter;
  ISystemEventSink& Events;
  // The host's UTC clock, to leave it alone when it shows the Kernel's second.
  const IClock& Clock;
};

// The largest status answer parsed. A parsed document takes up to about
// twenty times its size in memory when it is made of tiny elements, so a
// hostile answer of the codec's limit would cost some 300 MB, one of this
// size some 80 MB; it holds a module list of about 12000 modules.
inline constexpr size_t kMaxStatusAnswerSize = size_t{4} * 1024 * 1024;

// Applies the Kernel's status answer document. The root's name is not
// checked; its child elements, matched without regard to letter case, are
// applied in document order: "Mode" (ACTIVE or inactive), "Status" (ERROR or
// OK), "ModulesList" (replaces the change index and the module list as one),
// "TimeDifference" (UTC seconds since 1970 the host's clock is set to, unless
// it already shows that second: the Kernel's time has whole seconds only, and
// setting the clock to the start of the second it is in would step it back by
// up to a second at every status answer);
// others are skipped, and a missing one changes nothing.
//
// Raises EXMLDocError when data is longer than kMaxStatusAnswerSize, is not
// well-formed or a "Module" lacks one of its eight children, EConvertError when a GUID, a number of
// a module or "TimeDifference" does not convert. Elements before the faulty one have been applied;
// a faulty "ModulesList" leaves the module list as it was.
void ParseStatusAnswer(std::string_view data, const TStatusAnswerTargets& targets);

}  // namespace vd
