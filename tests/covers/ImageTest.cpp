#include "platform/Image.h"

#include <gtest/gtest.h>

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

TEST(Image, RefusesTruncatedForeignAndOversizedData) {
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
}

TEST(Image, PixelLimitsAreInclusive) {
  platform::ImageHeader header;
  EXPECT_TRUE(platform::ProbeImage(test_pictures::PngDeclaring(8192, 8192), header));
  EXPECT_EQ(8192, header.width);
  EXPECT_FALSE(platform::ProbeImage(test_pictures::PngDeclaring(8192, 8193), header));
  Image image;
  EXPECT_TRUE(image.LoadFromMemory(test_pictures::Make(Kind::kPng, platform::kMaxImageSide, 1)));
  EXPECT_FALSE(image.LoadFromMemory(test_pictures::Make(Kind::kPng, platform::kMaxImageSide + 1, 1)));
}

}  // namespace
