#include "meridex/Tags.h"

#include <gtest/gtest.h>

namespace {

using Meridex::CPictureTag;
using Meridex::CTags;

// Every single-valued text of a tag set, as getter/setter pairs.
struct TextField {
  const char* name;
  bool (CTags::*get)(CString&) const;
  void (CTags::*set)(const CString&);
};
const TextField kTextFields[] = {
    {"Title", &CTags::GetTitle, &CTags::SetTitle},
    {"Album", &CTags::GetAlbum, &CTags::SetAlbum},
    {"Genre", &CTags::GetGenre, &CTags::SetGenre},
    {"Year", &CTags::GetYear, &CTags::SetYear},
    {"TrackNumber", &CTags::GetTrackNumber, &CTags::SetTrackNumber},
    {"Comment", &CTags::GetComment, &CTags::SetComment},
    {"OriginalArtist", &CTags::GetOriginalArtist, &CTags::SetOriginalArtist},
    {"Copyright", &CTags::GetCopyright, &CTags::SetCopyright},
    {"EncodedBy", &CTags::GetEncodedBy, &CTags::SetEncodedBy},
    {"Lyrics", &CTags::GetLyrics, &CTags::SetLyrics},
    {"Url", &CTags::GetUrl, &CTags::SetUrl},
};

// A distinct value per field, so a mixed-up member shows.
CString ValueFor(const TextField& f, const wchar_t* suffix = L"") {
  return CString(std::wstring(f.name, f.name + std::char_traits<char>::length(f.name))) + L" \x00e9" + suffix;
}

void Fill(CTags& tags, const wchar_t* suffix) {
  for (const TextField& f : kTextFields) (tags.*f.set)(ValueFor(f, suffix));
  tags.AddArtist(CString(L"Artist") + suffix, false);
  tags.AddComposer(CString(L"Composer") + suffix, false);
}

void ExpectFilled(const CTags& tags, const wchar_t* suffix) {
  CString out;
  for (const TextField& f : kTextFields) {
    EXPECT_TRUE((tags.*f.get)(out)) << f.name;
    EXPECT_EQ(out, ValueFor(f, suffix)) << f.name;
  }
  ASSERT_EQ(tags.GetArtistCount(), 1);
  EXPECT_TRUE(tags.GetArtist(0, out));
  EXPECT_EQ(out, CString(L"Artist") + suffix);
  ASSERT_EQ(tags.GetComposerCount(), 1);
  EXPECT_TRUE(tags.GetComposer(0, out));
  EXPECT_EQ(out, CString(L"Composer") + suffix);
}

TEST(TagsTest, SeveralArtistsAndFirstValidArtistSkipsBlankOnes) {
  CTags tags;
  CString out;
  EXPECT_FALSE(tags.AddArtist(L"", false));  // empty text is never added
  EXPECT_TRUE(tags.AddArtist(L"  ", false));
  EXPECT_TRUE(tags.AddArtist(L"\t \n", false));
  EXPECT_FALSE(tags.GetFirstValidArtist(out));  // only blank artists so far
  EXPECT_TRUE(tags.AddArtist(L"  ABBA ", false));
  EXPECT_TRUE(tags.AddArtist(L"Queen", false));
  ASSERT_EQ(tags.GetArtistCount(), 4);

  EXPECT_TRUE(tags.GetArtist(1, out));
  EXPECT_EQ(out, L"\t \n");  // stored as given
  EXPECT_FALSE(tags.GetArtist(4, out));
  EXPECT_FALSE(tags.GetArtist(-1, out));
  EXPECT_TRUE(tags.GetFirstValidArtist(out));
  EXPECT_EQ(out, L"ABBA");
}

TEST(TagsTest, SkipIfPresentComparesIgnoringCaseBeyondAscii) {
  CTags tags;
  ASSERT_TRUE(tags.AddArtist(L"M\x00f6tley Cr\x00fc" L"e", true));     // Mötley Crüe
  EXPECT_FALSE(tags.AddArtist(L"M\x00d6TLEY CR\x00dc" L"E", true));    // MÖTLEY CRÜE
  ASSERT_TRUE(tags.AddArtist(L"\x041a\x0438\x043d\x043e", true));      // Кино
  EXPECT_FALSE(tags.AddArtist(L"\x041a\x0418\x041d\x041e", true));     // КИНО
  EXPECT_FALSE(tags.AddArtist(L"m\x00f6tley cr\x00fc" L"e", true));
  EXPECT_TRUE(tags.AddArtist(L"M\x00f6tley Cr\x00fc" L"e ", true));    // differs by a blank
  EXPECT_TRUE(tags.AddArtist(L"M\x00d6TLEY CR\x00dc" L"E", false));    // no check asked
  EXPECT_EQ(tags.GetArtistCount(), 4);

  // Composers follow the same rules, independently of artists.
  EXPECT_TRUE(tags.AddComposer(L"\x00c9mile", true));  // Émile
  EXPECT_FALSE(tags.AddComposer(L"\x00e9MILE", true));
  EXPECT_TRUE(tags.AddComposer(L"\x041a\x0438\x043d\x043e", true));
  EXPECT_EQ(tags.GetComposerCount(), 2);
}

TEST(TagsTest, CopiesAndAssignmentsAreIndependent) {
  CTags original(L"/tmp/a/");
  Fill(original, L"1");

  CTags copied(original);
  CTags assigned(L"/tmp/b/");
  Fill(assigned, L"2");
  assigned = original;
  EXPECT_EQ(assigned.GetTempFolder(), L"/tmp/a/");

  // The copies keep their values when the original changes.
  Fill(original, L"3");  // adds a second artist and composer
  ExpectFilled(copied, L"1");
  ExpectFilled(assigned, L"1");

  const CTags& self = assigned;
  assigned = self;  // self-assignment keeps the values
  ExpectFilled(assigned, L"1");
}

// Sharing the pictures' delete flag is tested with the picture handles.
TEST(TagsTest, PicturesAreKeptInOrderAndCopiedAsHandles) {
  CTags tags;
  EXPECT_FALSE(tags.AddPicture(CPictureTag()));  // empty pictures are not added
  EXPECT_FALSE(tags.AddPicture(CPictureTag(L"", L"image/png", 3, L"", false)));
  EXPECT_TRUE(tags.AddPicture(CPictureTag(L"/x/front.jpg", L"image/jpeg", 3, L"Front", false)));
  EXPECT_TRUE(tags.AddPicture(CPictureTag(L"/x/back.png", L"image/png", 4, L"Back", false)));
  ASSERT_EQ(tags.GetPictureCount(), 2);

  CPictureTag picture;
  EXPECT_FALSE(tags.GetPicture(2, picture));
  EXPECT_FALSE(tags.GetPicture(-1, picture));
  EXPECT_TRUE(picture.IsEmpty());
  ASSERT_TRUE(tags.GetPicture(1, picture));
  EXPECT_EQ(picture.GetFilePath(), L"/x/back.png");
  EXPECT_EQ(picture.GetMimeType(), L"image/png");
  EXPECT_EQ(picture.GetType(), 4);
  EXPECT_EQ(picture.GetDescription(), L"Back");

  const CTags copy(tags);
  tags.RemoveAllPictures();
  EXPECT_EQ(tags.GetPictureCount(), 0);
  EXPECT_EQ(copy.GetPictureCount(), 2);
}

}  // namespace
