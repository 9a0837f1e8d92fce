#include "StreamLength.h"

#include <taglib/tiostream.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

namespace Meridex {

namespace {

// The most read while looking for the first MP3 frame past the ID3v2 tags.
constexpr std::int64_t kFrameSearch = 64 * 1024;
// An Ogg page is at most 27 + 255 + 255 * 255 bytes.
constexpr std::int64_t kOggTail = 65536 + 512;
// Boxes looked at in one MP4 container.
constexpr int kMaxBoxes = 256;
// The most read of one stream, whatever its headers say.
constexpr std::int64_t kBudget = 512 * 1024;
// Longer than this is taken for a damaged header: about 24 days.
constexpr std::uint64_t kMaxMs = 0x7FFFFFFF;

// Bounded reads from a stream whose length is known. Reads go in pieces of
// 1 kB (TagLib's file stream asks for the file's length again for larger
// ones) and the last block read is kept: MP4 boxes and MP3 frame headers
// near each other cost one read. Past the budget, reads find nothing.
class Reader {
 public:
  explicit Reader(TagLib::IOStream& stream) : stream_(stream), length_(stream.length()) {}
  std::int64_t length() const { return length_; }
  // Up to `size` bytes at `offset`; fewer at the end of the stream.
  std::string At(std::int64_t offset, std::int64_t size) const {
    if (offset < 0 || offset >= length_ || size <= 0) return {};
    size = std::min(size, length_ - offset);
    const auto kept = static_cast<std::int64_t>(kept_.size());
    if (offset >= keptAt_ && offset + size <= keptAt_ + kept)
      return kept_.substr(static_cast<std::size_t>(offset - keptAt_), static_cast<std::size_t>(size));
    const std::int64_t want = std::min(std::max(size, kPiece), length_ - offset);
    if (want > budget_) return {};
    budget_ -= want;
    stream_.seek(static_cast<long>(offset));
    kept_.clear();
    keptAt_ = offset;
    while (static_cast<std::int64_t>(kept_.size()) < want) {
      const TagLib::ByteVector piece =
          stream_.readBlock(static_cast<unsigned long>(std::min(kPiece, want - static_cast<std::int64_t>(kept_.size()))));
      if (piece.isEmpty()) break;
      kept_.append(piece.data(), piece.size());
    }
    return kept_.substr(0, static_cast<std::size_t>(size));
  }
  // Up to `size` bytes at `offset` in one read that keeps nothing: for a
  // place read once (a sample in the middle of the file). A read this large
  // goes past ReadStream's kept blocks, which keep the ones the tags' reads
  // come back to (the file's first and last).
  std::string Once(std::int64_t offset, std::int64_t size) const {
    if (offset < 0 || offset >= length_ || size <= 0) return {};
    size = std::min(size, length_ - offset);
    if (size > budget_) return {};
    budget_ -= size;
    stream_.seek(static_cast<long>(offset));
    const TagLib::ByteVector bytes = stream_.readBlock(static_cast<unsigned long>(size));
    return std::string(bytes.data(), bytes.size());
  }

