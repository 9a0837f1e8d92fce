// Picture files: recognising their format, decoding them, writing JPEG.
//
// The format is recognised from a file's first bytes, never from its name:
// JPEG, PNG, GIF, BMP, TIFF and WebP. Before anything is decoded the header
// is checked: the declared pixel size must lie within the limits below (so
// that a small file declaring a huge picture cannot make the decoder allocate
// gigabytes), and the data must not be visibly cut short (a PNG without its
// end chunk, a JPEG without its end marker, a GIF whose first picture breaks
// off; a decoder would otherwise hand back a half-grey picture as if whole).
//
// Image objects are meant to be local to one call; separate objects may be
// used on different threads at once. Nothing here logs: the decoders' own
// warnings and errors (libgd's, libtiff's) go to the diagnostic sink below,
// never to the host's standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

enum class ImageFormat { kUnknown, kJpeg, kPng, kGif, kBmp, kTiff, kWebp };

// Largest width or height accepted, and largest width × height. A decoded
// picture takes 4 bytes per pixel, so the pixel limit bounds one picture at
// 256 MiB; cover pictures are rarely larger than a few thousand pixels a side.
constexpr std::int64_t kMaxImageSide = 16384;
constexpr std::int64_t kMaxImagePixels = std::int64_t{8192} * 8192;
// Larger files are not read at all (the size the HTTP client caps bodies at).
constexpr std::int64_t kMaxImageFileBytes = std::int64_t{64} * 1024 * 1024;

// What the header of a picture declares.
struct ImageHeader {
  ImageFormat format = ImageFormat::kUnknown;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// The format announced by the first bytes of `bytes` (a dozen suffice).
ImageFormat RecogniseImageFormat(std::string_view bytes);

// Checks a whole picture file's content without decoding it: a recognised
// format, a well-formed header declaring a size of at least 1 × 1 within the
// limits, and no sign of truncation. Fills `header` on success.
bool ProbeImage(std::string_view bytes, ImageHeader& header);
// The same for a file; false also when it cannot be read or is larger than
// kMaxImageFileBytes.
bool ProbeImageFile(std::wstring_view path, ImageHeader& header);

// Receives one message of a decoder (libgd, or libtiff under it), without a
// trailing line feed. Called on the decoding thread.
using ImageDiagnosticSink = void (*)(const std::wstring& message);
// Installs the sink (null: messages are dropped). The libraries' handlers are
// global: ours are put in place only while one of our decodes or encodes
// runs and the previous ones are restored after the last, so nothing of ours
// is left in libgd or libtiff when this code is unloaded. Messages of the
// host's own use of those libraries in that window reach the sink too.
void SetImageDiagnosticSink(ImageDiagnosticSink sink);

// One decoded picture. An empty object reports width and height 0.
class Image {
 public:
  Image() = default;
  ~Image();
  Image(Image&& other) noexcept;
  Image& operator=(Image&& other) noexcept;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // Decodes a picture file (see ProbeImage for what is refused first). On
  // failure the object is empty and false is returned.
  bool Load(std::wstring_view path);
  // The same from bytes in memory.
  bool LoadFromMemory(std::string_view bytes);
  bool IsEmpty() const { return image_ == nullptr; }
  int Width() const;
  int Height() const;

  // Encodes the picture as JPEG with the encoder's default quality and puts
  // it at `path` (replacing a file there). The file is written under a
  // temporary name in the same folder and moved into place once complete, so
  // a failure (empty object, encoder or write error) leaves `path` unchanged.
  bool SaveJpeg(std::wstring_view path) const;
  // The JPEG bytes, or empty on failure.
  std::string EncodeJpeg() const;

 private:
  void Reset();
  void* image_ = nullptr;  // the decoder's picture, kept opaque here
};

// The JPEG form of a picture file: decodes `path` and writes it back to the
// same path as JPEG. False, with the file unchanged, when it cannot be decoded
// or written.
bool ConvertFileToJpeg(std::wstring_view path);

// The pixel size of a picture file: true with width and height when it can be
// decoded, otherwise false with both 0.
bool ImagePixelSize(std::wstring_view path, int& width, int& height);

}  // namespace platform
