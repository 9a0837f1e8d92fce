#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

#include "platform/TextCodec.h"

namespace platform {

namespace {

// strerror_r comes in two forms: the GNU one returns the text (which may or
// may not be in the buffer), the POSIX one returns 0 and fills the buffer.
[[maybe_unused]] const char* ErrorText(char* result, const char*) { return result; }
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }

}  // namespace

int LastError() { return errno; }

void SetLastError(int code) { errno = code; }

std::wstring ErrorMessage(int code) {
  const int saved = errno;  // asking for a text must not change the error being reported
  char buffer[256] = {};
  const char* text = ErrorText(::strerror_r(code, buffer, sizeof buffer), buffer);
  std::string_view view = text ? std::string_view(text) : std::string_view();
  while (!view.empty() && (view.back() == '\n' || view.back() == '\r')) view.remove_suffix(1);
  std::wstring message = FromUtf8(view);
  errno = saved;
  return message;
}

}  // namespace platform
