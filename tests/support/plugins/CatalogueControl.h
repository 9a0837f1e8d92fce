// What a test and the catalogue plug-in modules share besides the plug-in
// contract: the property names by which a test drives the plug-in.
//
// The catalogue reads its albums, tracks and lyrics from a data file the test
// writes (UTF-8, ASCII expected; one entry per line, fields split by tabs):
//
//   name <source name>                  "SourceName" (default: the module's name)
//   search <n>                          "SupportedSearch" (refused when absent)
//   constants <albums> <titles>         the two iteration constants (refused when absent)
//   statistics <pages> <successes> <ms> the plug-in's download statistics
//   album <artist>\t<album>\t<key>\t<cover address>\t<title>\t<title>...
//                                       (a title "<title>@<seconds>" gives the track a length)
//                                       (year 2000 + its place among the albums, given
//                                       by GetAlbumDetails only, not by the searches;
//                                       a key "<key>/<n>" is disc n of that key)
//   generate <artist>\t<albums>\t<tracks per album>
//                                       albums "Album i", keys "gen-i", titles "Song i-j"
//   lyric <artist>\t<title>\t<link>\t<text>   (a link without entry has no text)
//   asin <number>\t<cover address>      answers of "GetCover_by_asin"
//   answer <n>                          every FindAlbums returns n (for instance -3)
//   artistcount <n>                     count-only artist-wide FindAlbums returns n
//   throw                               every slot throws (except the control properties)
//   stall <slot> <k>                    the k-th call of the slot waits until the
//                                       engine is stopped, after calling the stall hook
//   latency <ms> [<jitter ms>]          every search call (finding albums, details,
//                                       lyrics texts) takes ms plus a random 0..jitter
//   failrate <percent>                  a search call throws with that chance
//
// Loading a file resets the call counts.
#pragma once

namespace catalogue {

// SetProperty with a CString* naming the data file; 1 when it was read.
constexpr const wchar_t* kDataFile = L"CatalogueFile";
// SetProperty with a StallHook* (null: none).
constexpr const wchar_t* kStallHook = L"CatalogueStallHook";
// GetProperty of kCallsPrefix + slot name gives the slot's call count
// (std::int32_t). Slot names: "SetProperty", "GetProperty", "CallMethod",
// "FindAlbumsByArtist", "GetAlbumDetails" or "GetLyricsText", "Connect",
// "FindAlbums" (full searches) and "FindAlbumsCount" (count-only).
constexpr const wchar_t* kCallsPrefix = L"Calls.";

struct StallHook {
  void (*function)(void* context);
  void* context;
};

}  // namespace catalogue
