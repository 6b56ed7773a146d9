// Fuzz entry for the long MO message store. The input is a sequence of
// operations; each starts with one byte, and missing bytes read as 0:
//
//   op % 8 < 6   a part: [who] [reference] [total] [sequence] [Msg_Length] [stamp]
//                who: bits 0-1 the sender ("13800000001", "13800000002",
//                "abc", "ABC"), bit 2 the 16-bit reference form
//                reference, total, sequence: below 0x80 a small value (so
//                parts collide), else the low 7 bits
//                stamp: below 0x80 that many seconds before now, else up to
//                127 ms ahead of now
//   op % 8 == 6  [n]: the clock moves n * 2048 ms on, then expire runs
//   op % 8 == 7  a raw DELIVER: [TP_udhi] [Msg_Length] and 8 content bytes
//
// The clock starts 327 s before its 32-bit wrap. The store holds at most
// kCapacity parts. Every result is compared with a plain model of the
// store: a message is its sender (case ignored), reference width,
// reference and total; a part whose sequence the message holds already is
// dropped, and so is a part that repeats (same sequence and kept text) one
// of a message merged less than 300 s before, while a part with other text
// under that key forgets the merged message; each message is handed on exactly once, merged in
// sequence order and cut to what was kept and to the content field, or each part alone, as its kept
// text without the header, once it is 300 s old or pushed out by a full store (oldest first); at
// the end HandOnAll hands every stored part on alone in arrival order, and nothing is handed on
// when the store is destroyed. A broken property aborts.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sp/long_sms.h"

