#include "platform/Image.h"

#include <gd.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/NoDestructor.h"
#include "platform/Random.h"
#include "platform/TextCodec.h"

namespace platform {

namespace {

// Bounds-checked readers of the header fields; out-of-range reads give 0,
// and every caller checks the length it needs first.
class Bytes {
 public:
  explicit Bytes(std::string_view data) : d_(data) {}
  std::size_t size() const { return d_.size(); }
  std::uint32_t U8(std::size_t i) const { return i < d_.size() ? static_cast<unsigned char>(d_[i]) : 0; }
  std::uint32_t Be16(std::size_t i) const { return U8(i) << 8 | U8(i + 1); }
  std::uint32_t Be32(std::size_t i) const { return Be16(i) << 16 | Be16(i + 2); }
  std::uint32_t Le16(std::size_t i) const { return U8(i) | U8(i + 1) << 8; }
  std::uint32_t Le24(std::size_t i) const { return Le16(i) | U8(i + 2) << 16; }
  std::uint32_t Le32(std::size_t i) const { return Le16(i) | Le16(i + 2) << 16; }
  bool Has(std::size_t at, std::string_view text) const {
    return d_.substr(std::min(at, d_.size()), text.size()) == text;
  }
  std::string_view view() const { return d_; }

 private:
  std::string_view d_;
};

bool SizeAcceptable(std::int64_t width, std::int64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxImageSide && height <= kMaxImageSide &&
         width * height <= kMaxImagePixels;
}

bool IsJpegFrameMarker(std::uint32_t m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }

// Walks the marker segments up to the first scan; the size comes from the
// frame header. Inside entropy-coded data a 0xFF byte is always followed by
// 0x00 or a restart marker, so the bytes FF D9 after the scan header can only
// be the end-of-image marker: without them the file was cut short.
bool ProbeJpeg(const Bytes& b, ImageHeader& h) {
  std::size_t i = 2;
  bool frame = false;
  for (;;) {
    if (b.U8(i) != 0xFF) return false;
    while (i < b.size() && b.U8(i) == 0xFF) ++i;  // fill bytes
    if (i >= b.size()) return false;
    const std::uint32_t marker = b.U8(i++);
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length field
    if (marker == 0xD9 || marker == 0x00) return false;  // no picture before the end
    const std::size_t length = b.Be16(i);
    if (i + 2 > b.size() || length < 2 || i + length > b.size()) return false;
    if (IsJpegFrameMarker(marker)) {
      if (length < 7) return false;
      h.height = b.Be16(i + 3);
      h.width = b.Be16(i + 5);
      frame = true;
    } else if (marker == 0xDA) {
      return frame && b.view().find("\xFF\xD9", i + length) != std::string_view::npos;
    }
    i += length;
  }
}

// The header chunk gives the size; every chunk must lie within the data and
// the end chunk must be reached.
bool ProbePng(const Bytes& b, ImageHeader& h) {
  if (b.size() < 8 + 25 || b.Be32(8) != 13 || !b.Has(12, "IHDR")) return false;
  h.width = b.Be32(16);
  h.height = b.Be32(20);
  for (std::size_t i = 8;;) {
    const std::uint64_t length = b.Be32(i);
    if (length > 0x7FFFFFFF || i + 12 + length > b.size()) return false;
    if (b.Has(i + 4, "IEND")) return true;
    i += 12 + length;
  }
}

// Skips a chain of data sub-blocks ending with an empty one.
bool SkipGifSubBlocks(const Bytes& b, std::size_t& i) {
  for (;;) {
    if (i >= b.size()) return false;
    const std::size_t n = b.U8(i++);
    if (n == 0) return true;
    i += n;
  }
}

// The logical screen and the first picture (which is what gets decoded)
// must both fit the limits, and that picture's data must be complete.
bool ProbeGif(const Bytes& b, ImageHeader& h) {
  if (b.size() < 13) return false;
  h.width = b.Le16(6);
  h.height = b.Le16(8);
  std::size_t i = 13;
  if (b.U8(10) & 0x80) i += std::size_t{3} << ((b.U8(10) & 7) + 1);  // global colour table
  for (;;) {
    if (i >= b.size()) return false;
    const std::uint32_t block = b.U8(i++);
    if (block == 0x21) {  // extension: label, then sub-blocks
      ++i;
      if (!SkipGifSubBlocks(b, i)) return false;
    } else if (block == 0x2C) {  // image descriptor
      if (i + 9 > b.size()) return false;
      const std::int64_t width = b.Le16(i + 4), height = b.Le16(i + 6);
      const std::uint32_t flags = b.U8(i + 8);
      i += 9;
      if (flags & 0x80) i += std::size_t{3} << ((flags & 7) + 1);  // local colour table
      ++i;  // minimum code size
      return SizeAcceptable(width, height) && SkipGifSubBlocks(b, i);
    } else {
      return false;  // the trailer or garbage before any picture
    }
  }
}

// Both header forms: the old one with 16-bit sizes and the later ones with
// signed 32-bit sizes (a negative height means rows from the top). For
// uncompressed data the rows must all be there.
bool ProbeBmp(const Bytes& b, ImageHeader& h) {
  const std::uint32_t headerSize = b.Le32(14);
  std::uint32_t bitsPerPixel = 0, compression = 0;
  if (headerSize == 12 && b.size() >= 26) {
    h.width = b.Le16(18);
    h.height = b.Le16(20);
    bitsPerPixel = b.Le16(24);
  } else if (headerSize >= 16 && b.size() >= 14 + std::size_t{headerSize}) {
    h.width = static_cast<std::int32_t>(b.Le32(18));
    h.height = static_cast<std::int32_t>(b.Le32(22));
    if (h.height < 0) h.height = -h.height;
    bitsPerPixel = b.Le16(28);
    if (headerSize >= 20) compression = b.Le32(30);
  } else {
    return false;
  }
  const std::uint64_t dataOffset = b.Le32(10);
  if (dataOffset > b.size()) return false;
  if (compression == 0 && SizeAcceptable(h.width, h.height)) {
    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(h.width) * bitsPerPixel + 31) / 32 * 4;
    if (dataOffset + rowBytes * static_cast<std::uint64_t>(h.height) > b.size()) return false;
  }
  return true;
}

// The size tags of the first directory (the one decoded).
bool ProbeTiff(const Bytes& b, ImageHeader& h) {
  const bool little = b.Has(0, "II");
  auto u16 = [&](std::size_t i) { return little ? b.Le16(i) : b.Be16(i); };
  auto u32 = [&](std::size_t i) { return little ? b.Le32(i) : b.Be32(i); };
  const std::uint64_t directory = u32(4);
  if (directory + 2 > b.size()) return false;
  const std::uint64_t count = u16(directory);
  if (directory + 2 + count * 12 > b.size()) return false;
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::size_t e = directory + 2 + k * 12;
    const std::uint32_t tag = u16(e), type = u16(e + 2);
    if ((tag != 256 && tag != 257) || (type != 3 && type != 4)) continue;
    const std::int64_t value = type == 3 ? u16(e + 8) : u32(e + 8);
    (tag == 256 ? h.width : h.height) = value;
  }
  return true;
}

