#include "ReleaseRank.h"

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

}  // namespace

bool ReleaseRank::operator<(const ReleaseRank& other) const {
  const auto key = [](const ReleaseRank& r) { return std::tie(r.credit, r.status, r.type, r.secondary); };
  if (key(*this) != key(other)) return key(*this) < key(other);
  return EarlierDate(date, other.date);
}

std::wstring ArtistKey(const std::wstring& name) {
  std::wstring key;
  for (const wchar_t c : name) {
    if (c < 0x80 ? std::iswalnum(static_cast<wint_t>(c)) != 0 : !std::iswspace(static_cast<wint_t>(c))) {
      key += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    }
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
