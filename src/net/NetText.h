// Text helpers shared by the network side: percent-encoding for form data and
// addresses, extraction of a value between two markers, the randomised
// browser-like user agent sent with every download, and the pseudo-random
// numbers behind it.
//
// Text arguments are wide; a CString or std::wstring converts implicitly to
// std::wstring_view, and a returned std::wstring converts to CString.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nimbrel {

// Percent-encodes `text` for a form body or an address: "0"-"9", "A"-"Z",
// "a"-"z", "-", "_", "." and "~" are kept; every other character is written as
// its UTF-8 bytes, each as "%XX" (upper-case hexadecimal). A blank becomes
// "%20", never "+". A character above U+FFFF gives its 4-byte UTF-8 sequence;
// a lone surrogate value gives the bytes of U+FFFD.
std::wstring UrlEncode(std::wstring_view text);

// An address as handed to the HTTP client, in ASCII: blanks around it are
// removed, then its UTF-8 bytes are kept except that every byte above 0x7F,
// every blank and every control character is written as "%XX" (upper-case
// hexadecimal). Nothing else is touched ("%", "#", "?" keep their meaning),
// and no character is ever replaced by a substitute. A lone surrogate value
// gives the bytes of U+FFFD.
std::string RequestAddress(std::wstring_view url);

// Decodes `text`: "+" becomes a blank and "%XX" (hexadecimal, either case) a
// byte. A run of such bytes that forms valid UTF-8 becomes its characters;
// a byte that is not part of valid UTF-8 becomes the character of the same
// value (so "%E9" alone gives U+00E9). Every other character is copied.
// When a "%" has fewer than two characters after it, or they are not
// hexadecimal, or the value is 0, the whole input is returned unchanged.
std::wstring UrlDecode(std::wstring_view text);

// Finds the first `start` in `text`, then the first `end` searching from the
// position of `start` (not after it). On success stores in `out` the text
// strictly between the two markers, or with `includeMarkers` the text from the
// beginning of `start` to the end of `end`, and returns true. Returns false
// and leaves `out` unchanged when either marker is missing or the `end` found
// begins inside `start` (overlapping markers).
bool ExtractBetween(std::wstring_view start, std::wstring_view end, std::wstring_view text, std::wstring& out,
                    bool includeMarkers);

// A randomised Internet Explorer user agent:
// "Mozilla/4.0 (compatible; MSIE <6|7|8>.0; Windows NT <5.1|6.0|6.1>[; en-US]"
// followed by a random subset, in fixed order, of "; Trident/4.0", "; SV1",
// "; YPC 3.<0-2>.<0-9>", "; GTB<0-5>.<0-9>", "; .NET CLR 1.0.<0-32767>",
// "; .NET CLR 1.1.<0-32767>", "; .NET CLR 2.0.<0-32767>",
// "; .NET CLR 3.0.<0-32767>.<0-32767>", "; .NET CLR 3.5.<0-32767>.<0-32767>",
// "; yie8", "; yplus 5.<0-2>.<0-29>", and ")". Safe on any thread.
std::wstring MakeUserAgent();

// A pseudo-random number: reseeds the calling thread's generator (the classic
// C runtime algorithm, outputs 0 to 32767) from a high-resolution counter and
// returns its next output modulo `n` for `n` >= 1, the plain output otherwise.
// Each thread has its own generator, so calls never race.
std::int32_t RandomNumber(std::int32_t n);

}  // namespace nimbrel
