// Process identity, error texts and the debug output channel.
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/SystemError.h"

using namespace platform;

TEST(Process, ThreadIdsDifferAndAskingForAnErrorTextKeepsTheError) {
  std::uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, CurrentThreadId());
  SetLastError(ENOENT);
  EXPECT_NE(ErrorMessage(ENOENT), ErrorMessage(EACCES));
  EXPECT_EQ(LastError(), ENOENT);
}

TEST(DebugOutput, SinkSeesEveryTextFromConcurrentCallers) {
  std::vector<std::wstring> seen;  // not synchronised: the sink is called one at a time
  SetDebugOutputSink([&seen](std::wstring_view text) { seen.emplace_back(text); });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) OutputDebugString(L"thread " + std::to_wstring(t) + L" \u00E4");
    });
  }
  for (auto& thread : threads) thread.join();
  SetDebugOutputSink(nullptr);
  OutputDebugString(L"after removal");
  ASSERT_EQ(seen.size(), 400u);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), L"thread 3 \u00E4"), 100);
}
