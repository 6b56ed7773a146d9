// Header framing, the control PDUs (ACTIVE_TEST, TERMINATE and responses),
// unknown commands and the Sequence_Id counter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "cmpp/pdu.h"
#include "wire.h"

namespace brivane::cmpp {
namespace {

CmppMessage& Msg() {
  static CmppMessage msg;
  return msg;
}

int Decode(const Bytes& pdu, CmppAnswer& answer, std::uint8_t version = 0x20) {
  CmppHeader h{};
  std::uint32_t bodyLength = 0;
  EXPECT_EQ(ParseHeader(std::span(pdu).first<12>(), h, bodyLength), 0);
  Bytes body(pdu.begin() + 12, pdu.end());
  EXPECT_EQ(body.size(), bodyLength);
  return DecodePdu(h, body, version, {}, Msg(), answer);
}

// ---------------------------------------------------------------- framing

TEST(Framing, HeaderIsBigEndian) {
  const Bytes b = Wire().U32(0x0000001D).U32(0x80000004).U32(0x01020304).bytes();
  CmppHeader h{};
  std::uint32_t bodyLength = 0;
  ASSERT_EQ(ParseHeader(std::span(b).first<12>(), h, bodyLength), 0);
  EXPECT_EQ(h.Total_Length, 29u);
  EXPECT_EQ(h.Command_Id, 0x80000004u);
  EXPECT_EQ(h.Sequence_Id, 0x01020304u);
  EXPECT_EQ(bodyLength, 17u);
  Bytes back(12);
  EXPECT_EQ(EncodeHeader(back, h), 12u);
  EXPECT_EQ(back, b);
}

TEST(Framing, LargestFrameFitsTheBodyBuffer) {
  const Bytes b = Wire().U32(4108).U32(kCmppDeliver).U32(1).bytes();
  CmppHeader h{};
  std::uint32_t bodyLength = 0;
  EXPECT_EQ(ParseHeader(std::span(b).first<12>(), h, bodyLength), 0);
  EXPECT_EQ(bodyLength, 4096u);
}

TEST(Framing, LengthAbove4108IsAFramingErrorAndNothingIsToBeRead) {
  for (std::uint32_t total : {4109u, 65536u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    const Bytes b = Wire().U32(total).U32(kCmppDeliver).U32(1).bytes();
    CmppHeader h{};
    std::uint32_t bodyLength = 77;
    EXPECT_EQ(ParseHeader(std::span(b).first<12>(), h, bodyLength), kErrFrameTooLong) << total;
    EXPECT_EQ(bodyLength, 0u);
    EXPECT_EQ(h.Total_Length, total);  // kept for the caller's log line
  }
}

TEST(Framing, LengthBelow12ReadsNoBodyAndGivesResult4) {
  for (std::uint32_t total : {0u, 1u, 11u}) {
    const Bytes b = Wire().U32(total).U32(kCmppActiveTest).U32(6).bytes();
    CmppHeader h{};
    std::uint32_t bodyLength = 77;
    ASSERT_EQ(ParseHeader(std::span(b).first<12>(), h, bodyLength), 0);
    EXPECT_EQ(bodyLength, 0u);
    CmppAnswer answer{};
    EXPECT_EQ(DecodePdu(h, {}, 0x20, {}, Msg(), answer), kResultBadLength);
    EXPECT_EQ(answer.kind, CmppAnswerKind::kActiveTestResp);  // still answered
    h.Command_Id = 0x00000006;
    EXPECT_EQ(DecodePdu(h, {}, 0x20, {}, Msg(), answer), kResultUnknownCommand);
    EXPECT_EQ(answer.kind, CmppAnswerKind::kNone);
  }
}

TEST(Framing, BodyShorterThanTheHeaderDeclaresIsALengthError) {
  // A caller that hands over fewer bytes than declared gets 4, never an overread.
  CmppHeader h{21, kCmppSubmitResp, 1};
  Bytes body(5, 0);
  CmppAnswer answer{};
  EXPECT_EQ(DecodePdu(h, body, 0x20, {}, Msg(), answer), kResultBadLength);
}

// ---------------------------------------------------------------- control PDUs

Bytes Encoded(std::size_t (*encode)(std::span<std::uint8_t>, std::uint32_t), std::uint32_t seq) {
  Bytes out(16, 0xEE);
  out.resize(encode(out, seq));
  return out;
}

TEST(Control, EncodedBytes) {
  EXPECT_EQ(Hex(Encoded(EncodeActiveTest, 0x01020304)), "0000000c 00000008 01020304");
  EXPECT_EQ(Hex(Encoded(EncodeActiveTestResp, 0x01020304)), "0000000d 80000008 01020304 00");
  EXPECT_EQ(Hex(Encoded(EncodeTerminate, 0x01020304)), "0000000c 00000002 01020304");
  EXPECT_EQ(Hex(Encoded(EncodeTerminateResp, 0x01020304)), "0000000c 80000002 01020304");
  Bytes tiny(12);
  EXPECT_EQ(EncodeActiveTestResp(tiny, 1), 0u);
  EXPECT_EQ(EncodeActiveTest(std::span(tiny).first(11), 1), 0u);
}

TEST(Control, ActiveTestIsAnsweredWithItsSequenceId) {
  CmppAnswer answer{};
  EXPECT_EQ(Decode(Wire().U32(12).U32(kCmppActiveTest).U32(77).bytes(), answer), 0);
  EXPECT_EQ(answer.kind, CmppAnswerKind::kActiveTestResp);
  EXPECT_EQ(answer.Sequence_Id, 77u);
  Bytes out(kMaxAnswerLength);
  out.resize(EncodeAnswer(out, 0x20, answer));
  EXPECT_EQ(Hex(out), "0000000d 80000008 0000004d 00");
}

TEST(Control, ThirteenByteActiveTestGives4AndIsStillAnswered) {
  CmppAnswer answer{};
  EXPECT_EQ(Decode(Wire().U32(13).U32(kCmppActiveTest).U32(5).U8(0).bytes(), answer),
            kResultBadLength);
  EXPECT_EQ(answer.kind, CmppAnswerKind::kActiveTestResp);
  EXPECT_EQ(answer.Sequence_Id, 5u);
}

TEST(Control, ActiveTestRespMustBeThirteenBytes) {
  CmppAnswer answer{};
  EXPECT_EQ(Decode(Wire().U32(13).U32(kCmppActiveTestResp).U32(5).U8(9).bytes(), answer), 0);
  EXPECT_EQ(Msg().activeTestResp.Reserved, 9);
  EXPECT_EQ(answer.kind, CmppAnswerKind::kNone);
  EXPECT_EQ(Decode(Wire().U32(12).U32(kCmppActiveTestResp).U32(5).bytes(), answer),
            kResultBadLength);
  EXPECT_EQ(answer.kind, CmppAnswerKind::kNone);
}

TEST(Control, TerminateIsAnsweredAndItsResponseIsNot) {
  CmppAnswer answer{};
  EXPECT_EQ(Decode(Wire().U32(12).U32(kCmppTerminate).U32(8).bytes(), answer), 0);
  EXPECT_EQ(answer.kind, CmppAnswerKind::kTerminateResp);
  Bytes out(kMaxAnswerLength);
  out.resize(EncodeAnswer(out, 0x30, answer));
  EXPECT_EQ(Hex(out), "0000000c 80000002 00000008");

  EXPECT_EQ(Decode(Wire().U32(13).U32(kCmppTerminate).U32(8).U8(0).bytes(), answer),
            kResultBadLength);
  EXPECT_EQ(answer.kind, CmppAnswerKind::kTerminateResp);
  EXPECT_EQ(Decode(Wire().U32(12).U32(kCmppTerminateResp).U32(8).bytes(), answer), 0);
  EXPECT_EQ(answer.kind, CmppAnswerKind::kNone);
  EXPECT_EQ(Decode(Wire().U32(13).U32(kCmppTerminateResp).U32(8).U8(0).bytes(), answer),
            kResultBadLength);
}

TEST(Control, UnknownCommandGives2AndNoAnswer) {
  CmppAnswer answer{};
  for (std::uint32_t id : {0x00000006u, 0x00000001u, 0x00000004u, 0x80000005u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Decode(Wire().U32(12).U32(id).U32(1).bytes(), answer), kResultUnknownCommand) << id;
    EXPECT_EQ(answer.kind, CmppAnswerKind::kNone);
    Bytes out(kMaxAnswerLength);
    EXPECT_EQ(EncodeAnswer(out, 0x20, answer), 0u);
  }
}

// ---------------------------------------------------------------- Sequence_Id

TEST(SequenceId, FirstValueOfTheProcessIs1) {
  // A fresh process, since other tests in this one may have drawn numbers.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::uint32_t first = NextSequenceId();
        const std::uint32_t second = NextSequenceId();
        std::exit(first == 1 && second == 2 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(SequenceId, ConcurrentDrawsNeverRepeat) {
  constexpr int kThreads = 4;
  constexpr int kEach = 20000;
  std::vector<std::vector<std::uint32_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&drawn, t] {
      drawn[t].reserve(kEach);
      for (int i = 0; i < kEach; ++i) drawn[t].push_back(NextSequenceId());
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::uint32_t> all;
  for (const auto& d : drawn) {
    EXPECT_TRUE(std::is_sorted(d.begin(), d.end()));  // each thread sees them rise
    all.insert(d.begin(), d.end());
  }
  EXPECT_EQ(all.size(), std::size_t{kThreads} * kEach);
}

}  // namespace
}  // namespace brivane::cmpp