namespace {

using brivane::cmpp::CmppDeliver;
using brivane::sp::CLongSMSLog;
using brivane::sp::IsConcatenatedPart;

#define CHECK(cond)                                                                      \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "long SMS property broken: %s (line %d)\n", #cond, __LINE__); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

constexpr std::uint32_t kExpiry = 300000;
constexpr std::size_t kCapacity = 12;
constexpr std::size_t kRoom = 8192;
const char* const kSenders[] = {"13800000001", "13800000002", "abc", "ABC"};

struct Output {
  CmppDeliver deliver;
  int parts;
};

struct ModelPart {
  std::string sender;  // lower case
  std::uint32_t form, reference, total, sequence, declared;
  std::string kept;  // the text bytes the DELIVER kept
  CmppDeliver deliver;
};

// A message merged: its key, each part's kept text by sequence, and when.
struct ModelMerged {
  std::string sender;
  std::uint32_t form, reference, total;
  std::vector<std::pair<std::uint32_t, std::string>> parts;
  std::uint32_t mergedAt;
};

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool More() const { return at_ < size_; }
  std::uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

std::uint8_t Small(std::uint8_t b, std::uint8_t modulo) { return b & 0x80 ? b & 0x7F : b % modulo; }

std::string Lower(const char* s) {
  std::string out;
  for (; *s; ++s) out += *s >= 'A' && *s <= 'Z' ? char(*s - 'A' + 'a') : *s;
  return out;
}

// A part handed on alone: its DELIVER with TP_udhi 0 and its kept text,
// without the header, as the whole content.
void CheckAlone(const Output& out, const ModelPart& part) {
  CmppDeliver expected = part.deliver;
  expected.TP_udhi = 0;
  std::memset(expected.Msg_Content, 0, sizeof expected.Msg_Content);
  std::memcpy(expected.Msg_Content, part.kept.data(), part.kept.size());
  expected.Msg_Length = static_cast<std::uint32_t>(part.kept.size());
  CHECK(std::memcmp(&out.deliver, &expected, sizeof(CmppDeliver)) == 0);
  CHECK(out.parts == int(part.total));
}

// What the store must do with one DELIVER; `outputs` holds what it did.
void CheckAdd(CLongSMSLog& store, std::vector<ModelPart>& model, std::vector<ModelMerged>& merged,
              std::vector<Output>& outputs, const CmppDeliver& d, std::uint32_t now) {
  if (IsConcatenatedPart(d)) {
    brivane::sp::LongSmsFragment f{};
    CHECK(CLongSMSLog::ParseFragment(d, f));
    CHECK(f.sequence <= f.total && f.keptLength <= f.textLength && f.keptLength <= 154);
  }
  outputs.clear();
  const std::uint8_t first = d.Msg_Content[0];
  const bool part = first == 0x05 || first == 0x06;
  CHECK(store.AddFragment(d) == part);
  if (!part) {
    CHECK(outputs.empty());
    return;
  }
  const std::uint32_t header = first == 0x05 ? 6 : 7;
  ModelPart p;
  p.sender = Lower(d.Src_terminal_Id);
  p.form = header == 6 ? 0 : 1;
  const std::uint8_t* c = d.Msg_Content;
  p.reference = header == 6 ? c[3] : c[3] * 256u + c[4];
  p.total = c[header - 2];
  p.sequence = c[header - 1];
  p.declared = d.Msg_Length > header ? d.Msg_Length - header : 0;
  const std::uint32_t kept = std::min<std::uint32_t>(d.Msg_Length, 160);
  p.kept.assign(reinterpret_cast<const char*>(c) + header, kept > header ? kept - header : 0);
  p.deliver = d;

  merged.erase(std::remove_if(merged.begin(), merged.end(),
                              [&](const ModelMerged& m) {
                                const std::uint32_t age = now - m.mergedAt;
                                return age >= kExpiry && age < 0x80000000u;
                              }),
               merged.end());
  for (auto m = merged.begin(); m != merged.end(); ++m) {
    if (m->reference != p.reference || m->sender != p.sender || m->form != p.form ||
        m->total != p.total)
      continue;
    for (const auto& [sequence, partText] : m->parts) {
      if (sequence == p.sequence && partText == p.kept) {
        CHECK(outputs.empty());  // a repeat of a merged part is dropped
        return;
      }
    }
    merged.erase(m);  // other text: a new message under the key
    break;
  }

  std::vector<std::size_t> same;
  for (std::size_t i = 0; i < model.size(); ++i) {
    if (model[i].reference == p.reference && model[i].sender == p.sender &&
        model[i].form == p.form && model[i].total == p.total)
      same.push_back(i);
  }
  for (std::size_t i : same) {
    if (model[i].sequence == p.sequence) {
      CHECK(outputs.empty());  // a repeated part is dropped
      return;
    }
  }
  std::string text;
  ModelMerged done{p.sender, p.form, p.reference, p.total, {}, now};
  bool complete = p.total >= 1 && same.size() + 1 >= p.total;
  for (std::uint32_t s = 1; complete && s <= p.total; ++s) {
    const ModelPart* found = nullptr;
    for (std::size_t i : same) {
      if (model[i].sequence == s) {
        found = &model[i];
        break;
      }
    }
    if (!found && p.sequence == s) found = &p;
    if (!found) complete = false;
    if (found) text += found->kept;
  }
  if (!complete) {
    model.push_back(p);
    std::size_t next = 0;
    while (model.size() > kCapacity) {
      CHECK(next < outputs.size());
      CheckAlone(outputs[next++], model.front());
      model.erase(model.begin());
    }
    CHECK(next == outputs.size());
    return;
  }
  if (text.size() > kRoom) text.resize(kRoom);
  CHECK(outputs.size() == 1);
  const CmppDeliver& whole = outputs[0].deliver;
  CHECK(outputs[0].parts == int(p.total));
  CHECK(whole.TP_udhi == 0);
  CHECK(whole.Msg_Length == text.size());
  CHECK(std::memcmp(whole.Msg_Content, text.data(), text.size()) == 0);
  CHECK(std::all_of(whole.Msg_Content + text.size(), std::end(whole.Msg_Content),
                    [](std::uint8_t b) { return b == 0; }));
  // Everything but the content comes from the part that completed the message.
  CHECK(std::memcmp(whole.Msg_Id, d.Msg_Id, sizeof d.Msg_Id) == 0);
  CHECK(std::strcmp(whole.Src_terminal_Id, d.Src_terminal_Id) == 0);
  CHECK(whole.receiveTick == d.receiveTick && whole.Msg_Fmt == d.Msg_Fmt);
  // Every part the message held is remembered, those numbered beyond its
  // total (which the merge leaves out) too.
  done.parts.emplace_back(p.sequence, p.kept);
  for (std::size_t i : same) done.parts.emplace_back(model[i].sequence, model[i].kept);
  for (auto it = same.rbegin(); it != same.rend(); ++it) model.erase(model.begin() + *it);
  merged.push_back(std::move(done));
}

void CheckExpire(CLongSMSLog& store, std::vector<ModelPart>& model, std::vector<Output>& outputs,
                 std::uint32_t now) {
  outputs.clear();
  const std::size_t handed = store.expire();
  std::size_t next = 0;
  for (auto it = model.begin(); it != model.end();) {
    const std::uint32_t age = now - it->deliver.receiveTick;
    if (age >= kExpiry && age < 0x80000000u) {
      CHECK(next < outputs.size());
      CheckAlone(outputs[next], *it);
      ++next;
      it = model.erase(it);
    } else {
      ++it;
    }
  }
  CHECK(next == outputs.size() && handed == next);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  std::uint32_t now = 0xFFFB0000u;
  std::vector<Output> outputs;
  std::vector<ModelPart> model;
  std::vector<ModelMerged> merged;
  auto store = std::make_unique<CLongSMSLog>(
      [&outputs](const CmppDeliver& d, int parts) {
        outputs.push_back({d, parts});
      },
      std::chrono::milliseconds(kExpiry), [&now] { return now; }, kCapacity);

  for (std::uint32_t op = 0; in.More(); ++op) {
    const std::uint8_t kind = in.Next() % 8;
    CmppDeliver d{};
    d.Msg_Id[0] = std::uint8_t(op);
    d.Msg_Id[1] = std::uint8_t(op >> 8);
    d.Msg_Fmt = 15;
    d.receiveTick = now;
    if (kind < 6) {
      const std::uint8_t who = in.Next();
      const std::uint8_t refByte = in.Next();
      const std::uint8_t total = Small(in.Next(), 6);
      const std::uint8_t sequence = Small(in.Next(), 6);
      const std::uint8_t length = in.Next();
      const std::uint8_t stamp = in.Next();
      std::strcpy(d.Src_terminal_Id, kSenders[who & 3]);
      std::vector<std::uint8_t> content;
      if (who & 4) {
        const std::uint32_t ref = refByte & 0x80 ? 0x0100u | (refByte & 0x7F) : refByte & 3u;
        content = {0x06, 0x08, 0x04, std::uint8_t(ref >> 8), std::uint8_t(ref), total, sequence};
      } else {
        content = {0x05, 0x00, 0x03, Small(refByte, 4), total, sequence};
      }
      while (content.size() < 160)
        content.push_back(std::uint8_t('A' + (op + content.size()) % 26));
      d.Msg_Length = length;
      d.TP_udhi = 1;
      std::memcpy(d.Msg_Content, content.data(), std::min<std::size_t>(length, 160));
      d.receiveTick = stamp & 0x80 ? now + (stamp & 0x7F) : now - (stamp & 0x7Fu) * 1000;
      CheckAdd(*store, model, merged, outputs, d, now);
    } else if (kind == 6) {
      now += in.Next() * 2048u;
      CheckExpire(*store, model, outputs, now);
    } else {
      std::strcpy(d.Src_terminal_Id, kSenders[op & 3]);
      d.TP_udhi = in.Next();
      d.Msg_Length = in.Next();
      // The codec keeps no more content than the declared length.
      for (std::uint32_t i = 0; i < 8; ++i) {
        const std::uint8_t b = in.Next();
        d.Msg_Content[i] = i < d.Msg_Length ? b : 0;
      }
      CheckAdd(*store, model, merged, outputs, d, now);
    }
    CHECK(store->Count() == model.size());
  }
  outputs.clear();
  CHECK(store->HandOnAll() == model.size());
  CHECK(outputs.size() == model.size());
  for (std::size_t i = 0; i < model.size(); ++i) CheckAlone(outputs[i], model[i]);
  CHECK(store->Count() == 0);
  outputs.clear();
  store.reset();
  CHECK(outputs.empty());
  return 0;
}
