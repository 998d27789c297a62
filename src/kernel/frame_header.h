#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "kernel/orvan_frame.h"

namespace vd {

// The wire layout of a Kernel frame: a 75-byte header (little-endian
// integers, GUIDs in their 16-byte wire form, no padding) immediately
// followed by TransmittedDataSize data bytes. Free functions without state;
// safe to call from any thread.
//
// Offsets: FrameType 0, SourceModuleGUID 2, DestinationModuleGUID 18,
// SourceInstallationNumber 34, DestinationInstallationNumber 36, Direction 38,
// FrameGUID 39, FrameNumber 55, EncryptionType 57, CompressionType 58,
// DataSize 59, TransmittedDataSize 63, DataCRC 67, HeaderCRC 71.

inline constexpr std::size_t kFrameHeaderSize = 75;
// HeaderCRC covers every header byte before it, DataCRC included.
inline constexpr std::size_t kHeaderCrcCoverage = 71;

// The largest plain or transmitted data part this driver encodes, accepts or
// inflates. The format itself has no bound; a peer announcing more is
// treated as sending an unreadable frame, before anything is allocated.
inline constexpr uint32_t kMaxFrameDataSize = 16u * 1024u * 1024u;

using TFrameHeaderBytes = std::array<uint8_t, kFrameHeaderSize>;

// The 75 header bytes of a frame, exactly as its fields stand (HeaderCRC is
// written as it is, not recomputed).
TFrameHeaderBytes SerializeFrameHeader(const TOrvanFrame& frame);

// The whole frame as sent: the header, then Data (75 + Data.size() bytes).
std::string SerializeFrame(const TOrvanFrame& frame);

// The header fields of received header bytes; Data is left empty. Checks
// nothing: the caller verifies HeaderCRC and the sizes (CheckFrameHeaderSizes)
// before reading the data part.
TOrvanFrame ParseFrameHeader(std::span<const uint8_t, kFrameHeaderSize> bytes);
// The same for bytes held as text; raises Exception unless exactly 75 bytes.
TOrvanFrame ParseFrameHeader(std::string_view bytes);

// Raises Exception when DataSize or TransmittedDataSize of a received header
// exceeds kMaxFrameDataSize. Transports call it before allocating the buffer
// for the data part.
void CheckFrameHeaderSizes(const TOrvanFrame& header);

}  // namespace vd
