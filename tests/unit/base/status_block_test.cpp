#include "base/status_block.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace brivane::base {
namespace {

std::string UniqueName() { return "/brivane-test-sb-" + std::to_string(getpid()); }

TEST(StatusBlock, WritesLandAtTheirOffsetsAndSurviveReopening) {
  const std::string name = UniqueName();
  shm_unlink(name.c_str());
  {
    ServiceStatusBlock block;
    ASSERT_EQ(block.Create(name), 0);
    block.Add(kMoReceived);
    block.Add(kMoReceived, 2);
    block.Set(kStarted, 1);
    block.SetStartTime(1700000000);
  }
  ServiceStatusBlock again;
  ASSERT_EQ(again.Create(name), 0);  // existing block reused unchanged
  EXPECT_EQ(again.Get(kMoReceived), 3u);
  EXPECT_EQ(again.Get(kStarted), 1u);
  EXPECT_EQ(again.GetStartTime(), 1700000000);

  ServiceStatusBlock reader;
  ASSERT_EQ(reader.OpenReadOnly(name), 0);
  EXPECT_EQ(reader.Get(kMoReceived), 3u);
  reader.Add(kMoReceived);  // a read-only view never writes
  EXPECT_EQ(again.Get(kMoReceived), 3u);
  shm_unlink(name.c_str());
}

TEST(StatusBlock, WritersSkipAnUnmappedBlock) {
  ServiceStatusBlock block;
  block.Add(kMoStored);
  block.Set(kStarted, 1);
  EXPECT_EQ(block.Get(kMoStored), 0u);
  EXPECT_FALSE(block.IsOpen());
}

TEST(StatusBlock, ConcurrentIncrementsAreNotLost) {
  const std::string name = UniqueName() + "-mt";
  shm_unlink(name.c_str());
  ServiceStatusBlock block;
  ASSERT_EQ(block.Create(name), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) block.Add(kSubmitWritten);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(block.Get(kSubmitWritten), 40000u);
  shm_unlink(name.c_str());
}

TEST(StatusBlock, EnvironmentOverridesTheName) {
  setenv(kStatusBlockEnv, "other-block", 1);
  EXPECT_EQ(StatusBlockName(), "/other-block");
  unsetenv(kStatusBlockEnv);
  EXPECT_EQ(StatusBlockName(), "/FILEMAP_QUILLARK_BRIVANE");
}

}  // namespace
}  // namespace brivane::base
