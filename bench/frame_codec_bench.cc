// Cost of encoding and decoding a typical signal frame, next to the cost of
// the zlib work alone (compress2 at level 9 plus uncompress of the same
// bytes). The codec should stay within 1.25 times the plain zlib pair.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <span>
#include <string>

#include "kernel/frame_codec.h"
#include "kernel/vmpc.h"

namespace vd {
namespace {

// A signal document as the link sends it: one line, 17 signal elements.
const std::string& SignalDocument() {
  static const std::string document =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Data><Signal>"
      "<TimeIn>1764938012</TimeIn><TimeSource>1764938009</TimeSource>"
      "<SourceTimeValid>0</SourceTimeValid><DriverPort>2</DriverPort>"
      "<HardwareNumber>0417</HardwareNumber><DriverName>VolterDirect Driver</DriverName>"
      "<SignalType>1</SignalType><CanalType>GPRS</CanalType><CanalSlot>3</CanalSlot>"
      "<Code>E130</Code>"
      "<Extension1>Burglary alarm - zone 12, ground floor, rear entrance</Extension1>"
      "<Extension2>Partition 1 armed by user 07 at 22:41</Extension2>"
      "<Extension3>12</Extension3><Extension4>A</Extension4><Extension5>1</Extension5>"
      "<Value>-71.25</Value><DriverPortName>Warehouse North - GPRS receiver</DriverPortName>"
      "</Signal></Data>";
  return document;
}

TOrvanFrame SignalFrame() {
  TOrvanFrame frame;
  frame.FrameType = 2501;
  frame.SourceModuleGUID = *TGuid::Parse("{6B29FC40-CA47-1067-B31D-00DD010662DA}");
  frame.FrameGUID = *TGuid::Parse("{00112233-4455-6677-8899-AABBCCDDEEFF}");
  frame.Direction = 1;
  frame.Data = SignalDocument();
  return frame;
}

void BM_PlainZlibPair(benchmark::State& state) {
  const std::string& document = SignalDocument();
  std::string compressed(compressBound(static_cast<uLong>(document.size())), '\0');
  std::string plain(document.size(), '\0');
  for (auto _ : state) {
    uLongf compressed_length = static_cast<uLongf>(compressed.size());
    if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &compressed_length,
                  reinterpret_cast<const Bytef*>(document.data()),
                  static_cast<uLong>(document.size()), Z_BEST_COMPRESSION) != Z_OK) {
      std::abort();
    }
    uLongf plain_length = static_cast<uLongf>(plain.size());
    if (uncompress(reinterpret_cast<Bytef*>(plain.data()), &plain_length,
                   reinterpret_cast<const Bytef*>(compressed.data()), compressed_length) != Z_OK) {
      std::abort();
    }
    benchmark::DoNotOptimize(plain.data());
  }
  state.counters["bytes"] = static_cast<double>(document.size());
}

// One codec per link, as the link thread keeps it: its zlib streams and
// keyed cipher state are set up by the first frame and reused afterwards.
void BM_CodecPair(benchmark::State& state) {
  FrameSecurity security;
  security.SecurityEnabled = state.range(0) != 0;
  security.SecurityKey = "K3rnel-Link-Key-2026";
  TFrameCodec codec(security);
  const TOrvanFrame original = SignalFrame();
  for (auto _ : state) {
    TOrvanFrame frame = original;
    codec.EncodeFrame(frame);
    codec.DecodeFrame(frame);
    benchmark::DoNotOptimize(frame.Data.data());
  }
  TOrvanFrame frame = original;
  codec.EncodeFrame(frame);
  state.counters["bytes"] = static_cast<double>(original.Data.size());
  state.counters["sent"] = static_cast<double>(frame.TransmittedDataSize);
}

// The stateless cipher call: a key schedule and the keystream over a
// compressed signal document.
void BM_VMPCCrypt(benchmark::State& state) {
  const TFrameIV iv = BuildFrameIV(kFrameSecurityDefaultIVSeed, 2501);
  const std::string data(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    auto output = VMPCCrypt("K3rnel-Link-Key-2026", iv, data);
    if (!output) std::abort();
    benchmark::DoNotOptimize(output->data());
  }
}

// The encryption share of the codec pair once the keyed state is cached:
// the keystream alone, twice (encode and decode).
void BM_VMPCKeystreamPair(benchmark::State& state) {
  const TFrameIV iv = BuildFrameIV(kFrameSecurityDefaultIVSeed, 2501);
  const auto keyed = VMPCKeyedState("K3rnel-Link-Key-2026", iv);
  if (!keyed) std::abort();
  std::string data(static_cast<std::size_t>(state.range(0)), 'x');
  const std::span bytes(reinterpret_cast<uint8_t*>(data.data()), data.size());
  for (auto _ : state) {
    VMPCApplyKeystream(*keyed, bytes);
    VMPCApplyKeystream(*keyed, bytes);
    benchmark::DoNotOptimize(data.data());
  }
}

BENCHMARK(BM_PlainZlibPair);
BENCHMARK(BM_VMPCCrypt)->Arg(354);
BENCHMARK(BM_VMPCKeystreamPair)->Arg(354);
BENCHMARK(BM_CodecPair)->ArgName("encrypted")->Arg(0)->Arg(1);

}  // namespace
}  // namespace vd
