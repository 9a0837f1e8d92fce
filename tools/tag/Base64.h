// Base64 (RFC 4648, with padding), for the exact bytes of a file name in JSON.
#pragma once

#include <string>
#include <string_view>

namespace nimbrel_tag {

std::string Base64(std::string_view bytes);

}  // namespace nimbrel_tag
