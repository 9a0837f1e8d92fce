#include "FileIdentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace nimbrel_tag {

bool FileIdentity::Of(const std::string& path, FileIdentity& out, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return error = std::strerror(errno), false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return error = "not a regular file", false;
  }
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> hash(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = hash && EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) == 1;
  static constexpr std::size_t kChunk = 1 << 16;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  ssize_t n = 0;
  while (ok && (n = ::read(fd, buffer.get(), kChunk)) > 0)
    ok = EVP_DigestUpdate(hash.get(), buffer.get(), static_cast<std::size_t>(n)) == 1;
  if (n < 0) error = std::strerror(errno), ok = false;
  ::close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (!ok || EVP_DigestFinal_ex(hash.get(), digest, &length) != 1) {
    if (error.empty()) error = "cannot compute its checksum";
    return false;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out.sha256.clear();
  for (unsigned i = 0; i < length; ++i) out.sha256 += {kHex[digest[i] >> 4], kHex[digest[i] & 15]};
  out.device = info.st_dev;
  out.inode = info.st_ino;
  out.size = info.st_size;
  out.modifiedNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return true;
}

std::string FileIdentity::DifferenceTo(const FileIdentity& now) const {
  if (device != now.device || inode != now.inode) return "another file now has its name";
  if (size != now.size) return "its size changed";
  if (sha256 != now.sha256) return "its content changed";
  if (modifiedNs != now.modifiedNs) return "its modification time changed";
  return std::string();
}

}  // namespace nimbrel_tag
