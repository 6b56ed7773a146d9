#include "mo_fixture.h"

#include <iconv.h>
#include <sys/wait.h>

#include <iostream>

#include "support/process.h"

namespace brivane::test {
namespace {

std::string Convert(std::string_view text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string in(text), out(text.size() * 4 + 16, '\0');
  char* inp = in.data();
  char* outp = out.data();
  std::size_t inLeft = in.size(), outLeft = out.size();
  const std::size_t rc = iconv(cd, &inp, &inLeft, &outp, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return {};
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

std::string Ucs2BeOf(std::string_view utf8) { return Convert(utf8, "UTF-16BE", "UTF-8"); }
std::string GbkOf(std::string_view utf8) { return Convert(utf8, "GBK", "UTF-8"); }

void MoEndToEnd::TearDown() {
  if (!sys_) return;
  if (sys_->BrivaneRunning()) {
    const int status = sys_->StopBrivane(std::chrono::seconds(15));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "brivane did not stop cleanly (status " << status << ")";
  }
  if (HasFailure()) std::cerr << Diagnostics();
}

bool MoEndToEnd::Prepare(const std::map<std::string, std::string>& keys, DbKind kind,
                         int smgVersion) {
  if (!app_.Running()) {
    error_ = "the application receiver could not listen";
    return false;
  }
  E2eOptions options;
  options.db = kind;
  options.smg.version = smgVersion;
  options.enableHTTPClient = true;
  options.extraIni = {
      {"DialogCarrierID", "46000"}, {"DialogCarrierNAME", "A&B"}, {"MOHTTPQuestTimeout", "5000"}};
  for (const auto& [key, value] : keys) options.extraIni[key] = value;
  sys_ = std::make_unique<E2eSystem>(options);
  return sys_->Prepare(&error_);
}

void MoEndToEnd::AddRoute(int serviceId, const std::string& spNumber, const std::string& path,
                          int enableRoute, const std::string& serviceCode) {
  sys_->Exec(
      "INSERT INTO Service (ServiceID, ServiceCode, FeeType, FeeCode, SPNumber, PostInterface, "
      "EnableRoute) VALUES (" +
      std::to_string(serviceId) + ", " + sys_->Quote(serviceCode) + ", '01', '000000', " +
      sys_->Quote(spNumber) + ", " + sys_->Quote(app_.Url(path)) + ", " +
      std::to_string(enableRoute) + ")");
}

bool MoEndToEnd::StartBrivane() { return sys_->StartBrivane(&error_); }

std::vector<DeliverRow> MoEndToEnd::Delivers() {
  std::vector<DeliverRow> out;
  for (const DbRow& r :
       sys_->Query("SELECT Mobile, Msg, SPNumber, LinkId, MsgId, ResponseCode, ResponseInfo, "
                   "ReplyBody, ServiceId, PKTotal, ServiceCode FROM Deliver ORDER BY DeliverID")) {
    DeliverRow d;
    d.mobile = r.Text("Mobile");
    d.msg = r.Text("Msg");
    d.spNumber = r.Text("SPNumber");
    d.linkId = r.Text("LinkId");
    d.msgId = r.Text("MsgId");
    d.responseCode = r.Int("ResponseCode");
    d.responseInfo = r.Text("ResponseInfo");
    d.replyBody = r.Text("ReplyBody");
    d.serviceId = r.Int("ServiceId");
    d.pkTotal = r.Int("PKTotal");
    d.serviceCode = r.Text("ServiceCode");
    out.push_back(std::move(d));
  }
  return out;
}

bool MoEndToEnd::WaitDelivers(std::size_t atLeast, std::chrono::milliseconds timeout) {
  return sys_->WaitScalar("SELECT COUNT(*) FROM Deliver", static_cast<long long>(atLeast), timeout);
}

bool MoEndToEnd::SendMo(const std::string& src, const std::string& dest, int fmt,
                        std::string_view content, const std::string& service,
                        const std::string& linkId) {
  std::string line = "mo " + src + " " + dest + " " + std::to_string(fmt) + " " + Hex(content);
  if (!service.empty() || !linkId.empty()) line += " " + (service.empty() ? "SVC" : service);
  if (!linkId.empty()) line += " " + linkId;
  const std::string reply = sys_->Smg().Command(line);
  EXPECT_EQ(reply.rfind("OK seq=", 0), 0u) << line << " -> " << reply;
  return reply.rfind("OK seq=", 0) == 0;
}

std::string MoEndToEnd::SendLongMo(const std::string& src, const std::string& dest, int fmt,
                                   bool ref16, int ref, const std::string& order,
                                   std::string_view content, const std::string& service,
                                   const std::string& linkId) {
  std::string line = "mo-long " + src + " " + dest + " " + std::to_string(fmt) + " " +
                     (ref16 ? "1 " : "0 ") + std::to_string(ref) + " " + order + " " + Hex(content);
  if (!service.empty() || !linkId.empty()) line += " " + (service.empty() ? "SVC" : service);
  if (!linkId.empty()) line += " " + linkId;
  return sys_->Smg().Command(line);
}

bool MoEndToEnd::WaitCounter(std::size_t offset, std::uint32_t atLeast,
                             std::chrono::milliseconds timeout) {
  return WaitFor([&] { return Counter(offset) >= atLeast; }, timeout);
}

std::string MoEndToEnd::Diagnostics() const {
  if (!sys_) return error_;
  return error_ + "\n---- brivane.log (end)\n" + LastBytes(sys_->Log(), 6000) +
         "\n---- smg.log (end)\n" + LastBytes(ReadFile(sys_->SmgLogPath()), 3000) + "\n";
}

}  // namespace brivane::test