// The first chunk says which of the three kinds this is and where the size is.
bool ProbeWebp(const Bytes& b, ImageHeader& h) {
  if (b.size() < 30 || std::uint64_t{b.Le32(4)} + 8 > b.size()) return false;
  const std::uint64_t chunk = b.Le32(16);
  if (20 + chunk > b.size()) return false;
  if (b.Has(12, "VP8 ") && chunk >= 10 && b.Has(23, "\x9D\x01\x2A")) {
    h.width = b.Le16(26) & 0x3FFF;
    h.height = b.Le16(28) & 0x3FFF;
  } else if (b.Has(12, "VP8L") && chunk >= 5 && b.U8(20) == 0x2F) {
    const std::uint32_t bits = b.Le32(21);
    h.width = (bits & 0x3FFF) + 1;
    h.height = ((bits >> 14) & 0x3FFF) + 1;
  } else if (b.Has(12, "VP8X") && chunk >= 10) {
    h.width = std::int64_t{b.Le24(24)} + 1;
    h.height = std::int64_t{b.Le24(27)} + 1;
  } else {
    return false;
  }
  return true;
}

bool ReadCapped(std::wstring_view path, std::string& out) {
  out.clear();
  File file;
  if (!file.Open(path, File::Mode::kRead)) return false;
  const std::int64_t size = file.Size();
  if (size < 0 || size > kMaxImageFileBytes) return false;
  out.resize(static_cast<std::size_t>(size) + 1);  // one more, to notice a file that grew meanwhile
  std::size_t done = 0;
  for (;;) {
    const std::int64_t n = file.Read(out.data() + done, out.size() - done);
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    if (done == out.size()) return false;
  }
  out.resize(done);
  return true;
}

