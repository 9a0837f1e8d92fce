// The downloader that the download functions construct: the base behaviour
// unchanged, one object per request.
#pragma once

#include "net/HttpDownloaderBase.h"

class CHttpDownload : public CHttpDownloaderBase {
 public:
  using CHttpDownloaderBase::CHttpDownloaderBase;
};
