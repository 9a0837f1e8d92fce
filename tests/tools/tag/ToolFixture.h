// The folders of a test that runs nimbrel-tag: music, plug-ins (with the
// catalogue test plug-in) and a home of its own, in a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "Text.h"
#include "support/ScratchFolder.h"

namespace tag_tool_test {

class ToolFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& folder : {music, plugins + "General", plugins + "Lyrics", home})
      std::filesystem::create_directories(folder);
    std::filesystem::copy_file(NIMBREL_TEST_PLUGIN_DIR "Catalogue.so", plugins + "General/Catalogue.so");
  }

  // Titles differ by letters ("Tune Bc"), which the matching never takes for one another.
  static std::string Title(int album, int song) {
    return std::string("Tune ") + static_cast<char>('A' + album) + static_cast<char>('a' + song);
  }

  // The test's environment with its own home and catalogue (root/catalogue.txt).
  std::map<std::string, std::optional<std::string>> Environment() const {
    return {{"HOME", home},
            {"XDG_CONFIG_HOME", std::nullopt},
            {"XDG_STATE_HOME", std::nullopt},
            {"NIMBREL_TEST_CATALOGUE_FILE", root + "catalogue.txt"}};
  }

  testing_support::ScratchFolder scratch;
  const std::string root = plugin_text::Narrow(scratch.path());
  const std::string music = root + "music/";
  const std::string plugins = root + "plugins/";
  const std::string home = root + "home/";
};

}  // namespace tag_tool_test
