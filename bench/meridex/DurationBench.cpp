// What reading a file's length costs next to reading its tags. TagLib
// opened without its audio description (tags only) against opened with it
// in its fast reading style; Meridex's read with the length and the same
// read with its length reading switched off (the goal: the length adds at
// most 10 %, MeridexRead/1 over MeridexRead/0); and Meridex's stream-header
// reader alone on open files, which bounds that cost from above (alone, it
// pays for the blocks that the read then finds kept). 200 files of each
// format with typical tags and a 20 kB cover; MP3 files without a Xing frame
// are the costliest case (frames sampled); those with an Info frame are what
// encoders make.
#include <benchmark/benchmark.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <string>
#include <vector>

#include "FormatTags.h"
#include "MediaFormat.h"
#include "ReadStream.h"
#include "StreamLength.h"

#include "meridex/Tags.h"
#include "platform/Env.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"
#include "support/AudioSamples.h"

namespace {

constexpr int kFiles = 200;

class Files {
 public:
  // `info`: an MP3 whose first frame is an Info frame with the frame count, as encoders write.
  explicit Files(const std::wstring& extension, bool info = false) {
    folder_ = platform::Env::Current()->TempFolder() + L"duration-bench-" +
              std::to_wstring(platform::CurrentProcessId()) + L"-" + extension + (info ? L"-info" : L"") + L"/";
    platform::CreateDirectory(folder_);
    const std::wstring cover = folder_ + L"cover.png";
    platform::File::WriteAll(cover, testing_support::MakePng() + std::string(20000, 'x'));
    const std::wstring first = folder_ + L"song0." + extension;
    if (extension == L"m4a") {
      if (!testing_support::MakeWithFfmpeg(first, "aac")) return;
    } else {
      std::string audio = extension == L"mp3" ? testing_support::MakeMp3(2000) : testing_support::MakeFlac();
      if (info) audio.replace(4 + 17, 12, std::string("Info\0\0\0\x01\0\0\x07\xCF", 12));  // 1999 frames
      platform::File::WriteAll(first, audio);
    }
    std::string audio;
    platform::File::ReadAll(first, audio);
    for (int i = 0; i < kFiles; ++i) {
      const std::wstring path = folder_ + L"song" + std::to_wstring(i) + L"." + extension;
      platform::File::WriteAll(path, audio);
      Meridex::CTags tags;
      tags.AddArtist(L"Artist", false);
      tags.SetTitle(L"Title " + std::to_wstring(i));
      tags.SetAlbum(L"Album");
      tags.SetTrackNumber(L"3/12");
      tags.SetDiscNumber(L"1/2");
      tags.SetReleaseId(L"0a1b2c3d-0000-4000-8000-000000000001");
      tags.AddPicture(Meridex::CPictureTag(cover, L"image/png", 3, L"", false));
      if (!tags.SaveFile(path).ok) std::abort();
      paths_.push_back(platform::ToUtf8(path));
    }
    platform::DeleteFile(cover);
  }
  ~Files() {
    for (const std::string& path : paths_) platform::DeleteFile(platform::FromUtf8(path));
    platform::RemoveDirectory(folder_);
  }
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  std::wstring folder_;
  std::vector<std::string> paths_;
};

const Files& Of(int format) {
  static const Files mp3(L"mp3"), flac(L"flac"), m4a(L"m4a"), mp3Info(L"mp3", true);
  return format == 0 ? mp3 : format == 1 ? flac : format == 2 ? m4a : mp3Info;
}

void Label(benchmark::State& state) {
  static const char* const kLabels[] = {"mp3", "flac", "m4a", "mp3 with Info frame"};
  state.SetLabel(kLabels[state.range(0)]);
}

void BM_TagsOnly(benchmark::State& state) {
  const Files& files = Of(static_cast<int>(state.range(0)));
  if (files.paths().empty()) return state.SkipWithError("no files (ffmpeg missing?)");
  for (auto _ : state) {
    for (const std::string& path : files.paths()) {
      TagLib::FileRef ref(path.c_str(), false);
      benchmark::DoNotOptimize(ref.tag()->title());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(files.paths().size()));
  Label(state);
}

void BM_TagsAndLength(benchmark::State& state) {
  const Files& files = Of(static_cast<int>(state.range(0)));
  if (files.paths().empty()) return state.SkipWithError("no files (ffmpeg missing?)");
  for (auto _ : state) {
    for (const std::string& path : files.paths()) {
      TagLib::FileRef ref(path.c_str(), true, TagLib::AudioProperties::Fast);
      benchmark::DoNotOptimize(ref.tag()->title());
      benchmark::DoNotOptimize(ref.audioProperties()->lengthInMilliseconds());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(files.paths().size()));
  Label(state);
}

// Meridex's read; the second argument 0 switches its length reading off.
void BM_MeridexRead(benchmark::State& state) {
  const Files& files = Of(static_cast<int>(state.range(0)));
  if (files.paths().empty()) return state.SkipWithError("no files (ffmpeg missing?)");
  Meridex::formats::SetLengthReading(state.range(1) != 0);
  for (auto _ : state) {
    for (const std::string& path : files.paths()) {
      Meridex::CTags tags;
      if (!tags.ReadFile(CString(platform::FromUtf8(path))).ok) state.SkipWithError("read failed");
      benchmark::DoNotOptimize(tags.GetLengthMs());
    }
  }
  Meridex::formats::SetLengthReading(true);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(files.paths().size()));
  Label(state);
}

// The reader as Meridex's read runs it: first, on a fresh stream of an open file.
void BM_StreamLength(benchmark::State& state) {
  const Files& files = Of(static_cast<int>(state.range(0)));
  if (files.paths().empty()) return state.SkipWithError("no files (ffmpeg missing?)");
  const Meridex::MediaFormat format = state.range(0) == 1   ? Meridex::MediaFormat::kFlac
                                      : state.range(0) == 2 ? Meridex::MediaFormat::kMp4
                                                            : Meridex::MediaFormat::kMpeg;
  std::vector<platform::File> open(files.paths().size());
  for (std::size_t i = 0; i < open.size(); ++i)
    if (!open[i].Open(platform::FromUtf8(files.paths()[i]), platform::File::Mode::kRead)) std::abort();
  for (auto _ : state) {
    for (platform::File& file : open) {
      Meridex::ReadStream stream(file, std::string());
      const Meridex::StreamLength length = Meridex::StreamLength::Of(stream, format);
      if (!length.found) state.SkipWithError("no length");
      benchmark::DoNotOptimize(length.ms);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(files.paths().size()));
  Label(state);
}

BENCHMARK(BM_TagsOnly)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TagsAndLength)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeridexRead)->ArgsProduct({{0, 1, 2, 3}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamLength)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
