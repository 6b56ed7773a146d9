#pragma once
// The process object in this test program: a home directory of the test's
// own, and a status block under a name of the test's own, which the
// environment points the service at and which is removed after the test.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "base/log.h"
#include "base/status_block.h"
#include "service/brivane.h"
#include "support/process.h"

namespace brivane::service {

class InProcessServiceTest : public ::testing::Test {
 protected:
  // blockPrefix starts the block's name; the process id and the test's
  // name follow.
  explicit InProcessServiceTest(std::string blockPrefix) : blockPrefix_(std::move(blockPrefix)) {}

  void SetUp() override {
    blockName_ = blockPrefix_ + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
    setenv(base::kStatusBlockEnv, blockName_.c_str(), 1);
  }
  void TearDown() override {
    base::StatusBlock().Close();
    base::CloseLog();
    shm_unlink(blockName_.c_str());
    unsetenv(base::kStatusBlockEnv);
  }
  // The service on the test's home, which stays in the test's directory and
  // tells systemd nothing.
  std::unique_ptr<BRIVANE> Make() {
    ServiceOptions options;
    options.home = home_.Path();
    options.changeDirectory = false;
    options.notifySystemd = false;
    return std::make_unique<BRIVANE>(options);
  }

  test::TempDir home_;
  std::string blockName_;

 private:
  std::string blockPrefix_;
};

}  // namespace brivane::service
