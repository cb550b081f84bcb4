#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/platform.h"

namespace {

unsigned wait_for_go(void* arg) {
  auto* go = static_cast<std::atomic<bool>*>(arg);
  while (!go->load()) plat_sleep_ms(1);
  return 0;
}

TEST(ThreadsTest, WaitEndsWithTheThreadNotWithItsTimeOut) {
  std::atomic<bool> go{false};
  plat_thread t = plat_thread_start(wait_for_go, &go);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(plat_thread_wait(t, 0), 0);
  EXPECT_EQ(plat_thread_wait(t, 30), 0);  // times out while the thread runs
  EXPECT_EQ(plat_thread_done(t), 0);

  go = true;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(plat_thread_wait(t, 20000), 1);
  // The end wakes the waiter: a missed wake-up would sit out the whole 20 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(plat_thread_wait(t, 0), 1);
  EXPECT_EQ(plat_thread_done(t), 1);
  plat_thread_close(t);
  EXPECT_EQ(plat_thread_wait(nullptr, 0), 1);
}

}  // namespace
