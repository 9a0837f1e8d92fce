#include "support/AudioSamples.h"

#include <cstdint>
#include <cstdlib>

#include "platform/TextCodec.h"

namespace testing_support {

namespace {

void BigEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}
void LittleEndian(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The checksums of a FLAC frame: CRC-8 (polynomial 0x07) over its header and
// CRC-16 (polynomial 0x8005) over the whole frame, both starting at 0.
std::uint8_t Crc8(const std::string& bytes) {
  std::uint8_t crc = 0;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}
std::uint16_t Crc16(const std::string& bytes) {
  std::uint16_t crc = 0;
  for (unsigned char byte : bytes) {
    crc ^= static_cast<std::uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1);
  }
  return crc;
}

}  // namespace

std::string MakeMp3(int frames) {
  // Header FF FB 90 C0: MPEG-1 Layer III without CRC, 128 kbit/s, 44.1 kHz,
  // no padding, mono. 144 * 128000 / 44100 = 417 bytes a frame; all-zero
  // side information means no main data, that is silence.
  std::string frame("\xFF\xFB\x90\xC0", 4);
  frame.resize(417, '\0');
  std::string out;
  for (int i = 0; i < frames; ++i) out += frame;
  return out;
}

std::string MakeFlac() {
  std::string out = "fLaC";
  out += std::string("\x80\x00\x00\x22", 4);  // last metadata block: STREAMINFO, 34 bytes
  BigEndian(out, 192, 2);                     // smallest and largest block: 192 samples
  BigEndian(out, 192, 2);
  BigEndian(out, 0, 3);  // frame sizes unknown
  BigEndian(out, 0, 3);
  // Sample rate (20 bits), channels - 1 (3), bits per sample - 1 (5), total samples (36).
  BigEndian(out, (std::uint64_t{44100} << 44) | (std::uint64_t{15} << 36) | 192, 8);
  out += std::string(16, '\0');  // no MD5 signature

  // One frame: fixed block size, 192 samples (code 1), 44.1 kHz (code 9),
  // mono, 16 bit (code 4), frame number 0; one CONSTANT subframe of 0.
  std::string frame("\xFF\xF8\x19\x08\x00", 5);
  frame += static_cast<char>(Crc8(frame));
  frame += std::string("\x00\x00\x00", 3);
  BigEndian(frame, Crc16(frame), 2);
  return out + frame;
}

std::string MakeWav(int samples) {
  const auto data = static_cast<std::uint32_t>(samples * 2);
  std::string out = "RIFF";
  LittleEndian(out, 36 + data, 4);
  out += "WAVEfmt ";
  LittleEndian(out, 16, 4);
  LittleEndian(out, 1, 2);  // PCM
  LittleEndian(out, 1, 2);  // mono
  LittleEndian(out, 44100, 4);
  LittleEndian(out, 88200, 4);  // bytes per second
  LittleEndian(out, 2, 2);      // bytes per sample frame
  LittleEndian(out, 16, 2);
  out += "data";
  LittleEndian(out, data, 4);
  return out + std::string(data, '\0');
}

std::string MakeAiff(int samples) {
  const auto data = static_cast<std::uint32_t>(samples * 2);
  std::string out = "FORM";
  BigEndian(out, 4 + 26 + 16 + data, 4);
  out += "AIFFCOMM";
  BigEndian(out, 18, 4);
  BigEndian(out, 1, 2);  // mono
  BigEndian(out, static_cast<std::uint32_t>(samples), 4);
  BigEndian(out, 16, 2);
  out += std::string("\x40\x0E\xAC\x44\x00\x00\x00\x00\x00\x00", 10);  // 44100 as an 80-bit float
  out += "SSND";
  BigEndian(out, 8 + data, 4);
  BigEndian(out, 0, 8);  // offset and block size
  return out + std::string(data, '\0');
}

std::string MakePng() {
  static const unsigned char kPng[] = {
      0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00,
      0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00,
      0x00, 0x00, 0x0A, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0x00, 0x01, 0x00, 0x00, 0x05, 0x00, 0x01,
      0x0D, 0x0A, 0x2D, 0xB4, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  return std::string(reinterpret_cast<const char*>(kPng), sizeof kPng);
}

bool HaveFfmpeg() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }

bool MakeWithFfmpeg(const std::wstring& path, const char* codec) {
  const std::string command = std::string("ffmpeg -nostdin -loglevel error -y -f lavfi -i anullsrc=r=48000:cl=mono ") +
                              "-t 0.1 -c:a " + codec + " '" + platform::ToUtf8(path) + "' </dev/null >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace testing_support
