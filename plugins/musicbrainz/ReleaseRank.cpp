#include "ReleaseRank.h"

#include <cstdint>
#include <cwctype>
#include <tuple>

#include "../common/Text.h"

namespace musicbrainz {

using plugin_json::Value;

namespace {

int TypeRank(const std::string& primaryType) {
  if (primaryType == "Album") return 0;
  if (primaryType == "EP") return 1;
  if (primaryType == "Single") return 2;
  return 3;
}

// "" (no date) after every date; a shorter date of the same beginning first.
bool EarlierDate(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return !a.empty() && b.empty();
  return a < b;
}

// Lower case for ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic
// capitals, whatever the process's locale (towlower of the "C" locale
// knows ASCII only).
wchar_t Folded(wchar_t c) {
  const auto u = static_cast<std::uint32_t>(c);
  if (u < 0x80) return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<wchar_t>(u + 0x20);
  if ((u >= 0x100 && u <= 0x137) || (u >= 0x14A && u <= 0x177)) return static_cast<wchar_t>(u | 1);
  if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) return static_cast<wchar_t>(u % 2 ? u + 1 : u);
  if (u >= 0x391 && u <= 0x3A9 && u != 0x3A2) return static_cast<wchar_t>(u + 0x20);
  if (u >= 0x410 && u <= 0x42F) return static_cast<wchar_t>(u + 0x20);
  if (u >= 0x400 && u <= 0x40F) return static_cast<wchar_t>(u + 0x50);
  return c;
}

}  // namespace

bool ReleaseRank::operator<(const ReleaseRank& other) const {
  const auto key = [](const ReleaseRank& r) { return std::tie(r.credit, r.status, r.type, r.secondary); };
  if (key(*this) != key(other)) return key(*this) < key(other);
  return EarlierDate(date, other.date);
}

std::wstring ArtistKey(const std::wstring& name) {
  std::wstring key;
  for (const wchar_t c : name) {
    // Beyond ASCII every character counts but blanks and the general
    // punctuation block (typographic quotes and dashes: "Guns N’ Roses").
    const bool counts = c < 0x80 ? std::iswalnum(static_cast<wint_t>(c)) != 0
                                 : !std::iswspace(static_cast<wint_t>(c)) && !(c >= 0x2000 && c <= 0x206F) && c != 0xA0;
    if (counts) key += Folded(c);
  }
  return key;
}

bool IsVariousArtists(const Value* credit) {
  if (!credit || !credit->IsArray() || credit->Items().size() != 1) return false;
  const Value& part = credit->Items().front();
  if (const Value* artist = part.Find("artist"); artist && !artist->TextOf("id").empty()) {
    return artist->TextOf("id") == kVariousArtistsId;
  }
  return plugin_text::SameText(plugin_text::Widen(part.TextOf("name")), L"Various Artists");
}

ReleaseRank RankOf(const Value& release, const std::wstring& credit, const std::wstring& askedArtist) {
  ReleaseRank rank;
  const std::wstring asked = ArtistKey(askedArtist);
  rank.credit = !asked.empty() && ArtistKey(credit) == asked ? 0 : 1;
  rank.status = release.TextOf("status") == "Official" ? 0 : 1;
  if (const Value* group = release.Find("release-group"); group && group->IsObject()) {
    rank.type = TypeRank(group->TextOf("primary-type"));
    const Value* secondary = group->Find("secondary-types");
    rank.secondary = secondary && secondary->IsArray() && !secondary->Items().empty() ? 1 : 0;
  }
  rank.date = release.TextOf("date");
  return rank;
}

}  // namespace musicbrainz
