// Small, valid audio files made from code, for tests and benchmarks that
// need real media files without checking binaries in.
#pragma once

#include <string>

namespace testing_support {

// MPEG-1 Layer III, 44.1 kHz mono, 128 kbit/s: `frames` silent frames.
std::string MakeMp3(int frames = 12);
// FLAC, 44.1 kHz mono 16 bit: STREAMINFO and one frame of 192 silent samples.
std::string MakeFlac();
// WAV (PCM, 44.1 kHz mono 16 bit) with `samples` silent samples.
std::string MakeWav(int samples = 441);
// AIFF (44.1 kHz mono 16 bit) with `samples` silent samples.
std::string MakeAiff(int samples = 441);
// A 1x1 PNG picture.
std::string MakePng();

// Ogg Vorbis, Opus and MP4 (AAC) need a real encoder: these run ffmpeg (a
// Debian package) on a tenth of a second of silence and write `path`. False
// when ffmpeg is not installed or fails.
bool HaveFfmpeg();
bool MakeWithFfmpeg(const std::wstring& path, const char* codec);

}  // namespace testing_support