gdImagePtr Gd(void* image) { return static_cast<gdImagePtr>(image); }

std::atomic<ImageDiagnosticSink> g_sink{nullptr};

void Deliver(const char* module, const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  std::string message = module && *module ? std::string(module) + ": " + text : std::string(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  if (const ImageDiagnosticSink sink = g_sink.load()) sink(FromUtf8(message));
}

void GdMessage(int /*priority*/, const char* format, va_list args) { Deliver(nullptr, format, args); }
void TiffMessage(const char* module, const char* format, va_list args) { Deliver(module, format, args); }

// Keeps our handlers in libgd and libtiff while at least one scope is alive.
class DiagnosticsScope {
 public:
  DiagnosticsScope() {
    std::lock_guard<std::mutex> lock(Mutex());
    if (Users()++ > 0) return;
    gdSetErrorMethod(GdMessage);
    PreviousTiffWarning() = TIFFSetWarningHandler(TiffMessage);
    PreviousTiffError() = TIFFSetErrorHandler(TiffMessage);
  }
  ~DiagnosticsScope() {
    std::lock_guard<std::mutex> lock(Mutex());
    if (--Users() > 0) return;
    gdClearErrorMethod();
    TIFFSetWarningHandler(PreviousTiffWarning());
    TIFFSetErrorHandler(PreviousTiffError());
  }
  DiagnosticsScope(const DiagnosticsScope&) = delete;
  DiagnosticsScope& operator=(const DiagnosticsScope&) = delete;

 private:
  // Function-local, trivially destroyed values: nothing to tear down at unload.
  static std::mutex& Mutex() {
    static NoDestructor<std::mutex> mutex;
    return *mutex.get();
  }
  static int& Users() {
    static int users = 0;
    return users;
  }
  static TIFFErrorHandler& PreviousTiffWarning() {
    static TIFFErrorHandler handler = nullptr;
    return handler;
  }
  static TIFFErrorHandler& PreviousTiffError() {
    static TIFFErrorHandler handler = nullptr;
    return handler;
  }
};

// A name in `path`'s folder that no other writer uses; it begins with "." so
// that folder listings leave it out while it exists.
std::wstring TemporarySibling(std::wstring_view path) {
  static std::atomic<std::uint64_t> counter{0};
  std::array<unsigned char, 8> random{};
  RandomBytes(random.data(), random.size());  // on failure the counter alone keeps names apart in this process
  std::uint64_t value = ++counter;
  for (unsigned char c : random) value = value * 131 + c;
  char name[40];
  std::snprintf(name, sizeof name, ".%016llx.tmp", static_cast<unsigned long long>(value));
  const std::size_t slash = path.rfind(kPathSeparator);
  std::wstring result(slash == std::wstring_view::npos ? std::wstring_view() : path.substr(0, slash + 1));
  for (const char* p = name; *p; ++p) result += static_cast<wchar_t>(*p);
  return result;
}

}  // namespace

ImageFormat RecogniseImageFormat(std::string_view bytes) {
  const Bytes b(bytes);
  if (b.Has(0, "\xFF\xD8\xFF")) return ImageFormat::kJpeg;
  if (b.Has(0, "\x89PNG\r\n\x1A\n")) return ImageFormat::kPng;
  if (b.Has(0, "GIF87a") || b.Has(0, "GIF89a")) return ImageFormat::kGif;
  if (b.Has(0, "BM")) return ImageFormat::kBmp;
  if (b.Has(0, std::string_view("II*\0", 4)) || b.Has(0, std::string_view("MM\0*", 4))) return ImageFormat::kTiff;
  if (b.Has(0, "RIFF") && b.Has(8, "WEBP")) return ImageFormat::kWebp;
  return ImageFormat::kUnknown;
}

