// The state behind a CTags, for the files that define its members.
#pragma once

#include <vector>

#include "meridex/PictureTag.h"
#include "meridex/Tags.h"
#include "nimbrel/CString.h"

namespace Meridex {

struct CTags::Impl {
  CString tempFolder;
  CString filePath;  // the file read from; empty when not tied to a file
  std::vector<CString> artists;
  std::vector<CString> composers;
  CString title;
  CString album;
  CString genre;
  CString year;
  CString trackNumber;
  CString comment;
  CString originalArtist;
  CString copyright;
  CString encodedBy;
  CString lyrics;
  CString url;
  CString source;  // in memory only
  std::vector<CPictureTag> pictures;
};

}  // namespace Meridex
