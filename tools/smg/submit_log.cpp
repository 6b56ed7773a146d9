#include "submit_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cmpp/pdu.h"

namespace brivane::smg {

bool SubmitLog::Add(std::uint32_t conn, std::uint32_t sequenceId, std::uint8_t version,
                    bool answered, const MsgId& msgId, std::span<const std::uint8_t> body) {
  std::lock_guard lock(mutex_);
  if (index_.size() >= capacity_ || body.size() > kChunkSize) {
    ++dropped_;
    return false;
  }
  if (chunks_.empty() || chunks_.back().size() + body.size() > kChunkSize) {
    chunks_.emplace_back();
    chunks_.back().reserve(kChunkSize);
  }
  auto& chunk = chunks_.back();
  const auto offset = static_cast<std::uint32_t>(chunk.size());
  chunk.insert(chunk.end(), body.begin(), body.end());
  index_.push_back({conn, sequenceId, version, answered, msgId,
                    static_cast<std::uint32_t>(chunks_.size() - 1), offset,
                    static_cast<std::uint32_t>(body.size())});
  return true;
}

std::vector<std::string> SubmitLog::Json(std::size_t from, std::size_t count) const {
  // Copy the entries out under the lock, build the text without it.
  std::vector<Index> picked;
  std::vector<std::uint8_t> bytes;
  {
    std::lock_guard lock(mutex_);
    if (from < index_.size()) {
      const std::size_t end = from + std::min(count, index_.size() - from);
      picked.assign(index_.begin() + static_cast<std::ptrdiff_t>(from),
                    index_.begin() + static_cast<std::ptrdiff_t>(end));
      for (auto& e : picked) {
        const auto& chunk = chunks_[e.chunk];
        const std::size_t at = bytes.size();
        bytes.insert(bytes.end(), chunk.begin() + e.offset, chunk.begin() + e.offset + e.length);
        e.offset = static_cast<std::uint32_t>(at);
      }
    }
  }
  std::vector<std::string> lines;
  lines.reserve(picked.size());
  for (std::size_t i = 0; i < picked.size(); ++i) {
    const Index& e = picked[i];
    SubmitEntry entry{e.conn,     e.sequenceId, e.version,
                      e.answered, e.msgId,      std::span(bytes).subspan(e.offset, e.length)};
    lines.push_back(SubmitJson(from + i, entry));
  }
  return lines;
}

std::size_t SubmitLog::Size() const {
  std::lock_guard lock(mutex_);
  return index_.size();
}

std::size_t SubmitLog::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void SubmitLog::Clear() {
  std::lock_guard lock(mutex_);
  index_.clear();
  chunks_.clear();
  dropped_ = 0;
}

std::string HexOf(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 0xF]);
  }
  return s;
}

namespace {

// A zero-terminated record field of at most `width` bytes, as a JSON string.
void AppendText(std::string& out, const char* field, std::size_t width) {
  out.push_back('"');
  for (std::size_t i = 0; i < width && field[i] != 0; ++i) {
    const auto c = static_cast<unsigned char>(field[i]);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04X", c);
      out += esc;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
}

void Key(std::string& out, const char* key) {
  if (out.size() > 1) out.push_back(',');
  out.push_back('"');
  out += key;
  out += "\":";
}

void Number(std::string& out, const char* key, std::uint64_t value) {
  Key(out, key);
  out += std::to_string(value);
}

void Text(std::string& out, const char* key, const char* field, std::size_t width) {
  Key(out, key);
  AppendText(out, field, width);
}

}  // namespace

std::string SubmitJson(std::size_t index, const SubmitEntry& entry) {
  // The record is large (about 15 KiB); one per call keeps this reentrant.
  auto submit = std::make_unique<cmpp::CmppSubmit>();
  cmpp::CmppHeader header{};
  header.Total_Length = static_cast<std::uint32_t>(entry.body.size() + cmpp::kHeaderLength);
  header.Command_Id = cmpp::kCmppSubmit;
  header.Sequence_Id = entry.sequenceId;
  const int result = cmpp::DecodeSubmit(header, entry.body, entry.version, *submit);

  std::string out = "{";
  Number(out, "index", index);
  Number(out, "conn", entry.conn);
  Number(out, "seq", entry.sequenceId);
  if (result != 0) {  // kept only when it decoded; stays visible if that ever changes
    Number(out, "decode_result", static_cast<std::uint64_t>(result));
    out += "}";
    return out;
  }
  const cmpp::CmppSubmit& s = *submit;
  const std::size_t width = cmpp::LayoutFor(entry.version).terminalWidth;
  Number(out, "Pk_total", s.Pk_total);
  Number(out, "Pk_number", s.Pk_number);
  Number(out, "Registered_Delivery", s.Registered_Delivery);
  Number(out, "Msg_level", s.Msg_level);
  Text(out, "Service_Id", s.Service_Id, 10);
  Number(out, "Fee_UserType", s.Fee_UserType);
  Text(out, "Fee_terminal_Id", s.Fee_terminal_Id, width);
  Number(out, "TP_pId", s.TP_pId);
  Number(out, "TP_udhi", s.TP_udhi);
  Number(out, "Msg_Fmt", s.Msg_Fmt);
  Text(out, "Msg_src", s.Msg_src, 6);
  Text(out, "FeeType", s.FeeType, 2);
  Text(out, "FeeCode", s.FeeCode, 6);
  Text(out, "Src_Id", s.Src_Id, 21);
  Number(out, "DestUsr_tl", s.DestUsr_tl);
  Key(out, "Dest_terminal_Id");
  {
    // Several destinations are joined with ","; each is zero-padded to width.
    std::string joined;
    for (std::size_t i = 0; i < s.DestUsr_tl; ++i) {
      const char* d = s.Dest_terminal_Id + i * width;
      if (i > 0) joined.push_back(',');
      joined.append(d, strnlen(d, width));
    }
    AppendText(out, joined.c_str(), joined.size());
  }
  Number(out, "Msg_Length", s.Msg_Length);
  Key(out, "Msg_Content");
  out.push_back('"');
  out += HexOf(std::span(s.Msg_Content, s.Msg_Length));
  out.push_back('"');
  Text(out, "LinkID", s.LinkID, cmpp::LayoutFor(entry.version).trailerWidth);
  Key(out, "Msg_Id");
  out.push_back('"');
  if (entry.answered) out += MsgIdText(entry.msgId);
  out.push_back('"');
  out += "}";
  return out;
}

}  // namespace brivane::smg
