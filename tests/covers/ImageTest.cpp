#include "platform/Image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "covers/TestPictures.h"
#include "support/ScratchFolder.h"

namespace {

using platform::Image;
using platform::ImageFormat;
using test_pictures::Kind;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

const std::vector<std::pair<Kind, ImageFormat>> kFormats = {
    {Kind::kJpeg, ImageFormat::kJpeg}, {Kind::kPng, ImageFormat::kPng},   {Kind::kGif, ImageFormat::kGif},
    {Kind::kBmp, ImageFormat::kBmp},   {Kind::kTiff, ImageFormat::kTiff}, {Kind::kWebp, ImageFormat::kWebp}};

// A picture of `kind` with `replacement` written over its bytes at `offset`.
std::string Patched(Kind kind, std::size_t offset, const std::string& replacement) {
  std::string bytes = test_pictures::Make(kind);
  return bytes.replace(offset, replacement.size(), replacement);
}

TEST(Image, DecodesEveryFormatByItsContentNotItsName) {
  testing_support::ScratchFolder folder;
  for (const auto& [kind, format] : kFormats) {
    const std::string bytes = test_pictures::Make(kind, 40, 30);
    EXPECT_EQ(format, platform::RecogniseImageFormat(bytes));
    WriteFileBytes(folder / L"picture.txt", bytes);
    Image image;
    ASSERT_TRUE(image.Load(folder / L"picture.txt")) << static_cast<int>(format);
    EXPECT_EQ(40, image.Width());
    EXPECT_EQ(30, image.Height());
  }
}

TEST(Image, JpegFormOfAFileReplacesItOnlyWhenDecodable) {
  testing_support::ScratchFolder folder;
  const std::wstring path = folder / L"cover";
  WriteFileBytes(path, test_pictures::Make(Kind::kGif, 33, 21));
  ASSERT_TRUE(platform::ConvertFileToJpeg(path));
  EXPECT_EQ(ImageFormat::kJpeg, platform::RecogniseImageFormat(ReadFileBytes(path)));
  int width = 0, height = 0;
  EXPECT_TRUE(platform::ImagePixelSize(path, width, height));
  EXPECT_EQ(33 * 21, width * height);

  const std::string text = "<html>not a picture</html>";
  WriteFileBytes(path, text);
  EXPECT_FALSE(platform::ConvertFileToJpeg(path));
  EXPECT_FALSE(Image().SaveJpeg(path));
  EXPECT_EQ(text, ReadFileBytes(path));
  EXPECT_FALSE(platform::ImagePixelSize(path, width, height));
  EXPECT_EQ(0, width + height);
}

TEST(Image, RefusesTruncatedForeignAndOversizedDataWithInclusivePixelLimits) {
  // Cut short: the decoder itself would return a grey-filled JPEG and a partial GIF.
  std::vector<std::string> bad = {"", "text, not a picture", "GIF89a\x28\x00\x1e\x00\x00\x00\x00"};
  for (const auto& [kind, format] : kFormats) {
    const std::string whole = test_pictures::Make(kind, 64, 48);
    bad.push_back(whole.substr(0, whole.size() * 9 / 10));
    bad.push_back(whole.substr(0, whole.size() / 2));
  }
  // Decompression bombs: small files declaring huge pictures.
  bad.push_back(test_pictures::PngDeclaring(100000, 100000));
  const std::string jpeg = test_pictures::Make(Kind::kJpeg);
  bad.push_back(Patched(Kind::kJpeg, jpeg.find("\xFF\xC0") + 5, "\xEA\x60\xEA\x60"));  // 60000 × 60000
  bad.push_back(Patched(Kind::kGif, 6, "\xFF\xFF\xFF\xFF"));                           // 65535 × 65535
  bad.push_back(Patched(Kind::kBmp, 18, std::string("\xA0\x86\x01\0\xA0\x86\x01\0", 8)));  // 100000 × 100000
  bad.push_back(Patched(Kind::kWebp, 26, "\xFF\x3F\xFF\x3F"));  // 16383 × 16383: the total is too large
  std::string tiff("II*\0\x08\0\0\0\x02\0", 10);  // one directory with both size tags, 100000 each
  for (const char* tag : {"\x00\x01", "\x01\x01"})
    tiff += std::string(tag, 2) + std::string("\x04\0\x01\0\0\0\xA0\x86\x01\0", 10);
  bad.push_back(tiff + std::string(4, '\0'));

  testing_support::ScratchFolder folder;
  for (std::size_t i = 0; i < bad.size(); ++i) {
    platform::ImageHeader header;
    EXPECT_FALSE(platform::ProbeImage(bad[i], header)) << i;
    WriteFileBytes(folder / L"bad", bad[i]);
    Image image;
    EXPECT_FALSE(image.Load(folder / L"bad")) << i;
    EXPECT_EQ(0, image.Width());
  }
  // The limits themselves are inclusive.
  platform::ImageHeader header;
  EXPECT_TRUE(platform::ProbeImage(test_pictures::PngDeclaring(8192, 8192), header));
  EXPECT_EQ(8192, header.width);
  EXPECT_FALSE(platform::ProbeImage(test_pictures::PngDeclaring(8192, 8193), header));
  Image image;
  EXPECT_TRUE(image.LoadFromMemory(test_pictures::Make(Kind::kPng, platform::kMaxImageSide, 1)));
  EXPECT_FALSE(image.LoadFromMemory(test_pictures::Make(Kind::kPng, platform::kMaxImageSide + 1, 1)));
}

// Corrupt pictures that pass the header checks make the decoders complain:
// the complaints reach the diagnostic sink, never the host's standard error.
std::vector<std::wstring> g_messages;

TEST(Image, DecoderMessagesGoToTheSinkNotToStandardError) {
  std::string png = test_pictures::Make(Kind::kPng, 16, 16);
  png[png.find("IDAT") + 8] ^= 0x55;  // compressed data damaged
  std::string tiff = test_pictures::Make(Kind::kTiff, 16, 16);
  // The last directory entry gets a tag libtiff does not know.
  const auto byte = [&tiff](std::size_t at) { return static_cast<std::size_t>(static_cast<unsigned char>(tiff[at])); };
  const std::size_t directory = byte(4) | byte(5) << 8 | byte(6) << 16 | byte(7) << 24;
  const std::size_t entries = byte(directory) | byte(directory + 1) << 8;
  tiff.replace(directory + 2 + 12 * (entries - 1), 2, "\xEF\xBE");
  platform::ImageHeader header;
  ASSERT_TRUE(platform::ProbeImage(png, header));
  ASSERT_TRUE(platform::ProbeImage(tiff, header));

  platform::SetImageDiagnosticSink([](const std::wstring& m) { g_messages.push_back(m); });
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Image().LoadFromMemory(png));
  EXPECT_TRUE(Image().LoadFromMemory(tiff));
  const std::string err = testing::internal::GetCapturedStderr();
  platform::SetImageDiagnosticSink(nullptr);
  EXPECT_EQ(err, "");
  auto has = [](const std::wstring& part) {
    return std::any_of(g_messages.begin(), g_messages.end(),
                       [&](const std::wstring& m) { return m.find(part) != std::wstring::npos; });
  };
  EXPECT_TRUE(has(L"gd-png")) << g_messages.size();
  EXPECT_TRUE(has(L"TIFFReadDirectory: Unknown field with tag 48879")) << g_messages.size();
  // Outside our decodes, the libraries' own handlers are back in place.
  g_messages.clear();
  testing::internal::CaptureStderr();
  gdImagePtr image = gdImageCreateFromPngPtr(static_cast<int>(png.size()), png.data());
  EXPECT_EQ(image, nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("gd-png"), std::string::npos);
  EXPECT_TRUE(g_messages.empty());
}

}  // namespace
