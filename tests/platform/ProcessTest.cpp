// Process identity, error texts and the debug output channel.
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"

using namespace platform;
namespace fs = std::filesystem;

TEST(Process, IdsAndExecutablePathMatchProc) {
  // /proc/thread-self links to "<pid>/task/<tid>".
  EXPECT_EQ(fs::read_symlink("/proc/thread-self").string(),
            std::to_string(CurrentProcessId()) + "/task/" + std::to_string(CurrentThreadId()));
  std::uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, CurrentThreadId());
  EXPECT_EQ(ExecutablePath(), FromUtf8(fs::read_symlink("/proc/self/exe").string()));
}

TEST(SystemError, LastErrorAndMessages) {
  SetLastError(ENOENT);
  const std::wstring message = ErrorMessage(ENOENT);
  EXPECT_EQ(LastError(), ENOENT);  // asking for the text keeps the error
  EXPECT_EQ(message, FromUtf8(std::strerror(ENOENT)));
  EXPECT_NE(message, ErrorMessage(EACCES));
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
