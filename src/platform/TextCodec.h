// Conversions between in-memory wide text and the byte encodings that files
// and wire formats use: UTF-16LE, UTF-8 and the ANSI code page, which is
// Windows-1252 on every platform so that files are byte-identical to those of
// a Windows build.
//
// Wide text holds one Unicode scalar per wchar_t; a lone surrogate value that
// came from UTF-16 input is kept as is, so UTF-16 text round-trips unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Code page numbers as the rest of the system names them.
constexpr unsigned kCodePageAnsi = 0;     // Windows-1252
constexpr unsigned kCodePageUtf8 = 65001;

// UTF-16LE bytes of `text`: characters above U+FFFF become surrogate pairs,
// lone surrogates are written as single units. No byte-order mark.
std::string ToUtf16Le(std::wstring_view text);
// Decodes UTF-16LE bytes (an odd trailing byte is dropped). Valid pairs are
// combined; a lone surrogate unit is kept as its own value.
std::wstring FromUtf16Le(std::string_view bytes);

// UTF-8 of `text`; surrogate values and values above U+10FFFF become U+FFFD.
std::string ToUtf8(std::wstring_view text);
// Decodes UTF-8; each invalid sequence (overlong, surrogate, truncated,
// out-of-range) becomes one U+FFFD per maximal invalid subpart.
std::wstring FromUtf8(std::string_view bytes);
// True when `bytes` is entirely valid UTF-8.
bool IsValidUtf8(std::string_view bytes);

// Native file names. A Linux file name is any byte string; names are UTF-8
// by convention but need not be (a Latin-1 name copied from elsewhere). So
// that every name can be listed, read and deleted, a name is decoded as UTF-8
// with each byte that is not part of a valid sequence kept as the lone
// surrogate U+DC80 + (byte - 0x80) ("surrogate escape"; ASCII bytes are
// always valid). Valid UTF-8 never decodes to a lone surrogate, so the escape
// is unambiguous: ToNativeName(FromNativeName(b)) == b for every byte string.
// ToNativeName writes U+DC80..U+DCFF back as the single byte and everything
// else as UTF-8 (other surrogates and values beyond U+10FFFF as U+FFFD). Logs
// show an escaped byte as U+FFFD (UTF-8) or as the lone unit (UTF-16).
std::wstring FromNativeName(std::string_view bytes);
std::string ToNativeName(std::wstring_view name);

// Windows-1252 bytes of `text`; a character the code page cannot hold becomes
// "#". A letter followed by a combining mark is composed first when the code
// page holds the composed letter (canonical composition restricted to the
// precomposed letters of Latin-1 and Windows-1252: "e" + U+0301 is 0xE9); a
// mark that cannot be composed becomes "#".
std::string ToWindows1252(std::wstring_view text);
// Decodes Windows-1252; the five unassigned bytes map to the C1 controls of
// the same value, as Windows does.
std::wstring FromWindows1252(std::string_view bytes);

// Encoding by code page number: 65001 is UTF-8, anything else Windows-1252.
std::string ToCodePage(std::wstring_view text, unsigned codePage);
std::wstring FromCodePage(std::string_view bytes, unsigned codePage);

// Length of `text` in UTF-16 code units.
std::size_t Utf16Length(std::wstring_view text);

}  // namespace platform
