#include "base/status_block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace brivane::base {

const std::array<StatusField, 21> kStatusFields = {{
    {kMoReceived, "mo_received", false,
     "MO messages (DELIVER, not reports) received from the SMG."},
    {kMoStored, "mo_stored", false, "MO messages stored in the database."},
    {kSubmitHandedOver, "submit_handed_over", false,
     "Submit rows read from the database and handed to the SMG client."},
    {kSubmitWritten, "submit_written", false, "SUBMIT segments written completely to an SMG link."},
    {kSubmitWriteFailed, "submit_write_failed", false,
     "SUBMIT segments whose write to an SMG link failed."},
    {kSubmitRespOk, "submit_resp_ok", false, "SUBMIT_RESP answers with Result 0 (accepted)."},
    {kSubmitRespFail, "submit_resp_fail", false,
     "SUBMIT_RESP answers with any other Result (refused)."},
    {kSubmitResultStored, "submit_result_stored", false, "Submit outcomes stored in the database."},
    {kReportReceived, "report_received", false, "Status reports received from the SMG."},
    {kReportStored, "report_stored", false, "Status reports stored in the database."},
    {kDbConnectionOpen, "db_connection_open", true, "The main database connection is open."},
    {kDbConnectionMtOpen, "db_connection_mt_open", true, "The MT database connection is open."},
    {kDbConnectionMoOpen, "db_connection_mo_open", true, "The MO database connection is open."},
    {kDbConnectionSrOpen, "db_connection_sr_open", true,
     "The status-report database connection is open."},
    {kStarted, "started", true, "The service has started its work."},
    {kReportDelivered, "report_delivrd", false,
     "Status reports saying DELIVRD (delivered to the handset)."},
    {kReportOther, "report_other", false, "Status reports with any other state (not delivered)."},
    {kMoForwardOk, "mo_forward_ok", false, "MO messages forwarded to the application over HTTP."},
    {kMoForwardFail, "mo_forward_fail", false, "MO messages whose HTTP forward failed."},
    {kSubmitFlowRetried, "submit_flow_retried", false,
     "SUBMIT segments refused with Result 8 (flow control) and queued to be written again."},
    {kSubmitPaced, "submit_paced", false,
     "SUBMIT segments held back by the per-link cap of unanswered submits."},
}};

std::string StatusBlockName() {
  const char* env = std::getenv(kStatusBlockEnv);
  if (env && *env) {
    std::string name = env;
    if (name[0] != '/') name.insert(name.begin(), '/');
    return name;
  }
  return kDefaultStatusBlockName;
}

ServiceStatusBlock::~ServiceStatusBlock() { Close(); }

int ServiceStatusBlock::Create(const std::string& name) {
  Close();
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd < 0) return errno;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  // A new object has size 0; an existing one keeps its contents.
  if (static_cast<std::size_t>(st.st_size) < kStatusBlockSize &&
      ftruncate(fd, kStatusBlockSize) != 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  void* p = mmap(nullptr, kStatusBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int err = errno;
  ::close(fd);
  if (p == MAP_FAILED) return err;
  base_ = static_cast<unsigned char*>(p);
  writable_ = true;
  return 0;
}

int ServiceStatusBlock::OpenReadOnly(const std::string& name) {
  Close();
  int fd = shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return errno;
  struct stat st {};
  if (fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < kStatusBlockSize) {
    ::close(fd);
    return EINVAL;
  }
  void* p = mmap(nullptr, kStatusBlockSize, PROT_READ, MAP_SHARED, fd, 0);
  int err = errno;
  ::close(fd);
  if (p == MAP_FAILED) return err;
  base_ = static_cast<unsigned char*>(p);
  writable_ = false;
  return 0;
}

void ServiceStatusBlock::Close() {
  if (base_) munmap(base_, kStatusBlockSize);
  base_ = nullptr;
  writable_ = false;
}

void ServiceStatusBlock::Add(std::size_t offset, std::uint32_t n) {
  if (!base_ || !writable_ || offset + 4 > kStatusBlockSize) return;
  std::atomic_ref<std::uint32_t> field(*reinterpret_cast<std::uint32_t*>(base_ + offset));
  field.fetch_add(n, std::memory_order_relaxed);
}

void ServiceStatusBlock::Set(std::size_t offset, std::uint32_t value) {
  if (!base_ || !writable_ || offset + 4 > kStatusBlockSize) return;
  std::atomic_ref<std::uint32_t> field(*reinterpret_cast<std::uint32_t*>(base_ + offset));
  field.store(value, std::memory_order_relaxed);
}

std::uint32_t ServiceStatusBlock::Get(std::size_t offset) const {
  if (!base_ || offset + 4 > kStatusBlockSize) return 0;
  std::atomic_ref<std::uint32_t> field(*reinterpret_cast<std::uint32_t*>(base_ + offset));
  return field.load(std::memory_order_relaxed);
}

void ServiceStatusBlock::SetStartTime(std::int64_t secondsSinceEpoch) {
  if (!base_ || !writable_) return;
  std::atomic_ref<std::int64_t> field(*reinterpret_cast<std::int64_t*>(base_ + kStartTime));
  field.store(secondsSinceEpoch, std::memory_order_relaxed);
}

std::int64_t ServiceStatusBlock::GetStartTime() const {
  if (!base_) return 0;
  std::atomic_ref<std::int64_t> field(*reinterpret_cast<std::int64_t*>(base_ + kStartTime));
  return field.load(std::memory_order_relaxed);
}

ServiceStatusBlock& StatusBlock() {
  static ServiceStatusBlock block;
  return block;
}

}  // namespace brivane::base
