#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "PluginFolder.h"
#include "sources/DllSources.h"

namespace {

// Many threads mix the three ways of acquiring with releases on three
// plug-ins. A lost wake-up or a deadlock hangs the test (CTest's time-out
// fails it); a fifth user of a plug-in or a waiter left queued fails it.
TEST(DllSourcesConcurrency, MixedAcquiresNeverExceedFourUsersAndNeverStrandAWaiter) {
  testing_support::PluginFolder work;
  const std::vector<std::wstring> plugins = {L"Alpha", L"Beta", L"Gamma"};
  for (const auto& plugin : plugins) work.Install(L"General", plugin);
  CDllSources sources(L"General");
  ASSERT_EQ(sources.LoadSources(work.path().c_str()), 3u);

  std::map<std::wstring, std::atomic<int>> users;
  for (const auto& plugin : plugins) users[plugin] = 0;
  std::atomic<int> overbooked{0};
  std::atomic<int> acquired{0};

  constexpr int kThreads = 16;
  constexpr int kRounds = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const int pick = (round * 7 + t) % 3;
        std::list<std::wstring> tried;
        if ((round + t) % 4 == 0) tried.push_back(plugins[(pick + 1) % 3]);
        CString name;
        bool ok = false;
        switch ((round + t * 5) % 3) {
          case 0:
            name = plugins[pick].c_str();
            ok = sources.AcquireSource(name);
            break;
          case 1:
            ok = sources.AcquireLeastBusySource(name, tried);
            break;
          default:
            ok = sources.AcquireNextSource(name, tried);
            break;
        }
        if (!ok) continue;
        ++acquired;
        if (++users[name.str()] > 4) ++overbooked;
        std::this_thread::yield();
        --users[name.str()];
        sources.ReleaseSource(name);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(overbooked.load(), 0);
  EXPECT_EQ(acquired.load(), kThreads * kRounds);  // every caller had an untried plug-in
  EXPECT_EQ(sources.WaitingThreadCount(), 0u);
  for (const auto& plugin : plugins) EXPECT_EQ(sources.GetUseCount(plugin.c_str()), 0u);
}

}  // namespace
