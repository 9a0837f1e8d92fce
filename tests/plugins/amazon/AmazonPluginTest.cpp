// The "amazon" plug-in loaded through the registry, against a loopback
// picture service.
#include <gtest/gtest.h>

#include "../../../plugins/amazon/PictureSize.h"
#include "engines/BasicTagsCommonSearchEngine.h"
#include "plugins/WebPluginSource.h"
#include "support/HttpTestServer.h"
#include "support/ProxyEnvironment.h"

namespace {

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

// The placeholder the service answers for an unknown article number.
const std::string kGif1x1("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01\x00\x00\x00\x00,"
                          "\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;", 43);
// A JPEG's start: SOI, an APP0 segment, then a baseline frame of 500 x 480.
const std::string kJpeg500("\xff\xd8\xff\xe0\x00\x04JF\xff\xc0\x00\x11\x08\x01\xe0\x01\xf4\x03", 19);

class AmazonTest : public ::testing::Test {
 protected:
  AmazonTest() { source_.Set(L"BaseUrl", server_.Url("/")); }
  std::wstring Cover(const std::wstring& asin) {
    const CString a(asin);
    CString url;
    CoverByAsinArgs args{&a, &url};
    return source_.plugin()->CallMethod(L"GetCover_by_asin", &args) ? url.str() : L"<none>";
  }

  testing_support::HttpTestServer server_;
  testing_support::WebPluginSource<CBasicTagsDllInterface> source_{L"amazon"};
};

TEST_F(AmazonTest, NamesThePictureOfTheRegionWhenItIsACover) {
  server_.ServeText("/images/P/B000002UAU.01.LZZZZZZZ.jpg", kJpeg500, "image/jpeg");
  server_.ServeText("/images/P/B000002UAU.03.LZZZZZZZ.jpg", kJpeg500, "image/jpeg");
  const std::string url = server_.Url("/images/P/B000002UAU.01.LZZZZZZZ.jpg");
  EXPECT_EQ(Cover(L"B000002UAU"), std::wstring(url.begin(), url.end()));
  EXPECT_EQ(source_.Set(L"Region", "DE"), 1);
  EXPECT_EQ(source_.Set(L"Region", "../x"), 0);
  EXPECT_NE(Cover(L" B000002UAU ").find(L"B000002UAU.03.LZZZZZZZ.jpg"), std::wstring::npos);
  EXPECT_EQ(source_.Integer(L"StatisticSuccessfulDownloads"), 2);
}

TEST_F(AmazonTest, PlaceholdersMissingPicturesAndBadNumbersGiveNoCover) {
  server_.ServeText("/images/P/B00000UNKN.01.LZZZZZZZ.jpg", kGif1x1, "image/gif");
  server_.Serve("/images/P/B0000GONE0.01.LZZZZZZZ.jpg", {404, "Not Found", {}, ""});
  server_.ServeText("/images/P/B0000TEXT0.01.LZZZZZZZ.jpg", "<html>sorry</html>", "text/html");
  EXPECT_EQ(Cover(L"B00000UNKN"), L"<none>");
  EXPECT_EQ(Cover(L"B0000GONE0"), L"<none>");
  EXPECT_EQ(Cover(L"B0000TEXT0"), L"<none>");
  EXPECT_EQ(server_.RequestCount(), 3u);
  for (const wchar_t* bad : {L"", L"b000002uau", L"A000002UAU", L"B00../UAU", L"B000002UA", L"B000002UAUX",
                                 L"B0000%2FUA"}) {
    EXPECT_EQ(Cover(bad), L"<none>");
  }
  EXPECT_EQ(server_.RequestCount(), 3u);
}

// A host that cannot be reached is said once and not asked again; another
// address set for the service is asked afresh.
TEST_F(AmazonTest, AnUnreachableHostIsSaidOnceAndSkipped) {
  std::string closed;
  {
    testing_support::HttpTestServer gone;  // its port is closed once it is gone
    closed = gone.Url("");
  }
  ASSERT_EQ(source_.Set(L"BaseUrl", closed), 1);
  EXPECT_EQ(Cover(L"B000002UAU"), L"<none>");
  EXPECT_EQ(Cover(L"B000002UAV"), L"<none>");
  EXPECT_EQ(source_.Integer(L"StatisticDownloadCounter"), 1);  // the second was not tried
  CString notices;
  ASSERT_EQ(source_.plugin()->GetProperty(L"Notices", &notices), 1);
  const std::wstring expected = L"amazon: cannot reach " + std::wstring(closed.begin() + 7, closed.end()) + L" (";
  EXPECT_EQ(notices.str().find(expected), 0u);
  EXPECT_EQ(notices.str().find(L"); skipped for this run\n"), notices.str().size() - 24);
  server_.ServeText("/images/P/B000002UAU.01.LZZZZZZZ.jpg", kJpeg500, "image/jpeg");
  ASSERT_EQ(source_.Set(L"BaseUrl", server_.Url("/")), 1);
  EXPECT_NE(Cover(L"B000002UAU"), L"<none>");
}

TEST_F(AmazonTest, TheEnginePassesTheCoverMethodThrough) {
  server_.ServeText("/images/P/0123456789.01.LZZZZZZZ.jpg", kJpeg500, "image/jpeg");
  CBasicTagsCommonSearchEngine engine;
  ASSERT_EQ(engine.Connect(source_.plugin()), 1);
  const CString asin(L"0123456789");
  CString url;
  CoverByAsinArgs args{&asin, &url};
  EXPECT_EQ(engine.CallMethod(L"GetCover_by_asin", &args), 1);
  EXPECT_NE(url.str().find(L"/images/P/0123456789.01.LZZZZZZZ.jpg"), std::wstring::npos);
  // A search through it finds nothing and asks nothing.
  Nimbrel::SongQuery song;
  song.title = L"Title";
  song.artist = L"Artist";
  engine.GetAllBasicTags({song});
  EXPECT_EQ(server_.RequestCount(), 1u);
}

TEST(PictureSize, ReadsGifPngAndJpegHeadersAndRefusesTheRest) {
  int w = 0, h = 0;
  ASSERT_TRUE(amazon::PictureSize(kGif1x1, w, h));
  EXPECT_EQ(w * 1000 + h, 1001);
  ASSERT_TRUE(amazon::PictureSize(kJpeg500, w, h));
  EXPECT_EQ(w * 1000 + h, 500480);
  const std::string png("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR\x00\x00\x02\x58\x00\x00\x01\x2c", 24);
  ASSERT_TRUE(amazon::PictureSize(png, w, h));
  EXPECT_EQ(w * 1000 + h, 600300);
  for (const std::string& bad : {std::string(), std::string("GIF89a\x01"), kJpeg500.substr(0, 14),
                                std::string("\xff\xd8\xff\xda\x00\x02", 6), std::string("\xff\xd8\xff\xe0\x00\x00", 6),
                                png.substr(0, 20)}) {
    EXPECT_FALSE(amazon::PictureSize(bad, w, h)) << bad.size();
  }
}

}  // namespace
