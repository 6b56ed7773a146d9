#include "cmpp/result_codes.h"

#include <cstring>
#include <limits>

namespace brivane::cmpp {

std::int32_t SubmitOutcomeOf(int engineCode) {
  switch (engineCode) {
    case kErrNotLoggedIn:
      return kOutcomeNotLoggedIn;
    case kErrNoLink:
      return kOutcomeNoLink;
    case kErrSubmitDeclined:
      return kOutcomeDeclined;
    case kErrTooManyDestinations:
    case kErrContentTooLong:
    case kErrBufferTooSmall:
      return kOutcomeUnsendable;
    default:
      // A socket error, a write that timed out, a closed peer.
      return kOutcomeWriteFailed;
  }
}

std::int32_t StoredSmgResult(std::int32_t result) {
  return result < 0 ? std::numeric_limits<std::int32_t>::max() : result;
}

std::string SubmitResultText(std::int32_t submitResult) {
  switch (submitResult) {
    case kOutcomeNoResponse:
      return "no answer from the SMG in time (SubmitRespTimeout)";
    case kOutcomeWriteFailed:
      return "not sent: writing to the SMG failed";
    case kOutcomeNotLoggedIn:
      return "not sent: the link could not log in";
    case kOutcomeNoLink:
      return "not sent: no logged-in link";
    case kOutcomeDeclined:
      return "not sent: declined before writing";
    case kOutcomeUnsendable:
      return "not sent: the row does not fit a CMPP_SUBMIT";
    case 0:
      return "accepted by the SMG";
    case 1:
      return "SMG: wrong message structure";
    case 2:
      return "SMG: wrong command word";
    case 3:
      return "SMG: repeated message sequence number";
    case 4:
      return "SMG: wrong message length";
    case 5:
      return "SMG: wrong fee code";
    case 6:
      return "SMG: message longer than allowed";
    case 7:
      return "SMG: wrong service code";
    case 8:
      return "SMG: flow control (too fast; lower MTSpeedLimit)";
    case 9:
      return "SMG: this gateway does not serve the fee number (CMPP 3.0; other error in 2.0)";
    case 10:
      return "SMG: wrong Src_Id (CMPP 3.0)";
    case 11:
      return "SMG: wrong Msg_src (CMPP 3.0; check SPCorpID)";
    case 12:
      return "SMG: wrong Fee_terminal_Id (CMPP 3.0)";
    case 13:
      return "SMG: wrong Dest_terminal_Id (CMPP 3.0)";
    default:
      return submitResult < 0 ? "an outcome of ours this version does not know"
                              : "SMG: other error";
  }
}

std::string LoginStatusText(std::uint32_t status) {
  switch (status) {
    case 0:
      return "logged in";
    case 1:
      return "the SMG found the login malformed (check SMGVersion)";
    case 2:
      return "illegal source address (check SPCorpID and SPLoginName)";
    case 3:
      return "authentication failed (check SPLoginName and SPPassword)";
    case 4:
      return "version too high (check SMGVersion: 32 for CMPP 2.0, 48 for 3.0)";
    default:
      return "other error at the SMG (ask the SMG's operator)";
  }
}

std::string CodeText(int code) {
  switch (code) {
    case kOk:
      return "success";
    case kTimeout:
      return "no progress within the socket timeout";
    case kPeerClosed:
      return "the SMG closed the connection";
    case kErrNotLoggedIn:
      return "the link is not logged in";
    case kErrAlreadyStarted:
      return "the link is already started";
    case kErrFrameTooLong:
      return "the SMG sent a frame longer than any PDU";
    case kErrTooManyDestinations:
      return "more destinations than the PDU holds";
    case kErrNoLink:
      return "no logged-in link";
    case kErrSubmitDeclined:
      return "declined before writing";
    case kErrContentTooLong:
      return "content longer than 255 bytes";
    case kErrBufferTooSmall:
      return "encoder buffer too small";
    default:
      break;
  }
  if (code > 0 && code < 2000) return std::strerror(code);
  return "unknown code " + std::to_string(code);
}

}  // namespace brivane::cmpp
