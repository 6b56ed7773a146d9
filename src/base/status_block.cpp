#include "base/status_block.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brivane::base {

const std::array<StatusField, 21> kStatusFields = {{
    {kMoReceived, "mo_received", false},
    {kMoStored, "mo_stored", false},
    {kSubmitHandedOver, "submit_handed_over", false},
    {kSubmitWritten, "submit_written", false},
    {kSubmitWriteFailed, "submit_write_failed", false},
    {kSubmitRespOk, "submit_resp_ok", false},
    {kSubmitRespFail, "submit_resp_fail", false},
    {kSubmitResultStored, "submit_result_stored", false},
    {kReportReceived, "report_received", false},
    {kReportStored, "report_stored", false},
    {kDbConnectionOpen, "db_connection_open", true},
    {kDbConnectionMtOpen, "db_connection_mt_open", true},
    {kDbConnectionMoOpen, "db_connection_mo_open", true},
    {kDbConnectionSrOpen, "db_connection_sr_open", true},
    {kStarted, "started", true},
    {kReportDelivered, "report_delivrd", false},
    {kReportOther, "report_other", false},
    {kMoForwardOk, "mo_forward_ok", false},
    {kMoForwardFail, "mo_forward_fail", false},
    {kSubmitFlowRetried, "submit_flow_retried", false},
    {kSubmitPaced, "submit_paced", false},
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
