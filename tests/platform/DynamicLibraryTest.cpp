#include "platform/DynamicLibrary.h"

#include <gtest/gtest.h>

#include "platform/TextCodec.h"
#include "support/ScratchFolder.h"

using namespace platform;

TEST(DynamicLibrary, LoadsModuleAndFindsSymbols) {
  using Answer = int (*)();
  DynamicLibrary library;
  std::wstring error;
  ASSERT_TRUE(library.Open(FromUtf8(NIMBREL_TEST_MODULE_PATH), &error)) << ToUtf8(error);
  auto answer = reinterpret_cast<Answer>(library.Symbol("nimbrel_test_module_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(library.Symbol("no_such_symbol"), nullptr);

  DynamicLibrary moved(std::move(library));
  EXPECT_EQ(library.Symbol("nimbrel_test_module_answer"), nullptr);
  DynamicLibrary assigned;
  ASSERT_TRUE(assigned.Open(L"libc.so.6"));  // a bare name is searched for
  EXPECT_NE(assigned.Symbol("strlen"), nullptr);
  assigned = std::move(moved);
  EXPECT_EQ(reinterpret_cast<Answer>(assigned.Symbol("nimbrel_test_module_answer"))(), 42);
  assigned.Close();
  EXPECT_FALSE(assigned.IsOpen());
}

TEST(DynamicLibrary, FailuresReportTheLoaderText) {
  testing_support::ScratchFolder dir;
  const std::wstring notLibrary = dir / L"plugin.so";
  testing_support::WriteFileBytes(notLibrary, "this is not an ELF file");
  DynamicLibrary library;
  std::wstring error;
  EXPECT_FALSE(library.Open(notLibrary, &error));
  EXPECT_FALSE(library.IsOpen());
  EXPECT_NE(error.find(notLibrary), std::wstring::npos) << ToUtf8(error);
  EXPECT_FALSE(library.Open(dir / L"missing.so", &error));
  EXPECT_NE(error.find(L"missing.so"), std::wstring::npos) << ToUtf8(error);
}
