#include "servercache/RecentKeys.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RecentKeys, StaysWithinItsLimitAndLetsTheOldestGo) {
  CRecentKeys keys(100);
  for (int i = 0; i < 10000; ++i) EXPECT_TRUE(keys.Insert(std::to_wstring(i)));
  EXPECT_EQ(100u, keys.Size());
  EXPECT_FALSE(keys.Contains(L"9899"));
  EXPECT_TRUE(keys.Contains(L"9900"));
  EXPECT_TRUE(keys.Contains(L"9999"));
  // A key held already is not added again and does not push another out.
  EXPECT_FALSE(keys.Insert(L"9950"));
  EXPECT_TRUE(keys.Contains(L"9900"));
  EXPECT_TRUE(keys.Insert(L"new"));
  EXPECT_FALSE(keys.Contains(L"9900"));
  EXPECT_TRUE(keys.Contains(L"9901"));
}

}  // namespace
