#pragma once
// MyCMPPClient: the SP's CMPP client. Its hooks turn CMPP events into the
// SP's records: submit outcomes (DelSubmit), status reports
// (AddStatusReport) and MO messages (merged when concatenated, forwarded by
// HTTP when a route says so, stored with AddDeliver). It keeps the submits
// written to the SMG until their responses come, and gives a row whose
// response never comes an outcome after SubmitRespTimeout. A submit outcome
// or an MO message that the database did not take (the server down or
// restarting) is kept and stored again by the pending timer, so that no row
// stays handed over without an outcome and no acknowledged MO message is
// dropped while the service runs.
//
// Threads: Initialise and Release run on the service's control thread; the
// hooks run on the engine's worker threads, many at once; the pending timer
// thread expires overdue entries once a second and stores what the
// database did not take. The pending list guards itself; unrecordedMutex_
// guards the two lists of what is still to be stored (memory work only);
// the store is created by the first Initialise and kept until the object
// goes (an in-place restart keeps its parts); the store and merger pointers
// change only in Initialise/Release and the destructor, while no worker runs.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/config_store.h"
#include "base/mutex.h"
#include "cmpp/client.h"
#include "cmpp/result_codes.h"
#include "db/connections.h"
#include "db/procedures.h"
#include "sp/answer_stats.h"
#include "sp/flow_control.h"
#include "sp/long_sms.h"
#include "sp/pending_submits.h"
#include "sp/post_mo.h"
#include "sp/routing.h"

namespace brivane::sp {

// What the client needs of the service process.
class SpHost {
 public:
  virtual ~SpHost() = default;
  virtual db::DbGateway* Database() = 0;
  virtual const RouteTable& Routes() const = 0;
  virtual ForwardSettings Forwarding() const = 0;
};

// The unsigned decimal text of a Msg_Id's 8 bytes read big-endian.
std::string MsgIdText(const std::uint8_t (&msgId)[8]);

class MyCMPPClient : public cmpp::CMPPClient {
 public:
  static constexpr std::chrono::seconds kDefaultSubmitRespTimeout{600};
  static constexpr std::chrono::milliseconds kMoRetryPause{500};
  // How long Release lets answers to submits already written come in.
  static constexpr std::chrono::milliseconds kReleaseDrain{3000};
  // The outcome recorded for a submit whose response never came.
  static constexpr std::uint32_t kNoResponseOutcome =
      static_cast<std::uint32_t>(cmpp::kOutcomeNoResponse);
  // How many outcomes, and how many MO messages, are kept for the database
  // at most; beyond that they are logged and dropped.
  static constexpr std::size_t kUnrecordedKept = 100000;
  // The highest LongSMSMaxParts taken.
  static constexpr std::int64_t kLongSmsMaxPartsLimit = 1000000;

  explicit MyCMPPClient(SpHost& host);
  ~MyCMPPClient() override;

  // Reads the link keys of the section, starts the workers, opens the link
  // pools and starts the long-message store. True when every pool is good.
  bool Initialise(const base::ConfigSection& section);
  // Stops the links, the workers and the merger thread. The long-message
  // store stays, with its parts, for the next Initialise.
  void Release() override;
  bool Initialised() const { return initialised_.load(); }
  // At the service's stop, after Release and before the database closes:
  // hands every stored MO part on alone (stored, and forwarded when
  // forwarding is on). Answers how many.
  std::size_t HandOnStoredParts();
  std::size_t StoredParts() const;
  // A later round after an Initialise whose pools were not all logged in:
  // makes the links still missing; once every pool is complete the client
  // is initialised as Initialise would have left it. True when it is.
  bool CompleteLinks();

  void LogWrite(std::string_view line) override;
  void OnStopped(cmpp::CMPPConnection& link) override;
  bool OnSubmitting(cmpp::CMPPConnection& link, const cmpp::CmppSubmit& submit) override;
  void OnSubmitSent(cmpp::CMPPConnection& link, const cmpp::CmppSubmit& submit) override;
  void OnSubmitFail(cmpp::CMPPConnection& link, const cmpp::CmppSubmit& submit) override;
  void OnSubmitResp(cmpp::CMPPConnection& link, const cmpp::CmppSubmitResp& resp) override;
  void OnDeliver(cmpp::CMPPConnection& link, const cmpp::CmppDeliver& deliver) override;
  void OnReport(cmpp::CMPPConnection& link, const cmpp::CmppDeliver& deliver) override;

