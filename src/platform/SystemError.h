// Error codes of failed platform calls and their texts.
//
// Every platform function that reports failure by its result leaves the
// system's error number readable through LastError() on the same thread.
#pragma once

#include <string>

namespace platform {

int LastError();
void SetLastError(int code);
// The system's text for an error number, without trailing line breaks;
// empty when there is none.
std::wstring ErrorMessage(int code);

}  // namespace platform
