#include "sources/Update.h"

#include <algorithm>
#include <exception>
#include <string>
#include <string_view>

#include "foundation/FileUtils.h"
#include "foundation/FolderHelpers.h"
#include "foundation/Masterlog.h"
#include "foundation/PathNames.h"
#include "foundation/StdioFileEx.h"
#include "foundation/WideToInt.h"
#include "foundation/XmlNode.h"
#include "net/Downloads.h"
#include "net/InternetConnection.h"
#include "platform/FileSystem.h"
#include "platform/NoDestructor.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"
#include "sources/DllSources.h"

namespace {

constexpr int kError = 10;
constexpr int kInfo = 30;

// Kinds whose plug-ins are listed, installed and downloaded; ArtistInfo only
// has its folder and its (empty) element in Sources.xml.
constexpr int kUpdatedKinds = 2;

// A name from the update list as it may appear in the log: control
// characters would forge log lines, and a huge name would flood the log.
CString Printable(const CString& text) {
  constexpr std::size_t kMaxLength = 200;
  std::wstring out;
  for (wchar_t c : std::wstring_view(text.str()).substr(0, kMaxLength)) out += (c < 0x20 || c == 0x7F) ? L'?' : c;
  if (text.str().size() > kMaxLength) out += L"...";
  return CString(std::move(out));
}

}  // namespace

CUpdate::CUpdate() : kindNames_{L"General", L"Lyrics", L"ArtistInfo"} {
  // Updates log; the log must outlive the updater.
  CMasterlog::Instance();
}

CCriticalSection& CUpdate::UpdateLock() {
  // Never destroyed: an update may still hold it while the process exits.
  static platform::NoDestructor<CCriticalSection> lock;
  return *lock;
}

bool CUpdate::IsSafeModuleName(const CString& name) {
  // A leading "." also makes a hidden file, which neither the registry nor
  // the updater would ever find again.
  if (name.IsEmpty() || name.str().front() == L'.') return false;
  return std::none_of(name.str().begin(), name.str().end(),
                      [](wchar_t c) { return c == L'/' || c == L'\\' || c < 0x20 || c == 0x7F; });
}

void CUpdate::SetParameters(const CString& updateUrl, const CString& workingDirectory, const CString& proxy) {
  CSingleLock lock(&UpdateLock());
  updateUrl_ = updateUrl;
  workingDirectory_ = workingDirectory;
  proxy_ = proxy;
  if (workingDirectory_.IsEmpty()) return;
  AddTrailingBackslash(workingDirectory_);
  CreateDirectoryRecursive(workingDirectory_);
  for (const CString& kind : kindNames_) CreateDirectoryRecursive(workingDirectory_ + kind + platform::kPathSeparator);
}

bool CUpdate::Update() {
  CSingleLock lock(&UpdateLock());
  try {
    LogF(kInfo, L"CUpdate::Update: Start update. Url=%s", updateUrl_);
    if (!ReadyToUpdate()) return false;
    std::vector<SourceInfo> available;
    if (GetAvailableSources(available) == -1) return false;
    std::vector<SourceInfo> installed;
    GetInstalledSources(installed);
    DoUpdateSources(available, installed);
    return CreateNewXml(available) > 0;
  } catch (const std::exception& e) {
    // The update runs on a thread of its own: nothing may escape it.
    LogF(kError, L"CUpdate::Update: Update failed: %s", platform::FromUtf8(e.what()));
  } catch (...) {
    LogF(kError, L"CUpdate::Update: Update failed: unknown exception");
  }
  return false;
}

bool CUpdate::ReadyToUpdate() {
  if (updateUrl_.IsEmpty()) {
    LogF(kError, L"CUpdate::ReadyToUpdate: Update failed: Update url is empty");
    return false;
  }
  if (workingDirectory_.IsEmpty()) {
    LogF(kError, L"CUpdate::ReadyToUpdate: Update failed: Working dir is empty");
    return false;
  }
  if (nimbrel::CheckInternetAvailable(proxy_.str())) return true;
  LogF(kError, L"CUpdate::ReadyToUpdate: Update failed: NO internet connection. KX_Proxy:%s", proxy_);
  return false;
}

