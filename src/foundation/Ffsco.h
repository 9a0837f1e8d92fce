// A file finder that searches a folder, optionally with its subfolders, for
// files whose extensions appear in a pattern.
#pragma once

#include <cstdint>
#include <vector>

#include "nimbrel/CString.h"

namespace ffd {

class ffsco {
 public:
  static constexpr std::int32_t kDefaultResultLimit = 16777216;  // 2^24
  static constexpr std::int32_t kResultLimitCeiling = 268435456;  // 2^28, never reached

  ffsco() = default;

  // Whether `fileName` is accepted by `pattern`: both are upper-cased (a to z
  // only), the name is reduced to its extension with the dot (from its last
  // "."), or kept whole when it has no "."; accepted when that text occurs
  // anywhere in the pattern. So ".so" accepts "X.SO" and "so" but not
  // "X.so.bak", and ".so.dll" accepts either extension. Subclasses may filter
  // otherwise; Find calls this at every depth.
  virtual bool Match(const CString& pattern, const CString& fileName);
  virtual ~ffsco() = default;

  // Below 1 selects the default limit; 1 up to 2^28 - 1 sets it; larger
  // values leave the limit unchanged.
  void SetResultLimit(std::int32_t limit);
  std::int32_t ResultLimit() const { return resultLimit_; }
  // Whether Find descends into subfolders (off by default).
  void SetRecursive(bool recursive) { recursive_ = recursive ? 1 : 0; }
  bool IsRecursive() const { return recursive_ != 0; }

  // Searches `folder` (a separator is added when missing) for the files that
  // `pattern` accepts (see Match; "", "*" and "*.*" accept every file), and,
  // when recursive, its subfolders. Names beginning with "." are skipped,
  // files and folders alike, and so is everything below them. Folders that
  // are symbolic links are listed but not entered, so a link loop cannot
  // trap the search. Entries of a folder are taken in name order (without
  // regard to case first); a subfolder's content follows right where the
  // subfolder was met. The search stops when files plus folders found
  // (counting `folder` itself) reach the result limit.
  // Replaces the three lists; returns the number of files found.
  int Find(const CString& folder, const CString& pattern);

  // Full paths of the accepted files, in the order found.
  const std::vector<CString>& Files() const { return files_; }
  // `folder` itself first, then every folder found, each ending with the separator.
  const std::vector<CString>& Folders() const { return folders_; }
  // Folders() followed by Files().
  const std::vector<CString>& All() const { return all_; }

 private:
  // Searches one folder (ending with the separator); false once the limit is reached.
  bool Search(const CString& folder, const CString& pattern);
  bool LimitReached() const;

  std::int32_t resultLimit_ = kDefaultResultLimit;
  std::int32_t recursive_ = 0;
  std::vector<CString> files_;
  std::vector<CString> folders_;
  std::vector<CString> all_;
};

}  // namespace ffd