 private:
  static constexpr std::int64_t kPiece = 1024;
  TagLib::IOStream& stream_;
  std::int64_t length_;
  mutable std::string kept_;
  mutable std::int64_t keptAt_ = 0;
  mutable std::int64_t budget_ = kBudget;
};

unsigned Byte(const std::string& b, std::size_t at) { return static_cast<unsigned char>(b[at]); }

std::uint64_t Big(const std::string& b, std::size_t at, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | Byte(b, at + i);
  return v;
}

std::uint64_t Little(const std::string& b, std::size_t at, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | Byte(b, at + i);
  return v;
}

bool Has(const std::string& b, std::size_t at, const char* text) {
  const std::string_view want(text);
  return b.size() >= at + want.size() && std::string_view(b).substr(at, want.size()) == want;
}

// `units` of 1/`rate` second in milliseconds; 0 when unknown or absurd.
std::int64_t Ms(std::uint64_t units, std::uint64_t rate) {
  if (rate == 0) return 0;
  const std::uint64_t seconds = units / rate;
  if (seconds > kMaxMs / 1000) return 0;
  return static_cast<std::int64_t>(seconds * 1000 + units % rate * 1000 / rate);
}

// Where the audio begins past any ID3v2 tags at `offset` (some files carry
// more than one), each tag's size given in its header (with a footer flag).
std::int64_t PastId3v2(const Reader& r, std::int64_t offset) {
  for (int tags = 0; tags < 4; ++tags) {
    const std::string h = r.At(offset, 10);
    if (h.size() < 10 || !Has(h, 0, "ID3")) break;
    std::int64_t size = 0;
    for (std::size_t i = 6; i < 10; ++i) {
      if (Byte(h, i) & 0x80) return offset;  // not a tag's size
      size = (size << 7) | Byte(h, i);
    }
    offset += 10 + size + ((Byte(h, 5) & 0x10) ? 10 : 0);
  }
  return offset;
}

// ---- MP3 ----

struct Frame {
  int version = 0;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  int layer = 0;
  int sampleRate = 0;
  int samples = 0;  // per frame
  int length = 0;   // bytes, with padding
  int bitrate = 0;  // bit/s
  bool mono = false;
};

bool ParseFrame(const std::string& b, std::size_t at, Frame& f) {
  if (b.size() < at + 4) return false;
  const unsigned b1 = Byte(b, at + 1), b2 = Byte(b, at + 2), b3 = Byte(b, at + 3);
  if (Byte(b, at) != 0xFF || (b1 & 0xE0) != 0xE0) return false;
  const unsigned version = (b1 >> 3) & 3, layerBits = (b1 >> 1) & 3, rateIndex = b2 >> 4, srIndex = (b2 >> 2) & 3;
  if (version == 1 || layerBits == 0 || rateIndex == 0 || rateIndex == 15 || srIndex == 3 || (b3 & 3) == 2)
    return false;
  static constexpr short kBitrates[5][14] = {
      {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
      {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
      {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
      {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2, 2.5 layer I
      {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2, 2.5 layers II, III
  };
  static constexpr int kSampleRates[3] = {44100, 48000, 32000};
  const bool mpeg1 = version == 3;
  f.version = static_cast<int>(version);
  f.layer = 4 - static_cast<int>(layerBits);
  const int row = mpeg1 ? f.layer - 1 : (f.layer == 1 ? 3 : 4);
  const int bitrate = f.bitrate = kBitrates[row][rateIndex - 1] * 1000;
  f.sampleRate = kSampleRates[srIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  f.samples = f.layer == 1 ? 384 : (f.layer == 3 && !mpeg1) ? 576 : 1152;
  const int padding = (b2 >> 1) & 1;
  f.length = f.layer == 1 ? (12 * bitrate / f.sampleRate + padding) * 4 : f.samples / 8 * bitrate / f.sampleRate + padding;
  f.mono = (b3 >> 6) == 3;
  return true;
}

bool SameStream(const Frame& a, const Frame& b) {
  return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate;
}

// Where the audio ends: before an ID3v1 tag and an APE tag before it.
std::int64_t AudioEnd(const Reader& r, std::int64_t start) {
  std::int64_t end = r.length();
  if (end - 128 >= start && Has(r.At(end - 128, 3), 0, "TAG")) end -= 128;
  if (end - 32 >= start) {
    const std::string footer = r.At(end - 32, 32);
    if (Has(footer, 0, "APETAGEX") && footer.size() == 32) {
      // The size counts the items and the footer; a header is flagged.
      const auto size = static_cast<std::int64_t>(Little(footer, 12, 4) + ((Little(footer, 20, 4) >> 31) ? 32 : 0));
      if (size <= end - start) end -= size;
    }
  }
  return end;
}

// The first frame in [start, end) that the next frame confirms (or that
// ends the audio exactly), looked for within the search window; -1 if none.
std::int64_t FirstFrame(const Reader& r, std::int64_t start, std::int64_t end, Frame& first) {
  std::string window;
  std::size_t next = 0;
  for (const std::int64_t want : {std::int64_t{1024}, std::int64_t{8192}, kFrameSearch}) {
    const std::int64_t size = std::min(want, end - start);
    if (size > static_cast<std::int64_t>(window.size()))
      window += r.At(start + static_cast<std::int64_t>(window.size()), size - static_cast<std::int64_t>(window.size()));
    for (; next + 4 <= window.size(); ++next) {
      Frame f;
      if (!ParseFrame(window, next, f)) continue;
      const std::int64_t after = start + static_cast<std::int64_t>(next) + f.length;
      if (after > end) continue;
      Frame g;
      const std::size_t inside = next + static_cast<std::size_t>(f.length);
      const bool confirmed = after == end || (inside + 4 <= window.size() ? ParseFrame(window, inside, g)
                                                                           : ParseFrame(r.At(after, 4), 0, g));
      if (confirmed && (after == end || SameStream(f, g))) {
        first = f;
        return start + static_cast<std::int64_t>(next);
      }
    }
  }
  return -1;
}

// The frames from `at` while they follow each other within `block`: their
// count, their bytes, and whether all have the bitrate of `stream`.
struct Run {
  Run(const std::string& block, std::size_t at, const Frame& stream) {
    Frame f;
    while (ParseFrame(block, at, f) && SameStream(f, stream) && at + static_cast<std::size_t>(f.length) <= block.size()) {
      bytes += f.length;
      ++frames;
      constant = constant && f.bitrate == stream.bitrate;
      at += static_cast<std::size_t>(f.length);
    }
  }
  std::int64_t frames = 0, bytes = 0;
  bool constant = true;
};

// The frames in [first, end) of a file that does not say how many it has
// (VBR without a Xing frame, whose first frame's bitrate can be far from
// the mean): the frames of a head are counted, those of the rest estimated
// from runs of frames read in the middle of each of its quarters. The head
// is first the 1 kB the first frame was found in: when it and the middle of
// the file hold one bitrate, the file is taken for CBR and nothing more is
// read. Else the head is the first 4 kB (a VBR encoder's first frames are
// unlike the rest) and the other quarters are read too.
double FrameCount(const Reader& r, std::int64_t first, std::int64_t end, const Frame& stream) {
  constexpr int kPlaces = 4;
  constexpr std::int64_t kShortHead = 1024, kHead = 4096, kSample = 8192;
  Run head(r.At(first, kShortHead), 0, stream);
  double perByte = 0;
  int places = 0;
  bool constant = head.constant;
  for (const int k : {2, 0, 1, 3}) {
    const std::int64_t rest = end - first - head.bytes;
    if (rest <= 0 || (places > 0 && constant)) break;
    const std::string block = r.Once(first + head.bytes + rest * (2 * k + 1) / (2 * kPlaces), kSample);
    for (std::size_t i = 0; i + 4 <= block.size(); ++i) {
      const Run run(block, i, stream);
      if (run.frames >= 2) {  // two frames in a row: in step with the stream
        perByte += static_cast<double>(run.frames) / static_cast<double>(run.bytes);
        constant = constant && run.constant;
        ++places;
        break;
      }
    }
    if (k == 2 && !(places > 0 && constant)) {
      head = Run(r.At(first, kHead), 0, stream);
      constant = constant && head.constant;
    }
  }
  const double mean = places > 0 ? perByte / places : 1.0 / stream.length;
  return static_cast<double>(head.frames) + static_cast<double>(std::max<std::int64_t>(end - first - head.bytes, 0)) * mean;
}

StreamLength MpegLength(const Reader& r) {
  const std::int64_t start = PastId3v2(r, 0);
  const std::int64_t end = AudioEnd(r, start);
  Frame h;
  const std::int64_t at = FirstFrame(r, start, end, h);
  if (at < 0) return {};
  const std::string frame = r.At(at, std::min(h.length, 4 + 32 + 120 + 24));
  // A Xing ("Info" when CBR) frame after the side information.
  const std::size_t x = 4 + static_cast<std::size_t>(h.version == 3 ? (h.mono ? 17 : 32) : (h.mono ? 9 : 17));
  if ((Has(frame, x, "Xing") || Has(frame, x, "Info")) && frame.size() >= x + 12) {
    const std::uint64_t flags = Big(frame, x + 4, 4);
    if (flags & 1) {
      std::uint64_t samples = Big(frame, x + 8, 4) * static_cast<std::uint64_t>(h.samples);
      // An encoder's tag after the Xing fields gives its delay and padding.
      const std::size_t lame = x + 8 + ((flags & 1) ? 4 : 0) + ((flags & 2) ? 4 : 0) + ((flags & 4) ? 100 : 0) +
                               ((flags & 8) ? 4 : 0);
      if ((Has(frame, lame, "LAME") || Has(frame, lame, "Lavc") || Has(frame, lame, "Lavf")) &&
          frame.size() >= lame + 24) {
        const std::uint64_t edges = Big(frame, lame + 21, 3);
        const std::uint64_t trimmed = (edges >> 12) + (edges & 0xFFF);
        if (trimmed < samples) samples -= trimmed;
      }
      return {true, Ms(samples, static_cast<std::uint64_t>(h.sampleRate))};
    }
  }
  if (Has(frame, 36, "VBRI") && frame.size() >= 36 + 18)
    return {true, Ms(Big(frame, 36 + 14, 4) * static_cast<std::uint64_t>(h.samples), static_cast<std::uint64_t>(h.sampleRate))};
  const double frames = FrameCount(r, at, end, h);
  return {true, Ms(static_cast<std::uint64_t>(frames * h.samples), static_cast<std::uint64_t>(h.sampleRate))};
}

// ---- FLAC ----

StreamLength FlacLength(const Reader& r) {
  const std::string head = r.At(PastId3v2(r, 0), 4 + 4 + 34);
  // "fLaC", then STREAMINFO, always the first block.
  if (head.size() < 42 || !Has(head, 0, "fLaC") || (Byte(head, 4) & 0x7F) != 0 || Big(head, 5, 3) < 34) return {};
  // Sample rate (20 bits), channels (3), bits per sample (5), total samples (36).
  const std::uint64_t packed = Big(head, 18, 8);
  const std::uint64_t rate = packed >> 44;
  if (rate == 0) return {};
  return {true, Ms(packed & ((std::uint64_t{1} << 36) - 1), rate)};
}

// ---- Ogg Vorbis, Opus ----

// The size of the Ogg page whose header starts at `at` in `b`, 0 when its
// header is not all there.
std::size_t OggPageSize(const std::string& b, std::size_t at) {
  if (!Has(b, at, "OggS") || b.size() < at + 27 || Byte(b, at + 4) != 0) return 0;
  const std::size_t segments = Byte(b, at + 26);
  if (b.size() < at + 27 + segments) return 0;
  std::size_t size = 27 + segments;
  for (std::size_t i = 0; i < segments; ++i) size += Byte(b, at + 27 + i);
  return size;
}

StreamLength OggLength(const Reader& r, MediaFormat format) {
  const std::string head = r.At(0, 27 + 255 + 19);
  if (OggPageSize(head, 0) == 0) return {};
  const std::uint64_t serial = Little(head, 14, 4);
  const std::size_t packet = 27 + Byte(head, 26);
  std::uint64_t rate = 0, preSkip = 0;
  if (format == MediaFormat::kOpus && Has(head, packet, "OpusHead") && head.size() >= packet + 12) {
    rate = 48000;  // Opus granules count 48 kHz samples whatever the input rate
    preSkip = Little(head, packet + 10, 2);
  } else if (format == MediaFormat::kOggVorbis && Has(head, packet, "\x01vorbis") && head.size() >= packet + 16) {
    rate = Little(head, packet + 12, 4);
  }
  if (rate == 0) return {};
  // The last page of this stream that ends a packet, within the file.
  for (const std::int64_t want : {std::int64_t{8192}, kOggTail}) {
    const std::int64_t from = std::max<std::int64_t>(0, r.length() - want);
    const std::string tail = r.At(from, r.length() - from);
    for (std::size_t at = tail.rfind("OggS"); at != std::string::npos; at = at ? tail.rfind("OggS", at - 1) : std::string::npos) {
      const std::size_t size = OggPageSize(tail, at);
      if (size == 0 || at + size > tail.size() || Little(tail, at + 14, 4) != serial) continue;
      const std::uint64_t granule = Little(tail, at + 6, 8);
      if (granule == ~std::uint64_t{0}) continue;  // no packet ends on this page
      return {true, granule > preSkip ? Ms(granule - preSkip, rate) : 0};
    }
    if (from == 0) break;
  }
  return {true, 0};
}

// ---- MP4 ----

struct Box {
  std::int64_t start = 0, end = 0, body = 0;
  std::string type;
};

// The box at `at`, which must end by `limit`.
bool BoxAt(const Reader& r, std::int64_t at, std::int64_t limit, Box& box) {
  if (at + 8 > limit) return false;
  const std::string h = r.At(at, 16);
  if (h.size() < 8) return false;
  auto size = static_cast<std::int64_t>(Big(h, 0, 4));
  std::int64_t header = 8;
  if (size == 1) {
    if (h.size() < 16) return false;
    size = static_cast<std::int64_t>(Big(h, 8, 8));
    header = 16;
  } else if (size == 0) {
    size = limit - at;  // to the end
  }
  if (size < header || size > limit - at) return false;
  box = {at, at + size, at + header, h.substr(4, 4)};
  return true;
}

// The first box of `type` in [from, limit).
bool FindBox(const Reader& r, std::int64_t from, std::int64_t limit, const char* type, Box& out) {
  Box box;
  for (int n = 0; n < kMaxBoxes && BoxAt(r, from, limit, box); ++n, from = box.end)
    if (box.type == type) {
      out = box;
      return true;
    }
  return false;
}

// The box down a path of nested boxes inside `box`.
bool FindPath(const Reader& r, Box box, std::initializer_list<const char*> path, Box& out) {
  for (const char* type : path)
    if (!FindBox(r, box.body, box.end, type, box)) return false;
  out = box;
  return true;
}

// A movie or media header's time scale and duration (versions 0 and 1).
bool Duration(const Reader& r, const Box& header, std::uint64_t& scale, std::uint64_t& duration) {
  const std::string b = r.At(header.body, 32);
  if (b.empty()) return false;
  if (Byte(b, 0) == 1) {
    if (b.size() < 32) return false;
    scale = Big(b, 20, 4);
    duration = Big(b, 24, 8);
  } else {
    if (b.size() < 20) return false;
    scale = Big(b, 12, 4);
    duration = Big(b, 16, 4);
  }
  return scale > 0;
}

StreamLength Mp4Length(const Reader& r) {
  Box moov;
  if (!FindBox(r, 0, r.length(), "moov", moov)) return {};
  Box trak;
  trak.end = moov.body;
  int traks = 0;
  // The first sound track of a codec whose description TagLib reads.
  while (++traks <= kMaxBoxes && FindBox(r, trak.end, moov.end, "trak", trak)) {
    Box hdlr, mdhd, stsd;
    if (!FindPath(r, trak, {"mdia", "hdlr"}, hdlr) || !Has(r.At(hdlr.body + 8, 4), 0, "soun")) continue;
    if (!FindPath(r, trak, {"mdia", "minf", "stbl", "stsd"}, stsd)) continue;
    const std::string entry = r.At(stsd.body + 12, 4);
    if (entry != "mp4a" && entry != "alac") continue;
    std::uint64_t scale = 0, duration = 0;
    if (!FindPath(r, trak, {"mdia", "mdhd"}, mdhd) || !Duration(r, mdhd, scale, duration)) continue;
    Box mvhd;
    if (duration == 0 && FindBox(r, moov.body, moov.end, "mvhd", mvhd)) Duration(r, mvhd, scale, duration);
    return {true, Ms(duration, scale)};
  }
  return {};
}

}  // namespace

StreamLength StreamLength::Of(TagLib::IOStream& stream, MediaFormat format) {
  const Reader reader(stream);
  switch (format) {
    case MediaFormat::kMpeg: return MpegLength(reader);
    case MediaFormat::kFlac: return FlacLength(reader);
    case MediaFormat::kMp4: return Mp4Length(reader);
    case MediaFormat::kOggVorbis:
    case MediaFormat::kOpus: return OggLength(reader, format);
    default: return {};
  }
}

}  // namespace Meridex
