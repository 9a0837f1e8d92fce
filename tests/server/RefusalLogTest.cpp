// The refusal log under a flood: a few lines, then one summary per window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/RefusalLog.h"

namespace {

using cache_server::LogLevel;

TEST(RefusalLogTest, AFloodIsSummarisedOncePerWindow) {
  std::vector<std::string> lines;
  cache_server::RefusalLog log(3, 10000, [&lines](LogLevel, std::string_view text) { lines.emplace_back(text); });
  for (int i = 0; i < 1000; ++i) {
    const bool other = i % 100 == 0;
    log.Note(i, LogLevel::kWarning, other ? 400 : 503, other ? "127.0.0.3" : "127.0.0.2",
             other ? "400 127.0.0.3: bad" : "503 127.0.0.2: too many connections from this address");
  }
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("400 127.0.0.3: bad", lines[0]);
  log.Flush(9999);  // the window has not ended
  EXPECT_EQ(3u, lines.size());
  log.Flush(10000);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("not logged in the last 10 s: 997 refusals (9 x 400, 988 x 503), 988 from 127.0.0.2", lines[3]);
  // A new window logs again; a quiet one writes nothing.
  log.Note(20000, LogLevel::kWarning, 429, "127.0.0.4", "429 127.0.0.4: rate limit");
  log.Flush(30000);
  ASSERT_EQ(5u, lines.size());
  EXPECT_EQ("429 127.0.0.4: rate limit", lines[4]);
  // A refusal after the window's end closes it first.
  for (int i = 0; i < 5; ++i) log.Note(40000, LogLevel::kWarning, 503, "::1", "503 ::1: too many connections");
  log.Note(50000, LogLevel::kWarning, 503, "::1", "503 ::1: too many connections");
  ASSERT_EQ(10u, lines.size());
  EXPECT_EQ("not logged in the last 10 s: 2 refusals (2 x 503), 2 from ::1", lines[8]);
  EXPECT_EQ("503 ::1: too many connections", lines[9]);
}

}  // namespace