int CUpdate::GetAvailableSources(std::vector<SourceInfo>& sources) {
  CString text;
  if (!nimbrel::DownloadText(updateUrl_.str(), text, proxy_.str(), 0, {})) {
    LogF(kError, L"CUpdate::GetAvailableSources: Update failed: config (XML) file missing.");
    return -1;
  }
  // Options of our own with the default settings: the shared defaults would
  // mix this parse's error record with that of a registry parsing meanwhile.
  XmlParseOptions options;
  XmlNode root;
  if (!root.Load(text.GetString(), &options)) {
    LogF(kError, L"CUpdate::GetAvailableSources: Update failed: invalid XML");
    return -1;
  }
  for (int k = 0; k < kUpdatedKinds; ++k) ParseAvailableSources(root, kindNames_[k], sources);
  return static_cast<int>(sources.size());
}

void CUpdate::ParseAvailableSources(const XmlNode& document, const CString& kind, std::vector<SourceInfo>& sources) {
  const XmlNode* kindNode = document.FindChild(kind);
  if (!kindNode) return;
  const XmlWriteOptions* textOptions = &DefaultXmlWriteOptions();
  for (const XmlNode* dll : kindNode->GetChildren(L"DLL")) {
    SourceInfo source;
    source.kind = kind;
    const wchar_t* name = dll->GetAttributeValue(L"Name");
    if (!name) continue;
    source.name = name;
    source.name.Trim();
    const wchar_t* version = dll->GetAttributeValue(L"Version");
    if (!version) continue;
    CString versionText = version;
    source.version.SetVersionFromString(versionText.Trim());
    source.location = dll->GetChildText(L"DLLURL", textOptions);
    if (source.location.Trim().IsEmpty()) continue;
    CString priority = dll->GetChildText(L"Priority", textOptions);
    source.priority = WideToInt(priority.Trim().str());
    if (const XmlNode* locales = dll->FindChild(L"DLLLocales")) {
      for (const auto& child : locales->children) {
        CString locale = child->GetText(textOptions);
        if (!locale.Trim().IsEmpty()) source.locales.push_back(locale);
      }
    }
    // The name becomes a file name in the kind folder: one that could lead
    // elsewhere must never reach a download or a deletion.
    if (!IsSafeModuleName(source.name)) {
      LogF(kError, L"CUpdate::ParseAvailableSources: DLL refused, its name is not a plain file name: [%s] in %s",
           Printable(source.name), kind);
      continue;
    }
    sources.push_back(std::move(source));
  }
}

void CUpdate::GetInstalledSources(std::vector<SourceInfo>& sources) {
  if (workingDirectory_.IsEmpty()) return;  // never the process's current folder
  for (int k = 0; k < kUpdatedKinds; ++k) {
    std::vector<CString> files;
    ListFiles(workingDirectory_ + kindNames_[k], CString(L"*") + CDllSources::kModuleSuffix, files);
    for (const CString& file : files) {
      SourceInfo source;
      source.kind = kindNames_[k];
      source.name = GetFileTitleOf(file);
      source.location = file;
      source.version.SetVersionFromModule(file);  // empty without a version stamp
      sources.push_back(std::move(source));
    }
  }
}

void CUpdate::DoUpdateSources(std::vector<SourceInfo>& available, std::vector<SourceInfo>& installed) {
  int deleted = 0;
  int downloaded = 0;
  int failed = 0;
  // An installed module stays only when it is listed under its own kind with
  // a version that is not newer.
  for (auto it = installed.begin(); it != installed.end();) {
    const bool current = std::any_of(available.begin(), available.end(), [&](const SourceInfo& listed) {
      return listed.name == it->name && it->version.IsNewerOrEqual(listed.version) && listed.kind == it->kind;
    });
    if (current) {
      ++it;
      continue;
    }
    platform::DeleteFile(it->location.str());  // a failure shows when the download writes over it
    it = installed.erase(it);
    ++deleted;
  }
  for (auto it = available.begin(); it != available.end();) {
    const bool present = std::any_of(installed.begin(), installed.end(), [&](const SourceInfo& module) {
      return module.name == it->name && module.kind == it->kind;
    });
    if (present) {
      ++it;
    } else if (DownloadSource(*it)) {
      ++downloaded;
      ++it;
    } else {
      it = available.erase(it);  // not listed in Sources.xml
      ++failed;
    }
  }
  LogF(kInfo, L"CUpdate::DoUpdateSources: Update finished: deleted:%d, downloaded:%d, failed:%d", deleted, downloaded,
       failed);
}

