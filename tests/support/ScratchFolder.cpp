#include "support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/Process.h"
#include "platform/TextCodec.h"

namespace testing_support {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
  static std::atomic<unsigned> counter{0};
  const char* tmp = std::getenv("TMPDIR");
  fs::path base = (tmp && *tmp) ? fs::path(tmp) : fs::path("/tmp");
  std::random_device rd;
  const std::string name = "nimbrel-test-" + std::to_string(platform::CurrentProcessId()) + "-" +
                           std::to_string(counter++) + "-" + std::to_string(rd());
  fs::path p = base / name;
  fs::create_directories(p);
  path_ = platform::FromNativeName(p.string()) + L"/";
}

ScratchFolder::~ScratchFolder() {
  std::error_code ec;
  const fs::path p(platform::ToNativeName(path_));
  // Make everything removable again if a test took permissions away.
  for (auto it = fs::recursive_directory_iterator(p, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(p, ec);
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(platform::ToNativeName(path), std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << platform::ToNativeName(path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good());
}

std::string ReadFileBytes(const std::wstring& path) {
  std::ifstream in(platform::ToNativeName(path), std::ios::binary);
  EXPECT_TRUE(in.good()) << platform::ToNativeName(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testing_support