bool ProbeImage(std::string_view bytes, ImageHeader& header) {
  const Bytes b(bytes);
  ImageHeader h;
  h.format = RecogniseImageFormat(bytes);
  bool wellFormed = false;
  switch (h.format) {
    case ImageFormat::kJpeg: wellFormed = ProbeJpeg(b, h); break;
    case ImageFormat::kPng: wellFormed = ProbePng(b, h); break;
    case ImageFormat::kGif: wellFormed = ProbeGif(b, h); break;
    case ImageFormat::kBmp: wellFormed = ProbeBmp(b, h); break;
    case ImageFormat::kTiff: wellFormed = ProbeTiff(b, h); break;
    case ImageFormat::kWebp: wellFormed = ProbeWebp(b, h); break;
    case ImageFormat::kUnknown: break;
  }
  if (!wellFormed || !SizeAcceptable(h.width, h.height)) return false;
  header = h;
  return true;
}

bool ProbeImageFile(std::wstring_view path, ImageHeader& header) {
  std::string bytes;
  return ReadCapped(path, bytes) && ProbeImage(bytes, header);
}

Image::~Image() { Reset(); }

Image::Image(Image&& other) noexcept : image_(other.image_) { other.image_ = nullptr; }

Image& Image::operator=(Image&& other) noexcept {
  if (this != &other) {
    Reset();
    image_ = other.image_;
    other.image_ = nullptr;
  }
  return *this;
}

void Image::Reset() {
  if (image_) gdImageDestroy(Gd(image_));
  image_ = nullptr;
}

bool Image::Load(std::wstring_view path) {
  Reset();
  std::string bytes;
  return ReadCapped(path, bytes) && LoadFromMemory(bytes);
}

void SetImageDiagnosticSink(ImageDiagnosticSink sink) { g_sink.store(sink); }

bool Image::LoadFromMemory(std::string_view bytes) {
  Reset();
  ImageHeader header;
  if (bytes.size() > static_cast<std::size_t>(kMaxImageFileBytes) || !ProbeImage(bytes, header)) return false;
  const DiagnosticsScope diagnostics;
  // The decoders only read the data; their interface merely lacks const.
  const int size = static_cast<int>(bytes.size());
  void* data = const_cast<char*>(bytes.data());
  gdImagePtr image = nullptr;
  switch (header.format) {
    case ImageFormat::kJpeg: image = gdImageCreateFromJpegPtrEx(size, data, 1); break;
    case ImageFormat::kPng: image = gdImageCreateFromPngPtr(size, data); break;
    case ImageFormat::kGif: image = gdImageCreateFromGifPtr(size, data); break;
    case ImageFormat::kBmp: image = gdImageCreateFromBmpPtr(size, data); break;
    case ImageFormat::kTiff: image = gdImageCreateFromTiffPtr(size, data); break;
    case ImageFormat::kWebp: image = gdImageCreateFromWebpPtr(size, data); break;
    case ImageFormat::kUnknown: break;
  }
  if (!image) return false;
  image_ = image;
  // The header was checked; the decoded picture must agree with the limits too.
  if (!SizeAcceptable(Width(), Height())) {
    Reset();
    return false;
  }
  return true;
}

int Image::Width() const { return image_ ? gdImageSX(Gd(image_)) : 0; }

int Image::Height() const { return image_ ? gdImageSY(Gd(image_)) : 0; }

std::string Image::EncodeJpeg() const {
  if (!image_) return {};
  int size = 0;
  const DiagnosticsScope diagnostics;
  void* data = gdImageJpegPtr(Gd(image_), &size, -1);
  if (!data) return {};
  std::string bytes(static_cast<const char*>(data), size > 0 ? static_cast<std::size_t>(size) : 0);
  gdFree(data);
  return bytes;
}

bool Image::SaveJpeg(std::wstring_view path) const {
  const std::string bytes = EncodeJpeg();
  if (bytes.empty()) return false;
  const std::wstring temporary = TemporarySibling(path);
  if (File::WriteAll(temporary, bytes) && MoveFile(temporary, path)) return true;
  DeleteFile(temporary);
  return false;
}

bool ConvertFileToJpeg(std::wstring_view path) {
  Image image;
  return image.Load(path) && image.SaveJpeg(path);
}

bool ImagePixelSize(std::wstring_view path, int& width, int& height) {
  Image image;
  const bool loaded = image.Load(path);
  width = image.Width();
  height = image.Height();
  return loaded;
}

}  // namespace platform