bool CUpdate::DownloadSource(const SourceInfo& source) {
  // Checked again here: whoever built `source`, the destination must lie
  // directly in a kind folder of the working directory.
  if (workingDirectory_.IsEmpty() || !IsSafeModuleName(source.kind) || !IsSafeModuleName(source.name)) {
    LogF(kError, L"CUpdate::DownloadSource: DLL refused, its name is not a plain file name: [%s] in [%s]",
         Printable(source.name), Printable(source.kind));
    return false;
  }
  const CString destination =
      workingDirectory_ + source.kind + platform::kPathSeparator + source.name + CDllSources::kModuleSuffix;
  if (nimbrel::DownloadFile(source.location.str(), destination.str(), proxy_.str())) {
    RefreshFileCopy(destination);
    return PathExists(destination);
  }
  if (PathExists(destination)) platform::DeleteFile(destination.str());  // a partial download
  return false;
}

int CUpdate::CreateNewXml(const std::vector<SourceInfo>& available) {
  XmlDocument document;
  XmlNode* declaration = document.AppendChildElement(L"xml");
  declaration->type = kXmlProcessingInstruction;
  declaration->AppendAttribute(L"version", L"1.0");
  declaration->AppendAttribute(L"encoding", L"iso-8859-1");
  XmlNode* root = document.AppendChildElement(L"SourcesInfo");
  for (const CString& kind : kindNames_) {
    XmlNode* kindNode = root->AppendChildElement(kind);
    for (const SourceInfo& source : available) {
      if (source.kind != kind) continue;
      XmlNode* dll = kindNode->AppendChildElement(L"DLL");
      dll->AppendAttribute(L"Name", source.name);
      XmlNode* locales = dll->AppendChildElement(L"DLLLocales");
      for (const CString& locale : source.locales) locales->AppendChildElement(L"DLLLocale", locale);
      CString priority;
      priority.Format(L"%d", source.priority);
      dll->AppendChildElement(L"Priority", priority);
    }
  }
  XmlWriteOptions options;
  options.ReferenceValue = false;  // locales are kept as the list's text accessor returned them
  const CString text = document.GetXml(&options);

  const CString path = workingDirectory_ + L"Sources.xml";
  if (workingDirectory_.IsEmpty()) {
    LogF(kError, L"CUpdate::CreateNewXml: failed to open %s", path);
    return 0;
  }
  // Written beside the registry and renamed over it, so that a failed write
  // (a full disk) leaves the previous registry whole.
  CString temporary;
  temporary.Format(L"%s.%u.tmp", path, platform::CurrentProcessId());
  CStdioFileEx file;  // Windows-1252, no byte-order mark, line feeds as written
  if (!file.Open(temporary, CStdioFileEx::modeCreate | CStdioFileEx::modeWrite | CStdioFileEx::typeText)) {
    LogF(kError, L"CUpdate::CreateNewXml: failed to open %s", temporary);
    return 0;
  }
  // A file that could not be written whole is no new registry.
  const bool written = file.WriteString(text);
  file.Close();
  if (!written) {
    LogF(kError, L"CUpdate::CreateNewXml: failed to write %s", temporary);
    platform::DeleteFile(temporary.str());
    return 0;
  }
  if (!platform::MoveFile(temporary.str(), path.str())) {
    LogF(kError, L"CUpdate::CreateNewXml: failed to replace %s", path);
    platform::DeleteFile(temporary.str());
    return 0;
  }
  return 1;
}
