// Encode a one-destination SUBMIT and decode the PDUs that arrive most often
// (MO DELIVER, status report, SUBMIT_RESP), each from a ready buffer, as the
// link does per PDU. Goal on the project machines: each under 100 ns.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "cmpp/pdu.h"

namespace {

using namespace brivane::cmpp;
using Bytes = std::vector<std::uint8_t>;

void EncodeSubmitOneDestination(benchmark::State& state) {
  const auto version = static_cast<std::uint8_t>(state.range(0));
  const auto contentLength = static_cast<std::uint32_t>(state.range(1));
  static CmppSubmit s;
  s = {};
  s.Pk_total = s.Pk_number = 1;
  s.Registered_Delivery = 1;
  s.Msg_level = 3;
  std::strcpy(s.Service_Id, "HELP");
  std::strcpy(s.Msg_src, "901234");
  std::strcpy(s.Src_Id, "1065801234");
  s.DestUsr_tl = 1;
  std::strcpy(s.Dest_terminal_Id, "13900139000");
  std::strcpy(s.Fee_terminal_Id, "13900139000");
  s.Msg_Length = contentLength;
  std::memset(s.Msg_Content, 'a', contentLength);
  std::uint8_t out[kMaxSubmitPduLength];
  std::uint32_t seq = 1;
  for (auto _ : state) {
    std::size_t n = 0;
    benchmark::DoNotOptimize(EncodeSubmit(out, s, version, seq++, n));
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(EncodeSubmitOneDestination)
    ->ArgNames({"version", "content"})
    ->Args({0x20, 10})
    ->Args({0x20, 140})
    ->Args({0x30, 10})
    ->Args({0x30, 140});

Bytes MakeDeliver(std::uint8_t version, bool report) {
  static CmppDeliver d;
  d = {};
  const std::uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::memcpy(d.Msg_Id, id, 8);
  std::strcpy(d.Dest_Id, "1065801234");
  std::strcpy(d.Service_Id, "HELP");
  std::strcpy(d.Src_terminal_Id, "13912345678");
  if (report) {
    d.Registered_Delivery = 1;
    CmppStatusReport r{};
    std::memcpy(r.Msg_Id, id, 8);
    std::strcpy(r.Stat, "DELIVRD");
    std::strcpy(r.Submit_time, "1207023117");
    std::strcpy(r.Done_time, "1207023120");
    std::strcpy(r.Dest_terminal_Id, "13912345678");
    r.SMSC_sequence = 42;
    SetReport(d, r);
  } else {
    d.Msg_Length = 70;
    std::memset(d.Msg_Content, 'm', 70);
  }
  Bytes pdu(kMaxDeliverPduLength);
  std::size_t n = 0;
  EncodeDeliver(pdu, d, version, 9, n);
  pdu.resize(n);
  return pdu;
}

Bytes MakeSubmitResp(std::uint8_t version) {
  const std::uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  Bytes pdu(32);
  pdu.resize(EncodeSubmitResp(pdu, version, 9, id, 0));
  return pdu;
}

// Header parse and decode of one PDU held in memory, as RecvSmgMsg does after
// its two reads.
void DecodeOne(benchmark::State& state, const Bytes& pdu, std::uint8_t version) {
  static CmppMessage msg;
  const CmppReceiveStamp stamp{12345, "2024-01-02 03:04:05"};
  for (auto _ : state) {
    CmppHeader h;
    std::uint32_t bodyLength;
    ParseHeader(std::span<const std::uint8_t, kHeaderLength>(pdu.data(), kHeaderLength), h,
                bodyLength);
    CmppAnswer answer;
    benchmark::DoNotOptimize(DecodePdu(h, std::span(pdu).subspan(kHeaderLength, bodyLength),
                                       version, stamp, msg, answer));
    benchmark::DoNotOptimize(answer);
    benchmark::ClobberMemory();
  }
}

void DecodeMoDeliver(benchmark::State& state) {
  const auto version = static_cast<std::uint8_t>(state.range(0));
  DecodeOne(state, MakeDeliver(version, false), version);
}
BENCHMARK(DecodeMoDeliver)->ArgName("version")->Arg(0x20)->Arg(0x30);

void DecodeStatusReport(benchmark::State& state) {
  const auto version = static_cast<std::uint8_t>(state.range(0));
  DecodeOne(state, MakeDeliver(version, true), version);
}
BENCHMARK(DecodeStatusReport)->ArgName("version")->Arg(0x20)->Arg(0x30);

void DecodeSubmitResp(benchmark::State& state) {
  const auto version = static_cast<std::uint8_t>(state.range(0));
  DecodeOne(state, MakeSubmitResp(version), version);
}
BENCHMARK(DecodeSubmitResp)->ArgName("version")->Arg(0x20)->Arg(0x30);

}  // namespace

BENCHMARK_MAIN();
