// Feeds arbitrary bytes to the web plug-ins' response readers: the JSON
// reader, then every reader of MusicBrainz and LRCLIB answers on whatever it
// built, and the picture-size probe of the amazon plug-in on the raw bytes.
// Also checks that text written back from any string survives the round trip
// between UTF-8 and wide strings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "../../plugins/amazon/PictureSize.h"
#include "../../plugins/common/Json.h"
#include "../../plugins/common/Text.h"
#include "../../plugins/lrclib/LrclibParser.h"
#include "../../plugins/musicbrainz/MusicBrainzParser.h"

namespace {

void Visit(const plugin_json::Value& value) {
  if (value.IsString()) {
    const std::wstring wide = plugin_text::Widen(value.Text());
    if (plugin_text::Widen(plugin_text::Narrow(wide)) != wide) std::abort();
    return;
  }
  for (const auto& item : value.Items()) Visit(item);
  for (const auto& member : value.Members()) Visit(member.second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  int width = 0, height = 0;
  amazon::PictureSize(bytes, width, height);

  plugin_json::Value value;
  if (!plugin_json::Parse(bytes, value).ok) return 0;
  Visit(value);
  std::int32_t recordings = 0;
  musicbrainz::ReleasesOfRecordings(value, 0, L"Artist", recordings);
  musicbrainz::ArtistIdOf(value, L"Artist");
  std::int64_t total = 0;
  std::vector<musicbrainz::RankedAlbum> browsed;
  musicbrainz::ReleasesOfPage(value, L"Artist", browsed, total);
  musicbrainz::InRankOrder(std::move(browsed));
  Nimbrel::AlbumInfo album;
  album.albumNumber = 2;
  Nimbrel::CoverInfo cover;
  std::list<Nimbrel::TrackInfo> tracks;
  musicbrainz::ReadRelease(value, "http://127.0.0.1", true, album, cover, tracks);
  const auto readRecord = [](const plugin_json::Value& record) {
    Nimbrel::LyricsInfo candidate;
    std::wstring text;
    lrclib::ReadRecord(record, candidate, text);
  };
  readRecord(value);
  for (const auto& item : value.Items()) readRecord(item);
  return 0;
}
