#include "SpellingFix.h"

#include <utf8proc.h>

#include <cstdlib>

#include "CandidateScore.h"
#include "Text.h"

namespace nimbrel_tag {

namespace {

// Letters and digits only, case-folded, without accents.
std::string Skeleton(const std::wstring& text) {
  const std::string utf8 = Utf8(text);
  utf8proc_uint8_t* mapped = nullptr;
  const auto options = static_cast<utf8proc_option_t>(UTF8PROC_NULLTERM | UTF8PROC_STABLE | UTF8PROC_COMPOSE |
                                                       UTF8PROC_COMPAT | UTF8PROC_CASEFOLD | UTF8PROC_STRIPMARK);
  if (utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(utf8.c_str()), 0, &mapped, options) < 0) return utf8;
  std::string out;
  const utf8proc_uint8_t* p = mapped;
  utf8proc_int32_t c = 0;
  for (utf8proc_ssize_t n; *p && (n = utf8proc_iterate(p, -1, &c)) > 0; p += n) {
    const utf8proc_category_t category = utf8proc_category(c);
    const bool keep = (category >= UTF8PROC_CATEGORY_LU && category <= UTF8PROC_CATEGORY_LO) ||
                      (category >= UTF8PROC_CATEGORY_ND && category <= UTF8PROC_CATEGORY_NO);
    if (keep) out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
  }
  std::free(mapped);
  return out;
}

bool IsLyricsOnly(const Meridex::CTags& tags) {
  CString text;
  return !tags.GetTitle(text) && tags.GetArtistCount() == 0;
}

}  // namespace

bool SpellingFix::OnlySpellingDiffers(const std::wstring& a, const std::wstring& b) {
  if (a == b) return false;
  const std::string x = Skeleton(a);
  return !x.empty() && x == Skeleton(b);
}

void SpellingFix::Apply(Meridex::CTags& tags, const Meridex::CTags& candidate) {
  const std::wstring artist = FieldValue(candidate, Field::kArtist);
  if (OnlySpellingDiffers(FieldValue(tags, Field::kArtist), artist)) {
    tags.RemoveAllArtists();
    for (int i = 0; i < candidate.GetArtistCount(); ++i) {
      CString name;
      if (candidate.GetArtist(i, name)) tags.AddArtist(name, false);
    }
  }
  const std::wstring title = FieldValue(candidate, Field::kTitle);
  if (OnlySpellingDiffers(FieldValue(tags, Field::kTitle), title)) tags.SetTitle(CString(title));
}

const Meridex::CTags* SpellingFix::Chosen(const TaggedFile& file) {
  const std::wstring album = FieldValue(file.output, Field::kAlbum);
  const Meridex::CTags* best = nullptr;
  int bestScore = -1;
  for (const Meridex::CTags& candidate : file.results) {
    if (IsLyricsOnly(candidate) || !SameValue(Field::kAlbum, FieldValue(candidate, Field::kAlbum), album)) continue;
    const int score = ScoreCandidate(file.input, candidate).score;
    if (score > bestScore) best = &candidate, bestScore = score;
  }
  return best;
}

bool SpellingFix::Decide(std::vector<TaggedFile>& files) {
  for (TaggedFile& file : files)
    if (file.id)
      if (const Meridex::CTags* chosen = Chosen(file)) Apply(file.output, *chosen);
  return true;
}

}  // namespace nimbrel_tag
