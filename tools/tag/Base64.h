// Base64 (RFC 4648, with padding), for the exact bytes of a file name in JSON.
#pragma once

#include <string>
#include <string_view>

namespace nimbrel_tag {

std::string Base64(std::string_view bytes);

}  // namespace nimbrel_tag

namespace nimbrel_tag {

// The bytes of Base64 text (padding required, no blanks); false for text
// that is not Base64.
bool FromBase64(std::string_view text, std::string& bytes);

}  // namespace nimbrel_tag