  // Converts, forwards and stores one whole MO message.
  void HandleMo(const cmpp::CmppDeliver& deliver, int partsCount);

  // Records an outcome for every pending submit older than its deadline.
  void ExpirePending();
  std::size_t PendingCount() const { return pending_.Size(); }
  // Every SUBMIT_RESP's Result, and the latency of those that answered a
  // pending segment.
  const AnswerStats& Answers() const { return answers_; }
  // Segments refused with Result 8 waiting to be written again.
  std::size_t FlowRetriesWaiting() const { return flowRetries_.Size(); }
  FlowControlSettings FlowControl() const;

  // Stores again, in order, the outcomes and MO messages the database did
  // not take, up to the first call that fails again. The pending timer
  // calls it once a second.
  void RetryUnrecorded();
  std::size_t UnrecordedCount();

  // Test seams; production values by default.
  void SetMoRetryPauseForTest(std::chrono::milliseconds pause) { moRetryPause_ = pause; }
  void SetLongSmsExpiryForTest(std::chrono::milliseconds age) { longSmsExpiry_ = age; }

 private:
  // Parts of Initialise: the keys of sending (answer timeout, flow control,
  // the link cap), and the long-message store with its capacity.
  void ReadSendingSettings(const base::ConfigSection& section);
  void PrepareLongSmsStore(const base::ConfigSection& section);
  void StartPendingTimer();
  void StopPendingTimer();
  // Gives every submit still pending the no-response outcome.
  void RecordUnanswered(const char* why);
  // DelSubmit; an outcome the database did not take is kept for
  // RetryUnrecorded.
  void RecordOutcome(std::uint64_t recordId, const std::string& msgId, std::uint32_t result);
  // The flow-control retry queue's resend: hands the segment to a link
  // again, or records it when no link takes it.
  void ResendRefused(FlowRetryQueue::Entry& entry);
  // Gives the segments still waiting for a retry their last outcome.
  void RecordRefusedLeft();

  struct Outcome {
    std::uint64_t recordId;
    std::string msgId;
    std::uint32_t result;
  };

  SpHost& host_;
  PendingSubmits pending_;
  AnswerStats answers_;
  std::atomic<bool> initialised_{false};
  std::atomic<bool> handingOnAtStop_{false};
  cmpp::LinkSettings linkSettings_;  // as read by the last Initialise
  std::atomic<bool> mtPoolGood_{false}, moPoolGood_{false}, mtAndMoPoolGood_{false},
      allPoolsGood_{false};
  std::atomic<std::uint32_t> submitRespTimeoutMs_{
      static_cast<std::uint32_t>(kDefaultSubmitRespTimeout.count() * 1000)};
  std::chrono::milliseconds moRetryPause_ = kMoRetryPause;
  std::chrono::milliseconds longSmsExpiry_ = CLongSMSLog::kExpiryAge;

  // Read by the workers; written by Initialise while none runs.
  std::atomic<int> flowTries_{FlowControlSettings::kDefaultTries};
  std::atomic<std::int64_t> flowPauseMs_{FlowControlSettings::kDefaultPause.count()};
  LinkRateCap rateCap_;
  FlowRetryQueue flowRetries_{[this](FlowRetryQueue::Entry& e) { ResendRefused(e); }};

  std::shared_ptr<CLongSMSLog> store_;
  std::unique_ptr<LongSMSMerger> merger_;
  // Merged MO messages being handed on by the merger thread, which a
  // release may leave running past its bounded wait: Release waits for the
  // count to reach 0 and then closes the hand-on, so the merger never calls
  // into a released client. Guarded by handOnMutex_.
  base::Mutex handOnMutex_;
  base::CondVar handOnCv_;
  int handOnsRunning_ GUARDED_BY(handOnMutex_) = 0;
  bool handOnClosed_ GUARDED_BY(handOnMutex_) = false;
  void HandOnMerged(const cmpp::CmppDeliver& deliver, int partsCount);
  void CloseHandOn();

  base::Mutex unrecordedMutex_;
  std::deque<Outcome> unrecordedOutcomes_ GUARDED_BY(unrecordedMutex_);
  std::deque<db::DeliverRecord> unrecordedMo_ GUARDED_BY(unrecordedMutex_);

  std::thread pendingTimer_;
  base::Mutex timerMutex_;
  base::CondVar timerCv_;
  bool timerStop_ GUARDED_BY(timerMutex_) = false;
};

}  // namespace brivane::sp
