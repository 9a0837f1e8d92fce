// The user's folders by the XDG base directory rules.
#pragma once

#include <string>

namespace nimbrel_tag {

// "$XDG_CONFIG_HOME/nimbrel/" (default "~/.config/nimbrel/"), and likewise for
// state ("~/.local/state") and data ("~/.local/share"). A variable that is not
// an absolute path is ignored, as the rules say. Empty when neither the
// variable nor HOME gives an absolute path.
std::string ConfigFolder();
std::string StateFolder();
std::string DataFolder();

// Creates `folder` and its parents with mode 0700 where missing. False when
// it cannot be made or is not a folder.
bool MakePrivateFolder(const std::string& folder);

}  // namespace nimbrel_tag
